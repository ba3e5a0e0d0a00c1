// The GET request, its worker thread and the file grabber on loopback: against a scripted server
// for request bytes, outcomes, memory, log entries, aborts and what ends up on disk; against a
// real nginx for a multi-megabyte archive with its progress, HTTPS with a certificate made for
// the test, and a process that quits mid-download.
#include "ChildProcess.h"
#include "FileGrabber.h"
#include "GETServerMessage.h"
#include "HTTPMessage.h"
#include "Log.h"
#include "Minisign.h"
#include "NginxServer.h"
#include "ReplacingFile.h"
#include "TestFiles.h"
#include "TestTimeouts.h"
#include "TransferWorkers.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

// What a tiny server on loopback plays on each connection once the request head is in: `reply`,
// then it holds the connection open, closes it, sends `repeat` for as long as the client reads,
// or trickles: sends `repeat` once every `every` milliseconds.
constexpr int Hold = 0, Close = 1, Repeat = 2, Trickle = 3;
struct Script
{
    QByteArray reply;
    int then = Hold;
    QByteArray repeat{};
    int every = 0;
};
Q_DECLARE_METATYPE(Script)

namespace {

// It records the raw head of each request; its sockets, its children, go down with it.
struct ScriptedServer : QTcpServer
{
    Script script;
    QList<QByteArray> requests; // up to and including the blank line, in arrival order
    int closed = 0;             // connections closed by either side

    ScriptedServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = nextPendingConnection();
            connect(socket, &QTcpSocket::disconnected, this, [this] { ++closed; });
            connect(socket, &QTcpSocket::readyRead, this,
                    [this, socket, head = QByteArray()]() mutable {
                        if (head.endsWith("\r\n\r\n"))
                            return; // the request is complete; anything more is ignored
                        head += socket->readAll();
                        if (!head.contains("\r\n\r\n"))
                            return;
                        head.truncate(head.indexOf("\r\n\r\n") + 4);
                        requests.append(head);
                        socket->write(script.reply);
                        if (script.then == Close)
                            socket->disconnectFromHost();
                        // Refilled only as the client drains it, so the server's memory stays
                        // small.
                        auto refill = [socket, data = script.repeat] {
                            while (socket->state() == QAbstractSocket::ConnectedState &&
                                   socket->bytesToWrite() < (1 << 20))
                                socket->write(data);
                        };
                        if (script.then == Repeat) {
                            connect(socket, &QTcpSocket::bytesWritten, socket, refill);
                            refill();
                        }
                        if (script.then == Trickle) {
                            // Precise: a coarse timer may fire early and send more than planned.
                            auto* drip = new QTimer(socket);
                            drip->setTimerType(Qt::PreciseTimer);
                            connect(drip, &QTimer::timeout, socket,
                                    [socket, data = script.repeat] { socket->write(data); });
                            drip->start(script.every);
                        }
                    });
        });
    }
};

// Status line, `header` (by default the body's Content-Length), blank line, body.
QByteArray response(int status, const QByteArray& body, const QByteArray& header = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\n" +
           (header.isEmpty() ? "Content-Length: " + QByteArray::number(body.size()) : header) +
           "\r\n\r\n" + body;
}

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

    std::unique_ptr<ScriptedServer> server;
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("log.txt"));
    const QString target = dir.filePath(QStringLiteral("files/update.vt"));
    QUrl local; // the scripted server's archive
    QTemporaryDir docRoot;
    const QByteArray archive = bytePattern(8 << 20);
    NginxServer nginx;

    QStringList logged() const
    {
        return logMessages(readFile(logPath), QStringLiteral("HTTPMessage"));
    }

    // One exchange per row: what the server plays (unused where the URL is unreachable), the log
    // entries expected ("debug <status>|info <reason>"; %T is the target; none: the body played is
    // the file now), the URL when not the server's ("%1" is its port), and the target the request
    // names or, unreachable, the URL as the log quotes it. The row's name tells what is planted
    // under the target's name. The largest body accepted is the one played when it is whole, else 4
    // MiB where that is the failure, else plenty.
    static void row(const char* name, const Script& script, const QString& entries = {},
                    const QString& url = {}, const QString& where = "/update.vt")
    {
        QTest::newRow(name) << script << entries.split('|', Qt::SkipEmptyParts) << url << where;
    }

