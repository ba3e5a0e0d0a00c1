// The GET request and its worker thread against a scripted server on loopback:
// request bytes, outcomes, log entries, progress, aborts.
#include "GETServerMessage.h"
#include "HTTPMessage.h"
#include "LogCapture.h"
#include "ScriptedHttpServer.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using Script = QList<ScriptedHttpServer::Step>;
using S = ScriptedHttpServer;

Q_DECLARE_METATYPE(Script)

namespace {

// Exposes the URL as the message keeps it after construction.
class ProbeMessage : public GETServerMessage
{
public:
    using GETServerMessage::GETServerMessage;
    QUrl target() const { return url; }
};

QByteArray bytePattern(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char((i * 131 + i / 256) & 0xff);
    return out;
}

QString debugEntry(int status, const QUrl& url)
{
    return QStringLiteral("Debug:  HTTPMessage failed with status code %1.  The URL was %2")
        .arg(status)
        .arg(url.toString());
}

QString infoEntry(const QString& error, const QUrl& url)
{
    return QStringLiteral("Info:  HTTPMessage failed with the following error: %1.  The URL was %2")
        .arg(error, url.toString());
}

} // namespace

class TransferTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void urlGetsDefaultPort_data();
    void urlGetsDefaultPort();
    void requestBytes_data();
    void requestBytes();
    void outcome_data();
    void outcome();
    void refusedPort();
    void stallFailsTransfer();
    void progressFollowsContentLength();
    void progressStaysZeroWithoutLength();
    void secondSendIsRefused();
    void abortNeverResponds();
    void deletingInFlightStopsTheWorker();
    void workerDeletesItselfAfterAbort_data();
    void workerDeletesItselfAfterAbort();
    void workerReportsOnce();

private:
    std::unique_ptr<ScriptedHttpServer> server;
    std::unique_ptr<LogCapture> log;
};

void TransferTest::init()
{
    server = std::make_unique<ScriptedHttpServer>();
    QVERIFY(server->listen());
    log = std::make_unique<LogCapture>();
}

void TransferTest::cleanup()
{
    log.reset();
    server.reset();
}

void TransferTest::urlGetsDefaultPort_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");
    QTest::newRow("http without port") << "http://example.test/dir/update.vt"
                                       << "http://example.test:80/dir/update.vt";
    QTest::newRow("https without port") << "https://example.test/update.vt"
                                        << "https://example.test:443/update.vt";
    QTest::newRow("other scheme is plain HTTP") << "ftp://example.test/update.vt"
                                                << "ftp://example.test:80/update.vt";
    QTest::newRow("explicit port kept") << "http://example.test:8080/u.vt?q=1"
                                        << "http://example.test:8080/u.vt?q=1";
    QTest::newRow("explicit https port kept") << "https://example.test:8443/u.vt"
                                              << "https://example.test:8443/u.vt";
}

void TransferTest::urlGetsDefaultPort()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    ProbeMessage message{QUrl(url)};
    QCOMPARE(message.target().toString(), expected);
}

void TransferTest::requestBytes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QByteArray>("requestLine");
    QTest::newRow("plain path") << "/dir/update.vt"
                                << "http" << QByteArray("GET /dir/update.vt HTTP/1.1");
    QTest::newRow("query and fragment dropped")
        << "/dir/update.vt?x=1&y=2#part"
        << "http" << QByteArray("GET /dir/update.vt HTTP/1.1");
    QTest::newRow("encoded path kept") << "/a%20b/update.vt"
                                       << "http" << QByteArray("GET /a%20b/update.vt HTTP/1.1");
    QTest::newRow("empty path") << ""
                                << "http" << QByteArray("GET / HTTP/1.1");
    QTest::newRow("user info not sent")
        << "/update.vt"
        << "http://user:secret@" << QByteArray("GET /update.vt HTTP/1.1");
    QTest::newRow("unknown scheme fetched over HTTP")
        << "/update.vt"
        << "gopher" << QByteArray("GET /update.vt HTTP/1.1");
}

