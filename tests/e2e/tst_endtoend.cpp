#include "ArchiveBytes.h"
#include "FakeGame.h"
#include "Log.h"
#include "MinisignTool.h"
#include "NginxServer.h"
#include "QuestionBoxes.h"
#include "TestFiles.h"
#include "TestTimeouts.h"
#include "TransferWorkers.h"
#include "UpdateEngine.h"
#include "UpdateIndex.h"
#include "Updater.h"
#include "VtRun.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace ArchiveBytes;
using namespace MinisignTool;

namespace {

// What every successful update leaves in the game folder (and, signed, update.stamp).
const Tree gameFiles = {{"VERSION", "2.0\n"},
                        {"data", kDir},
                        {"data/a.txt", "hello"},
                        {"data/b.bin", bytePattern(300 * 1024)}};
const QByteArray gameArchive = version("2.0") + file("VERSION", "2.0\n") + directory("data") +
                               file("data/a.txt", "hello") +
                               file("data/b.bin", gameFiles["data/b.bin"]);

// What the user does: nothing, press Play or close the window once the update is complete, press
// Cancel mid-download, press Cancel before the first step so that the update runs underneath the
// question, or retry a failed download once the archive is there.
using Act = int;
constexpr Act Nothing = 0, Play = 1, Close = 2, CancelMidway = 3, CancelFirst = 4, Retry = 5;
// A good directory, then an entry type that does not exist: all or nothing, the directory
// goes again; the archive stays after it.
const QByteArray broken = directory("kept") + entry(7, QByteArray("xx"));
const Tree brokenLeft{{"update.vt", broken}};
const QString cancelQ = QStringLiteral("Cancel Update?"), errorQ = QStringLiteral("Update error"),
              playQ = QStringLiteral("Play Game?"), complete = QStringLiteral("Update complete"),
              downloading = QStringLiteral("Downloading update...");

// Takes signed mode's hidden staging out of files: what a later run goes on from, a prefix of the
// served archive with its record, or nothing; false for anything else.
bool stagingTaken(Tree& files, const QByteArray& served)
{
    const QByteArray part = files.take(".update.vt.partial"),
                     record = files.take(".update.vt.resume");
    return (part.isEmpty() && record.isEmpty()) ||
           (served.startsWith(part) &&
            record.endsWith('\n' + QByteArray::number(served.size()) + '\n'));
}

// Takes the installed state out of files: written by a signed update that was applied, so that
// the next one reads only what changed; never by an unsigned one or a failed one.
bool installedTaken(Tree& files, bool expected)
{
    const QByteArray state = files.take(".update.installed");
    return expected ? state.startsWith("VTSTATE\n") : state.isEmpty();
}

// An archive of a tree, in the tree's order, with its version first.
QByteArray archiveOf(const QByteArray& versionText, const Tree& tree)
{
    QByteArray archive = version(versionText);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        archive += it.value() == kDir ? directory(it.key().toLatin1())
                                      : file(it.key().toLatin1(), it.value());
    return archive;
}

qint64 mtimeNs(const struct stat& info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

struct stat statOf(const QString& path)
{
    struct stat info = {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info;
}

// Requests for one of a row's files in nginx's log from offset on: their status and body bytes.
QList<std::pair<int, qint64>> served(const QByteArray& log, const QString& path)
{
    QList<std::pair<int, qint64>> answers;
    const QRegularExpression line("\"GET /" + QRegularExpression::escape(path) +
                                  " HTTP/1\\.1\" (\\d+) (\\d+)");
    auto matches = line.globalMatch(QString::fromLatin1(log));
    while (matches.hasNext()) {
        const QRegularExpressionMatch m = matches.next();
        answers.append({m.captured(1).toInt(), m.captured(2).toLongLong()});
    }
    return answers;
}

// Whether a TCP connection to the local port is still open on the server's side (established,
// or closed by the peer and not yet by the server).
bool connectionsOpen(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1].endsWith(local) &&
            (fields[3] == "01" || fields[3] == "08"))
            return true;
    }
    return false;
}

const QByteArray tooLargeSignature =
    "HTTPMessage failed with the following error: The signature is "
    "too large: more than 4096 bytes.  The URL was ";

// The source file named by each entry of a log.
QStringList sources(const QByteArray& log)
{
    return QString::fromLatin1(log)
        .split('\n', Qt::SkipEmptyParts)
        .replaceInStrings(QRegularExpression("^.* File: (\\S+) .*$"), "\\1");
}

} // namespace

struct Row
{
    // "": unsigned; "signed"; "older" than the installed update; "no signature" on the server;
    // "broken key": the dialog's key file cannot be read
    QString signing;
    Act act;
    Answer answer;               // to every question
    bool quits;                  // with a game unless nobody quits and the answer is No
    QStringList questions, logs; // the titles asked, in order; the part that wrote each log entry
    QString state;               // the status at the end
    QByteArray served = gameArchive; // nothing: 404
};

// One nginx for all rows; each row has its own directory under www, so that its requests stay
// apart, and its own game folder as the current directory.
class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir keys, www;
    NginxServer nginx;
    int rows = 0;
    QString dir;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<Updater> updater;

    QString url() const { return nginx.baseUrl().toString() + dir; }
    // The archive signed at timestamp 1000; "altered" after signing; "huge signature": a valid
    // one followed by a mebibyte.
    void publish(const QByteArray& archive, const QString& signing)
    {
        const QString path = www.filePath(dir + "/update.vt");
        if (archive.isEmpty())
            return;
        QVERIFY(writeFile(path, archive));
        if (signing != QLatin1String("no signature") && available())
            QVERIFY(sign(keys.filePath("key.sec"), path, {}, comment(1000)));
        if (signing == QLatin1String("altered"))
            QVERIFY(writeFile(path, QByteArray(archive).replace("hello", "hellO")));
        if (signing == QLatin1String("huge signature"))
            QVERIFY(writeFile(path + ".minisig",
                              readFile(path + ".minisig") + QByteArray(1 << 20, '\n')));
    }
    int fetches(const QString& name) const
    {
        return int(served(readFile(nginx.accessLogPath()), dir + '/' + name).size());
    }
    QString status() const { return updater->findChild<QLabel*>("statusLabel")->text(); }
    QString timeText() const { return updater->findChild<QLabel*>("timeLabel")->text(); }
    int bar() const { return updater->findChild<QProgressBar*>("progressBar")->value(); }
    QPushButton* button(const char* name) const { return updater->findChild<QPushButton*>(name); }
    void press(const char* name) { QTest::mousePress(button(name), Qt::LeftButton); }

