#include "ArchiveBytes.h"
#include "FakeGame.h"
#include "Log.h"
#include "NginxServer.h"
#include "QuestionBoxes.h"
#include "TestFiles.h"
#include "Updater.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>
#include <memory>

using namespace ArchiveBytes;

namespace {

// A small game tree: what every successful update must leave on disk.
const Tree& gameTree()
{
    static const Tree tree = {
        {QStringLiteral("VERSION"), QByteArray("2.0\n")},
        {QStringLiteral("data"), kDir},
        {QStringLiteral("data/a.txt"), QByteArray("hello")},
        {QStringLiteral("data/sub"), kDir},
        {QStringLiteral("data/sub/b.bin"), bytePattern(300 * 1024)},
    };
    return tree;
}

QByteArray gameArchive()
{
    QByteArray a = version("2.0");
    for (auto it = gameTree().begin(); it != gameTree().end(); ++it) {
        a += it.value() == kDir ? directory(it.key().toLatin1())
                                : file(it.key().toLatin1(), it.value());
    }
    return a;
}

// Keeps warnings that the Qt runtime prints, e.g. about a thread destroyed while running.
QStringList warnings;
void keepWarnings(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    // The offscreen platform's remark about size hints is not ours.
    if (type != QtDebugMsg && type != QtInfoMsg &&
        !text.startsWith(QLatin1String("This plugin does not support")))
        warnings << text;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    QString originalDir;
    std::unique_ptr<QTemporaryDir> work; // the updater's current directory
    std::unique_ptr<QTemporaryDir> www;  // nginx's document root
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<Updater> updater;

    bool startServer()
    {
        if (!nginx->start(www->path())) {
            qWarning("nginx: %s", qPrintable(nginx->errorString()));
            return false;
        }
        return true;
    }
    void publish(const QByteArray& archive, const QString& path = QStringLiteral("update.vt"))
    {
        QVERIFY(writeFile(www->filePath(path), archive));
    }
    Updater& startUpdater(const QString& baseUrl, const QString& game = QString(),
                          bool startTimer = true)
    {
        updater = std::make_unique<Updater>();
        updater->setBaseUrl(baseUrl);
        updater->setGamePath(game);
        if (startTimer)
            updater->startUpdating();
        updater->show();
        return *updater;
    }
    QString base(const QString& path = QString()) const
    {
        return nginx->baseUrl().toString() + path;
    }
    QString status() const { return updater->findChild<QLabel*>("statusLabel")->text(); }
    QString timeText() const { return updater->findChild<QLabel*>("timeLabel")->text(); }
    int bar() const { return updater->findChild<QProgressBar*>("progressBar")->value(); }
    QPushButton* button(const char* name) const
    {
        return updater->findChild<QPushButton*>(QLatin1String(name));
    }
    bool complete() const { return status() == QLatin1String("Update complete"); }
    void pressCancel() { QTest::mousePress(button("cancelButton"), Qt::LeftButton); }
    // Opens the cancel question before the first step of the update, so that the
    // whole update runs underneath it.
    void startWithCancelQuestionOpen()
    {
        QTimer::singleShot(0, updater.get(), [this] {
            updater->startUpdating();
            pressCancel();
        });
    }

    // The requests nginx has seen for a path.
    int requestsFor(const QString& path) const
    {
        QFile f(nginx->accessLogPath());
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        return int(f.readAll().count(QStringLiteral("\"GET %1 HTTP/1.1\"").arg(path).toLatin1()));
    }
    QByteArray logText() const { return readFile(work->filePath(QStringLiteral("log.txt"))); }
    // The wording is the unit suites' business; here only which part wrote how many entries.
    void expectLogEntriesFrom(const QString& source, int count)
    {
        const QString log = QString::fromLatin1(logText());
        QCOMPARE(log.count(QLatin1Char('\n')), count);
        QVERIFY2(log.count(logTail(source)) == count, qPrintable(log));
    }
    // Ends when every transfer worker has stopped and deleted itself.
    static void waitForWorkers()
    {
        QTRY_COMPARE_WITH_TIMEOUT(threadsNamed("HTTPMessage"), 0, 20000);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void expectCompletedState()
    {
        QCOMPARE(status(), QStringLiteral("Update complete"));
        QCOMPARE(bar(), 100);
        QVERIFY(button("playButton")->isEnabled());
        QVERIFY(!button("cancelButton")->isEnabled());
    }
    void expectGameTreeExtracted()
    {
        Tree files = treeOf(work->path());
        files.remove(QStringLiteral("log.txt"));
        QCOMPARE(files.keys(), gameTree().keys());
        QVERIFY(files == gameTree());
    }

private slots:
    void init();
    void cleanup();

    void successfulUpdate_data();
    void successfulUpdate();
    void waysOutAfterSuccess_data();
    void waysOutAfterSuccess();
    void downloadFailureRetriedAfterTheFileAppears();
    void declinedRetry_data();
    void declinedRetry();
    void brokenArchive();
    void cancelMidDownload();
    void extractionUnderTheCancelQuestion();
    void failureUnderTheCancelQuestion();
    void realExecutable_data();
    void realExecutable();
};

void TestEndToEnd::init()
{
    originalDir = QDir::currentPath();
    work = std::make_unique<QTemporaryDir>();
    www = std::make_unique<QTemporaryDir>();
    nginx = std::make_unique<NginxServer>();
    QVERIFY(QDir::setCurrent(work->path()));
    QVERIFY(openLog(QStringLiteral("log.txt"), false));
    warnings.clear();
    qInstallMessageHandler(keepWarnings);
}

void TestEndToEnd::cleanup()
{
    updater.reset();
    waitForWorkers();
    qInstallMessageHandler(nullptr);
    closeLog();
    nginx.reset();
    QDir::setCurrent(originalDir);
    work.reset();
    www.reset();
}

void TestEndToEnd::successfulUpdate_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("baseSuffix");
    QTest::newRow("root, trailing slash") << "/update.vt"
                                          << "";
    QTest::newRow("directory, trailing slash") << "/dir/update.vt"
                                               << "dir/";
    QTest::newRow("directory, no trailing slash") << "/dir/update.vt"
                                                  << "dir";
}

void TestEndToEnd::successfulUpdate()
{
    QFETCH(QString, path);
    QFETCH(QString, baseSuffix);

    publish(gameArchive(), path.mid(1));
    QVERIFY(startServer());
    startUpdater(base(baseSuffix));
    QTRY_VERIFY_WITH_TIMEOUT(complete(), 20000);

    expectCompletedState();
    expectGameTreeExtracted();
    QVERIFY(!QFile::exists(work->filePath(QStringLiteral("update.vt"))));
    QCOMPARE(logText(), QByteArray());
    QCOMPARE(requestsFor(path), 1);

    // Nothing more happens afterwards: no second download, nothing asked.
    QuestionAnswerer answerer({Answer::No});
    runPasses();
    QVERIFY(answerer.asked.isEmpty());
    expectCompletedState();
    QCOMPARE(requestsFor(path), 1);
}

Q_DECLARE_METATYPE(Answer)

void TestEndToEnd::waysOutAfterSuccess_data()
{
    QTest::addColumn<bool>("close");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<bool>("gameStarts");
    QTest::newRow("play button") << false << Answer::Yes << true;
    QTest::newRow("close, play") << true << Answer::Yes << true;
    QTest::newRow("close, do not play") << true << Answer::No << false;
    QTest::newRow("close, dismissed") << true << Answer::Dismiss << false;
}

void TestEndToEnd::waysOutAfterSuccess()
{
    QFETCH(bool, close);
    QFETCH(Answer, answer);
    QFETCH(bool, gameStarts);

    FakeGame game;
    publish(gameArchive());
    QVERIFY(startServer());
    startUpdater(base(), game.command(QStringLiteral("--updated")));
    QTRY_VERIFY_WITH_TIMEOUT(complete(), 20000);

    QuestionAnswerer answerer({answer});
    // The cancel button is off once the update has succeeded; its slot asks nothing.
    bool cancelled = true;
    QMetaObject::invokeMethod(updater.get(), "cancelClicked", Q_RETURN_ARG(bool, cancelled));
    QVERIFY(!cancelled);

    QTimer::singleShot(0, updater.get(), [this, close] {
        if (close)
            updater->close();
        else
            QTest::mousePress(button("playButton"), Qt::LeftButton);
    });
    // Closing the last window ends the loop with 0 as well.
    QVERIFY(runUntilQuit(10000));
    if (close) {
        QCOMPARE(answerer.asked.size(), 1);
        QCOMPARE(answerer.asked.first().title, QStringLiteral("Play Game?"));
        QCOMPARE(answerer.asked.first().text,
                 QStringLiteral("The update has finished.\nDo you want to play the game?"));
        QVERIFY(!updater->isVisible());
    } else {
        QVERIFY(answerer.asked.isEmpty());
    }
    if (gameStarts) {
        QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--updated")}));
    } else {
        QTest::qWait(200);
        QVERIFY(!game.started());
    }
}

void TestEndToEnd::downloadFailureRetriedAfterTheFileAppears()
{
    // Served slowly, so that the second attempt can be watched while it runs.
    nginx->addRateLimit(QStringLiteral("/slow/"), 150 * 1024);
    QVERIFY(startServer());
    startUpdater(base(QStringLiteral("slow")));

    QuestionAnswerer answerer({Answer::Yes});
    bool sawFailedState = false;
    answerer.beforeAnswer = [&](QMessageBox*) {
        // Failed download: refreshed to an empty time and a bar at 0 underneath.
        sawFailedState = QTest::qWaitFor([&] { return timeText().isEmpty() && bar() == 0; }, 10000);
        publish(gameArchive(), QStringLiteral("slow/update.vt"));
    };
    QTRY_COMPARE_WITH_TIMEOUT(answerer.asked.size(), 1, 20000);
    QCOMPARE(answerer.asked.first().title, QStringLiteral("Update error"));
    QCOMPARE(answerer.asked.first().text,
             QStringLiteral("An error has occurred while updating\nWould you like to try again?"));
    QCOMPARE(answerer.asked.first().icon, QMessageBox::Question);

    // A new download; while it runs, the bar and the time estimate move.
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(sawFailedState);
    QCOMPARE(status(), QStringLiteral("Downloading update..."));
    QTRY_VERIFY_WITH_TIMEOUT(bar() > 0 && bar() < 100, 10000);
    QVERIFY2(QRegularExpression(QStringLiteral("^(\\d+:)?\\d+:\\d\\d remaining$"))
                 .match(timeText())
                 .hasMatch(),
             qPrintable(timeText()));

    QTRY_VERIFY_WITH_TIMEOUT(complete(), 20000);
    expectCompletedState();
    expectGameTreeExtracted();
    QCOMPARE(answerer.asked.size(), 1);
    QCOMPARE(requestsFor(QStringLiteral("/slow/update.vt")), 2);

    expectLogEntriesFrom(QStringLiteral("HTTPMessage"), 1); // the failed attempt
}

void TestEndToEnd::declinedRetry_data()
{
    QTest::addColumn<bool>("withGame");
    QTest::newRow("with a game") << true;
    QTest::newRow("without a game") << false;
}

void TestEndToEnd::declinedRetry()
{
    QFETCH(bool, withGame);
    FakeGame game;
    QVERIFY(startServer()); // nothing published: 404
    startUpdater(base(), withGame ? game.command() : QString());
    QuestionAnswerer answerer({Answer::No, Answer::No});

    // Without a game nothing follows the answer, so the loop settles.
    QCOMPARE(runUntilQuit(20000, [&answerer] { return answerer.answered(1); }), withGame);
    QCOMPARE(answerer.asked.size(), 1);
    QCOMPARE(game.started() || !game.waitForStart(withGame ? 5000 : 200).isEmpty(), withGame);
    if (!withGame) {
        // Not asked again: the dialog stays, with the download's state.
        QVERIFY(updater->isVisible());
        QCOMPARE(status(), QStringLiteral("Downloading update..."));
        QVERIFY(button("cancelButton")->isEnabled());
        QVERIFY(!button("playButton")->isEnabled());
        QCOMPARE(requestsFor(QStringLiteral("/update.vt")), 1);
    }
}

void TestEndToEnd::brokenArchive()
{
    // A good directory, then an entry type that does not exist.
    const QByteArray broken = directory("kept") + entry(7, QByteArray("xx"));
    publish(broken);
    QVERIFY(startServer());
    startUpdater(base());

    QuestionAnswerer answerer({Answer::No});
    bool completedFirst = false;
    bool archiveKept = false;
    answerer.beforeAnswer = [&](QMessageBox*) {
        // The download's state stays; nothing claims the update completed.
        completedFirst = status() == QLatin1String("Update error") &&
                         !button("playButton")->isEnabled() && button("cancelButton")->isEnabled();
        archiveKept = QFile(work->filePath(QStringLiteral("update.vt"))).size() == broken.size();
    };
    QTRY_COMPARE_WITH_TIMEOUT(answerer.asked.size(), 1, 20000);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(answerer.asked.first().title, QStringLiteral("Update error"));
    QVERIFY(completedFirst);
    QVERIFY(archiveKept);
    QVERIFY(QFileInfo(work->filePath(QStringLiteral("kept"))).isDir());

    expectLogEntriesFrom(QStringLiteral("VessariTar"), 1);

    // Declined without a game: the error state stays and nothing is asked again.
    runPasses();
    QCOMPARE(answerer.asked.size(), 1);
    QCOMPARE(status(), QStringLiteral("Update error"));
    QVERIFY(!button("playButton")->isEnabled());
}

void TestEndToEnd::cancelMidDownload()
{
    publish(bytePattern(8 * 1024 * 1024), QStringLiteral("slow/update.vt"));
    nginx->addRateLimit(QStringLiteral("/slow/"), 512 * 1024);
    QVERIFY(startServer());
    FakeGame game;
    startUpdater(base(QStringLiteral("slow/")), game.command());
    QTRY_VERIFY_WITH_TIMEOUT(bar() > 0, 10000);
    QCOMPARE(threadsNamed("HTTPMessage"), 1); // what waitForWorkers() watches

    QuestionAnswerer answerer({Answer::Yes});
    QTimer::singleShot(0, updater.get(), [this] { pressCancel(); });
    QVERIFY(runUntilQuit(10000));
    QCOMPARE(answerer.asked.size(), 1);
    QCOMPARE(game.waitForStart(), QStringList(game.script));

    // Teardown ends the transfer: nothing is reported or written afterwards.
    updater.reset();
    waitForWorkers();
    QVERIFY(!QFile::exists(work->filePath(QStringLiteral("update.vt"))));
    QCOMPARE(logText(), QByteArray());
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

void TestEndToEnd::extractionUnderTheCancelQuestion()
{
    publish(gameArchive());
    QVERIFY(startServer());
    startUpdater(base(), QString(), false);

    // The question stays open until the update has completed underneath it.
    QuestionAnswerer answerer({Answer::No});
    answerer.beforeAnswer = [this](QMessageBox*) {
        // more timer calls with the question still open; a miss shows in the checks below
        if (QTest::qWaitFor([this] { return complete(); }, 20000))
            runPasses();
    };
    startWithCancelQuestionOpen();
    QTRY_COMPARE_WITH_TIMEOUT(answerer.asked.size(), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 25000);

    expectCompletedState();
    expectGameTreeExtracted();
    QCOMPARE(requestsFor(QStringLiteral("/update.vt")), 1);
    QCOMPARE(answerer.asked.size(), 1);
    QCOMPARE(logText(), QByteArray());
}

void TestEndToEnd::failureUnderTheCancelQuestion()
{
    QVERIFY(startServer()); // 404
    startUpdater(base(), QString(), false);

    QuestionAnswerer answerer({Answer::No, Answer::No});
    // The cancel question waits until the retry question has come up on top of it
    // and been answered.
    answerer.beforeAnswer = [&answerer](QMessageBox* box) {
        if (box->windowTitle() != QLatin1String("Cancel Update?"))
            return;
        if (QTest::qWaitFor([&answerer] { return answerer.asked.size() == 2; }, 20000))
            runPasses();
    };
    startWithCancelQuestionOpen();
    QTRY_COMPARE_WITH_TIMEOUT(answerer.asked.size(), 2, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 5000);

    QCOMPARE(answerer.asked[0].title, QStringLiteral("Cancel Update?"));
    QCOMPARE(answerer.asked[1].title, QStringLiteral("Update error"));
    runPasses();
    QCOMPARE(answerer.asked.size(), 2);
    QCOMPARE(requestsFor(QStringLiteral("/update.vt")), 1);
    QVERIFY(updater->isVisible());
}

void TestEndToEnd::realExecutable_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("gameStarts");
    QTest::newRow("play") << QString() << true;
    QTest::newRow("escape") << "Escape" << false;
}

// The real program in a real X server, pressed like a user would.
void TestEndToEnd::realExecutable()
{
    QFETCH(QString, key);
    QFETCH(bool, gameStarts);
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xvfb.isEmpty() || xdotool.isEmpty())
        QSKIP("needs Xvfb and xdotool (scripts/setup.sh installs them)");