void TransferTest::requestBytes()
{
    QFETCH(QString, path);
    QFETCH(QString, scheme);
    QFETCH(QByteArray, requestLine);
    server->setScript(S::answer(200, "ok"));
    const QString prefix =
        scheme.contains(QLatin1String("://")) ? scheme : scheme + QStringLiteral("://");
    const QUrl url(prefix + QStringLiteral("127.0.0.1:%1").arg(server->port()) + path);
    GETServerMessage message(url);
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.at(0).at(1).toBool(), false);
    QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("ok"));

    QCOMPARE(server->requests().size(), 1);
    QList<QByteArray> lines = server->requests().at(0).split('\n');
    QCOMPARE(lines.last(), QByteArray()); // after the final "\r\n"
    lines.removeLast();
    for (QByteArray& line : lines) {
        QVERIFY2(line.endsWith('\r'), line.constData());
        line.chop(1);
    }
    // Ours, in this order; then the client's own two; then the blank line.
    const QList<QByteArray> ours = {
        requestLine,   "Host: 127.0.0.1",           "Cache-Control: no-cache",
        "Accept: */*", "Accept-Encoding: identity", "User-Agent: TovoliaUpdater/" UPDATER_VERSION};
    QCOMPARE(lines.mid(0, ours.size()), ours);
    QCOMPARE(lines.size(), ours.size() + 3);
    QCOMPARE(lines.at(ours.size()), QByteArray("Connection: Keep-Alive"));
    QVERIFY2(lines.at(ours.size() + 1).startsWith("Accept-Language: "),
             lines.at(ours.size() + 1).constData());
    QCOMPARE(lines.at(ours.size() + 2), QByteArray());
    QCOMPARE(log->entries(), QStringList());
}

void TransferTest::outcome_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("error");
    QTest::addColumn<QByteArray>("body");
    // Expected log entries; %U stands for the URL's text.
    QTest::addColumn<QStringList>("entries");

    const QByteArray big = bytePattern(300000);
    const QByteArray cr = "Connection: close";

    QTest::newRow("200 with body") << S::answer(200, big) << false << big << QStringList();
    QTest::newRow("200 empty") << S::answer(200, QByteArray()) << false << QByteArray()
                               << QStringList();
    QTest::newRow("404 is a clean bad status")
        << S::answer(404, "not here") << true << QByteArray() << QStringList{"debug 404"};
    QTest::newRow("500") << S::answer(500, "oops") << true << QByteArray()
                         << QStringList{"debug 500"};
    QTest::newRow("304") << Script{S::send("HTTP/1.1 304 Not Modified\r\nContent-Length: "
                                           "500\r\n\r\n"),
                                   S::hold()}
                         << true << QByteArray() << QStringList{"debug 304"};
    QTest::newRow("redirect not followed")
        << Script{S::send(S::response(301, "moved", true, {"Location: /elsewhere.vt", cr})),
                  S::close()}
        << true << QByteArray() << QStringList{"debug 301"};
    QTest::newRow("close-delimited body")
        << Script{S::send(S::response(200, big, false, {cr})), S::close()} << false << big
        << QStringList();
    QTest::newRow("chunked body")
        << Script{S::send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"),
                  S::hold()}
        << false << QByteArray("hello world") << QStringList();
    QTest::newRow("body in slow pieces")
        << Script{S::send(S::response(200, "", false, {"Content-Length: 12"})),
                  S::send("abcd"),
                  S::pause(60),
                  S::send("efgh"),
                  S::pause(60),
                  S::send("ijkl"),
                  S::hold()}
        << false << QByteArray("abcdefghijkl") << QStringList();
    QTest::newRow("cut off after 200 header")
        << Script{S::send(S::response(200, "", false, {"Content-Length: 1054"}) + big.left(54)),
                  S::close()}
        << true << QByteArray() << QStringList{"info Connection closed"};
    QTest::newRow("length far beyond the body")
        << Script{S::send(S::response(200, "", false, {"Content-Length: 3000000000"}) + "abc"),
                  S::close()}
        << true << QByteArray() << QStringList{"info Connection closed"};
    // Qt drops an oversized field and then waits for a body end that never
    // comes: the stall limit ends it.
    QTest::newRow("huge header") << Script{S::send("HTTP/1.1 200 OK\r\nX-Filler: " +
                                                   QByteArray(1 << 20, 'x') +
                                                   "\r\nContent-Length: 2\r\n\r\nok"),
                                           S::hold()}
                                 << true << QByteArray() << QStringList{"info Operation canceled"};
    QTest::newRow("closed before any answer") << Script{S::close()} << true << QByteArray()
                                              << QStringList{"debug 0", "info Connection closed"};
}

