#include "ArchiveWriter.h"
#include "FakeGame.h"
#include "MinisignTool.h"
#include "NginxServer.h"
#include "QuestionBoxes.h"
#include "TestFiles.h"
#include "TestTimeouts.h"
#include "TimeRemaining.h"
#include "UpdateIndex.h"
#include "Updater.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QtTest>
#include <csignal>

// The ways out of a run, without a server: only the user's actions happen, or, with a key that
// cannot be read, the update fails before any request. And the dialog while a large game folder
// is checked before an incremental update, against a real nginx.
class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void waysOut_data();
    void waysOut();
    void remaining_data();
    void remaining();
    void checking_data();
    void checking();
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

void TestUpdater::checking_data()
{
    QTest::addColumn<QString>("stop"); // how the run ends while the files are checked
    QTest::newRow("large folder, cancelled") << "cancel";
    QTest::newRow("large folder, SIGTERM") << "sigterm";
}

// Without an installed state every file the index names is read and hashed before any range is
// fetched: a game of gigabytes takes a while, through which the dialog paints, shows how far
// it got, and can be cancelled or stopped. Nothing is fetched after that.
void TestUpdater::checking()
{
    QFETCH(QString, stop);
    if (!MinisignTool::available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    QTemporaryDir keys, www, game;
    QVERIFY(MinisignTool::makeKey(keys.path(), QStringLiteral("key")));
    const QString source = www.filePath("source"), archive = www.filePath("update.vt");
    makeTree(source, {{"big", bytePattern(64 * 1024)}, {"small", "small"}});
    QString error;
    QVERIFY2(packDirectory(source, archive, PackOptions(), &error), qPrintable(error));
    UpdateIndex index;
    QVERIFY2(UpdateIndex::build(archive, index, &error), qPrintable(error));
    QVERIFY(writeFile(archive + ".index", index.serialize()));
    QCOMPARE(QProcess::execute("minisign", {"-S", "-s", keys.filePath("key.sec"), "-m", archive,
                                            archive + ".index"}),
             0);
    NginxServer nginx;
    QVERIFY2(nginx.start(www.path()), qPrintable(nginx.errorString()));

    // The game at the index's path, far larger than can be read before the first look: reads
    // as zeros and takes no space.
    constexpr qint64 large = qint64(1) << 30;
    QVERIFY(writeFile(game.filePath("big"), "") && QFile::resize(game.filePath("big"), large));
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(game.path()));
    const auto back = qScopeGuard([&before] { QDir::setCurrent(before); });

    auto u = std::make_unique<Updater>();
    u->setBaseUrl(nginx.baseUrl().toString());
    u->setTrustAnchor(TrustAnchor::fromFile(keys.filePath("key.pub")));
    u->show();
    QVERIFY(QTest::qWaitForWindowExposed(u.get()));
    const auto status = [&u] { return u->findChild<QLabel*>("statusLabel")->text(); };
    const auto bar = [&u] { return u->findChild<QProgressBar*>("progressBar")->value(); };
    QuestionAnswerer answerer({Answer::Yes});
    StopSignals stopSignals;
    connect(&stopSignals, &StopSignals::stopRequested, u.get(), &Updater::stop);
    u->startUpdating();

    // Hashing has gone on while the dialog showed it: the bar moved off 0 under the status.
    QVERIFY(QTest::qWaitFor([&] { return status() == "Checking game files..." && bar() > 0; },
                            scaledTimeout(60000)));
    QVERIFY(bar() < 100);
    // A call queued now runs while the files are still being checked.
    bool fired = false, stillChecking = false;
    QMetaObject::invokeMethod(
        u.get(),
        [&] {
            fired = true;
            stillChecking = status() == "Checking game files...";
        },
        Qt::QueuedConnection);
    QVERIFY(QTest::qWaitFor([&] { return fired; }, scaledTimeout(60000)));
    QVERIFY(stillChecking);

    // Then the run ends from the dialog's own loop: Cancel and its question, or the signal.
    QTimer::singleShot(0, u.get(), [&] {
        if (stop == "cancel")
            QTest::mousePress(u->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
        else
            ::raise(SIGTERM);
    });
    QObject guard;
    QTimer::singleShot(scaledTimeout(60000), &guard, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), stop == "cancel" ? 0 : 1);
    QCOMPARE(answerer.asked.size(), stop == "cancel" ? 1 : 0);
    if (stop == "cancel")
        QCOMPARE(answerer.asked.first().title, QStringLiteral("Cancel Update?"));
    u.reset();

    // The index, its signature and the archive's signature; never a byte of the archive.
    QByteArray log;
    QVERIFY(QTest::qWaitFor(
        [&] {
            log = readFile(nginx.accessLogPath());
            return log.count("\"GET /") >= 3;
        },
        scaledTimeout(20000)));
    QCOMPARE(log.count("\"GET /"), 3);
    QVERIFY(!log.contains("\"GET /update.vt HTTP"));
    QCOMPARE(QFileInfo(game.filePath("big")).size(), large);
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
