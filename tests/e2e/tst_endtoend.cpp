#include "ArchiveBytes.h"
#include "FakeGame.h"
#include "Log.h"
#include "MinisignTool.h"
#include "NginxServer.h"
#include "QuestionBoxes.h"
#include "TestFiles.h"
#include "TestTimeouts.h"
#include "Updater.h"
#include "VtRun.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <memory>

using namespace ArchiveBytes;
using namespace MinisignTool;

namespace {

// What every successful update leaves in the game folder; signed, with the stamp of the signature.
const Tree gameFiles = {{"VERSION", "2.0\n"},
                        {"data", kDir},
                        {"data/a.txt", "hello"},
                        {"data/sub", kDir},
                        {"data/sub/b.bin", bytePattern(300 * 1024)}};
Tree signedGame()
{
    Tree t = gameFiles;
    t.insert(QStringLiteral("update.stamp"), "1000\n");
    return t;
}
QByteArray gameArchive()
{
    QByteArray a = version("2.0");
    for (auto it = gameFiles.begin(); it != gameFiles.end(); ++it)
        a += it.value() == kDir ? directory(it.key().toLatin1())
                                : file(it.key().toLatin1(), it.value());
    return a;
}

// What the user does: nothing, press Play or close the window once the update is complete, press
// Cancel mid-download, press Cancel before the first step so that the update runs underneath the
// question, or retry a failed download once the archive is there.
enum Act
{
    Nothing,
    Play,
    Close,
    CancelMidway,
    CancelFirst,
    Retry,
};
// Beside the archive on the server: its signature, made before the archive was altered, or none.
enum Sig
{
    Valid,
    Altered,
    Unsigned,
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
    QString key;       // the key file the dialog trusts; "": unsigned
    Sig sig;
    QByteArray stamp; // update.stamp before the update
    Act act;
    bool withGame;
    QList<Answer> answers;
    QStringList questions; // the titles asked, in order
    bool quits;
    QString state;    // the status at the first question and at the end
    QStringList logs; // the part that wrote each log entry
    int requests;     // of the archive, and of the signature when signed
};
Q_DECLARE_METATYPE(Row)
Q_DECLARE_METATYPE(Sig)

// One nginx for all rows; each row has its own directory under www, so that its requests stay
// apart, and its own game folder as the current directory.
class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir keys, www;
    NginxServer nginx;
    int rows = 0;
    QString dir, originalDir;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<Updater> updater;

    QString url() const { return nginx.baseUrl().toString() + dir; }
    // The archive signed at timestamp 1000.
    void publish(const QByteArray& archive, Sig sig)
    {
        const QString path = www.filePath(dir + "/update.vt");
        if (archive.isEmpty())
            return;
        QVERIFY(writeFile(path, archive));
        if (sig != Unsigned && available())
            QVERIFY(sign(keys.filePath("key.sec"), path, {}, comment(1000)));
        if (sig == Altered)
            QVERIFY(writeFile(path, QByteArray(archive).replace("hello", "hellO")));
    }
    int fetches(const QString& name) const
    {
        const QString request = "\"GET /" + dir + '/' + name + " HTTP/1.1\"";
        return int(readFile(nginx.accessLogPath()).count(request.toLatin1()));
    }
    QString status() const { return updater->findChild<QLabel*>("statusLabel")->text(); }
    QString timeText() const { return updater->findChild<QLabel*>("timeLabel")->text(); }
    int bar() const { return updater->findChild<QProgressBar*>("progressBar")->value(); }
    QPushButton* button(const char* name) const { return updater->findChild<QPushButton*>(name); }
    void press(const char* name) { QTest::mousePress(button(name), Qt::LeftButton); }
    // Ends when every transfer worker has stopped and deleted itself.
    static void waitForWorkers()
    {
        QTRY_COMPARE_WITH_TIMEOUT(threadsNamed("HTTPMessage"), 0, scaledTimeout(20000));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private slots:
    void initTestCase()
    {
        if (available())
            QVERIFY(makeKey(keys.path(), QStringLiteral("key")));
        QVERIFY(writeFile(keys.filePath("garbage"), "not a key"));
        nginx.addRateLimit(QStringLiteral("/slow/"), 150 * 1024);
        QVERIFY2(nginx.start(www.path()), qPrintable(nginx.errorString()));
    }
    void init()
    {
        originalDir = QDir::currentPath();
        work = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(work->path()));
        QVERIFY(openLog(QStringLiteral("log.txt"), false));
        // Any warning of the Qt runtime, e.g. about a timer stopped from another thread, fails;
        // the offscreen platform's remark about size hints is not ours.
        QTest::failOnWarning(
            QRegularExpression(QStringLiteral("^(?!This plugin does not support)")));
    }
    void cleanup()
    {
        updater.reset();
        waitForWorkers();
        closeLog();
        QDir::setCurrent(originalDir);
        work.reset();
    }

