#pragma once

// Answers the question boxes that the updater opens while a test drives it. A box
// runs a nested event loop, so the answer has to come from a timer.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>

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
    // Answers every box that opens, in order, with the next answer of the list;
    // boxes beyond the list are left open (a test can still answer them later).
    explicit QuestionAnswerer(QList<Answer> answers, QObject* parent = nullptr)
        : QObject(parent), pending(std::move(answers))
    {
        connect(&poll, &QTimer::timeout, this, &QuestionAnswerer::check);
        poll.start(5);
    }

    QList<AskedQuestion> asked;
    // Called with the open box just before it is answered; lets a test act while
    // the question is up (the box's nested event loop keeps everything running).
    std::function<void(QMessageBox*)> beforeAnswer;
    int delayMs = 0;

    void addAnswer(Answer a) { pending << a; }

private:
    void check()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == current || pending.isEmpty())
            return;
        current = box;
        AskedQuestion q;
        q.title = box->windowTitle();
        q.text = box->text();
        q.icon = box->icon();
        for (QAbstractButton* b : box->buttons())
            q.buttons << box->standardButton(b);
        q.parent = box->parentWidget();
        asked << q;
        const Answer answer = pending.takeFirst();
        QPointer<QMessageBox> guard(box);
        QTimer::singleShot(delayMs, this, [this, guard, answer] {
            if (!guard)
                return;
            if (beforeAnswer)
                beforeAnswer(guard);
            if (!guard)
                return;
            if (answer == Answer::Dismiss)
                QTest::keyClick(guard, Qt::Key_Escape);
            else
                guard->button(answer == Answer::Yes ? QMessageBox::Yes : QMessageBox::No)->click();
        });
    }

    QTimer poll;
    QList<Answer> pending;
    QPointer<QMessageBox> current;
};

// Runs the application's event loop until something quits it or timeoutMs pass.
// Returns true when the loop was ended by the code under test.
inline bool runUntilQuit(int timeoutMs)
{
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&timedOut] {
        timedOut = true;
        QCoreApplication::exit(99);
    });
    watchdog.start(timeoutMs);
    const int result = QCoreApplication::exec();
    return !timedOut && result == 0;
}
