// Many range requests through one session against a small server on loopback that answers each
// request by a script: connections kept alive and reused, or closed after every answer; the
// answers a session must refuse (whole file, other range, stall, redirect, bad lengths) with the
// log entries they leave; and a session cancelled or destroyed in the middle of its transfers.
#include "Log.h"
#include "RangeSession.h"
#include "TestFiles.h"
#include "TestTimeouts.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace {

// How the server answers.
enum Mode
{
    KeepAlive,   // each asked range, connection kept open
    CloseEach,   // each asked range with "Connection: close", then closes
    Whole,       // 200 with the whole file
    WholeLater,  // the first request as asked, every later one 200 (another file under If-Range)
    OtherRange,  // 206 of the bytes one further on
    OtherTotal,  // 206 of the bytes asked for, of another total
    Conflicting, // 206 with two Content-Length fields that disagree
    LongerBody,  // 206 without Content-Length, with a byte past the range, then closes
    ShortBody,   // 206 whose body stops short, then closes
    Stall,       // 206, the first 10 bytes of the body, then silence
    Redirect,    // 301 to elsewhere
    NotSatisfiable,
    Hold, // the first request as asked, of every later one the head and half the body
};

const QByteArray file = bytePattern(300000);

struct RangeServer : QTcpServer
{
    Mode mode = KeepAlive;
    QList<QByteArray> requests; // heads in arrival order
    int connections = 0;        // accepted
    int closed = 0;

    RangeServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                ++connections;
                connect(socket, &QTcpSocket::disconnected, this, [this] { ++closed; });
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket, buffer = QByteArray()]() mutable {
                            buffer += socket->readAll();
                            for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
                                const QByteArray head = buffer.left(end + 4);
                                buffer.remove(0, end + 4);
                                requests.append(head);
                                answer(socket, head, int(requests.size()) - 1);
                            }
                        });
            }
        });
    }

    void answer(QTcpSocket* socket, const QByteArray& head, int index)
    {
        static const QRegularExpression asked(QStringLiteral("\r\nRange: bytes=(\\d+)-(\\d+)\r\n"));
        const QRegularExpressionMatch match = asked.match(QString::fromLatin1(head));
        if (!match.hasMatch()) {
            socket->write("HTTP/1.1 400 Bad\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        qint64 first = match.captured(1).toLongLong(), last = match.captured(2).toLongLong();
        qint64 total = file.size();
        const auto partial = [&](const QByteArray& extra, const QByteArray& body) {
            return "HTTP/1.1 206 Partial\r\nContent-Range: bytes " + QByteArray::number(first) +
                   '-' + QByteArray::number(last) + '/' + QByteArray::number(total) +
                   "\r\nETag: \"v1\"\r\n" + extra + "\r\n" + body;
        };
        const auto length = [](qint64 n) { return "Content-Length: " + QByteArray::number(n); };
        const QByteArray body = file.mid(first, last - first + 1);
        Mode now = mode;
        if (index == 0 && (now == WholeLater || now == Hold))
            now = KeepAlive;
        switch (now) {
        case KeepAlive:
            socket->write(partial(length(body.size()) + "\r\n", body));
            break;
        case CloseEach:
            socket->write(partial(length(body.size()) + "\r\nConnection: close\r\n", body));
            socket->disconnectFromHost();
            break;
        case Whole:
        case WholeLater:
            socket->write("HTTP/1.1 200 OK\r\nETag: \"v2\"\r\n" + length(file.size()) + "\r\n\r\n" +
                          file);
            break;
        case OtherRange:
            ++first;
            ++last;
            socket->write(partial(length(body.size()) + "\r\n", file.mid(first, body.size())));
            break;
        case OtherTotal:
            ++total;
            socket->write(partial(length(body.size()) + "\r\n", body));
            break;
        case Conflicting:
            socket->write(
                partial(length(body.size()) + "\r\n" + length(body.size() + 1) + "\r\n", body));
            break;
        case LongerBody:
            socket->write(partial("Connection: close\r\n", body + "X"));
            socket->disconnectFromHost();
            break;
        case ShortBody:
            socket->write(partial(length(body.size()) + "\r\n", body.left(body.size() - 1)));
            socket->disconnectFromHost();
            break;
        case Stall:
            socket->write(partial(length(body.size()) + "\r\n", body.left(10)));
            break;
        case Redirect:
            socket->write(
                "HTTP/1.1 301 Moved\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n");
            break;
        case NotSatisfiable:
            socket->write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n");
            break;
        case Hold:
            socket->write(partial(length(body.size()) + "\r\n", body.left(body.size() / 2)));
            break;
        }
    }
};

using Ranges = QList<QPair<qint64, qint64>>;

// Twelve ranges, from a few bytes to 64 KiB, none touching the next.
Ranges manyRanges()
{
    Ranges ranges;
    qint64 at = 100;
    for (int i = 0; i < 12; ++i) {
        const qint64 length = i % 3 == 0 ? 65536 : i % 3 == 1 ? 7 : 3000 + i;
        ranges.append({at, at + length - 1});
        at += length + 1000;
    }
    return ranges;
}

// The target after the ranges came: their bytes, dots elsewhere.
QByteArray filled(const Ranges& ranges)
{
    QByteArray out(file.size(), '.');
    for (const auto& [first, last] : ranges)
        out.replace(first, last - first + 1, file.mid(first, last - first + 1));
    return out;
}

} // namespace

class RangeSessionTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("log.txt"));
    const QString target = dir.filePath(QStringLiteral("chunks"));
    std::unique_ptr<RangeServer> server;
    QUrl url;
    int fd = -1;

    QStringList logged() const
    {
        return logMessages(readFile(logPath), QStringLiteral("HTTPMessage"));
    }

private slots:
    void init()
    {
        server = std::make_unique<RangeServer>();
        QVERIFY(server->isListening());
        url = QUrl(QStringLiteral("http://127.0.0.1:%1/update.vt").arg(server->serverPort()));
        QVERIFY(writeFile(target, QByteArray(file.size(), '.')));
        fd = ::open(QFile::encodeName(target).constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QFile::remove(logPath);
        QVERIFY(openLog(logPath, false));
    }

    void cleanup()
    {
        closeLog();
        ::close(fd);
        server.reset();
    }

    // Every range sent, in order, until the first failure; what came is in the file at its own
    // place, and nothing else is written.
    void fetch_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<int>("stallTimeout");
        QTest::addColumn<int>("done");         // ranges reported done
        QTest::addColumn<int>("status");       // failed()'s status; -1: no failure
        QTest::addColumn<QStringList>("logs"); // "debug <status>|info <reason>"
        // Bytes of the failed range written before its failure, at their place: the caller
        // verifies what it keeps.
        QTest::addColumn<int>("partial");
        const Ranges ranges = manyRanges();
        const auto row = [](const char* name, Mode mode, int done, int status,
                            const QString& logs = {}, const QString& scheme = "http",
                            int stall = 60000, int partial = 0) {
            QTest::newRow(name) << int(mode) << scheme << stall << done << status
                                << logs.split('|', Qt::SkipEmptyParts) << partial;
        };
        row("keep-alive", KeepAlive, 12, -1);
        row("connection closed after each answer", CloseEach, 12, -1);
        const QString bytes = QStringLiteral("%1-%2").arg(ranges[0].first).arg(ranges[0].second);
        row("200 instead", Whole, 0, 200,
            "info The server sent the whole file instead of bytes " + bytes);
        // The engine's archive changed between the first range and the next.
        row("200 after the first", WholeLater, 1, 200,
            QStringLiteral("info The server sent the whole file instead of bytes %1-%2")
                .arg(ranges[1].first)
                .arg(ranges[1].second));
        const QString notAsked = "debug 206|info The partial answer is not the range asked for: "
                                 "Content-Range: bytes ";
        row("other bytes", OtherRange, 0, 206,
            notAsked + QStringLiteral("%1-%2/%3")
                           .arg(ranges[0].first + 1)
                           .arg(ranges[0].second + 1)
                           .arg(file.size()));
        row("other total", OtherTotal, 0, 206,
            notAsked + QStringLiteral("%1/%2").arg(bytes).arg(file.size() + 1));
        row("conflicting Content-Length", Conflicting, 0, 206,
            "debug 206|info Conflicting Content-Length headers");
        // Never written past the range, whatever the server sends.
        row("body past the range", LongerBody, 0, 206,
            "debug 206|info The update is too large: more than 65536 bytes");
        row("body cut short", ShortBody, 0, 206, "debug 206|info Connection closed", "http", 60000,
            65535);
        row("stall", Stall, 0, 206,
            "debug 206|info The transfer stalled: less than 1024 bytes in 300 milliseconds", "http",
            300, 10);
        row("redirect not followed", Redirect, 0, 301, "debug 301");
        row("416", NotSatisfiable, 0, 416, "debug 416");
        row("unsupported scheme", KeepAlive, 0, 0,
            "debug 0|info Unsupported URL scheme 'ftp': only http and https are fetched", "ftp");
    }

    void fetch()
    {
        QFETCH(int, mode);
        QFETCH(QString, scheme);
        QFETCH(int, stallTimeout);
        QFETCH(int, done);
        QFETCH(int, status);
        QFETCH(QStringList, logs);
        QFETCH(int, partial);
        server->mode = Mode(mode);
        url.setScheme(scheme);
        const Ranges ranges = manyRanges();
        auto session = std::make_unique<RangeSession>(url, fd, file.size());
        session->setMaxInFlight(3);
        session->setStallTimeout(stallTimeout);
        QSignalSpy doneSpy(session.get(), &RangeSession::rangeDone);
        QSignalSpy failedSpy(session.get(), &RangeSession::failed);
        // The first alone, as the engine asks for it: its answer's validator goes with the rest.
        session->fetch(ranges[0].first, ranges[0].second);
        QVERIFY(QTest::qWaitFor([&] { return !doneSpy.isEmpty() || !failedSpy.isEmpty(); },
                                scaledTimeout(20000)));
        if (!doneSpy.isEmpty()) {
            session->setValidator(doneSpy.at(0).at(2).toByteArray());
            for (qsizetype i = 1; i < ranges.size(); ++i)
                session->fetch(ranges[i].first, ranges[i].second);
        }
        QVERIFY(
            QTest::qWaitFor([&] { return doneSpy.size() == ranges.size() || !failedSpy.isEmpty(); },
                            scaledTimeout(20000)));
        // A failure is the worker's last report, queued after any other: nothing more comes.
        QCoreApplication::processEvents();
        QCOMPARE(doneSpy.size(), done);
        QCOMPARE(failedSpy.size(), status < 0 ? 0 : 1);
        if (status >= 0)
            QCOMPARE(failedSpy.at(0).at(0).toInt(), status);
        Ranges came;
        for (int i = 0; i < done; ++i) {
            const QList<QVariant> args = doneSpy.at(i);
            came.append({args.at(0).toLongLong(), args.at(1).toLongLong()});
            QCOMPARE(args.at(2).toByteArray(), QByteArray("\"v1\""));
        }
        std::sort(came.begin(), came.end());
        QCOMPARE(came, ranges.mid(0, done));
        Ranges written = came;
        if (partial > 0)
            written.append({ranges[done].first, ranges[done].first + partial - 1});
        QCOMPARE(readFile(target), filled(written));
        QCOMPARE(logged(), [&] {
            QStringList entries;
            for (const QString& e : logs)
                entries << (e.startsWith("debug ")
                                ? "Debug:  HTTPMessage failed with status code "
                                : "Info:  HTTPMessage failed with the following error: ") +
                               e.section(' ', 1) + ".  The URL was " + url.toString();
            return entries;
        }());
        if (scheme != "http") {
            QCOMPARE(server->requests.size(), 0);
            return;
        }
        // Every request one range, exactly; If-Range once the validator is known; never a
        // compressed answer.
        // Counted once out; one dropped at the failure may not have been.
        QTRY_VERIFY_WITH_TIMEOUT(server->requests.size() >= session->requestsSent(),
                                 scaledTimeout(10000));
        if (status < 0)
            QCOMPARE(session->requestsSent(), server->requests.size());
        for (qsizetype i = 0; i < server->requests.size(); ++i) {
            const QByteArray& head = server->requests.at(i);
            QVERIFY(head.contains("\r\nAccept-Encoding: identity\r\n"));
            QCOMPARE(head.contains("\r\nIf-Range: \"v1\"\r\n"), i > 0);
            QCOMPARE(head.count("Range: "), i > 0 ? 2 : 1);
        }
        qint64 body = 0;
        for (const auto& [first, last] : came)
            body += last - first + 1;
        if (status < 0)
            QCOMPARE(session->bytesReceived(), body);
        if (mode == KeepAlive && status < 0) {
            // Connections kept and reused: fewer than requests.
            QCOMPARE(server->requests.size(), ranges.size());
            QVERIFY2(server->connections < ranges.size(),
                     qPrintable(QString::number(server->connections)));
        }
        if (mode == CloseEach)
            QCOMPARE(server->connections, int(ranges.size()));
    }

    // Cancelled or destroyed with transfers half done: nothing reported, nothing written after.
    void stopped_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::addColumn<int>("inFlight");
        QTest::newRow("cancelled") << false << 3;
        QTest::newRow("destroyed") << true << 3;
        // More than one client opens connections to a host: every request its own.
        QTest::newRow("cancelled, twelve in flight") << false << 12;
    }

    void stopped()
    {
        QFETCH(bool, destroy);
        QFETCH(int, inFlight);
        server->mode = Hold;
        const Ranges ranges = manyRanges();
        auto session = std::make_unique<RangeSession>(url, fd, file.size());
        session->setMaxInFlight(inFlight);
        QSignalSpy doneSpy(session.get(), &RangeSession::rangeDone);
        QSignalSpy failedSpy(session.get(), &RangeSession::failed);
        // The first alone, as the engine asks for it, so that it is the one answered whole.
        session->fetch(ranges[0].first, ranges[0].second);
        QVERIFY(QTest::qWaitFor([&] { return doneSpy.size() == 1; }, scaledTimeout(20000)));
        for (qsizetype i = 1; i < ranges.size(); ++i)
            session->fetch(ranges[i].first, ranges[i].second);
        // The first complete, as many more as may be in flight half written and held.
        const qint64 firstLength = ranges[0].second - ranges[0].first + 1;
        const int sent = qMin(inFlight, int(ranges.size()) - 1) + 1;
        qint64 halves = 0;
        for (int i = 1; i < sent; ++i)
            halves += (ranges[i].second - ranges[i].first + 1) / 2;
        QVERIFY(QTest::qWaitFor([&] { return session->bytesReceived() == firstLength + halves; },
                                scaledTimeout(20000)));
        QCOMPARE(server->requests.size(), sent);
        // The first's report may still be on its way; none may come after the stop.
        const qsizetype reported = doneSpy.size();
        if (destroy)
            session.reset();
        else
            session->cancel();
        const QByteArray afterStop = readFile(target);
        // The held transfers' connections go; then let the rest of their bodies come, unread.
        QTRY_COMPARE_WITH_TIMEOUT(server->closed, server->connections, scaledTimeout(10000));
        server->mode = KeepAlive;
        QCoreApplication::processEvents();
        QCOMPARE(doneSpy.size(), reported);
        QCOMPARE(failedSpy.size(), 0);
        QCOMPARE(readFile(target), afterStop);
        QCOMPARE(server->requests.size(), sent);
        QCOMPARE(logged(), QStringList());
        if (!destroy) {
            QVERIFY(session->isOver());
            session->fetch(ranges[0].first, ranges[0].second);
            QCoreApplication::processEvents();
            QCOMPARE(session->requestsSent(), sent);
        }
    }
};

QTEST_GUILESS_MAIN(RangeSessionTest)
#include "tst_rangesession.moc"