private slots:
    void initTestCase()
    {
        if (available())
            QVERIFY(makeKey(keys.path(), QStringLiteral("key")) &&
                    makeKey(keys.path(), QStringLiteral("other")));
        nginx.addRateLimit(QStringLiteral("/slow/"), 150 * 1024);
        // Seconds for the 3 MiB archive of the interrupted rows: still in flight when stopped.
        nginx.addRateLimit(QStringLiteral("/resume/"), 512 << 10);
        nginx.addLocation(QStringLiteral("/noranges/"),
                          QStringLiteral("limit_rate 512k; max_ranges 0;"));
        QVERIFY2(nginx.start(www.path()), qPrintable(nginx.errorString()));
    }
    void init()
    {
        dir = QString::number(++rows);
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
        QVERIFY(workersGone(20000));
        closeLog();
        work.reset();
    }

    void update_data();
    void update();
    void vt_data();
    void vt();
    void interrupted_data();
    void interrupted();
    void incremental_data();
    void incremental();
    void changedDuringApply_data();
    void changedDuringApply();
    void realExecutable();
};

void TestEndToEnd::update_data()
{
    QTest::addColumn<Row>("row");
    const QByteArray big = bytePattern(8 << 20);
    const Answer yes = Answer::Yes, no = Answer::No;
    const QStringList sig{"Signature"}, http{"HTTPMessage"}, tar{"VessariTar"}, play{playQ},
        cancel{cancelQ}, error{errorQ}, both{cancelQ, errorQ};
    const auto row = [](const char* name, const Row& r) { QTest::newRow(name) << r; };
    // Nothing more happens after a success: no second download, nothing asked. Unsigned, the
    // signature beside the archive is never fetched.
    row("unsigned", {"", Nothing, yes, false, {}, {}, complete});
    row("signed, play button", {"signed", Play, yes, true, {}, {}, complete});
    row("close, play", {"", Close, yes, true, play, {}, complete});
    row("close, do not play", {"", Close, no, true, play, {}, complete});
    // After a failed extraction the download's state stays; nothing claims the update completed.
    row("broken archive", {"", Nothing, no, false, error, tar, errorQ, broken});
    row("cancel mid-download", {"", CancelMidway, yes, true, cancel, {}, downloading, big});
    // Signed, what has arrived stays hidden, for the next run to go on from.
    row("signed, cancel mid-download",
        {"signed", CancelMidway, yes, true, cancel, {}, downloading, big});
    row("update completes under the cancel question",
        {"", CancelFirst, no, false, cancel, {}, complete});
    row("404 under the cancel question", {"", CancelFirst, no, false, both, http, downloading, {}});
    row("404, retried", {"", Retry, yes, false, error, http, complete});
    // Refused: the retry question over "Update error", and nothing of the update in the game
    // folder. The engine refuses an altered archive or an oversized signature for the dialog as
    // for vt (vt()'s rows); the dialog shows any refusal as it shows these.
    row("older than the installed update", {"older", Nothing, no, false, error, sig, errorQ});
    row("broken key", {"broken key", Nothing, no, false, error, sig, errorQ});
    row("no signature", {"no signature", Nothing, no, false, error, http + sig, downloading});
}