void TransferTest::outcome()
{
    QFETCH(Script, script);
    QFETCH(bool, error);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, entries);
    server->setScript(script);
    const QUrl url = server->url(QStringLiteral("/update.vt"));
    GETServerMessage message(url);
    message.setStallTimeout(2000);
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(spy.wait(10000));
    QTest::qWait(50); // nothing more may follow
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(1).toBool(), error);
    QCOMPARE(spy.at(0).at(0).toByteArray().size(), body.size());
    QVERIFY(spy.at(0).at(0).toByteArray() == body);
    QCOMPARE(message.progress(), 0.0f);
    // Where the server closes the connection the client may, by itself, send the
    // request once more on a fresh one.
    const int requests = server->requests().size();
    QVERIFY(requests >= 1);
    QVERIFY(requests <= (script.contains(S::close()) ? 2 : 1));

    QStringList expected;
    for (const QString& e : entries) {
        if (e.startsWith(QLatin1String("debug ")))
            expected << debugEntry(e.mid(6).toInt(), url);
        else
            expected << infoEntry(e.mid(5), url);
    }
    QCOMPARE(log->messages(QStringLiteral("HTTPMessage")), expected);
    // The message can go again after an answer.
    QVERIFY(message.send());
    QVERIFY(spy.wait(10000));
    QVERIFY(server->requests().size() > requests);
}

void TransferTest::refusedPort()
{
    const quint16 port = ScriptedHttpServer::refusedPort();
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/update.vt").arg(port));
    GETServerMessage message(url);
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray());
    QCOMPARE(spy.at(0).at(1).toBool(), true);
    // No header arrived: the status entry with 0, then the transport error.
    QCOMPARE(
        log->messages(QStringLiteral("HTTPMessage")),
        QStringList({debugEntry(0, url), infoEntry(QStringLiteral("Connection refused"), url)}));
}

void TransferTest::stallFailsTransfer()
{
    server->setScript(
        {S::send(S::response(200, "", false, {"Content-Length: 100"}) + "0123456789"), S::hold()});
    const QUrl url = server->url(QStringLiteral("/update.vt"));
    GETServerMessage message(url);
    message.setStallTimeout(400);
    QSignalSpy spy(&message, &ServerMessage::response);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(message.send());
    QVERIFY(spy.wait(10000));
    QVERIFY(clock.elapsed() >= 300);
    QCOMPARE(spy.at(0).at(1).toBool(), true);
    QCOMPARE(log->messages(QStringLiteral("HTTPMessage")),
             QStringList{infoEntry(QStringLiteral("Operation canceled"), url)});
}

void TransferTest::progressFollowsContentLength()
{
    server->setScript({S::send(S::response(200, "", false, {"Content-Length: 400"})),
                       S::send(QByteArray(100, 'a')), S::pause(300), S::send(QByteArray(100, 'b')),
                       S::pause(300), S::send(QByteArray(200, 'c')), S::hold()});
    GETServerMessage message(server->url(QStringLiteral("/update.vt")));
    QCOMPARE(message.progress(), 0.0f);
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(QTest::qWaitFor([&] { return message.progress() == 0.25f; }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return message.progress() == 0.5f; }, 5000));
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.at(0).at(0).toByteArray().size(), 400);
    // Once answered nothing is in flight.
    QCOMPARE(message.progress(), 0.0f);
}