    void update_data();
    void update();
    void vt_data();
    void vt();
    void realExecutable();
};

void TestEndToEnd::update_data()
{
    QTest::addColumn<Row>("row");
    const QList<Answer> yes{Answer::Yes}, no{Answer::No}, none;
    const QByteArray g = gameArchive(), big = bytePattern(8 << 20);
    const QString k = QStringLiteral("key.pub"), bad = QStringLiteral("garbage");
    const QStringList sig{"Signature"}, http{"HTTPMessage"}, tar{"VessariTar"}, play{playQ},
        cancel{cancelQ}, error{errorQ}, both{cancelQ, errorQ};
    const auto row = [](const char* name, const Row& r) { QTest::newRow(name) << r; };
    // Nothing more happens after a success: no second download, nothing asked. Unsigned, the
    // signature beside the archive is never fetched.
    row("unsigned", {g, "", Valid, {}, Nothing, true, none, {}, false, complete, {}, 1});
    row("signed, play button", {g, k, Valid, {}, Play, true, yes, {}, true, complete, {}, 1});
    row("close, play", {g, "", Valid, {}, Close, true, yes, play, true, complete, {}, 1});
    row("close, do not play", {g, "", Valid, {}, Close, true, no, play, true, complete, {}, 1});
    // After a failed extraction the download's state stays; nothing claims the update completed.
    row("broken archive",
        {broken, "", Valid, {}, Nothing, false, no, error, false, errorQ, tar, 1});
    row("cancel mid-download",
        {big, "", Valid, {}, CancelMidway, true, yes, cancel, true, downloading, {}, 1});
    row("update completes under the cancel question",
        {g, "", Valid, {}, CancelFirst, false, no, cancel, false, complete, {}, 1});
    row("404 under the cancel question",
        {{}, "", Valid, {}, CancelFirst, false, no + no, both, false, downloading, http, 1});
    row("404, retried", {g, "", Valid, {}, Retry, false, yes, error, false, complete, http, 2});
    // Refused: the retry question, and nothing of the update in the game folder.
    row("signed, altered",
        {g, k, Altered, {}, Nothing, false, no, error, false, downloading, sig, 1});
    row("signed, older than the installed update",
        {g, k, Valid, "2000\n", Nothing, false, no, error, false, downloading, sig, 1});
    row("signature missing",
        {g, k, Unsigned, {}, Nothing, false, no, error, false, downloading, http + sig, 1});
    row("key unreadable",
        {g, bad, Valid, {}, Nothing, false, no, error, false, downloading, sig, 0});
}