void TestEndToEnd::update()
{
    QFETCH(Row, row);
    const auto& [signing, act, answer, quits, questions, logs, state, served] = row;
    const bool withGame = quits || answer == Answer::Yes;
    // Of the archive, and of the signature when signed.
    const int requests = act == Retry ? 2 : signing == QLatin1String("broken key") ? 0 : 1;
    if (!signing.isEmpty() && !available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    const bool slow = act == CancelMidway || act == Retry;
    if (slow)
        dir.prepend(QLatin1String("slow/"));
    if (act != Retry)
        publish(served, signing);
    if (signing == QLatin1String("older"))
        QVERIFY(writeFile(QStringLiteral("update.stamp"), "2000\n"));
    FakeGame game;
    updater = std::make_unique<Updater>();
    updater->setBaseUrl(url()); // without the final "/"
    updater->setGamePath(withGame ? '"' + game.script + "\" --updated" : QString());
    const QString key = keys.filePath(signing == QLatin1String("broken key") ? "none" : "key.pub");
    updater->setTrustAnchor(signing.isEmpty() ? TrustAnchor() : TrustAnchor::fromFile(key));
    updater->show();
    QuestionAnswerer answerer(QList<Answer>(questions.size(), answer));
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
            publish(row.served, row.signing);
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
        QTRY_COMPARE(HTTPMessage::liveWorkerCount(), 1); // what workersGone() watches; the
                                                         // signature's may still be going
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
    // A refused download is shown whole; a key refused before any download shows nothing.
    if (state == errorQ && !signing.isEmpty())
        QCOMPARE(bar(), signing == QLatin1String("broken key") ? 0 : 100);
    QVERIFY(act == Close ? !updater->isVisible() : quits || updater->isVisible());
    // A run that ends starts the game, unless the user has declined.
    const bool gameStarts = withGame && quits && answer == Answer::Yes;
    if (gameStarts)
        QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--updated")}));

    // Teardown ends any transfer: nothing is reported or written afterwards.
    updater.reset();
    QVERIFY(workersGone(20000));
    // Logged once the connection has ended; without a signature the archive's request may be
    // dropped before it is sent.
    QTRY_VERIFY(fetches("update.vt") == requests || signing == QLatin1String("no signature"));
    QTRY_COMPARE(fetches("update.vt.minisig"), signing.isEmpty() ? 0 : requests);
    Tree files = treeOf(work->path());
    // The "File: SOURCE Line: N" of each entry.
    const QByteArray log = files.take("log.txt");
    QCOMPARE(sources(log), logs);
    const bool installed = state == complete && !signing.isEmpty();
    QCOMPARE(files.take("update.stamp"), installed ? "1000\n" : signing == "older" ? "2000\n" : "");
    QVERIFY(installedTaken(files, installed));
    QVERIFY(stagingTaken(files, served));
    QCOMPARE(files, state == complete ? gameFiles : served == broken ? brokenLeft : Tree());
    QVERIFY(gameStarts || !withGame || !game.startsWithin(200));
}

// `vt update` as a script runs it; URL, KEY and KEYFILE stand for the row's. vt verify's
// refusals and sources are tst_vt's.
void TestEndToEnd::vt_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("signing");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("logs");
    QTest::addColumn<QByteArray>("served");
    const auto row = [](const char* name, const char* args, const QString& signing, int exitCode,
                        const QStringList& logs = {}, const QByteArray& served = gameArchive) {
        QTest::newRow(name) << QString(args).split(' ') << signing << exitCode << logs << served;
    };
    const QString V = "signed", A = "altered";
    row("update, unsigned", "update URL", V, 0);
    row("update, 404, one retry", "update URL --retries 1", V, 1, {"HTTPMessage", "HTTPMessage"},
        {});
    row("update, broken archive", "update URL", V, 1, {"VessariTar"}, broken);
    row("update, key line", "update URL -P KEY", V, 0);
    row("update, altered", "update URL -p KEYFILE", A, 1, {"Signature"});
    // --max-size is the archive's: the signature keeps its own limit.
    row("update, huge signature, archive limit 10 GB",
        "update URL -p KEYFILE --max-size 10000000000", "huge signature", 1,
        {"HTTPMessage", "Signature"});
}

