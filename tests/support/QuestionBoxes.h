#pragma once

// Answers the question boxes that the updater opens while a test drives it. A box
// runs a nested event loop, so the answer has to come from a timer.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>
#include <functional>

struct AskedQuestion
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
    QWidget* parent = nullptr;
};

// What to do with a box: press one of its buttons, or dismiss it with Escape.
enum class Answer
{
    Yes,
    No,
    Dismiss,
};

class QuestionAnswerer : public QObject
{
    Q_OBJECT

public:
    // Answers every box that opens, in the order they open, with the next answer
    // of the list; boxes beyond the list are left open.
    explicit QuestionAnswerer(QList<Answer> answers, QObject* parent = nullptr)
        : QObject(parent), pending(std::move(answers))
    {
        // Boxes are caught as they are shown, not by polling for the active one:
        // a second box may open on top of the first before a poll comes round.
        qApp->installEventFilter(this);
    }
    ~QuestionAnswerer() override { qApp->removeEventFilter(this); }

    QList<AskedQuestion> asked;
    // Whether exactly n boxes have been asked and none is open any more.
    bool answered(int n) const { return asked.size() == n && !QApplication::activeModalWidget(); }
    // Called with the open box just before it is answered; lets a test act while
    // the question is up (the box's nested event loop keeps everything running).
    std::function<void(QMessageBox*)> beforeAnswer;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* box = qobject_cast<QMessageBox*>(watched);
        if (box && event->type() == QEvent::Show && !seen.contains(box) && !pending.isEmpty()) {
            seen << box;
            AskedQuestion q{box->windowTitle(), box->text(), box->icon(), {}, box->parentWidget()};
            for (QAbstractButton* b : box->buttons())
                q.buttons << box->standardButton(b);
            asked << q;
            QTimer::singleShot(
                0, this, [this, guard = QPointer(box), answer = pending.takeFirst()] {
                    if (guard && beforeAnswer)
                        beforeAnswer(guard);
                    if (guard && answer == Answer::Dismiss)
                        QTest::keyClick(guard, Qt::Key_Escape);
                    else if (guard)
                        guard->button(answer == Answer::Yes ? QMessageBox::Yes : QMessageBox::No)
                            ->click();
                });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QList<Answer> pending;
    QList<QPointer<QMessageBox>> seen;
};

// Runs the application's event loop until something quits it (true), or until settled() has held
// on `passes` passes of the loop in a row, or timeoutMs have passed (false). Counting passes rather
// than time gives the code under test the same number of turns on a slow machine as on a fast one.
inline bool runUntilQuit(int timeoutMs, const std::function<bool()>& settled = nullptr,
                         int passes = 50)
{
    bool stopped = false;
    const auto stop = [&stopped] {
        stopped = true;
        QCoreApplication::exit(99);
    };
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, stop);
    watchdog.start(timeoutMs);
    QTimer pass;
    int quiet = 0;
    QObject::connect(&pass, &QTimer::timeout, [&] {
        quiet = settled() ? quiet + 1 : 0;
        if (quiet >= passes)
            stop();
    });
    if (settled)
        pass.start(0);
    const int result = QCoreApplication::exec();
    return !stopped && result == 0;
}
