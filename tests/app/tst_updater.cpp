#include "FakeGame.h"
#include "QuestionBoxes.h"
#include "TimeRemaining.h"
#include "Updater.h"

#include <QPushButton>
#include <QtTest>

// The ways out of a run, without a server: only the user's actions happen, or, with a key that
// cannot be read, the update fails before any request.
class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void waysOut_data();
    void waysOut();
    void remaining_data();
    void remaining();
};

enum class Action
{
    PressCancel,
    CloseWindow,
    Escape,
    Play,
    BrokenKey,
};
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(Answer)

void TestUpdater::waysOut_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QString>("command"); // %1: the game's path
    QTest::addColumn<bool>("quits");
    QTest::addColumn<QStringList>("received"); // the game's arguments; empty: it does not start
    const QString game = "\"%1\" --from-updater";
    const QStringList started{"--from-updater"};
    const auto C = Action::PressCancel;
    QTest::newRow("cancel, yes") << C << Answer::Yes << game << true << started;
    QTest::newRow("cancel, yes, no game") << C << Answer::Yes << "" << true << QStringList();
    QTest::newRow("close, yes") << Action::CloseWindow << Answer::Yes << game << true << started;
    QTest::newRow("close, no") << Action::CloseWindow << Answer::No << game << false
                               << QStringList();
    // Escape ends the run without a question and without the game.
    QTest::newRow("escape") << Action::Escape << Answer::Yes << game << true << QStringList();
    QTest::newRow("retry declined") << Action::BrokenKey << Answer::No << game << true << started;
    QTest::newRow("play, quoted argument, extra spaces")
        << Action::Play << Answer::Yes << "\"%1\"   -x  \"a b\"   c " << true
        << QStringList{"-x", "a b", "c"};
    QTest::newRow("play, no game") << Action::Play << Answer::Yes << "" << false << QStringList();
    // An unquoted path with a space names no program: nothing starts, and the updater quits.
    QTest::newRow("play, unquoted path with a space")
        << Action::Play << Answer::Yes << "%1" << true << QStringList();
}

void TestUpdater::waysOut()
{
    QFETCH(Action, action);
    QFETCH(Answer, answer);
    QFETCH(QString, command);
    QFETCH(bool, quits);
    QFETCH(QStringList, received);

    FakeGame game;
    Updater u;
    u.setGamePath(command.isEmpty() ? command : command.arg(game.script));
    u.show();
    QVERIFY(QTest::qWaitForWindowExposed(&u));
    QuestionAnswerer answerer({answer});
    QTimer::singleShot(0, &u, [&u, action] {
        if (action == Action::PressCancel) {
            // The button acts on press: releasing outside it changes nothing.
            QTest::mousePress(u.findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
            QTest::mouseRelease(&u, Qt::LeftButton, {}, QPoint(300, 60));
        } else if (action == Action::CloseWindow) {
            u.close();
        } else if (action == Action::Escape) {
            QTest::keyClick(&u, Qt::Key_Escape);
        } else if (action == Action::Play) {
            QMetaObject::invokeMethod(&u, "playGame");
        } else {
            u.setTrustAnchor(TrustAnchor::fromFile(QStringLiteral("/nonexistent/key.pub")));
            u.startUpdating();
        }
    });
    const int questions = action == Action::Escape || action == Action::Play ? 0 : 1;
    // Declined, nothing follows the answer, so the loop settles.
    QCOMPARE(runUntilQuit(20000, [&] { return answerer.answered(questions); }), quits);

    QCOMPARE(answerer.asked.size(), questions);
    if (questions) {
        const AskedQuestion& q = answerer.asked.first();
        const bool error = action == Action::BrokenKey;
        QCOMPARE(q.title,
                 error ? QStringLiteral("Update error") : QStringLiteral("Cancel Update?"));
        QCOMPARE(q.text, error ? QStringLiteral("An error has occurred while updating\n"
                                                "Would you like to try again?")
                               : QStringLiteral("Are you sure you want to cancel the update?"));
        QCOMPARE(q.icon, QMessageBox::Question);
        QCOMPARE(q.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(q.parent, &u);
    }
    if (!received.isEmpty())
        QCOMPARE(game.waitForStart(), QStringList(game.script) + received);
    else
        QVERIFY(!game.startsWithin(200));
    // Declining keeps the window, and closing it is what an accepted close does.
    QCOMPARE(u.isVisible(), !quits || (action != Action::CloseWindow && action != Action::Escape));
}

// progress 0: the seconds are the time left; otherwise they are the time elapsed at that progress.
void TestUpdater::remaining_data()
{
    QTest::addColumn<quint32>("seconds");
    QTest::addColumn<float>("progress");
    QTest::addColumn<QString>("text");
    QTest::newRow("9") << 9u << 0.f << "00:09 remaining";
    QTest::newRow("59") << 59u << 0.f << "00:59 remaining";
    QTest::newRow("60") << 60u << 0.f << "1:00 remaining";
    QTest::newRow("3599") << 3599u << 0.f << "59:59 remaining";
    QTest::newRow("3600") << 3600u << 0.f << "1:0:00 remaining";
    QTest::newRow("largest") << 4294967295u << 0.f << "1193046:28:15 remaining";
    QTest::newRow("total truncated") << 20u << 0.3f << "00:46 remaining"; // 66.7 -> 66
    // A fraction just above 1 estimates a total below elapsed: unsigned wrap.
    QTest::newRow("estimate below elapsed wraps") << 100u << 1.5f << "1193046:27:42 remaining";
}

void TestUpdater::remaining()
{
    QFETCH(quint32, seconds);
    QFETCH(float, progress);
    QFETCH(QString, text);
    QCOMPARE(progress == 0.f ? remainingText(seconds) : timeRemainingText(seconds, progress), text);
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