void TestEndToEnd::vt()
{
    QFETCH(QStringList, args);
    QFETCH(QString, signing);
    QFETCH(int, exitCode);
    QFETCH(QStringList, logs);
    QFETCH(QByteArray, served);
    if (!available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    publish(served, signing);
    const bool keyed = args.contains("-p") || args.contains("-P");
    const int requests = 1 + int(args.contains("--retries"));
    const QMap<QString, QString> values{
        {"URL", url()},
        {"KEY", QString::fromLatin1(readFile(keys.filePath("key.pub")).split('\n')[1])},
        {"KEYFILE", keys.filePath("key.pub")}};
    for (QString& arg : args)
        arg = values.value(arg, arg);
    const VtRun run = runVt(args, work->path());
    QCOMPARE(run.code, exitCode);
    Tree files = treeOf(work->path());
    // Each log entry is echoed on stderr, and each failed try is told in one line.
    const QByteArray log = files.take("log.txt");
    QCOMPARE(sources(log), logs);
    QCOMPARE(log.contains(tooLargeSignature), signing == QLatin1String("huge signature"));
    QCOMPARE(run.err.count(" File: "), log.count(" File: "));
    QCOMPARE(run.err.count('\n') - log.count('\n'), exitCode ? requests : 0);
    // Logged once the connection has ended; a refused signature may drop the archive's request
    // before it is sent.
    if (signing == QLatin1String("huge signature"))
        QVERIFY(fetches("update.vt") <= requests);
    else
        QTRY_COMPARE(fetches("update.vt"), requests);
    const bool installed = exitCode == 0;
    QCOMPARE(files.take("update.stamp"), installed && keyed ? "1000\n" : "");
    QVERIFY(installedTaken(files, installed && keyed));
    // The archive and, signed, its signature, after the index and its signature (not published
    // here): in one request each.
    if (installed)
        QCOMPARE(run.out, QString("fetched %1 MiB of %1 MiB in %2\n")
                              .arg(served.size() / 1048576.0, 0, 'f', 1)
                              .arg(keyed ? "4 requests" : "1 request")
                              .toLatin1());
    // A refused signature leaves at most what a later run goes on from.
    QVERIFY(stagingTaken(files, served));
    QCOMPARE(files, installed ? gameFiles : served == broken ? brokenLeft : Tree());
}

// A run stopped mid-download by a signal, then, where the row says so, run again. What the first
// leaves is only the hidden staging, which the second goes on from with a range request where the
// server's file is unchanged and allows ranges; either way the result is verified.
void TestEndToEnd::interrupted_data()
{
    QTest::addColumn<QString>("program"); // "vt", or the dialog's "updater" trusting the key
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("keyed");
    // Rate-limited. A server without ranges answers the rerun's range with 200 as a changed
    // archive does: the same branch (transfer's "200 instead: starts over").
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("then");     // "": no second run; "rerun"; "changed": a new archive
    QTest::addColumn<int>("secondStatus"); // of the rerun's archive request, in nginx's log
    QTest::newRow("vt killed, rerun goes on") << "vt" << SIGKILL << true << "resume/"
                                              << "rerun" << 206;
    QTest::newRow("vt killed, archive changed, rerun") << "vt" << SIGKILL << true << "resume/"
                                                       << "changed" << 200;
    // Staged bytes damaged between the runs: refused once, then fetched whole and applied.
    QTest::newRow("vt killed, staging damaged, rerun") << "vt" << SIGKILL << true << "resume/"
                                                       << "damaged" << 206;
    QTest::newRow("vt SIGTERM") << "vt" << SIGTERM << true << "resume/"
                                << "" << 0;
    QTest::newRow("vt SIGINT, unsigned") << "vt" << SIGINT << false << "resume/"
                                         << "" << 0;
    QTest::newRow("updater SIGTERM, vt goes on") << "updater" << SIGTERM << true << "resume/"
                                                 << "rerun" << 206;
}

void TestEndToEnd::interrupted()
{
    QFETCH(QString, program);
    QFETCH(int, signal);
    QFETCH(bool, keyed);
    QFETCH(QString, location);
    QFETCH(QString, then);
    QFETCH(int, secondStatus);
    if (!available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    dir.prepend(location);
    Tree game = gameFiles;
    game.insert("data/big.bin", bytePattern(3 << 20));
    const QByteArray served = gameArchive + file("data/big.bin", game["data/big.bin"]);
    publish(served, "signed");
    const QString staged = work->filePath(".update.vt.partial");

    QTemporaryDir bin;
    FakeGame fakeGame;
    QProcess first;
    first.setWorkingDirectory(work->path());
    if (program == "vt") {
        QStringList args{"update", url()};
        if (keyed)
            args << "-p" << keys.filePath("key.pub");
        first.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), args);
    } else {
        // The dialog trusts the key beside it.
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_BUILD_DIR "/updater"), bin.filePath("updater")));
        QVERIFY(QFile::copy(keys.filePath("key.pub"), bin.filePath("update.pub")));
        first.start(bin.filePath("updater"), {url(), '"' + fakeGame.script + "\" --x"});
    }
    QVERIFY(first.waitForStarted());
    // Signed, under way once part of the archive is staged; unsigned, once the nameless body is
    // open in the folder.
    const QString fds = QStringLiteral("/proc/%1/fd").arg(first.processId());
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (keyed)
                return QFileInfo(staged).size() >= (256 << 10) &&
                       QFile::exists(work->filePath(".update.vt.resume"));
            for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System)) {
                char target[4096];
                const ssize_t n = ::readlink(QFile::encodeName(fds + '/' + fd).constData(), target,
                                             sizeof target);
                if (n > 0 && QByteArray(target, int(n)).contains("/#"))
                    return true;
            }
            return false;
        },
        scaledTimeout(20000)));
    ::kill(pid_t(first.processId()), signal);
    QVERIFY(first.waitForFinished(scaledTimeout(20000)));
    if (signal == SIGKILL) {
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);
    } else {
        // Ended through their own clean-up: a failure, said as such, and no game started.
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 1);
        if (program == "vt")
            QCOMPARE(first.readAllStandardError(), QByteArray("vt: update: stopped by ") +
                                                       (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                                                       '\n');
        QVERIFY(!fakeGame.startsWithin(200));
    }
    Tree files = treeOf(work->path());
    QCOMPARE(files.take("log.txt"), QByteArray());
    // A killed run may leave the signature, whole, which the next run replaces.
    // Killed between naming the signature's part and renaming it, the part stays for the next
    // run to remove.
    if (signal == SIGKILL)
        files.removeIf([](const auto& file) {
            return file.key() == "update.vt.minisig" ||
                   (file.key().startsWith(".update.vt.minisig.") && file.key().endsWith(".part"));
        });
    // Nothing unverified under a usable name: only the staging, which a signed run keeps.
    const bool kept = files.contains(".update.vt.partial");
    QVERIFY(stagingTaken(files, served));
    QCOMPARE(kept, keyed);
    QCOMPARE(files, Tree());
    if (then.isEmpty())
        return;

    const qint64 keptBytes = QFileInfo(staged).size();
    Tree expected = game;
    QByteArray archive = served;
    if (then == "changed") {
        expected.insert("data/new.txt", "new");
        archive += file("data/new.txt", "new");
        publish(archive, "signed");
    }
    const bool damaged = then == "damaged";
    if (damaged) {
        QFile part(staged);
        QVERIFY(part.open(QIODevice::ReadWrite) && part.seek(keptBytes / 2) &&
                part.write("X") == 1);
    }
    const VtRun second = runVt({"update", url(), "-p", keys.filePath("key.pub")}, work->path());
    QCOMPARE(second.code, 0);
    files = treeOf(work->path());
    QCOMPARE(sources(files.take("log.txt")), damaged ? QStringList("Signature") : QStringList());
    QCOMPARE(files.take("update.stamp"), "1000\n");
    QVERIFY(installedTaken(files, true));
    QCOMPARE(files, expected);
    // The archive's requests: the first cut short, then the rest or, where the server cannot
    // or must not go on, the whole of the new archive.
    QList<std::pair<int, qint64>> answers;
    QTRY_COMPARE_WITH_TIMEOUT(
        (answers = ::served(readFile(nginx.accessLogPath()), dir + "/update.vt")).size(),
        damaged ? 3 : 2, scaledTimeout(10000));
    QList<int> statuses;
    for (const auto& answer : std::as_const(answers))
        statuses << answer.first;
    QCOMPARE(statuses, damaged ? QList<int>({200, 206, 200}) : QList<int>({200, secondStatus}));
    // Together one archive: the second asks for exactly what the first did not keep, or, where
    // the server cannot or must not go on, sends the new archive whole.
    QVERIFY(answers[0].second >= keptBytes);
    // (Of a whole staged archive the last byte, which the server then confirms.)
    QCOMPARE(answers[1].second, secondStatus == 206
                                    ? archive.size() - qMin(keptBytes, archive.size() - 1)
                                    : archive.size());
    // What it fetched against the archive: resumed, well short of it.
    const QRegularExpressionMatch fetched =
        QRegularExpression(
            QString("^fetched (\\d+\\.\\d) MiB of (\\d+\\.\\d) MiB in %1 requests\n$")
                .arg(damaged ? 6 : 4))
            .match(QString::fromLatin1(second.out));
    QVERIFY2(fetched.hasMatch(), second.out.constData());
    QCOMPARE(fetched.captured(2), QString::number(archive.size() / 1048576.0, 'f', 1));
    QVERIFY(secondStatus != 206 || damaged ||
            fetched.captured(1).toDouble() < fetched.captured(2).toDouble());
}