void TransferTest::progressStaysZeroWithoutLength()
{
    server->setScript({S::send(S::response(200, "", false, {"Connection: close"})),
                       S::send(QByteArray(100, 'a')), S::pause(150), S::send(QByteArray(100, 'b')),
                       S::pause(150), S::close()});
    GETServerMessage message(server->url(QStringLiteral("/update.vt")));
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    float highest = 0.0f;
    int samples = 0;
    while (spy.isEmpty() && samples < 2000) {
        highest = qMax(highest, message.progress());
        ++samples;
        QTest::qWait(2);
    }
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toByteArray().size(), 200);
    QCOMPARE(highest, 0.0f);
}

void TransferTest::secondSendIsRefused()
{
    server->setScript(S::answer(200, "once"));
    GETServerMessage message(server->url(QStringLiteral("/update.vt")));
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(!message.send());
    QVERIFY(spy.wait(10000));
    QTest::qWait(200);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(server->connectionCount(), 1);
    QCOMPARE(server->requests().size(), 1);
}

void TransferTest::abortNeverResponds()
{
    server->setScript(
        {S::send(S::response(200, "", false, {"Content-Length: 100"}) + "0123456789"), S::hold()});
    GETServerMessage message(server->url(QStringLiteral("/update.vt")));
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(QTest::qWaitFor([&] { return message.progress() > 0.0f; }, 5000));
    message.abort();
    QCOMPARE(message.progress(), 0.0f);
    message.abort(); // a second abort is harmless
    // The worker really stops: its connection goes away.
    QVERIFY(QTest::qWaitFor([&] { return server->closedCount() == 1; }, 5000));
    QTest::qWait(100);
    QCOMPARE(spy.size(), 0);
    QCOMPARE(log->entries(), QStringList());
}

void TransferTest::deletingInFlightStopsTheWorker()
{
    server->setScript({S::hold()});
    int responses = 0;
    auto* message = new GETServerMessage(server->url(QStringLiteral("/update.vt")));
    connect(message, &ServerMessage::response, this, [&] { ++responses; });
    QVERIFY(message->send());
    QVERIFY(server->waitForRequests(1));
    delete message;
    QVERIFY(QTest::qWaitFor([&] { return server->closedCount() == 1; }, 5000));
    QTest::qWait(100);
    QCOMPARE(responses, 0);
    QCOMPARE(log->entries(), QStringList());
}

void TransferTest::workerDeletesItselfAfterAbort_data()
{
    QTest::addColumn<bool>("waitForRequest");
    QTest::newRow("at once after start") << false;
    QTest::newRow("while the request waits") << true;
}

void TransferTest::workerDeletesItselfAfterAbort()
{
    QFETCH(bool, waitForRequest);
    server->setScript({S::hold()});
    QNetworkRequest request(server->url(QStringLiteral("/update.vt")));
    QPointer<HTTPMessage> worker =
        new HTTPMessage(server->url(QStringLiteral("/update.vt")), request, QByteArray());
    QSignalSpy finished(worker.data(), &HTTPMessage::finished);
    worker->start();
    if (waitForRequest)
        QVERIFY(server->waitForRequests(1));
    worker->abort();
    QVERIFY(QTest::qWaitFor([&] { return worker.isNull(); }, 5000));
    QCOMPARE(finished.size(), 0);
    QCOMPARE(log->entries(), QStringList());
}

void TransferTest::workerReportsOnce()
{
    const QByteArray body = bytePattern(5000);
    server->setScript(S::answer(200, body));
    QNetworkRequest request(server->url(QStringLiteral("/update.vt")));
    QPointer<HTTPMessage> worker =
        new HTTPMessage(server->url(QStringLiteral("/update.vt")), request, QByteArray());
    QByteArray seen;
    int reports = 0;
    connect(worker.data(), &HTTPMessage::finished, this, [&](bool error) {
        ++reports;
        QVERIFY(!error);
        // Receivers may read the body and the progress inside the report.
        seen = worker->responseData();
        QCOMPARE(worker->progress(), 1.0f);
    });
    worker->start();
    QVERIFY(QTest::qWaitFor([&] { return worker.isNull(); }, 10000));
    QCOMPARE(reports, 1);
    QVERIFY(seen == body);
}

QTEST_GUILESS_MAIN(TransferTest)
#include "tst_transfer.moc"