private slots:
    void initTestCase()
    {
        std::signal(SIGXFSZ, SIG_IGN); // a short write fails instead of killing the process
        QVERIFY(writeFile(docRoot.filePath(QStringLiteral("slow/update.vt")), archive));
        QVERIFY(writeFile(docRoot.filePath(QStringLiteral("slower/update.vt")),
                          QByteArray(16 << 20, 0)));
        nginx.addRateLimit(QStringLiteral("/slow/"), 8 << 20);
        // About 16 s for the whole file: always in flight when the quitting process leaves.
        nginx.addRateLimit(QStringLiteral("/slower/"), 1 << 20);
        nginx.setTlsEnabled(true);
        QVERIFY2(nginx.start(docRoot.path()), qPrintable(nginx.errorString()));
    }

    void init()
    {
        server = std::make_unique<ScriptedServer>();
        QVERIFY(server->isListening());
        local = QUrl(QStringLiteral("http://127.0.0.1:%1/update.vt").arg(server->serverPort()));
        QDir files(dir.filePath(QStringLiteral("files")));
        QVERIFY(files.removeRecursively() && files.mkpath(QStringLiteral(".")));
        QVERIFY(openLog(logPath, false));
    }

    void cleanup() { closeLog(); }

    void outcome_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("where");

        const QByteArray big = bytePattern(300000);
        const QString tooLarge =
            QStringLiteral("info The update is too large: more than %1 bytes").arg(4 << 20);
        const QByteArray noLength = response(200, "", "Connection: close");
        const Script ok{response(200, "ok")}, none{{}, Close};
        row("close-delimited body", {noLength + big, Close});
        row("query and fragment dropped, encoding kept", ok, {},
            "http://127.0.0.1:%1/a%20b/update.vt?x=1&y=2#part", "/a%20b/update.vt");
        row("HTTP in capitals, empty path", ok, {}, "HTTP://127.0.0.1:%1", "/");
        // Fetched as plain HTTP, a typo of https would drop TLS; the server would answer. Any
        // other scheme takes the same branch; in capitals, the entry names it in lower case.
        for (const char* scheme : {"htps", "FTP"}) {
            const QString url = QStringLiteral("%1://127.0.0.1:%2/update.vt").arg(scheme);
            QTest::newRow(qPrintable(QStringLiteral("scheme %1").arg(scheme)))
                << ok
                << QStringList({"debug 0", QStringLiteral("info Unsupported URL scheme '%1': only "
                                                          "http and https are fetched")
                                               .arg(QString::fromLatin1(scheme).toLower())})
                << url.arg("%1") << url.toLower().arg("%1");
        }
        // Whatever the archive's limit, a signature stops at its own, on the disk as well (the
        // row's file size limit): the name makes the row download a signature.
        const QString sigTooLarge =
            QStringLiteral("info The signature is too large: more than %1 bytes")
                .arg(minisign::maxSignatureFileSize);
        row("signature announced huge", {response(200, "abc", "Content-Length: 30000000")},
            sigTooLarge);
        row("signature growing without length", {noLength, Repeat, big}, sigTooLarge);
        row("signature at its limit", {response(200, bytePattern(minisign::maxSignatureFileSize))});
        // The first field would set how much the client reads, the second what was announced.
        // The client joins the fields into one, "10, 12", which the check reads.
        row("conflicting Content-Length fields",
            {response(200, "0123456789", "Content-Length: 10\r\nContent-Length: 12")},
            "info Conflicting Content-Length headers");
        row("conflicting Content-Length on a 404",
            {response(404, "0123456789", "Content-Length: 10\r\nContent-Length: 9")},
            "debug 404|info Conflicting Content-Length headers");
        row("Content-Length no number", {response(200, "0123456789", "Content-Length: 1O")},
            "info Invalid Content-Length header");
        row("identical Content-Length fields",
            {response(200, "0123456789", "Content-Length: 10\r\nContent-Length: 10")});
        // Clean exchanges with a bad status: Qt's own error for them is no failure.
        row("404", {response(404, "not here")}, "debug 404");
        row("redirect not followed", {response(301, "", "Location: /\r\nContent-Length: 0")},
            "debug 301");
        row("304 announcing a length", {response(304, "", "Content-Length: 500")}, "debug 304");
        // Nothing may be set aside for a length that has not arrived.
        const QByteArray huge = response(200, "abc", "Content-Length: 3000000000");
        row("length far beyond the body", {huge, Close}, "info Connection closed");
        row("length beyond the limit", {huge}, tooLarge);
        row("body grows past the limit", {noLength, Repeat, big}, tooLarge);
        // Too little in a window fails, not only nothing; the window starts with the request.
        const int window = scaledTimeout(1000);
        const QString stalled =
            QStringLiteral("info The transfer stalled: less than 1024 bytes in %1 seconds")
                .arg(window / 1000);
        row("stalls mid-body", {response(200, "0123456789", "Content-Length: 100")}, stalled);
        row("headers, then nothing", {response(200, "", "Content-Length: 100")}, stalled);
        row("404 stalls mid-body", {response(404, "0123", "Content-Length: 100")},
            "debug 404|" + stalled);
        row("connection accepted, never answered", {}, "debug 0|" + stalled);
        // Ten bytes every twentieth of the window: never silent, at most ~200 bytes a window.
        // The handshake goes unanswered by a server waiting for a request's end. Qt used to end
        // this with a warning of its own on stderr.
        row("https to a plain server that waits", {}, "debug 0|" + stalled,
            "https://127.0.0.1:%1/update.vt", "https://127.0.0.1:%1/update.vt");
        row("trickle below the rate",
            {response(200, "", "Content-Length: 100000"), Trickle, "0123456789", window / 20},
            stalled);
        row("trickle below the rate, no status yet",
            {"HTTP/1.1 200 OK\r\n", Trickle, "X: y\r\n", window / 20}, "debug 0|" + stalled);
        // No status line arrived: the status entry says 0, then the reason.
        row("closed before any answer", none, "debug 0|info Connection closed");
        QTcpServer probe; // its port, free a moment ago, refuses once it is closed
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString refused =
            QStringLiteral("http://127.0.0.1:%1/update.vt").arg(probe.serverPort());
        probe.close();
        row("refused port", none, "debug 0|info Connection refused", refused, refused);
        // Unparsed, the URL would lose its port and be fetched from port 80.
        row("port out of range", none,
            "debug 0|info Invalid port or port number out of range; source was "
            "\"http://127.0.0.1:99999/update.vt\"; scheme = \"http\", host = \"127.0.0.1\", path = "
            "\"/update.vt\"",
            "http://127.0.0.1:99999/update.vt", "");
        // The default port is written into the URL; 80 would fetch https as plain text.
        const QString noHost = "debug 0|info The URL names no host";
        row("no host", none, noHost, "http:///update.vt", "http://:80/update.vt");
        row("https without host", none, noHost, "https:///update.vt", "https://:443/update.vt");
        // Written through the planted name, these would change a file elsewhere or hang.
        row("over a symbolic link outside", ok);
        row("over a hard link outside", ok);
        row("over a FIFO", ok);
        row("a directory of that name stays", ok, "info Could not replace %T: Is a directory");
        // The write stops part-way, like on a full disk.
        row("short write", {response(200, big)}, "info Could not write %T: File too large");
    }

    void outcome()
    {
        QFETCH(Script, script);
        QFETCH(QStringList, entries);
        const QString planted = QTest::currentDataTag();
        QFETCH(QString, address);
        QFETCH(QString, where);
        server->script = script;
        const QString victim = dir.filePath(QStringLiteral("files/victim"));
        QVERIFY(writeFile(victim, "keep"));
        const QByteArray name = QFile::encodeName(target);
        if (planted.contains("symbolic link"))
            QVERIFY(QFile::link(victim, target));
        else if (planted.contains("hard link"))
            QCOMPARE(::link(QFile::encodeName(victim).constData(), name.constData()), 0);
        else if (planted.contains("FIFO"))
            QCOMPARE(::mkfifo(name.constData(), 0666), 0);
        else if (planted.contains("directory"))
            QVERIFY(QDir().mkpath(target + QStringLiteral("/inside")));
        else
            QVERIFY(writeFile(target, earlier));
        const QUrl url =
            address.isEmpty()
                ? local
                : QUrl(address.contains("%1") ? address.arg(server->serverPort()) : address);
        GETServerMessage message(url);
        message.setStallTimeout(scaledTimeout(1000));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        const QByteArray body = script.reply.mid(script.reply.indexOf("\r\n\r\n") + 4);
        message.setMaxBodySize(entries.isEmpty()                     ? body.size()
                               : entries.at(0).contains("too large") ? 4 << 20
                                                                     : qint64(8) << 30);
        const bool signature = planted.startsWith("signature");
        if (signature) {
            message.setBodyName(QStringLiteral("signature"));
            message.setMaxBodySize(minisign::maxSignatureFileSize);
        }
        message.setBodyFile(target);
        QSignalSpy spy(&message, &ServerMessage::response);
        // Lowers the peak resident size to the current one: VmHWM then shows what follows.
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        QVERIFY(clearRefs.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                clearRefs.write("5") == 1);
        const qint64 peakVirtual = statusKiB("VmPeak");
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        // A signature written past its limit would fail on the file's size instead.
        const rlimit small{planted == "short write" ? 50000
                           : signature              ? rlim_t(minisign::maxSignatureFileSize)
                                                    : saved.rlim_cur,
                           saved.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QVERIFY(message.send());
        QVERIFY(!message.send()); // one request in flight at a time
        const bool answered = spy.wait(scaledTimeout(10000));
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(answered);
        QVERIFY(workersGone(5000));
        // Memory stays near what is in flight, whatever was announced or kept coming. KiB; the
        // margins leave room for threads, their arenas and sanitizer quarantine.
        const qint64 addedVirtual = statusKiB("VmPeak") - peakVirtual;
        const qint64 addedResident = statusKiB("VmHWM") - statusKiB("VmRSS");
        QVERIFY2(addedVirtual < (1 << 20), qPrintable(QString::number(addedVirtual)));
        QVERIFY2(addedResident < (64 << 10), qPrintable(QString::number(addedResident)));
        QCOMPARE(spy, QList<QVariantList>({{QByteArray(), !entries.isEmpty()}}));
        QCOMPARE(message.progress(), 0.0f);
        const QList<QByteArray> heads = server->requests;
        QCOMPARE(logged(),
                 expand(entries, heads.isEmpty() ? QString(where).replace(
                                                       "%1", QString::number(server->serverPort()))
                                                 : url.toString())
                     .replaceInStrings("%T", target));
        // Replaced when whole, else kept; the victim never written through; no temporary left.
        if (planted.contains("directory"))
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
        QVERIFY(heads.size() <= (script.then == Close ? 2 : 1));
        // Ours, in this order; then the client's own two; nothing else.
        QVERIFY2(
            heads.at(0).startsWith("GET " + where.toLatin1() +
                                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nCache-Control: no-cache\r\n"
                                   "Accept: */*\r\nAccept-Encoding: identity\r\n"
                                   "User-Agent: TovoliaUpdater/" UPDATER_VERSION "\r\n"
                                   "Connection: Keep-Alive\r\nAccept-Language: "),
            heads.at(0).constData());
        QCOMPARE(heads.at(0).count("\r\n"), 9);
        // The message can go again after an answer, with the body in memory this time.
        server->script = {response(200, "again")};
        message.setMaxBodySize(5);
        message.setBodyFile({});
        QVERIFY(message.send());
        QVERIFY(spy.wait(scaledTimeout(10000)));
        QCOMPARE(spy.at(1), QVariantList({QByteArray("again"), false}));
    }

    // A download into hidden staging that goes on from the kept bytes. The row: what is kept on
    // disk (or a link or FIFO planted there), the validator it was kept with, the server's reply,
    // the file afterwards (whole: the download succeeded, and its digest covers every byte), what
    // responseStarted told ("validator total continued"), and the log entries as in outcome().
    void resume_data()
    {
        QTest::addColumn<QByteArray>("kept");
        QTest::addColumn<QByteArray>("validator");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("started");
        QTest::addColumn<QStringList>("entries");
        const QByteArray whole = "0123456789ABCDEFGHIJ", kept = whole.left(10), v = "\"v1\"";
        const auto partial = [&](const QByteArray& range, const QByteArray& more = "ETag: \"v1\"") {
            return response(206, whole.mid(10),
                            "Content-Range: " + range + "\r\nContent-Length: 10\r\n" + more);
        };
        const auto full = [&](const QByteArray& more) {
            return response(200, whole, "Content-Length: 20\r\n" + more);
        };
        const auto row = [](const char* name, const QByteArray& kept, const QByteArray& validator,
                            const QByteArray& reply, const QByteArray& after,
                            const QString& started, const QString& entries = {}) {
            QTest::newRow(name) << kept << validator << reply << after << started
                                << entries.split('|', Qt::SkipEmptyParts);
        };
        row("206 goes on", kept, v, partial("bytes 10-19/20"), whole, "\"v1\" 20 1");
        // A server without ranges, or a file changed since (If-Range): the whole file anew.
        row("200 instead: starts over", kept, v, full("ETag: \"v2\""), whole, "\"v2\" 20 0");
        row("Last-Modified without ETag", kept, v,
            full("Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT"), whole,
            "Mon, 07 Dec 2026 10:00:00 GMT 20 0");
        row("weak ETag is no validator", {}, {}, full("ETag: W/\"v1\""), whole, " 20 0");
        // Only the rest of the file, from the first byte not kept, continues it; what is kept is
        // then dropped, so that the next try starts over.
        const QString notOn =
            "debug 206|info The partial answer does not go on at byte 10: Content-Range: ";
        row("206 from another byte", kept, v, partial("bytes 9-18/20"), "", "",
            notOn + "bytes 9-18/20");
        row("206 for another length", kept, v, partial("bytes 10-19/30"), "", "",
            notOn + "bytes 10-19/30");
        row("206 short of the end", kept, v, partial("bytes 10-18/20"), "", "",
            notOn + "bytes 10-18/20");
        row("206 without Content-Range", kept, v, response(206, whole.mid(10)), "", "", notOn);
        // Without a strong validator the whole file is asked for; a 206 then is no answer.
        row("weak validator, 206", kept, "W/\"v1\"", partial("bytes 10-19/20"), kept, "",
            "debug 206");
        row("404 keeps what is kept", kept, v, response(404, "no"), kept, "", "debug 404");
        row("kept file shorter than recorded", kept.left(5), v, partial("bytes 10-19/20"),
            kept.left(5), "", "info Could not go on with %T: it is shorter than before");
        row("over a symbolic link", "link", {}, full("ETag: \"v1\""), whole, "\"v1\" 20 0");
        row("over a FIFO", "fifo", {}, full("ETag: \"v1\""), whole, "\"v1\" 20 0");
        row("a directory of that name stays", "dir", {}, full("ETag: \"v1\""), "<missing>", "",
            "info Could not write %T: Is a directory");
        row("over a hard link", "hard link", v, partial("bytes 10-19/20"), "", "",
            "info Could not go on with %T: it is shorter than before");
    }

    void resume()
    {
        QFETCH(QByteArray, kept);
        QFETCH(QByteArray, validator);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, after);
        QFETCH(QString, started);
        QFETCH(QStringList, entries);
        const QString staged = dir.filePath(QStringLiteral("files/.update.vt.partial"));
        const QString victim = dir.filePath(QStringLiteral("files/victim"));
        QVERIFY(writeFile(victim, "0123456789"));
        const QByteArray name = QFile::encodeName(staged);
        if (kept == "link")
            QVERIFY(QFile::link(victim, staged));
        else if (kept == "fifo")
            QCOMPARE(::mkfifo(name.constData(), 0666), 0);
        else if (kept == "dir")
            QVERIFY(QDir().mkpath(staged + "/inside"));
        else if (kept == "hard link")
            QCOMPARE(::link(QFile::encodeName(victim).constData(), name.constData()), 0);
        else if (!kept.isEmpty())
            QVERIFY(writeFile(staged, kept));
        server->script = {reply};
        FileGrabber grabber(local, staged, 2);
        grabber.setHashBody(true);
        grabber.setStaging(10, validator);
        QSignalSpy finished(&grabber, &FileGrabber::finished);
        QStringList told;
        connect(&grabber, &FileGrabber::responseStarted, this,
                [&](int id, const QByteArray& tag, qint64 total, bool continued) {
                    told << QString::number(id) + ' ' + tag + ' ' + QString::number(total) + ' ' +
                                QString::number(continued);
                });
        grabber.start();
        QVERIFY(finished.wait(scaledTimeout(10000)));
        QVERIFY(workersGone(5000));
        const bool whole = after.size() == 20;
        QCOMPARE(finished.at(0), QVariantList({!whole, 2}));
        QCOMPARE(told, started.isEmpty() ? QStringList() : QStringList("2 " + started));
        QCOMPARE(readFile(staged), after);
        QCOMPARE(readFile(victim), QByteArray("0123456789"));
        QCOMPARE(grabber.bodyDigest(),
                 whole ? QCryptographicHash::hash(after, QCryptographicHash::Blake2b_512)
                       : QByteArray());
        if (whole) // the body as sent: what a resumed download saves shows here
            QCOMPARE(grabber.bytesFetched(), reply.size() - reply.indexOf("\r\n\r\n") - 4);
        QCOMPARE(logged(), expand(entries, local.toString()).replaceInStrings("%T", staged));
        // The range is asked for exactly with a strong validator and kept bytes.
        const QByteArray head = server->requests.value(0);
        const bool ranged = !validator.isEmpty() && !validator.startsWith("W/");
        QCOMPARE(head.contains("\r\nRange: bytes=10-\r\nIf-Range: " + validator + "\r\n"), ranged);
        QCOMPARE(head.contains("Range:"), ranged);
        QVERIFY(head.contains("\r\nAccept-Encoding: identity\r\n"));
    }

    void stoppedNeverReports_data()
    {
        QTest::addColumn<bool>("withLength");
        QTest::addColumn<bool>("destroy");
        QTest::newRow("cancelled, then started again") << true << false;
        QTest::newRow("no length, cancelled, then started again") << false << false;
        QTest::newRow("cancelled at once, then started again") << true << false;
        QTest::newRow("destroyed while running") << true << true;
    }

    void stoppedNeverReports()
    {
        QFETCH(bool, withLength);
        QFETCH(bool, destroy);
        const bool atOnce = QByteArray(QTest::currentDataTag()).contains("at once");
        server->script = {
            response(200, "abc", withLength ? "Content-Length: 100" : "Connection: close")};
        auto grabber = std::make_unique<FileGrabber>(local, target, 9);
        QSignalSpy spy(grabber.get(), &FileGrabber::finished);
        grabber->start();
        if (!atOnce) {
            QVERIFY(QTest::qWaitFor([&] { return grabber->bytesReceived() == 3; },
                                    scaledTimeout(5000)));
            // The part on disk has no name yet: a process killed now leaves nothing behind.
            QCOMPARE(
                QDir(dir.filePath(QStringLiteral("files"))).entryList(QDir::Files | QDir::Hidden),
                QStringList());
            // Nothing is known about the share received without a length.
            QCOMPARE(grabber->progress(), withLength ? 0.03f : 0.0f);
            QCOMPARE(grabber->bytesTotal(), withLength ? 100 : -1);
        }
        if (destroy) {
            grabber.reset();
        } else {
            grabber->cancel();
            grabber->cancel(); // idle: nothing happens
            QVERIFY(!grabber->isRunning());
            QCOMPARE(grabber->progress(), 0.0f);
        }
        // The worker really stops: its connection goes away, and it deletes itself.
        QVERIFY(
            QTest::qWaitFor([&] { return atOnce || server->closed == 1; }, scaledTimeout(5000)));
        QVERIFY(workersGone(5000));
        QCOMPARE(spy.size(), 0);
        QVERIFY(!QFile::exists(target));
        QCOMPARE(logged(), QStringList());
        if (destroy)
            return;
        server->script = {response(200, "second")};
        grabber->start();
        QVERIFY(spy.wait(scaledTimeout(10000)));
        QCOMPARE(spy, QList<QVariantList>({{false, 9}}));
        QCOMPARE(readFile(target), QByteArray("second"));
    }

    void download_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("scheme"); // of the TLS port, or "plain" for https on the other
        // The trusted rows add the certificate for good, so they come last.
        QTest::newRow("untrusted certificate fails") << false << "https";
        // The client closes the reply on the failed handshake: nothing may read from it then.
        QTest::newRow("https against a plain-HTTP server fails, no Qt warning") << false << "plain";
        QTest::newRow("trusted certificate, archive with rising progress") << true << "https";
        QTest::newRow("HTTPS in capitals") << true << "HTTPS";
    }

    void download()
    {
        QFETCH(bool, ok);
        QFETCH(QString, scheme);
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        if (ok) {
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            QVERIFY(config.addCaCertificates(nginx.caCertificatePath()));
            QSslConfiguration::setDefaultConfiguration(config);
        }
        QString url = nginx.tlsBaseUrl().resolved(QUrl("slow/update.vt")).toString();
        if (scheme == "plain")
            url = "https" + nginx.baseUrl().resolved(QUrl("slow/update.vt")).toString().mid(4);
        else
            url.replace(0, 5, scheme);
        FileGrabber grabber(QUrl(url), target, 4);
        QSignalSpy spy(&grabber, &FileGrabber::finished);
        grabber.start();
        QList<float> samples;
        for (int most = scaledTimeout(30000) / 20; spy.isEmpty() && samples.size() < most;
             QTest::qWait(20))
            samples.append(grabber.progress());
        QCOMPARE(spy, QList<QVariantList>({{!ok, 4}}));
        QCOMPARE(grabber.progress(), 0.0f);
        // Rising, never past 1.0, with values on the way.
        QVERIFY(std::is_sorted(samples.cbegin(), samples.cend()) && samples.value(0) >= 0.0f &&
                samples.value(samples.size() - 1) <= 1.0f);
        const auto between = std::count_if(samples.cbegin(), samples.cend(),
                                           [](float p) { return p > 0.0f && p < 1.0f; });
        QVERIFY2(between >= 5 || !ok, qPrintable(QString::number(between)));
        QVERIFY(ok ? readFile(target) == archive : !QFile::exists(target));
        // The status entry, then the reason.
        QCOMPARE(logged().size(), ok ? 0 : 2);
        QVERIFY(ok ||
                logged().at(1).startsWith(
                    "Info:  HTTPMessage failed with the following error: SSL handshake failed"));
    }

    // Without a limit of its own a download takes half of the space free beside the file, once a
    // signature's room is set aside: the two downloads run at once. Other processes may write
    // meanwhile, so it runs in shared memory, quieter than the disk where there is one, and a
    // try whose free space moved may fall outside; one on a quiet filesystem may not.
    void defaultLimit()
    {
        server->script = {response(200, "", "Content-Length: 4000000000000000000")};
        const bool shm = QFileInfo(QStringLiteral("/dev/shm")).isWritable();
        QTemporaryDir quiet(shm ? QStringLiteral("/dev/shm/tst_transfer-XXXXXX")
                                : dir.filePath(QStringLiteral("limit-XXXXXX")));
        QVERIFY(quiet.isValid());
        const QString folder = quiet.path();
        const QString file = quiet.filePath(QStringLiteral("update.vt"));
        const qint64 room = minisign::maxSignatureFileSize;
        for (int attempt = 1;; ++attempt) {
            closeLog(); // emptied for each try
            QVERIFY(openLog(logPath, false));
            const qint64 before = QStorageInfo(folder).bytesAvailable();
            FileGrabber grabber(local, file, 1);
            QSignalSpy spy(&grabber, &FileGrabber::finished);
            grabber.start();
            QVERIFY(spy.wait(scaledTimeout(10000)));
            const qint64 after = QStorageInfo(folder).bytesAvailable();
            QCOMPARE(spy, QList<QVariantList>({{true, 1}}));
            QVERIFY(workersGone(5000));
            const QRegularExpressionMatch limit =
                QRegularExpression(
                    QStringLiteral("The update is too large: more than (\\d+) bytes"))
                    .match(logged().value(0));
            QVERIFY2(limit.hasMatch(), qPrintable(logged().join('\n')));
            const qint64 taken = limit.captured(1).toLongLong();
            if (taken >= (qMin(before, after) - room) / 2 &&
                taken <= (qMax(before, after) - room) / 2)
                break;
            QVERIFY2(before != after && attempt < 10,
                     qPrintable(QStringLiteral("%1 of %2..%3").arg(taken).arg(before).arg(after)));
        }
    }

    // Where nameless files are refused, the part is named from the start: a run killed mid-body
    // leaves it, and the next run removes it; a part whose writer still runs stays, and so does
    // anything not named as a part is.
    void partFiles_data()
    {
        QTest::addColumn<bool>("kill");
        QTest::newRow("killed run's part removed by the next run") << true;
        QTest::newRow("live run's part stays") << false;
    }

    void partFiles()
    {
        QFETCH(bool, kill);
        const QDir files(dir.filePath(QStringLiteral("files")));
        const QByteArray half = bytePattern(100000);
        server->script = {
            response(200, half, "Content-Length: " + QByteArray::number(2 * half.size()))};
        // Near misses of the part's name, and a link under a part's name: none of them is a part.
        const QStringList decoys = {".update.vt.abc.part.old", "update.vt.abc.part",
                                    ".update.vt..part",        ".update.vt.ABC.part",
                                    ".other.vt.abc.part",      ".update.vt.minisig"};
        for (const QString& decoy : decoys)
            QVERIFY(writeFile(files.filePath(decoy), "decoy"));
        QVERIFY(writeFile(files.filePath(QStringLiteral("victim")), "keep"));
        QVERIFY(QFile::link(files.filePath(QStringLiteral("victim")),
                            files.filePath(QStringLiteral(".update.vt.link.part"))));
        const QDir::Filters all =
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
        QStringList before = files.entryList(all);
        before.sort();

        ChildProcess child;
        QVERIFY2(child.start(QCoreApplication::applicationFilePath(),
                             {"--part-helper", local.toString(), target},
                             dir.filePath(QStringLiteral("part-helper.out"))),
                 qPrintable(child.errorString()));
        QString part;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QStringList now = files.entryList(all);
                const QStringList added = QSet<QString>(now.begin(), now.end())
                                              .subtract(QSet<QString>(before.begin(), before.end()))
                                              .values();
                part = added.value(0);
                return added.size() == 1 && QFileInfo(files.filePath(part)).size() == half.size();
            },
            scaledTimeout(10000)));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\.update\\.vt\\.[0-9a-z]+\\.part$"))
                     .match(part)
                     .hasMatch(),
                 qPrintable(part));
        if (kill) {
            child.signal(SIGKILL);
            QVERIFY(child.waitForFinished(scaledTimeout(10000)));
            QCOMPARE(readFile(files.filePath(part)), half); // left behind, as a kill does
        }

        // The next run, forced the same way, cleans up before it starts and takes its own name.
        server->script = {response(200, "whole")};
        ReplacingFile::setNamedPartsForced(true);
        FileGrabber grabber(local, target, 2);
        QSignalSpy spy(&grabber, &FileGrabber::finished);
        grabber.start();
        const bool answered = spy.wait(scaledTimeout(10000));
        ReplacingFile::setNamedPartsForced(false);
        QVERIFY(answered);
        QCOMPARE(spy, QList<QVariantList>({{false, 2}}));
        QCOMPARE(readFile(target), QByteArray("whole"));
        QStringList expected = before + QStringList{"update.vt"};
        if (!kill)
            expected << part;
        expected.sort();
        QStringList after = files.entryList(all);
        after.sort();
        QCOMPARE(after, expected);
        for (const QString& decoy : decoys)
            QCOMPARE(readFile(files.filePath(decoy)), QByteArray("decoy"));
        QCOMPARE(readFile(files.filePath(QStringLiteral("victim"))), QByteArray("keep"));
        if (!kill)
            QCOMPARE(readFile(files.filePath(part)), half);
        QVERIFY(workersGone(5000));
    }

    // Leaving mid-download and quitting at once ends the process cleanly: exit code 0, no
    // warning about a thread destroyed while running, no sanitizer report.
    void quitsCleanly_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("cancel mid-download, then quit") << "mid";
        QTest::newRow("cancel right after start") << "at-once";
        QTest::newRow("quit with the download running") << "leave-running";
    }

    void quitsCleanly()
    {
        QFETCH(QString, mode);
        const QString url =
            nginx.baseUrl().resolved(QUrl(QStringLiteral("slower/update.vt"))).toString();
        for (int i = 0; i < (mode == "at-once" ? 5 : 3); ++i) {
            const QString output = dir.filePath(QStringLiteral("helper-%1.out").arg(i));
            ChildProcess process;
            QVERIFY2(process.start(QCoreApplication::applicationFilePath(),
                                   {"--quit-helper", url, target, mode}, output),
                     qPrintable(process.errorString()));
            QVERIFY(process.waitForFinished(scaledTimeout(60000)));
            const QString err = QString::fromLocal8Bit(readFile(output));
            QVERIFY2(process.exitCode() == 0,
                     qPrintable(QString::number(process.exitCode()) + QLatin1Char(' ') + err));
            QVERIFY2(!err.contains(QRegularExpression("QThread|Sanitizer|runtime error")),
                     qPrintable(err));
            QVERIFY(!QFile::exists(target));
        }
    }
};

