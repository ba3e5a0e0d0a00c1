#pragma once

// Answers the question boxes that the updater opens while a test drives it. A box runs a nested
// event loop, so the answer has to come from a timer.

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
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
};

using Answer = QMessageBox::StandardButton; // Yes or No

// Answers every box that opens, in order, with the next answer of the list, and boxes beyond the
// list with No: a question too many shows in `asked` instead of blocking the test.
class QuestionAnswerer : public QObject
{
    Q_OBJECT

public:
    explicit QuestionAnswerer(QList<Answer> answers) : pending(std::move(answers))
    {
        // Caught as they are shown, not by polling for the active one: a second box may open on
        // top of the first before a poll comes round.
        qApp->installEventFilter(this);
    }
    ~QuestionAnswerer() override { qApp->removeEventFilter(this); }

    QList<AskedQuestion> asked;
    // Whether exactly n boxes have been asked and none is open any more.
    bool answered(int n) const { return asked.size() == n && !QApplication::activeModalWidget(); }
    // Called with the open box just before it is answered, while its nested loop runs.
    std::function<void(QMessageBox*)> beforeAnswer;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* box = qobject_cast<QMessageBox*>(watched);
        if (box && event->type() == QEvent::Show && !seen.contains(box)) {
            seen << box;
            asked << AskedQuestion{box->windowTitle(), box->text(), box->icon(),
                                   box->standardButtons(), box->parentWidget()};
            const Answer answer = pending.isEmpty() ? Answer::No : pending.takeFirst();
            QTimer::singleShot(0, this, [this, box = QPointer(box), answer] {
                if (box && beforeAnswer)
                    beforeAnswer(box);
                if (box)
                    box->button(answer)->click();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QList<Answer> pending;
    QList<QPointer<QMessageBox>> seen;
};

// Runs the event loop until something quits it (true), or until settled() has held on 50 passes
// of the loop in a row, or timeoutMs have passed (false). Counting passes rather than time gives
// the code under test the same number of turns on a slow machine as on a fast one.
inline bool runUntilQuit(int timeoutMs, const std::function<bool()>& settled)
{
    bool stopped = false;
    const auto stop = [&stopped] {
        stopped = true;
        QCoreApplication::exit(99);
    };
    QObject guard; // the watchdog goes with it
    QTimer::singleShot(timeoutMs, &guard, stop);
    QTimer pass;
    int quiet = 0;
    QObject::connect(&pass, &QTimer::timeout, [&] {
        quiet = settled() ? quiet + 1 : 0;
        if (quiet >= 50)
            stop();
    });
    pass.start(0);
    const int result = QCoreApplication::exec();
    return !stopped && result == 0;
}