    QTemporaryDir dir;
    // Xvfb picks a free display itself and names it once it accepts clients.
    QProcess server;
    server.start(xvfb,
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("640x400x24"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp")});
    QVERIFY(server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 10000);
    const QString display = QLatin1Char(':') + QString::fromLatin1(server.readLine()).trimmed();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    auto tool = [&](const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(xdotool, args);
        p.waitForFinished(10000);
        return QString::fromLatin1(p.readAllStandardOutput()).trimmed();
    };

    FakeGame game;
    publish(gameArchive());
    QVERIFY(startServer());
    QProcess updaterProcess;
    updaterProcess.setProcessEnvironment(env);
    updaterProcess.setWorkingDirectory(dir.path());
    updaterProcess.start(QStringLiteral(UPDATER_BUILD_DIR "/updater"),
                         {base(), game.command(QStringLiteral("--real"))});
    QVERIFY(updaterProcess.waitForStarted());

    QString window;
    QElapsedTimer waited;
    waited.start();
    while (window.isEmpty() && updaterProcess.state() == QProcess::Running &&
           waited.elapsed() < 20000) {
        QTest::qWait(50);
        window = tool({QStringLiteral("search"), QStringLiteral("--name"),
                       QStringLiteral("^Tovolia Updater$")});
    }
    QVERIFY2(!window.isEmpty(), updaterProcess.readAllStandardError().constData());
    window = window.section(QLatin1Char('\n'), 0, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("VERSION"))) &&
                                 !QFile::exists(dir.filePath(QStringLiteral("update.vt"))),
                             20000);
    // Play is enabled in the same step that removes the archive, before any input is handled.
    if (key.isEmpty()) {
        // Play sits at (267, 203), 78 x 26.
        tool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
              QStringLiteral("306"), QStringLiteral("216"), QStringLiteral("mousedown"),
              QStringLiteral("1"), QStringLiteral("mouseup"), QStringLiteral("1")});
    } else {
        tool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
        tool({QStringLiteral("key"), QStringLiteral("--window"), window, key});
    }
    // The process ends by itself: nothing invisible stays behind.
    QVERIFY(updaterProcess.waitForFinished(15000));
    QCOMPARE(updaterProcess.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updaterProcess.exitCode(), 0);
    QFile log(dir.filePath(QStringLiteral("log.txt")));
    QVERIFY(log.exists());
    QCOMPARE(log.size(), 0);
    if (gameStarts) {
        QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--real")}));
    } else {
        QTest::qWait(300);
        QVERIFY(!game.started());
    }
    server.terminate();
    server.waitForFinished(5000);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
