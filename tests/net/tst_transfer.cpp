// The GET request, its worker thread and the file grabber against a scripted server on loopback:
// request bytes, outcomes, memory, log entries, progress, aborts, what ends up on disk.
#include "FileGrabber.h"
#include "GETServerMessage.h"
#include "HTTPMessage.h"
#include "Log.h"
#include "ScriptedHttpServer.h"
#include "TestFiles.h"
#include "TestTimeouts.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <climits>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using S = ScriptedHttpServer;
using Script = S::Script;
Q_DECLARE_METATYPE(Script)

namespace {

// Planted under the archive's name: longer than any body downloaded over it.
const QByteArray earlier = "earlier attempt" + QByteArray((1 << 20) + 100, 'o');

// A field of /proc/self/status in KiB ("VmHWM", "VmPeak"); -1 when unreadable.
qint64 statusKiB(const QByteArray& field)
{
    for (const QByteArray& line : readFile(QStringLiteral("/proc/self/status")).split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// "debug <status>" or "info <reason>" as the log words it for url.
QStringList expand(QStringList entries, const QString& url)
{
    for (QString& e : entries)
        e = (e.startsWith("debug ") ? "Debug:  HTTPMessage failed with status code "
                                    : "Info:  HTTPMessage failed with the following error: ") +
            e.section(' ', 1) + ".  The URL was " + url;
    return entries;
}

} // namespace

class TransferTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<S> server;
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("log.txt"));
    const QString target = dir.filePath(QStringLiteral("files/update.vt"));

    QStringList logged() const
    {
        return logMessages(readFile(logPath), QStringLiteral("HTTPMessage"));
    }

    // One exchange per row: what the server plays (unused where the URL is unreachable), the body
    // expected, the log entries expected ("debug <status>|info <reason>", none on success; %T is
    // the target), the largest body accepted, the URL when not the server's ("%1" is its port),
    // the target the request names or, unreachable, the URL as the log quotes it, and what is
    // planted under the target's name (an earlier file unless said otherwise).
    static void row(const char* name, const Script& script, const QByteArray& body,
                    const QString& entries = {}, qint64 limit = qint64(8) << 30,
                    const QString& url = {}, const QString& where = "/update.vt",
                    const QString& planted = "file")
    {
        QTest::newRow(name) << script << body << entries.split('|', Qt::SkipEmptyParts) << limit
                            << url << where << planted;
    }

private slots:
    void init()
    {
        server = std::make_unique<S>();
        QVERIFY(server->isListening());
        QDir files(dir.filePath(QStringLiteral("files")));
        QVERIFY(files.removeRecursively() && files.mkpath(QStringLiteral(".")));
        QVERIFY(openLog(logPath, false));
    }

    void cleanup() { closeLog(); }

    void outcome_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("planted");