// Run as "tst_transfer --quit-helper URL TARGET MODE": starts a download, then stops it and quits
// at once the way the updater does when the user leaves mid-download.
static int quitHelper(int argc, char** argv)
{
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    const QByteArray mode = argv[4];
    auto* grabber =
        new FileGrabber(QUrl(QString::fromLocal8Bit(argv[2])), QString::fromLocal8Bit(argv[3]), 0);
    QObject::connect(grabber, &FileGrabber::finished, app.get(), [] { QCoreApplication::exit(3); });
    grabber->start();
    if (mode == "at-once") {
        delete grabber;
        return 0;
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, app.get(), [&] {
        if (grabber->progress() > 0.0f) {
            if (mode == "mid")
                delete std::exchange(grabber, nullptr);
            QCoreApplication::quit();
        }
    });
    poll.start(5);
    QTimer::singleShot(20000, app.get(), [] { QCoreApplication::exit(4); });
    const int result = app->exec();
    poll.stop();
    // With "leave-running" the transfer is still going when the application object goes; its
    // owner is deleted only afterwards.
    if (mode == "leave-running")
        app.reset();
    delete grabber;
    return result;
}

// Run as "tst_transfer --part-helper URL TARGET": downloads with named parts until killed.
static int partHelper(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ReplacingFile::setNamedPartsForced(true);
    FileGrabber grabber(QUrl(QString::fromLocal8Bit(argv[2])), QString::fromLocal8Bit(argv[3]), 0);
    QObject::connect(&grabber, &FileGrabber::finished, &app, [] { QCoreApplication::exit(3); });
    grabber.start();
    return app.exec();
}

int main(int argc, char** argv)
{
    if (argc == 5 && qstrcmp(argv[1], "--quit-helper") == 0)
        return quitHelper(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--part-helper") == 0)
        return partHelper(argc, argv);
    QCoreApplication app(argc, argv);
    TransferTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transfer.moc"