// The real program in a real X server, pressed like a user would; it trusts the key beside it.
void TestEndToEnd::realExecutable()
{
    // Without a game it ends at once, the log of an earlier run emptied.
    // A look at the help leaves the log alone.
    QTemporaryDir bin, folder;
    QProcess updaterProcess;
    updaterProcess.setWorkingDirectory(folder.path());
    for (const QString& arg : {url(), QStringLiteral("--help")}) {
        QVERIFY(writeFile(folder.filePath("log.txt"), "from an earlier run\n"));
        updaterProcess.start(QStringLiteral(UPDATER_BUILD_DIR "/updater"), {arg});
        QVERIFY(updaterProcess.waitForFinished() &&
                updaterProcess.exitStatus() == QProcess::NormalExit);
        QCOMPARE(updaterProcess.exitCode(), arg == url() ? 255 : 0);
        QCOMPARE(readFile(folder.filePath("log.txt")), arg == url() ? "" : "from an earlier run\n");
    }
    QVERIFY(
        updaterProcess.readAllStandardOutput().startsWith("Usage: updater BASEURL GAMECOMMAND"));
    // Without a display: one line and its own exit code, not Qt's abort.
    QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        headless.remove(QString::fromLatin1(name));
    updaterProcess.setProcessEnvironment(headless);
    updaterProcess.start(QStringLiteral(UPDATER_BUILD_DIR "/updater"), {url(), "true"});
    QVERIFY(updaterProcess.waitForFinished() &&
            updaterProcess.exitStatus() == QProcess::NormalExit);
    QCOMPARE(updaterProcess.exitCode(), 3);
    QCOMPARE(updaterProcess.readAllStandardError().count('\n'), 1);

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
    FakeGame game;
    publish(gameArchive, QStringLiteral("signed"));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BUILD_DIR "/updater"), bin.filePath("updater")));
    QVERIFY(QFile::copy(keys.filePath("key.pub"), bin.filePath("update.pub")));
    updaterProcess.setProcessEnvironment(env);
    updaterProcess.start(bin.filePath("updater"), {url(), '"' + game.script + "\" --real"});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder.filePath(QStringLiteral("VERSION"))) &&
                                 !QFile::exists(folder.filePath(QStringLiteral("update.vt"))),
                             scaledTimeout(20000));
    // Play is enabled in the same step that removes the archive, before any input is handled.
    QProcess click;
    click.setProcessEnvironment(env);
    click.start(xdotool, QStringLiteral("search --sync --name ^Tovolia.Updater$ mousemove --window "
                                        "%1 306 216 click 1")
                             .split(' '));
    QVERIFY(click.waitForFinished(scaledTimeout(10000)) && click.exitCode() == 0);
    // The process ends by itself: nothing invisible stays behind.
    QVERIFY(updaterProcess.waitForFinished(scaledTimeout(15000)) &&
            updaterProcess.exitStatus() == QProcess::NormalExit && updaterProcess.exitCode() == 0);
    Tree files = treeOf(folder.path());
    QCOMPARE(files.take("update.stamp") + files.take("log.txt"), "1000\n"); // the log empty
    QVERIFY(installedTaken(files, true));
    QCOMPARE(files, gameFiles);
    QCOMPARE(game.waitForStart(), QStringList({game.script, QStringLiteral("--real")}));
    server.terminate();
    server.waitForFinished(5000);
}

void TestEndToEnd::incremental_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QStringList>("logs");
    QTest::newRow("incremental") << "incremental"
                                 << "" << QStringList();
    // The same update through the dialog, which runs the same engine.
    QTest::newRow("incremental, dialog") << "dialog"
                                         << "" << QStringList();
    // The index of another archive: its digest is not the signed archive's.
    QTest::newRow("stale index") << "stale index"
                                 << "" << QStringList{"Signature", "UpdateEngine"};
    QTest::newRow("no index") << "no index"
                              << "" << QStringList();
    QTest::newRow("server without ranges")
        << "no ranges"
        << "noranges/" << QStringList{"HTTPMessage", "UpdateEngine"};
    // A new version under the same URL between the first range and the next (here the same
    // bytes with a new time, so a new ETag): If-Range gets 200, and the archive comes whole.
    QTest::newRow("archive changed between requests")
        << "changed"
        << "resume/" << QStringList{"HTTPMessage", "UpdateEngine"};
    QTest::newRow("resume after a kill") << "resume"
                                         << "resume/" << QStringList();
    // Signed by another key: refused before the archive or its signature is asked for.
    QTest::newRow("index of another key") << "other key"
                                          << "" << QStringList{"Signature"};
    // Bytes other than the signed ones behind the same name: no chunk of them is used.
    QTest::newRow("lying server") << "lying"
                                  << "" << QStringList{"UpdateEngine", "Signature"};
    // Older than the update applied last (a replay): refused as early.
    QTest::newRow("older index") << "older"
                                 << "" << QStringList{"Signature"};
    QTest::newRow("repair") << "repair"
                            << "" << QStringList();
    // An empty folder: nothing to reuse, so the archive comes whole, in one request.
    QTest::newRow("fresh install") << "fresh"
                                   << "" << QStringList();
    // Published by an older packer, its chunks cut otherwise: refused, the archive whole.
    QTest::newRow("index of the previous format") << "old index"
                                                  << "" << QStringList{"UpdateEngine"};
    // Left by an older updater, the record's chunks cut otherwise: no record, every file read,
    // so damage behind a kept size and time is found without a repair.
    QTest::newRow("state of the previous format") << "old state"
                                                  << "" << QStringList();
}

