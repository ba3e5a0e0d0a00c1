#include "FakeGame.h"
#include "QuestionBoxes.h"
#include "TimeRemaining.h"
#include "Updater.h"

#include <QPushButton>
#include <QtTest>
#include <csignal>

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

void TestUpdater::waysOut_data()
{
    // What the user does is the tag up to its first comma.
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QString>("command"); // %1: the game's path
    QTest::addColumn<bool>("quits");
    QTest::addColumn<QStringList>("received"); // the game's arguments; empty: it does not start
    const QString game = "\"%1\" --from-updater";
    const QStringList started{"--from-updater"};
    QTest::newRow("cancel, yes") << Answer::Yes << game << true << started;
    QTest::newRow("cancel, yes, no game") << Answer::Yes << "" << true << QStringList();
    QTest::newRow("close, yes") << Answer::Yes << game << true << started;
    QTest::newRow("close, no") << Answer::No << game << false << QStringList();
    // Escape ends the run without a question and without the game.
    QTest::newRow("escape") << Answer::Yes << game << true << QStringList();
    QTest::newRow("broken key, retry declined") << Answer::No << game << true << started;
    // Stopped by SIGTERM while the question is open: the No that follows starts nothing.
    QTest::newRow("sigterm, under the error question")
        << Answer::No << game << false << QStringList();
    QTest::newRow("play, quoted argument, extra spaces")
        << Answer::Yes << "\"%1\"   -x  \"a b\"   c " << true << QStringList{"-x", "a b", "c"};
    QTest::newRow("play, no game") << Answer::Yes << "" << false << QStringList();
    // An unquoted path with a space names no program: nothing starts, and the updater quits.
    QTest::newRow("play, unquoted path") << Answer::Yes << "%1" << true << QStringList();
}

void TestUpdater::waysOut()
{
    const QString action = QString::fromLatin1(QTest::currentDataTag()).section(',', 0, 0);
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
    StopSignals stopSignals;
    connect(&stopSignals, &StopSignals::stopRequested, &u, &Updater::stop);
    if (action == "sigterm")
        answerer.beforeAnswer = [&stopSignals](QMessageBox*) {
            QSignalSpy stopped(&stopSignals, &StopSignals::stopRequested);
            ::raise(SIGTERM);
            QVERIFY(stopped.wait(10000));
        };
    QTimer::singleShot(0, &u, [&u, action] {
        if (action == "cancel") {
            // The button acts on press: releasing outside it changes nothing.
            QTest::mousePress(u.findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
            QTest::mouseRelease(&u, Qt::LeftButton, {}, QPoint(300, 60));
        } else if (action == "close") {
            u.close();
        } else if (action == "escape") {
            QTest::keyClick(&u, Qt::Key_Escape);
        } else if (action == "play") {
            QMetaObject::invokeMethod(&u, "playGame");
        } else {
            u.setTrustAnchor(TrustAnchor::fromFile(QStringLiteral("/nonexistent/key.pub")));
            u.startUpdating();
        }
    });
    const int questions = action == "escape" || action == "play" ? 0 : 1;
    // Declined, nothing follows the answer, so the loop settles.
    QCOMPARE(runUntilQuit(20000, [&] { return answerer.answered(questions); }), quits);

    QCOMPARE(answerer.asked.size(), questions);
    if (questions) {
        const AskedQuestion& q = answerer.asked.first();
        QCOMPARE(q.title + '\n' + q.text,
                 action == "cancel" || action == "close"
                     ? "Cancel Update?\nAre you sure you want to cancel the update?"
                     : "Update error\nAn error has occurred while updating\nWould you like to try "
                       "again?");
        QVERIFY(q.icon == QMessageBox::Question && q.parent == &u &&
                q.buttons == (QMessageBox::Yes | QMessageBox::No));
    }
    if (!received.isEmpty())
        QCOMPARE(game.waitForStart(), QStringList(game.script) + received);
    else
        QVERIFY(!game.startsWithin(200));
    // Declining keeps the window, and closing it is what an accepted close does.
    QCOMPARE(u.isVisible(), !quits || (action != "close" && action != "escape"));
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
