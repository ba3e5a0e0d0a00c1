#include "FakeGame.h"
#include "QuestionBoxes.h"
#include "TestFiles.h"
#include "Updater.h"

#include <QProcess>
#include <QPushButton>
#include <QtTest>

// The ways out of a run, driven on a dialog whose update timer is never started,
// so nothing but the user's actions happens.
class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void waysOut_data();
    void waysOut();
    void playGame_data();
    void playGame();
    void executableWithoutArgumentsExits255_data();
    void executableWithoutArgumentsExits255();
};

enum class Action
{
    PressCancel,
    CloseWindow,
    Escape,
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
    // Escape ends the run without a question and without the game.
    QTest::newRow("escape") << Action::Escape << Answer::Yes << true << true;
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
        } else {
            QTest::keyClick(&u, Qt::Key_Escape);
        }
    });
    const int questions = action == Action::Escape ? 0 : 1;
    // Declined, nothing follows the answer, so the loop settles.
    QCOMPARE(runUntilQuit(20000, [&] { return answerer.answered(questions); }), quits);

    QCOMPARE(answerer.asked.size(), questions);
    if (questions) {
        const AskedQuestion& q = answerer.asked.first();
        QCOMPARE(q.title, QStringLiteral("Cancel Update?"));
        QCOMPARE(q.text, QStringLiteral("Are you sure you want to cancel the update?"));
        QCOMPARE(q.icon, QMessageBox::Question);
        QCOMPARE(q.buttons,
                 QList<QMessageBox::StandardButton>({QMessageBox::Yes, QMessageBox::No}));
        QCOMPARE(q.parent, &u);
    }
    if (quits && withGame && questions)
        QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--from-updater")}));
    else if (withGame && quits)
        QVERIFY(!game.startsWithin(200));
    // Declining keeps the window, and closing it is what an accepted close does.
    QCOMPARE(u.isVisible(), !quits || action == Action::PressCancel);
}

void TestUpdater::playGame_data()
{
    QTest::addColumn<QString>("command"); // %1 is the game's path
    QTest::addColumn<bool>("quits");
    QTest::addColumn<QStringList>(
        "received"); // what the game got after its path; null: not started
    QTest::newRow("no arguments") << "\"%1\"" << true << QStringList{};
    QTest::newRow("quoted argument, extra spaces")
        << "\"%1\"   -x  \"a b\"   c " << true << QStringList{"-x", "a b", "c"};
    QTest::newRow("no game: nothing happens") << "" << false << QStringList();
    // An unquoted path with a space names a program that does not exist: nothing starts, and the
    // updater still quits.
    QTest::newRow("unquoted path with a space") << "%1" << true << QStringList();
}

void TestUpdater::playGame()
{
    QFETCH(QString, command);
    QFETCH(bool, quits);
    QFETCH(QStringList, received);
    const bool starts = command.startsWith(QLatin1Char('"'));

    FakeGame game;
    Updater u;
    u.setGamePath(command.isEmpty() ? command : command.arg(game.script));
    u.show();
    QTimer::singleShot(0, &u, [&u] { QMetaObject::invokeMethod(&u, "playGame"); });
    QCOMPARE(runUntilQuit(20000, [] { return true; }), quits);
    QVERIFY(quits || u.isVisible());
    if (starts)
        QCOMPARE(game.waitForStart(), QStringList(game.script) + received);
    else
        QVERIFY(!game.startsWithin(200));
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
    const QString log = dir.filePath(QStringLiteral("log.txt"));
    QVERIFY(writeFile(log, "from an earlier run\n"));
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(UPDATER_BUILD_DIR "/updater"), arguments);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 255);
    QCOMPARE(readFile(log), QByteArray()); // emptied, not removed
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