void TestEndToEnd::incremental()
{
    QFETCH(QString, kind);
    QFETCH(QString, location);
    QFETCH(QStringList, logs);
    if (!available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    dir.prepend(location);
    const bool resume = kind == "resume";
    const Tree old{{"data", kDir},
                   {"data/a.txt", "hello"},
                   {"data/big.bin", randomBytes(1 << 20, 2)},
                   {"data/drop.bin", randomBytes(100 << 10, 3)},
                   {"data/same.bin", randomBytes(512 << 10, 1)}};
    Tree next = old;
    next.remove("data/drop.bin");
    next["data/big.bin"].replace(400 << 10, 10 << 10, randomBytes(10 << 10, 4));
    // Seconds at the rate-limited location: still in flight when killed.
    next.insert("data/new.bin", randomBytes(resume ? 3 << 20 : 200 << 10, 5));
    const bool changing = kind == "changed";
    // The first range then takes seconds at the limited rate: the archive changes under it.
    if (changing)
        next.insert("data/aaa.bin", randomBytes(1 << 20, 6));
    const QStringList vtArgs{"update", url(), "-p", keys.filePath("key.pub")};

    // The old version, whole, as any signed update: it records what it installed.
    const bool emptyFolder = kind == "fresh";
    if (!emptyFolder) {
        publish(archiveOf("1.0", old), "signed");
        QCOMPARE(runVt(vtArgs, work->path()).code, 0);
        QVERIFY(QFile::exists(work->filePath(".update.installed")));
        QVERIFY(writeFile(work->filePath("player.sav"), "mine"));
    }
    const struct stat same = statOf(work->filePath("data/same.bin"));
    if (kind == "repair" || kind == "old state") {
        // Damaged with its size and time kept: only a rehash finds it.
        QFile damaged(work->filePath("data/same.bin"));
        QVERIFY(damaged.open(QIODevice::ReadWrite) && damaged.seek(1000) && damaged.write("X"));
        damaged.close();
        const struct timespec times[2] = {same.st_atim, same.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(damaged.fileName()).constData(), times, 0),
                 0);
    }

    if (kind == "old state") {
        QByteArray state = readFile(work->filePath(".update.installed"));
        state.chop(32);
        state.replace(8, 4, QByteArray("\1\0\0\0", 4));
        QVERIFY(writeFile(work->filePath(".update.installed"),
                          state + ContentChunks::hash(state.constData(), state.size())));
    }

    const QByteArray archive = archiveOf("2.0", next);
    const QString published = www.filePath(dir + "/update.vt");
    QVERIFY(writeFile(published, archive));
    QStringList signing{"-S", "-s", keys.filePath(kind == "other key" ? "other.sec" : "key.sec"),
                        "-m", published};
    if (kind != "no index") {
        UpdateIndex index;
        if (kind == "stale index") {
            Tree other = next;
            other.insert("data/other.txt", "other");
            QVERIFY(writeFile(published + ".other", archiveOf("2.0", other)));
            QVERIFY(UpdateIndex::build(published + ".other", index));
        } else {
            QVERIFY(UpdateIndex::build(published, index));
        }
        QByteArray indexBytes = index.serialize();
        if (kind == "old index")
            indexBytes.replace(4, 4, QByteArray("\1\0\0\0", 4));
        QVERIFY(writeFile(published + ".index", indexBytes));
        signing << published + ".index";
    }
    QCOMPARE(QProcess::execute("minisign", signing), 0);
    // A server (or cache) that serves other bytes than were signed, of the same length.
    if (kind == "lying")
        QVERIFY(writeFile(published, QByteArray(archive).replace(next["data/new.bin"].left(64),
                                                                 QByteArray(64, 'L'))));
    if (kind == "older")
        QVERIFY(writeFile(work->filePath("update.stamp"), "4000000000\n"));
    const QByteArray logBefore = readFile(nginx.accessLogPath());

    if (resume) {
        QProcess first;
        first.setWorkingDirectory(work->path());
        first.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), vtArgs);
        const QString chunks = work->filePath(".update.vt.chunks");
        // Killed once a good part of the ranges is stored (the store is sparse: its blocks).
        QVERIFY(QTest::qWaitFor([&] { return statOf(chunks).st_blocks * 512 >= (1 << 20); },
                                scaledTimeout(30000)));
        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(scaledTimeout(20000)));
        QVERIFY(QFile::exists(chunks));
        // nginx logs a request cut short once it notices, which a rate limit delays: the next
        // run's requests are counted from then on.
        QTRY_VERIFY_WITH_TIMEOUT(!connectionsOpen(quint16(nginx.baseUrl().port())),
                                 scaledTimeout(20000));
    }
    qsizetype lastRunFrom = readFile(nginx.accessLogPath()).size();
    VtRun run;
    if (kind == "dialog") {
        updater = std::make_unique<Updater>();
        updater->setBaseUrl(url());
        updater->setTrustAnchor(TrustAnchor::fromFile(keys.filePath("key.pub")));
        updater->show();
        updater->startUpdating();
        QTRY_VERIFY_WITH_TIMEOUT(status() == complete, scaledTimeout(20000));
        QCOMPARE(bar(), 100);
        updater.reset();
        QVERIFY(workersGone(20000));
        run.code = 0;
    } else if (changing) {
        QProcess vt;
        vt.setWorkingDirectory(work->path());
        vt.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), vtArgs);
        // The first range alone is in flight until it ends: changed while it arrives.
        QVERIFY(QTest::qWaitFor(
            [&] {
                return statOf(work->filePath(".update.vt.chunks")).st_blocks * 512 >= (256 << 10);
            },
            scaledTimeout(30000)));
        struct timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 3600, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(published).constData(), later, 0), 0);
        QVERIFY(vt.waitForFinished(scaledTimeout(60000)));
        run.code = vt.exitStatus() == QProcess::NormalExit ? vt.exitCode() : -1;
        run.out = vt.readAllStandardOutput();
    } else {
        run = runVt(vtArgs, work->path());
    }
    if (kind == "lying") {
        // The fetched chunk does not verify: once whole, which its signature then refuses.
        QCOMPARE(run.code, 1);
        Tree files = treeOf(work->path());
        QCOMPARE(sources(files.take("log.txt")), logs);
        QCOMPARE(files.take("update.stamp"), "1000\n");
        QVERIFY(installedTaken(files, true));
        Tree kept = old;
        kept.insert("player.sav", "mine");
        QCOMPARE(files, kept);
        QTRY_VERIFY(served(readFile(nginx.accessLogPath()).mid(lastRunFrom), dir + "/update.vt")
                        .contains(std::make_pair(200, qint64(archive.size()))));
        return;
    }
    if (kind == "other key" || kind == "older") {
        QCOMPARE(run.code, 1);
        Tree files = treeOf(work->path());
        QCOMPARE(sources(files.take("log.txt")), logs);
        QCOMPARE(files.take("update.stamp"), kind == "older" ? "4000000000\n" : "1000\n");
        QVERIFY(installedTaken(files, true));
        Tree kept = old;
        kept.insert("player.sav", "mine");
        QCOMPARE(files, kept);
        QTRY_COMPARE(
            readFile(nginx.accessLogPath()).mid(lastRunFrom).count("GET /" + dir.toLatin1()), 2);
        QVERIFY(
            served(readFile(nginx.accessLogPath()).mid(lastRunFrom), dir + "/update.vt").isEmpty());
        QVERIFY(served(readFile(nginx.accessLogPath()).mid(lastRunFrom), dir + "/update.vt.minisig")
                    .isEmpty());
        return;
    }
    QCOMPARE(run.code, 0);
    Tree files = treeOf(work->path());
    const QByteArray runLog = files.take("log.txt");
    QVERIFY2(sources(runLog) == logs, runLog.constData());
    if (kind == "old index")
        QVERIFY2(runLog.contains("The update's index cannot be used: unsupported index version 1 "
                                 "(this program reads version 2); fetching the whole update"),
                 runLog.constData());
    if (kind == "repair") {
        // Trusted from the record, the damage stays; the rehash finds and fixes it.
        QCOMPARE(files.value("data/same.bin")[1000], 'X');
        QTRY_VERIFY(readFile(nginx.accessLogPath()).count("GET /" + dir.toLatin1()) >= 5);
        lastRunFrom = readFile(nginx.accessLogPath()).size();
        run = runVt(QStringList(vtArgs) << "--repair", work->path());
        QCOMPARE(run.code, 0);
        files = treeOf(work->path());
        QCOMPARE(sources(files.take("log.txt")), logs);
    }
    const QByteArray signature = readFile(published + ".minisig");
    const QByteArray stamp = QRegularExpression("timestamp:(\\d+)")
                                 .match(QString::fromLatin1(signature))
                                 .captured(1)
                                 .toLatin1();
    QCOMPARE(files.take("update.stamp"), stamp + '\n');
    QVERIFY(installedTaken(files, true));
    const bool whole = kind == "stale index" || kind == "no index" || kind == "no ranges" ||
                       kind == "old index" || changing || emptyFolder;
    Tree expected = next;
    if (!emptyFolder)
        expected.insert("player.sav", "mine");
    // Extracted whole, the archive names no dropped file; without a record, nothing says that
    // the update put it there.
    if ((whole && !emptyFolder) || kind == "old state")
        expected.insert("data/drop.bin", old["data/drop.bin"]);
    // Nothing of the downloads stays; the dropped file is gone, the player's file kept.
    QCOMPARE(files, expected);
    if (!whole && kind != "repair" && kind != "old state")
        QCOMPARE(mtimeNs(statOf(work->filePath("data/same.bin"))), mtimeNs(same));

    // The dialog says nothing of it: as many requests as vt makes for the same update.
    if (kind == "dialog")
        run.out = "fetched 0.3 MiB of 1.7 MiB in 5 requests\n";
    const QRegularExpressionMatch fetched =
        QRegularExpression("^fetched (\\d+\\.\\d) MiB of (\\d+\\.\\d) MiB in (\\d+) requests\n$")
            .match(QString::fromLatin1(run.out));
    QVERIFY2(fetched.hasMatch(), run.out.constData());
    QCOMPARE(fetched.captured(2), QString::number(archive.size() / 1048576.0, 'f', 1));
    // nginx logs a request once answered; the last is the archive's signature or a range.
    QTRY_VERIFY2(readFile(nginx.accessLogPath()).mid(lastRunFrom).count("GET /" + dir.toLatin1()) >=
                     fetched.captured(3).toInt(),
                 readFile(nginx.accessLogPath()).mid(lastRunFrom) + run.out);
    const QByteArray log = readFile(nginx.accessLogPath());
    const auto answers = served(log.mid(logBefore.size()), dir + "/update.vt");
    const auto lastRun = served(log.mid(lastRunFrom), dir + "/update.vt");
    qint64 sent = 0;
    for (const auto& [status, bytes] : answers)
        sent += status == 206 ? bytes : 0;
    qInfo("%s: %s; archive requests %d, body bytes %lld of %lld", qPrintable(kind),
          run.out.trimmed().constData(), int(answers.size()), sent, qint64(archive.size()));
    if (whole) {
        // Once whole, after the index's requests (and, without ranges, the range refused).
        QVERIFY(!answers.isEmpty());
        QCOMPARE(answers.last(), std::make_pair(200, qint64(archive.size())));
        // The archive's signature, asked for beside the plan, serves the whole download too,
        // unless a range has shown the archive may have changed.
        QCOMPARE(served(log.mid(lastRunFrom), dir + "/update.vt.minisig").size(),
                 kind == "no ranges" || changing ? 2 : 1);
        if (!changing) {
            QCOMPARE(answers.size(), kind == "no ranges" ? 2 : 1);
            return;
        }
        // The first range whole, then the next refused with 200 (cut short), then the archive.
        QCOMPARE(answers.first(), std::make_pair(206, qint64(next["data/aaa.bin"].size())));
        QVERIFY(answers.size() >= 3 && answers[1].first == 200);
        return;
    }
    // Only ranges, well short of the archive: what changed, not what the folder had.
    for (const auto& answer : answers)
        QCOMPARE(answer.first, 206);
    const qint64 fresh = next["data/new.bin"].size() + (10 << 10);
    // Without a record, same.bin was read: its damaged chunk comes too. A kill cuts a chunk
    // short: the next run fetches it again whole.
    const qint64 slack =
        (256 << 10) + (kind == "old state" || resume ? ContentChunks::kSizes.max : 0);
    const qint64 least = kind == "old state" ? fresh + ContentChunks::kSizes.min : fresh;
    QVERIFY2(sent >= least && sent < fresh + slack, qPrintable(QString::number(sent)));
    // The index, its signature and the archive's signature, then the ranges; a resumed run
    // takes the index the killed one kept, which the server still signs the same.
    QCOMPARE(fetched.captured(3).toInt(), (resume ? 2 : 3) + int(lastRun.size()));
    if (resume) {
        QVERIFY(served(log.mid(lastRunFrom), dir + "/update.vt.index").isEmpty());
        // The second run fetched only what the first had not stored.
        qint64 again = 0;
        for (const auto& answer : lastRun)
            again += answer.second;
        QVERIFY2(again < fresh - (512 << 10), qPrintable(QString::number(again)));
    }
}