void TestEndToEnd::update()
{
    QFETCH(Row, row);
    const auto& [served, key, sig, stamp, act, withGame, answers, questions, quits, state, logs,
                 requests] = row;
    if (!key.isEmpty() && !available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    const bool slow = act == CancelMidway || act == Retry;
    dir = QStringLiteral("%1%2").arg(slow ? "slow/" : "").arg(++rows);
    if (act != Retry)
        publish(served, sig);
    if (!stamp.isEmpty())
        QVERIFY(writeFile(QStringLiteral("update.stamp"), stamp));
    FakeGame game;
    updater = std::make_unique<Updater>();
    updater->setBaseUrl(url()); // without the final "/"
    updater->setGamePath(withGame ? game.command(QStringLiteral("--updated")) : QString());
    updater->setTrustAnchor(key.isEmpty() ? TrustAnchor()
                                          : TrustAnchor::fromFile(keys.filePath(key)));
    updater->show();
    QuestionAnswerer answerer(answers);
    answerer.beforeAnswer = [&](QMessageBox* box) {
        // The cancel question stays up until the update has settled underneath it.
        if (box->windowTitle() == cancelQ && row.act == CancelFirst &&
            QTest::qWaitFor([&] { return status() == complete || answerer.asked.size() > 1; },
                            scaledTimeout(20000)))
            for (int pass = 0; pass < 50; ++pass) // lets zero-interval timers fire
                QCoreApplication::processEvents();
        if (row.act == Retry) {
            // The failed download shows underneath as an empty time and a bar at 0.
            QVERIFY(QTest::qWaitFor([&] { return timeText().isEmpty() && bar() == 0; }, 10000));
            publish(row.served, row.sig);
        }
    };

    if (act == CancelFirst) {
        QTimer::singleShot(0, updater.get(), [this] {
            updater->startUpdating();
            press("cancelButton");
        });
    } else {
        updater->startUpdating();
    }
    if (slow) {
        // A download runs: the bar and the time estimate move.
        QTRY_VERIFY_WITH_TIMEOUT(answerer.asked.size() == int(act == Retry) && bar() > 0 &&
                                     bar() < 100,
                                 scaledTimeout(20000));
        QVERIFY2(timeText().endsWith(QLatin1String(" remaining")), qPrintable(timeText()));
    }
    if (state == complete && act != CancelFirst)
        QTRY_VERIFY_WITH_TIMEOUT(status() == complete, scaledTimeout(20000));
    if (act == Play || act == Close) {
        // The cancel button is off once the update has succeeded; its slot asks nothing.
        bool cancelled = true;
        QMetaObject::invokeMethod(updater.get(), "cancelClicked", Q_RETURN_ARG(bool, cancelled));
        QVERIFY(!cancelled);
    }
    if (act == CancelMidway)
        QCOMPARE(threadsNamed("HTTPMessage"), 1); // what waitForWorkers() watches
    QTimer::singleShot(0, updater.get(), [this, act = act] {
        if (act == Close)
            updater->close();
        else if (act == Play || act == CancelMidway)
            press(act == Play ? "playButton" : "cancelButton");
    });
    // Until something quits, or the questions have been answered and the loop has settled.
    QCOMPARE(runUntilQuit(scaledTimeout(30000),
                          [&] { return answerer.answered(int(questions.size())); }),
             quits);

    QStringList asked;
    for (const AskedQuestion& q : std::as_const(answerer.asked))
        asked << q.title;
    QCOMPARE(asked, questions);
    // The buttons and the bar go with the status: complete, or still at the download.
    QCOMPARE(status(), state);
    QCOMPARE(button("playButton")->isEnabled(), state == complete);
    QCOMPARE(button("cancelButton")->isEnabled(), state != complete);
    QVERIFY(state != complete || bar() == 100);
    QVERIFY(act == Close ? !updater->isVisible() : quits || updater->isVisible());
    // A run that ends starts the game, unless the user has declined.
    const bool gameStarts = withGame && quits && answers != QList<Answer>{Answer::No};
    if (gameStarts)
        QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--updated")}));

    // Teardown ends any transfer: nothing is reported or written afterwards.
    updater.reset();
    waitForWorkers();
    QTRY_COMPARE(fetches("update.vt"), requests); // logged once the connection has ended
    QTRY_COMPARE(fetches("update.vt.minisig"), key.isEmpty() ? 0 : requests);
    Tree files = treeOf(work->path()), expected;
    QStringList sources; // the "File: SOURCE Line: N" of each entry
    for (const QByteArray& line : files.take(QStringLiteral("log.txt")).split('\n'))
        if (!line.isEmpty())
            sources << QString::fromLatin1(line).section(" File: ", -1).section(' ', 0, 0);
    QCOMPARE(sources, logs);
    if (state == complete)
        expected = key.isEmpty() ? gameFiles : signedGame();
    else if (served == broken)
        expected = {{"kept", kDir}, {"update.vt", broken}};
    else if (!stamp.isEmpty())
        expected = {{"update.stamp", stamp}};
    QCOMPARE(files, expected);
    QVERIFY(gameStarts || !withGame || !game.startsWithin(200));
}

// `vt update` and `vt verify` with a signature; URL, FILE, KEY and KEYFILE stand for the row's.
void TestEndToEnd::vt_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Sig>("sig");
    QTest::addColumn<int>("exitCode");
    const auto V = Valid, A = Altered;
    QTest::newRow("update, key line") << QStringList{"update", "URL", "-P", "KEY"} << V << 0;
    QTest::newRow("update, altered") << QStringList{"update", "URL", "-p", "KEYFILE"} << A << 1;
    QTest::newRow("verify, key file") << QStringList{"verify", "FILE", "-p", "KEYFILE"} << V << 0;
    QTest::newRow("verify, altered") << QStringList{"verify", "FILE", "-P", "KEY"} << A << 1;
    QTest::newRow("verify, other signature file")
        << QStringList{"verify", "FILE", "-p", "KEYFILE", "-x", "none"} << V << 1;
    QTest::newRow("verify, no key") << QStringList{"verify", "FILE"} << V << 2;
}