        const qint64 plenty = qint64(8) << 30;
        const qint64 small = qint64(4) << 20;
        const QByteArray big = bytePattern(300000);
        const QByteArray large = big.repeated(140); // many blocks, through the file
        const QString tooLarge =
            QStringLiteral("info The update is too large: more than %1 bytes").arg(small);
        const QByteArray noLength = S::response(200, "", "Connection: close");
        const Script ok{S::response(200, "ok")}, none{{}, S::Close};
        row("close-delimited body", {noLength + big, S::Close}, big);
        row("large body", {S::response(200, large)}, large);
        row("body exactly at the limit", {S::response(200, big)}, big, {}, big.size());
        row("query and fragment dropped, encoding kept", ok, "ok", {}, plenty,
            "http://127.0.0.1:%1/a%20b/update.vt?x=1&y=2#part", "/a%20b/update.vt");
        row("unknown scheme over HTTP, empty path", ok, "ok", {}, plenty, "gopher://127.0.0.1:%1",
            "/");
        // Clean exchanges with a bad status: Qt's own error for them is no failure.
        row("404", {S::response(404, "not here")}, {}, "debug 404");
        row("304 announcing a length", {S::response(304, "", "Content-Length: 500")}, {},
            "debug 304");
        // Nothing may be set aside for a length that has not arrived.
        const QByteArray huge = S::response(200, "abc", "Content-Length: 3000000000");
        row("length far beyond the body", {huge, S::Close}, {}, "info Connection closed");
        row("length beyond the limit", {huge}, {}, tooLarge, small);
        row("body grows past the limit", {noLength, S::Repeat, big}, {}, tooLarge, small);
        row("stalls mid-body", {S::response(200, "0123456789", "Content-Length: 100")}, {},
            "info Operation canceled");
        // No status line arrived: the status entry says 0, then the reason.
        row("closed before any answer", none, {}, "debug 0|info Connection closed");
        QTcpServer probe; // its port, free a moment ago, refuses once it is closed
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString refused =
            QStringLiteral("http://127.0.0.1:%1/update.vt").arg(probe.serverPort());
        probe.close();
        row("refused port", none, {}, "debug 0|info Connection refused", plenty, refused, refused);
        // Unparsed, the URL would lose its port and be fetched from port 80.
        row("port out of range", none, {},
            "debug 0|info Invalid port or port number out of range; source was "
            "\"http://127.0.0.1:99999/update.vt\"; scheme = \"http\", host = \"127.0.0.1\", path = "
            "\"/update.vt\"",
            plenty, "http://127.0.0.1:99999/update.vt", "");
        // The default port is written into the URL; 80 would fetch https as plain text.
        row("no host", none, {}, "debug 0|info The URL names no host", plenty, "http:///update.vt",
            "http://:80/update.vt");
        row("https without host", none, {}, "debug 0|info The URL names no host", plenty,
            "https:///update.vt", "https://:443/update.vt");
        // Written through the planted name, these would change a file elsewhere or hang.
        const QString to = "/update.vt";
        row("over a symbolic link outside", {S::response(200, "b")}, "b", {}, plenty, {}, to,
            "symlink");
        row("over a hard link outside", {S::response(200, "b")}, "b", {}, plenty, {}, to,
            "hard link");
        row("over a FIFO", {S::response(200, "b")}, "b", {}, plenty, {}, to, "fifo");
        row("a directory of that name stays", ok, {}, "info Could not replace %T: Is a directory",
            plenty, {}, to, "directory");
        // The write stops part-way, like on a full disk.
        row("short write", {S::response(200, big)}, {}, "info Could not write %T: File too large",
            plenty, {}, to, "size limit");
    }

    void outcome()
    {
        QFETCH(Script, script);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, entries);
        QFETCH(qint64, limit);
        QFETCH(QString, address);
        QFETCH(QString, where);
        QFETCH(QString, planted);
        server->script = script;
        const QString victim = dir.filePath(QStringLiteral("files/victim"));
        QVERIFY(writeFile(victim, "keep"));
        const QByteArray name = QFile::encodeName(target);
        if (planted == "symlink")
            QVERIFY(QFile::link(victim, target));
        else if (planted == "hard link")
            QCOMPARE(::link(QFile::encodeName(victim).constData(), name.constData()), 0);
        else if (planted == "fifo")
            QCOMPARE(::mkfifo(name.constData(), 0666), 0);
        else if (planted == "directory")
            QVERIFY(QDir().mkpath(target + QStringLiteral("/inside")));
        else
            QVERIFY(writeFile(target, earlier));
        const QUrl url =
            address.isEmpty()
                ? server->url(QStringLiteral("/update.vt"))
                : QUrl(address.contains("%1") ? address.arg(server->serverPort()) : address);
        GETServerMessage message(url);
        message.setStallTimeout(scaledTimeout(1000));
        message.setMaxBodySize(limit);
        message.setBodyFile(target);
        QSignalSpy spy(&message, &ServerMessage::response);
        // Lowers the peak resident size to the current one: VmHWM then shows what follows.
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        QVERIFY(clearRefs.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                clearRefs.write("5") == 1);
        const qint64 peakVirtual = statusKiB("VmPeak");
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit small{planted == "size limit" ? 50000 : saved.rlim_cur, saved.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QVERIFY(message.send());
        QVERIFY(!message.send()); // one request in flight at a time
        const bool answered = spy.wait(scaledTimeout(10000));
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(answered);
        QTest::qWait(50); // nothing more may follow
        // Memory stays near what is in flight, whatever was announced or kept coming. KiB; the
        // margins leave room for threads, their arenas and sanitizer quarantine.
        const qint64 addedVirtual = statusKiB("VmPeak") - peakVirtual;
        const qint64 addedResident = statusKiB("VmHWM") - statusKiB("VmRSS");
        QVERIFY2(addedVirtual < (1 << 20), qPrintable(QString::number(addedVirtual)));
        QVERIFY2(addedResident < (64 << 10), qPrintable(QString::number(addedResident)));
        QCOMPARE(spy, QList<QVariantList>({{QByteArray(), !entries.isEmpty()}}));
        QCOMPARE(message.progress(), 0.0f);
        const QList<QByteArray> heads = server->requests;
        QCOMPARE(logged(), expand(entries, heads.isEmpty() ? where : url.toString())
                               .replaceInStrings("%T", target));
        // Replaced when whole, else kept; the victim never written through; no temporary left.
        if (planted == "directory")
            QVERIFY(QFileInfo(target).isDir());
        else
            QVERIFY(readFile(target) == (entries.isEmpty() ? body : earlier));
        QCOMPARE(readFile(victim), QByteArray("keep"));
        QCOMPARE(QDir(dir.filePath(QStringLiteral("files")))
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"update.vt", "victim"}));
        if (heads.isEmpty())
            return;
        // Where the server closes the connection the client may, by itself, send the request
        // once more on a fresh one.
        QVERIFY(heads.size() <= (script.then == S::Close ? 2 : 1));
        // Ours, in this order; then the client's own two; nothing else.
        QVERIFY2(
            heads.at(0).startsWith("GET " + where.toLatin1() +
                                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nCache-Control: no-cache\r\n"
                                   "Accept: */*\r\nAccept-Encoding: identity\r\n"
                                   "User-Agent: TovoliaUpdater/" UPDATER_VERSION "\r\n"
                                   "Connection: Keep-Alive\r\nAccept-Language: "),
            heads.at(0).constData());
        QCOMPARE(heads.at(0).count("\r\n"), 9);
        // The message can go again after an answer.
        QVERIFY(planted != "directory" || QDir(target).removeRecursively());
        server->script = {S::response(200, "again")};
        QVERIFY(message.send());
        QVERIFY(spy.wait(scaledTimeout(10000)));
        QCOMPARE(spy.at(1), QVariantList({QByteArray(), false}));
        QCOMPARE(readFile(target), QByteArray("again"));
    }

    void stoppedNeverReports_data()
    {
        QTest::addColumn<bool>("withLength");
        QTest::addColumn<bool>("destroy");
        QTest::newRow("cancelled, then started again") << true << false;
        QTest::newRow("no length, cancelled, then started again") << false << false;
        QTest::newRow("destroyed while running") << true << true;
    }

    void stoppedNeverReports()
    {
        QFETCH(bool, withLength);
        QFETCH(bool, destroy);
        server->script = {
            S::response(200, "abc", withLength ? "Content-Length: 100" : "Connection: close")};
        auto grabber =
            std::make_unique<FileGrabber>(server->url(QStringLiteral("/update.vt")), target, 9);
        QSignalSpy spy(grabber.get(), &FileGrabber::finished);
        grabber->start();
        QVERIFY(
            QTest::qWaitFor([&] { return grabber->bytesReceived() == 3; }, scaledTimeout(5000)));
        // The part on disk has no name yet: a process killed now leaves nothing behind.
        QCOMPARE(QDir(dir.filePath(QStringLiteral("files"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList());
        // Nothing is known about the share received without a length.
        QCOMPARE(grabber->progress(), withLength ? 0.03f : 0.0f);
        QCOMPARE(grabber->bytesTotal(), withLength ? 100 : -1);
        if (destroy) {
            grabber.reset();
        } else {
            grabber->cancel();
            grabber->cancel(); // idle: nothing happens
            QVERIFY(!grabber->isRunning());
            QCOMPARE(grabber->progress(), 0.0f);
        }
        // The worker really stops: its connection goes away.
        QVERIFY(QTest::qWaitFor([&] { return server->closed == 1; }, scaledTimeout(5000)));
        QTest::qWait(100);
        QCOMPARE(spy.size(), 0);
        QVERIFY(!QFile::exists(target));
        QCOMPARE(logged(), QStringList());
        if (destroy)
            return;
        server->script = {S::response(200, "second")};
        grabber->start();
        QVERIFY(spy.wait(scaledTimeout(10000)));
        QCOMPARE(spy, QList<QVariantList>({{false, 9}}));
        QCOMPARE(readFile(target), QByteArray("second"));
        QCOMPARE(server->requests.size(), 2);
    }

    void workerDeletesItself_data()
    {
        QTest::addColumn<int>("abortAt"); // 0: never, 1: at once, 2: once the request is in
        QTest::newRow("after its one report") << 0;
        QTest::newRow("aborted at once after start") << 1;
        QTest::newRow("aborted while the request waits") << 2;
    }

    void workerDeletesItself()
    {
        QFETCH(int, abortAt);
        const QByteArray body = bytePattern(5000);
        server->script = {abortAt ? QByteArray() : S::response(200, body)};
        const QUrl url = server->url(QStringLiteral("/update.vt"));
        QPointer<HTTPMessage> worker = new HTTPMessage(url, QNetworkRequest(url), QByteArray());
        QList<QByteArray> reports;
        connect(worker.data(), &HTTPMessage::finished, this, [&](bool error) {
            // Receivers may read the body and the progress inside the report.
            reports << (error ? QByteArray("<error>") : worker->responseData());
            QCOMPARE(worker->progress(), 1.0f);
        });
        worker->start();
        if (abortAt == 2)
            QVERIFY(QTest::qWaitFor([&] { return !server->requests.isEmpty(); }));
        if (abortAt)
            worker->abort();
        QVERIFY(QTest::qWaitFor([&] { return worker.isNull(); }, scaledTimeout(10000)));
        QCOMPARE(reports, abortAt ? QList<QByteArray>() : QList<QByteArray>{body});
        QCOMPARE(logged(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TransferTest)
#include "tst_transfer.moc"
