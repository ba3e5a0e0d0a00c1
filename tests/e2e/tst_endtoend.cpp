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
#include <QtTest>
#include <memory>

using namespace ArchiveBytes;

namespace {

// What every successful update must leave on disk.
const Tree& gameTree()
{
    static const Tree tree = {{"VERSION", "2.0\n"},
                              {"data", kDir},
                              {"data/a.txt", "hello"},
                              {"data/sub", kDir},
                              {"data/sub/b.bin", bytePattern(300 * 1024)}};
    return tree;
}

QByteArray gameArchive()
{
    QByteArray a = version("2.0");
    for (auto it = gameTree().begin(); it != gameTree().end(); ++it)
        a += it.value() == kDir ? directory(it.key().toLatin1())
                                : file(it.key().toLatin1(), it.value());
    return a;
}

// Warnings of the Qt runtime, e.g. about a thread destroyed while running.
QStringList warnings;
void keepWarnings(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    // The offscreen platform's remark about size hints is not ours.
    if (type != QtDebugMsg && type != QtInfoMsg &&
        !text.startsWith(QLatin1String("This plugin does not support")))
        warnings << text;
}

// What the user does: nothing, press Play or close the window once the update is complete, press
// Cancel mid-download, or press Cancel before the first step so that the update runs underneath
// the question.
enum class Act
{
    Nothing,
    Play,
    Close,
    CancelMidway,
    CancelFirst,
};

// A good directory, then an entry type that does not exist.
const QByteArray broken = directory("kept") + entry(7, QByteArray("xx"));
const QString cancelQ = QStringLiteral("Cancel Update?"), errorQ = QStringLiteral("Update error"),
              playQ = QStringLiteral("Play Game?"), complete = QStringLiteral("Update complete"),
              downloading = QStringLiteral("Downloading update...");

} // namespace

struct Row
{
    QByteArray served; // nothing: 404
    QString suffix;    // of the base URL; under slow/ it is served slowly
    Act act;
    bool withGame;
    QList<Answer> answers;
    QStringList questions; // the titles asked, in order
    bool quits, gameStarts;
    QString state;   // the status at the first question and at the end
    QString logFrom; // the part that wrote the log's only entry
};
Q_DECLARE_METATYPE(Row)

class TestEndToEnd : public QObject
{
    Q_OBJECT

    QString originalDir;
    std::unique_ptr<QTemporaryDir> work; // the updater's current directory
    std::unique_ptr<QTemporaryDir> www;  // nginx's document root
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<Updater> updater;