void TestEndToEnd::vt()
{
    QFETCH(QStringList, args);
    QFETCH(Sig, sig);
    QFETCH(int, exitCode);
    if (!available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    dir = QString::number(++rows);
    publish(gameArchive(), sig);
    const QMap<QString, QString> values{
        {"URL", url()},
        {"FILE", www.filePath(dir + "/update.vt")},
        {"KEY", QString::fromLatin1(readFile(keys.filePath("key.pub")).split('\n')[1])},
        {"KEYFILE", keys.filePath("key.pub")}};
    for (QString& arg : args)
        arg = values.value(arg, arg);
    const VtRun run = runVt(args, work->path());
    QCOMPARE(run.code, exitCode);
    QVERIFY2(run.err.isEmpty() == (exitCode == 0), run.err.constData());
    Tree files = treeOf(work->path());
    files.remove(QStringLiteral("log.txt"));
    QCOMPARE(files, args[0] == QLatin1String("update") && exitCode == 0 ? signedGame() : Tree());
}

// The real program in a real X server, pressed like a user would; it trusts the key beside it.
void TestEndToEnd::realExecutable()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xvfb.isEmpty() || xdotool.isEmpty() || !available())
        QSKIP("needs Xvfb, xdotool and minisign (scripts/setup.sh installs them)");

    // Xvfb picks a free display itself and names it once it accepts clients; without -noreset it
    // would reset, refusing connections, each time its last client leaves.
    QProcess server;
    server.start(
        xvfb,
        QStringLiteral("-displayfd 1 -noreset -screen 0 640x400x24 -nolisten tcp").split(' '));
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), scaledTimeout(10000));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), ':' + QString::fromLatin1(server.readLine()).trimmed());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    const auto tool = [&](const char* args) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(xdotool, QString::fromLatin1(args).split(QLatin1Char(' ')));
        return p.waitForFinished(scaledTimeout(10000)) && p.exitCode() == 0;
    };
    FakeGame game;
    dir = QString::number(++rows);
    publish(gameArchive(), Valid);
    QTemporaryDir bin, folder;
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BUILD_DIR "/updater"), bin.filePath("updater")));
    QVERIFY(QFile::copy(keys.filePath("key.pub"), bin.filePath("update.pub")));
    QProcess updaterProcess;
    updaterProcess.setProcessEnvironment(env);
    updaterProcess.setWorkingDirectory(folder.path());
    updaterProcess.start(bin.filePath("updater"), {url(), game.command(QStringLiteral("--real"))});
    QVERIFY(updaterProcess.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder.filePath(QStringLiteral("VERSION"))) &&
                                 !QFile::exists(folder.filePath(QStringLiteral("update.vt"))),
                             scaledTimeout(20000));
    // Play is enabled in the same step that removes the archive, before any input is handled.
    QVERIFY(tool("search --sync --name ^Tovolia.Updater$ mousemove --window %1 306 216 click 1"));
    // The process ends by itself: nothing invisible stays behind.
    QVERIFY(updaterProcess.waitForFinished(scaledTimeout(15000)));
    QCOMPARE(updaterProcess.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updaterProcess.exitCode(), 0);
    Tree expected = signedGame();
    expected.insert(QStringLiteral("log.txt"), {});
    QCOMPARE(treeOf(folder.path()), expected);
    QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--real")}));
    server.terminate();
    server.waitForFinished(5000);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
