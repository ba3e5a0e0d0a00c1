#include "FakeGame.h"
#include "QuestionBoxes.h"
#include "Updater.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

// The ways out of a run, driven on a dialog whose update timer is never started,
// so nothing but the user's actions happens.
class TestUpdater : public QObject
{
    Q_OBJECT

private:
    static QPushButton* button(Updater& u, const char* name)
    {
        return u.findChild<QPushButton*>(QLatin1String(name));
    }
    static void show(Updater& u)
    {
        u.show();
        QVERIFY(QTest::qWaitForWindowExposed(&u));
    }

private slots:
    void waysOut_data();
    void waysOut();
    void gameCommand_data();
    void gameCommand();
    void playWithoutGameDoesNothing();
    void escapeEndsTheRunWithoutAQuestion();
    void executableWithoutArgumentsExits255_data();
    void executableWithoutArgumentsExits255();
};

enum class Action
{
    PressCancel,
    CloseWindow,
};
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(Answer)

void TestUpdater::waysOut_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<bool>("withGame");
    QTest::addColumn<bool>("quits");

    for (Action action : {Action::PressCancel, Action::CloseWindow}) {
        const char* a = action == Action::PressCancel ? "cancel" : "close";
        QTest::addRow("%s, yes, game", a) << action << Answer::Yes << true << true;
        QTest::addRow("%s, yes, no game", a) << action << Answer::Yes << false << true;
        QTest::addRow("%s, no", a) << action << Answer::No << true << false;
        QTest::addRow("%s, dismissed", a) << action << Answer::Dismiss << true << false;
    }
}

void TestUpdater::waysOut()
{
    QFETCH(Action, action);
    QFETCH(Answer, answer);
    QFETCH(bool, withGame);
    QFETCH(bool, quits);

    FakeGame game;
    Updater u;
    u.setGamePath(withGame ? game.command(QStringLiteral("--from-updater")) : QString());
    show(u);
    QuestionAnswerer answerer({answer});

    QTimer::singleShot(0, &u, [&u, action] {
        if (action == Action::PressCancel) {
            // The button acts on press: releasing outside it changes nothing.
            QTest::mousePress(button(u, "cancelButton"), Qt::LeftButton);
            QTest::mouseRelease(&u, Qt::LeftButton, {}, QPoint(300, 60));
        } else {
            u.close();
        }
    });
    // Declined, nothing follows the answer, so the loop settles.
    QCOMPARE(runUntilQuit(20000, [&answerer] { return answerer.answered(1); }), quits);

    QCOMPARE(answerer.asked.size(), 1);
    const AskedQuestion& q = answerer.asked.first();
    QCOMPARE(q.title, QStringLiteral("Cancel Update?"));
    QCOMPARE(q.text, QStringLiteral("Are you sure you want to cancel the update?"));
    QCOMPARE(q.icon, QMessageBox::Question);
    QCOMPARE(q.buttons, QList<QMessageBox::StandardButton>({QMessageBox::Yes, QMessageBox::No}));
    QCOMPARE(q.parent, &u);

    if (quits && withGame)
        QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--from-updater")}));
    else
        QVERIFY(!game.started());
    // Declining keeps the window, and closing it is what an accepted close does.
    QCOMPARE(u.isVisible(), !(quits && action == Action::CloseWindow));
}

void TestUpdater::gameCommand_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("received");
    QTest::newRow("no arguments") << QString() << QStringList();
    QTest::newRow("arguments") << "-x 1" << QStringList({"-x", "1"});
    QTest::newRow("quoted argument") << "-x \"a b\" c" << QStringList({"-x", "a b", "c"});
    QTest::newRow("extra spaces") << "  a   b " << QStringList({"a", "b"});
}

void TestUpdater::gameCommand()
{
    QFETCH(QString, arguments);
    QFETCH(QStringList, received);

    FakeGame game;
    Updater u;
    u.setGamePath(game.command(arguments));
    QTimer::singleShot(0, &u, [&u] { QMetaObject::invokeMethod(&u, "playGame"); });
    QVERIFY(runUntilQuit(5000));
    QCOMPARE(game.waitForStart(), QStringList(game.script) + received);
}

void TestUpdater::playWithoutGameDoesNothing()
{
    FakeGame game;
    Updater u;
    show(u);
    QTimer::singleShot(0, &u, [&u] { QMetaObject::invokeMethod(&u, "playGame"); });
    QVERIFY(!runUntilQuit(20000, [] { return true; }));
    QVERIFY(u.isVisible());

    // An unquoted path with a space names a program that does not exist: nothing
    // starts, and the updater still quits.
    u.setGamePath(game.script);
    QTimer::singleShot(0, &u, [&u] { QMetaObject::invokeMethod(&u, "playGame"); });
    QVERIFY(runUntilQuit(5000));
    QTest::qWait(200);
    QVERIFY(!game.started());
}

void TestUpdater::escapeEndsTheRunWithoutAQuestion()
{
    FakeGame game;
    Updater u;
    u.setGamePath(game.command());
    show(u);
    QuestionAnswerer answerer({Answer::Yes});
    QTimer::singleShot(0, &u, [&u] { QTest::keyClick(&u, Qt::Key_Escape); });
    QVERIFY(runUntilQuit(5000));
    QVERIFY(!u.isVisible());
    QVERIFY(answerer.asked.isEmpty());
    QTest::qWait(200);
    QVERIFY(!game.started());
}

void TestUpdater::executableWithoutArgumentsExits255_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("base URL only") << QStringList({"http://127.0.0.1:1/"});
}

void TestUpdater::executableWithoutArgumentsExits255()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    {
        QFile stale(dir.filePath(QStringLiteral("log.txt")));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("from an earlier run\n");
    }
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(UPDATER_BUILD_DIR "/updater"), arguments);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 255);
    QFileInfo log(dir.filePath(QStringLiteral("log.txt")));
    QVERIFY(log.exists());
    QCOMPARE(log.size(), 0);
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