    void publish(const QByteArray& archive, const QString& path)
    {
        QVERIFY(writeFile(www->filePath(path), archive));
    }
    QString status() const { return updater->findChild<QLabel*>("statusLabel")->text(); }
    QString timeText() const { return updater->findChild<QLabel*>("timeLabel")->text(); }
    int bar() const { return updater->findChild<QProgressBar*>("progressBar")->value(); }
    QPushButton* button(const char* name) const { return updater->findChild<QPushButton*>(name); }
    void press(const char* name) { QTest::mousePress(button(name), Qt::LeftButton); }
    void startUpdater(const QString& suffix, const QString& game = QString())
    {
        QVERIFY2(nginx->start(www->path()), qPrintable(nginx->errorString()));
        updater = std::make_unique<Updater>();
        updater->setBaseUrl(nginx->baseUrl().toString() + suffix);
        updater->setGamePath(game);
        updater->show();
    }
    int requestsFor(const QString& path) const
    {
        return int(
            readFile(nginx->accessLogPath()).count(("\"GET /" + path + " HTTP/1.1\"").toLatin1()));
    }
    // The wording is the unit suites' business; here only which part wrote how many entries.
    void expectLog(const QString& source, int count)
    {
        const QString log =
            QString::fromLatin1(readFile(work->filePath(QStringLiteral("log.txt"))));
        QVERIFY2(log.count(QLatin1Char('\n')) == count && log.count(logTail(source)) == count,
                 qPrintable(log));
    }
    // The buttons and the bar go with the status: complete, or still at the download.
    void expectState(const QString& expected)
    {
        QCOMPARE(status(), expected);
        QCOMPARE(button("playButton")->isEnabled(), expected == complete);
        QCOMPARE(button("cancelButton")->isEnabled(), expected != complete);
        if (expected == complete)
            QCOMPARE(bar(), 100);
    }
    // Ends when every transfer worker has stopped and deleted itself.
    static void waitForWorkers()
    {
        QTRY_COMPARE_WITH_TIMEOUT(threadsNamed("HTTPMessage"), 0, 20000);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private slots:
    void init()
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
    void cleanup()
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

    void update_data();
    void update();
    void failedDownloadRetried();
    void realExecutable();
};

void TestEndToEnd::update_data()
{
    QTest::addColumn<Row>("row");
    const QList<Answer> yes{Answer::Yes}, no{Answer::No}, none;
    const QByteArray game = gameArchive(), big = bytePattern(8 << 20);
    const auto row = [](const char* name, const Row& r) { QTest::newRow(name) << r; };
    // Nothing more happens after a success: no second download, nothing asked.
    row("root", {game, "", Act::Nothing, true, none, {}, false, false, complete, ""});
    row("directory, no trailing slash",
        {game, "dir", Act::Nothing, true, none, {}, false, false, complete, ""});
    row("play button", {game, "", Act::Play, true, yes, {}, true, true, complete, ""});
    row("close, play", {game, "", Act::Close, true, yes, {playQ}, true, true, complete, ""});
    row("close, do not play", {game, "", Act::Close, true, no, {playQ}, true, false, complete, ""});
    row("404, retry declined, game",
        {{}, "", Act::Nothing, true, no, {errorQ}, true, true, downloading, "HTTPMessage"});
    // After a failed extraction the download's state stays; nothing claims the update completed.
    row("broken archive",
        {broken, "", Act::Nothing, false, no, {errorQ}, false, false, errorQ, "VessariTar"});
    row("cancel mid-download",
        {big, "slow/", Act::CancelMidway, true, yes, {cancelQ}, true, true, downloading, ""});
    row("update completes under the cancel question",
        {game, "", Act::CancelFirst, false, no, {cancelQ}, false, false, complete, ""});
    const QStringList both{cancelQ, errorQ};
    row("404 under the cancel question",
        {{}, "", Act::CancelFirst, false, no + no, both, false, false, downloading, "HTTPMessage"});
}

void TestEndToEnd::update()
{
    QFETCH(Row, row);
    const auto& [served, suffix, act, withGame, answers, questions, quits, gameStarts, state,
                 logFrom] = row;

    const QString path =
        (suffix.isEmpty() ? suffix : suffix.section(QLatin1Char('/'), 0, 0) + '/') + "update.vt";
    if (!served.isEmpty())
        publish(served, path);
    if (path.startsWith(QLatin1String("slow/")))
        nginx->addRateLimit(QStringLiteral("/slow/"), 512 * 1024);
    FakeGame game;
    startUpdater(suffix, withGame ? game.command(QStringLiteral("--updated")) : QString());
    QuestionAnswerer answerer(answers);
    QString statusAtQuestion;
    qint64 archiveAtQuestion = 0;
    answerer.beforeAnswer = [&](QMessageBox* box) {
        // The cancel question stays up until the update has settled underneath it.
        if (box->windowTitle() == cancelQ && row.act == Act::CancelFirst &&
            QTest::qWaitFor([&] { return status() == complete || answerer.asked.size() > 1; },
                            20000))
            for (int pass = 0; pass < 50; ++pass) // lets zero-interval timers fire
                QCoreApplication::processEvents();
        if (statusAtQuestion.isEmpty()) {
            statusAtQuestion = status();
            archiveAtQuestion = QFileInfo(work->filePath(QStringLiteral("update.vt"))).size();
        }
    };

    if (act == Act::CancelFirst) {
        QTimer::singleShot(0, updater.get(), [this] {
            updater->startUpdating();
            press("cancelButton");
        });
    } else {
        updater->startUpdating();
    }
    if (act == Act::Play || act == Act::Close) {
        QTRY_VERIFY_WITH_TIMEOUT(status() == complete, 20000);
        // The cancel button is off once the update has succeeded; its slot asks nothing.
        bool cancelled = true;
        QMetaObject::invokeMethod(updater.get(), "cancelClicked", Q_RETURN_ARG(bool, cancelled));
        QVERIFY(!cancelled);
        QTimer::singleShot(0, updater.get(), [this, &row] {
            if (row.act == Act::Close)
                updater->close();
            else
                press("playButton");
        });
    } else if (act == Act::CancelMidway) {
        QTRY_VERIFY_WITH_TIMEOUT(bar() > 0, 10000);
        QCOMPARE(threadsNamed("HTTPMessage"), 1); // what waitForWorkers() watches
        QTimer::singleShot(0, updater.get(), [this] { press("cancelButton"); });
    } else if (questions.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(status() == complete, 20000);
    }
    // Until something quits, or the questions have been answered and the loop has settled.
    QCOMPARE(runUntilQuit(30000, [&] { return answerer.answered(int(row.questions.size())); }),
             quits);

    QStringList asked;
    for (const AskedQuestion& q : std::as_const(answerer.asked))
        asked << q.title;
    QCOMPARE(asked, questions);
    if (!questions.isEmpty() && act != Act::CancelFirst) {
        QCOMPARE(statusAtQuestion, state);
        QVERIFY(served != broken || archiveAtQuestion == broken.size());
    }
    expectState(state);
    QVERIFY(act == Act::Close ? !updater->isVisible() : quits || updater->isVisible());
    if (gameStarts)
        QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--updated")}));

    // Teardown ends any transfer: nothing is reported or written afterwards.
    updater.reset();
    waitForWorkers();
    QTRY_COMPARE(requestsFor(path), 1); // logged once the connection has ended
    Tree files = treeOf(work->path());
    QVERIFY(files.remove(QStringLiteral("log.txt")));
    QCOMPARE(files, (served == broken ? Tree{{"kept", kDir}, {"update.vt", broken}}
                     : served.isEmpty() || state != complete ? Tree()
                                                             : gameTree()));
    expectLog(logFrom, logFrom.isEmpty() ? 0 : 1);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    QVERIFY(gameStarts || !withGame || !game.startsWithin(200));
}

void TestEndToEnd::failedDownloadRetried()
{
    // Served slowly, so that the second attempt can be watched while it runs.
    nginx->addRateLimit(QStringLiteral("/slow/"), 150 * 1024);
    startUpdater(QStringLiteral("slow"));
    updater->startUpdating();
    QuestionAnswerer answerer({Answer::Yes});
    bool sawFailedState = false;
    answerer.beforeAnswer = [&](QMessageBox*) {
        // Failed download: refreshed to an empty time and a bar at 0 underneath.
        sawFailedState = QTest::qWaitFor([&] { return timeText().isEmpty() && bar() == 0; }, 10000);
        publish(gameArchive(), QStringLiteral("slow/update.vt"));
    };
    QTRY_COMPARE_WITH_TIMEOUT(answerer.asked.size(), 1, 20000);
    QCOMPARE(answerer.asked.first().title, errorQ);
    QCOMPARE(answerer.asked.first().text,
             QStringLiteral("An error has occurred while updating\nWould you like to try again?"));
    QCOMPARE(answerer.asked.first().icon, QMessageBox::Question);

    // A new download; while it runs, the bar and the time estimate move.
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(sawFailedState);
    QCOMPARE(status(), downloading);
    QTRY_VERIFY_WITH_TIMEOUT(bar() > 0 && bar() < 100, 10000);
    QVERIFY2(timeText().endsWith(QLatin1String(" remaining")), qPrintable(timeText()));
    QTRY_VERIFY_WITH_TIMEOUT(status() == complete, 20000);
    expectState(complete);
    QCOMPARE(answerer.asked.size(), 1);
    QCOMPARE(requestsFor(QStringLiteral("slow/update.vt")), 2);
    expectLog(QStringLiteral("HTTPMessage"), 1); // the failed attempt
}

// The real program in a real X server, pressed like a user would.
void TestEndToEnd::realExecutable()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xvfb.isEmpty() || xdotool.isEmpty())
        QSKIP("needs Xvfb and xdotool (scripts/setup.sh installs them)");

    // Xvfb picks a free display itself and names it once it accepts clients; without -noreset it
    // would reset, refusing connections, each time its last client leaves.
    QProcess server;
    server.start(
        xvfb,
        QStringLiteral("-displayfd 1 -noreset -screen 0 640x400x24 -nolisten tcp").split(' '));
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 10000);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), ':' + QString::fromLatin1(server.readLine()).trimmed());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    const auto tool = [&](const QString& args) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(xdotool, args.split(QLatin1Char(' ')));
        p.waitForFinished(10000);
        return QString::fromLatin1(p.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0);
    };
    FakeGame game;
    publish(gameArchive(), QStringLiteral("update.vt"));
    QVERIFY2(nginx->start(www->path()), qPrintable(nginx->errorString()));
    QTemporaryDir dir;
    QProcess updaterProcess;
    updaterProcess.setProcessEnvironment(env);
    updaterProcess.setWorkingDirectory(dir.path());
    updaterProcess.start(QStringLiteral(UPDATER_BUILD_DIR "/updater"),
                         {nginx->baseUrl().toString(), game.command(QStringLiteral("--real"))});
    QVERIFY(updaterProcess.waitForStarted());
    QString window;
    (void)QTest::qWaitFor(
        [&] {
            window = tool(QStringLiteral("search --name ^Tovolia.Updater$"));
            return !window.isEmpty() || updaterProcess.state() != QProcess::Running;
        },
        20000);
    QVERIFY2(!window.isEmpty(), updaterProcess.readAllStandardError().constData());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("VERSION"))) &&
                                 !QFile::exists(dir.filePath(QStringLiteral("update.vt"))),
                             20000);
    // Play is enabled in the same step that removes the archive, before any input is handled.
    tool(QStringLiteral("mousemove --window %1 306 216 mousedown 1 mouseup 1").arg(window)); // Play
    // The process ends by itself: nothing invisible stays behind.
    QVERIFY(updaterProcess.waitForFinished(15000));
    QCOMPARE(updaterProcess.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updaterProcess.exitCode(), 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("log.txt"))), QByteArray());
    QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--real")}));
    server.terminate();
    server.waitForFinished(5000);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