void TestEndToEnd::changedDuringApply_data()
{
    QTest::addColumn<QString>("stop"); // "": none; "cancel"; "destroy": while the range comes
    QTest::newRow("fetched instead") << "";
    QTest::newRow("cancelled while it comes") << "cancel";
    QTest::newRow("engine destroyed while it comes") << "destroy";
}

// A local file changed between planning and applying: the chunk it was to give is fetched
// through the update's range session while apply() waits; a cancel or the engine's destruction
// ends that wait, and the apply fails with nothing of it applied and the chunk store kept.
void TestEndToEnd::changedDuringApply()
{
    QFETCH(QString, stop);
    if (!available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    dir.prepend("resume/");
    const Tree old{
        {"data", kDir}, {"data/a.txt", "hello"}, {"data/big.bin", randomBytes(1 << 20, 2)}};
    Tree next = old;
    next["data/big.bin"].replace(600 << 10, 10 << 10, randomBytes(10 << 10, 4));
    publish(archiveOf("1.0", old), "signed");
    QCOMPARE(runVt({"update", url(), "-p", keys.filePath("key.pub")}, work->path()).code, 0);
    const QString published = www.filePath(dir + "/update.vt");
    QVERIFY(writeFile(published, archiveOf("2.0", next)));
    UpdateIndex index;
    QVERIFY(UpdateIndex::build(published, index));
    QVERIFY(writeFile(published + ".index", index.serialize()));
    QCOMPARE(QProcess::execute("minisign", {"-S", "-s", keys.filePath("key.sec"), "-m", published,
                                            published + ".index"}),
             0);

    auto* engine = new UpdateEngine;
    engine->setBaseUrl(url());
    engine->setDirectory(work->path());
    engine->setTrustAnchor(TrustAnchor::fromFile(keys.filePath("key.pub")));
    QSignalSpy fetched(engine, &UpdateEngine::fetchFinished);
    QVERIFY(engine->start());
    QVERIFY(fetched.wait(scaledTimeout(30000)));
    QCOMPARE(fetched.at(0).at(0).toBool(), true);
    QVERIFY(engine->isIncremental());
    QCOMPARE(engine->verify(), UpdateEngine::Verdict::Verified);
    const int requests = engine->requestsMade();
    // A chunk of the old file that the new one keeps, changed after planning.
    QFile changed(work->filePath("data/big.bin"));
    QVERIFY(changed.open(QIODevice::ReadWrite) && changed.seek(1000) && changed.write("?") == 1);
    changed.close();
    Tree now = treeOf(work->path());
    now.remove("log.txt");

    // Only apply()'s own wait for the range runs the event loop.
    QTimer::singleShot(0, [&] {
        if (stop == "cancel") {
            engine->cancel();
        } else if (stop == "destroy") {
            delete engine;
            engine = nullptr;
        }
    });
    QString reason;
    const bool applied = engine->apply(&reason);
    QCOMPARE(applied, stop.isEmpty());
    Tree files = treeOf(work->path());
    files.remove("log.txt");
    if (stop.isEmpty()) {
        QCOMPARE(engine->requestsMade(), requests + 1);
        delete engine;
    } else {
        QCOMPARE(reason, QStringLiteral("Cancelled"));
        if (engine)
            QCOMPARE(engine->failure(), UpdateEngine::Failure::Extraction);
        delete engine;
        QVERIFY(workersGone(20000));
        // Nothing applied, nothing staged left; the fetched ranges stay for the next run, with
        // the index they belong to.
        for (const char* name :
             {".update.vt.chunks", ".update.vt.index", ".update.vt.index.minisig"}) {
            QVERIFY2(files.contains(name), name);
            files.remove(name);
            now.remove(name);
        }
        now.remove("update.vt.minisig");
        QCOMPARE(files, now);
        QCOMPARE(runVt({"update", url(), "-p", keys.filePath("key.pub")}, work->path()).code, 0);
        files = treeOf(work->path());
        files.remove("log.txt");
    }
    // Signed just now, by the command line tool.
    QVERIFY(files.take("update.stamp").trimmed().toLongLong() > 1000);
    QVERIFY(installedTaken(files, true));
    QCOMPARE(files, next);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
