// The GET request and its worker thread against a scripted server on loopback:
// request bytes, outcomes, log entries, progress, aborts.
#include "GETServerMessage.h"
#include "HTTPMessage.h"
#include "LogCapture.h"
#include "ScriptedHttpServer.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using S = ScriptedHttpServer;
using Script = QList<S::Step>;

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

// A 200 header announcing length bytes, followed by head of the body.
QByteArray partial(const QByteArray& length, const QByteArray& head)
{
    return S::response(200, "", false, {"Content-Length: " + length}) + head;
}

} // namespace

class TransferTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedHttpServer> server;
    std::unique_ptr<LogCapture> log;

private slots:
    void init()
    {
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->listen());
        log.reset(); // one log open at a time
        log = std::make_unique<LogCapture>();
    }

    void urlGetsDefaultPort_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected");
        QTest::newRow("http") << "http://example.test/dir/update.vt"
                              << "http://example.test:80/dir/update.vt";
        // Port 80 here would fetch an https URL as plain text.
        QTest::newRow("https") << "https://example.test/update.vt"
                               << "https://example.test:443/update.vt";
    }

    void urlGetsDefaultPort()
    {
        QFETCH(QString, url);
        QFETCH(QString, expected);
        QCOMPARE(ProbeMessage(QUrl(url)).target().toString(), expected);
    }

    void requestBytes_data()
    {
        QTest::addColumn<QString>("url"); // %1 is the server's port
        QTest::addColumn<QByteArray>("target");
        QTest::newRow("query and fragment dropped")
            << "http://127.0.0.1:%1/dir/update.vt?x=1&y=2#part" << QByteArray("/dir/update.vt");
        QTest::newRow("encoded path kept")
            << "http://127.0.0.1:%1/a%20b/update.vt" << QByteArray("/a%20b/update.vt");
        QTest::newRow("empty path") << "http://127.0.0.1:%1" << QByteArray("/");
        QTest::newRow("unknown scheme fetched over HTTP")
            << "gopher://127.0.0.1:%1/update.vt" << QByteArray("/update.vt");
    }

    void requestBytes()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, target);
        server->setScript(S::answer(200, "ok"));
        GETServerMessage message(QUrl(url.arg(server->port())));
        QSignalSpy spy(&message, &ServerMessage::response);
        QVERIFY(message.send());
        QVERIFY(spy.wait(10000));
        QCOMPARE(spy.at(0), QVariantList({QByteArray("ok"), false}));
        // Ours, in this order; then the client's own two; nothing else.
        const QByteArray head = server->requests().value(0);
        QVERIFY2(head.startsWith("GET " + target +
                                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nCache-Control: no-cache\r\n"
                                 "Accept: */*\r\nAccept-Encoding: identity\r\n"
                                 "User-Agent: TovoliaUpdater/" UPDATER_VERSION "\r\n"
                                 "Connection: Keep-Alive\r\nAccept-Language: "),
                 head.constData());
        QCOMPARE(head.count("\r\n"), 9);
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(log->entries(), QStringList());
    }

    void outcome_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QByteArray>("body"); // expected on success
        // Expected log entries, "debug <status>" or "info <error text>"; none on success.
        QTest::addColumn<QStringList>("entries");

        const QByteArray big = bytePattern(300000);
        const QStringList closed{"info Connection closed"};
        QTest::newRow("200 with body") << S::answer(200, big) << big << QStringList();
        QTest::newRow("200 empty") << S::answer(200, "") << QByteArray() << QStringList();
        QTest::newRow("close-delimited body")
            << Script{S::send(S::response(200, big, false, {"Connection: close"})), S::close()}
            << big << QStringList();
        // Clean exchanges with a bad status: Qt's own error for them is no failure.
        QTest::newRow("404") << S::answer(404, "not here") << QByteArray()
                             << QStringList{"debug 404"};
        QTest::newRow("500") << S::answer(500, "oops") << QByteArray() << QStringList{"debug 500"};
        QTest::newRow("304 announcing a length")
            << Script{S::send("HTTP/1.1 304 Not Modified\r\nContent-Length: 500\r\n\r\n"),
                      S::hold()}
            << QByteArray() << QStringList{"debug 304"};
        QTest::newRow("cut off after 200 header")
            << Script{S::send(partial("1054", big.left(54))), S::close()} << QByteArray() << closed;
        QTest::newRow("length far beyond the body")
            << Script{S::send(partial("3000000000", "abc")), S::close()} << QByteArray() << closed;
        QTest::newRow("stalls mid-body") << Script{S::send(partial("100", "0123456789")), S::hold()}
                                         << QByteArray() << QStringList{"info Operation canceled"};
        QTest::newRow("closed before any answer")
            << Script{S::close()} << QByteArray()
            << QStringList{"debug 0", "info Connection closed"};
    }

    void refusedPort()
    {
        const QUrl url(
            QStringLiteral("http://127.0.0.1:%1/update.vt").arg(ScriptedHttpServer::refusedPort()));
        GETServerMessage message(url);
        QSignalSpy spy(&message, &ServerMessage::response);
        QVERIFY(message.send());
        QVERIFY(spy.wait(10000));
        QCOMPARE(spy.size(), 1);
        QVERIFY(spy.at(0).at(1).toBool());
        QVERIFY(spy.at(0).at(0).toByteArray().isEmpty());
        // No status line arrived: the status entry says 0, then the transport error.
        const QString tail = QStringLiteral(".  The URL was ") + url.toString();
        QCOMPARE(log->messages(QStringLiteral("HTTPMessage")),
                 QStringList({"Debug:  HTTPMessage failed with status code 0" + tail,
                              "Info:  HTTPMessage failed with the following error: "
                              "Connection refused" +
                                  tail}));
    }

    void outcome()
    {
        QFETCH(Script, script);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, entries);
        server->setScript(script);
        const QUrl url = server->url(QStringLiteral("/update.vt"));
        GETServerMessage message(url);
        message.setStallTimeout(1000);
        QSignalSpy spy(&message, &ServerMessage::response);
        QVERIFY(message.send());
        QVERIFY(!message.send()); // one request in flight at a time
        QVERIFY(spy.wait(10000));
        QTest::qWait(50); // nothing more may follow
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(1).toBool(), !entries.isEmpty());
        QCOMPARE(spy.at(0).at(0).toByteArray().size(), body.size());
        QVERIFY(spy.at(0).at(0).toByteArray() == body);
        QCOMPARE(message.progress(), 0.0f);
        // Where the server closes the connection the client may, by itself, send the
        // request once more on a fresh one.
        const int requests = server->requests().size();
        QVERIFY(requests >= 1 && requests <= (script.contains(S::close()) ? 2 : 1));

        for (QString& e : entries) {
            e = e.startsWith(QLatin1String("debug "))
                    ? QStringLiteral("Debug:  HTTPMessage failed with status code ") + e.mid(6)
                    : QStringLiteral("Info:  HTTPMessage failed with the following error: ") +
                          e.mid(5);
            e += QStringLiteral(".  The URL was ") + url.toString();
        }
        QCOMPARE(log->messages(QStringLiteral("HTTPMessage")), entries);
        // The message can go again after an answer.
        QVERIFY(message.send());
        QVERIFY(spy.wait(10000));
        QVERIFY(server->requests().size() > requests);
    }

    void progress_data()
    {
        QTest::addColumn<bool>("withLength");
        QTest::newRow("announced length") << true;
        // Nothing is known about the share received, not even at the end of a
        // body delimited by the connection's close.
        QTest::newRow("no length") << false;
    }

    void progress()
    {
        QFETCH(bool, withLength);
        const QByteArray body = bytePattern(400);
        const QByteArray header =
            S::response(200, "", false, {withLength ? "Content-Length: 400" : "Connection: close"});
        server->setScript({S::send(header + body.left(100)), S::pause(300),
                           S::send(body.mid(100, 100)), S::pause(300), S::send(body.mid(200)),
                           S::close()});
        GETServerMessage message(server->url(QStringLiteral("/update.vt")));
        QSignalSpy spy(&message, &ServerMessage::response);
        QVERIFY(message.send());
        QVERIFY(QTest::qWaitFor([&] { return message.transferred().received == 100; }, 5000));
        QCOMPARE(message.progress(), withLength ? 0.25f : 0.0f);
        QCOMPARE(message.transferred().total, qint64(withLength ? 400 : -1));
        QVERIFY(QTest::qWaitFor([&] { return message.transferred().received == 200; }, 5000));
        QCOMPARE(message.progress(), withLength ? 0.5f : 0.0f);
        QVERIFY(spy.wait(5000));
        QVERIFY(spy.at(0).at(0).toByteArray() == body);
        // Once answered nothing is in flight.
        QCOMPARE(message.progress(), 0.0f);
        QCOMPARE(message.transferred().total, qint64(-1));
    }

    void stoppedMessageNeverReports_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("aborted mid-body") << false;
        QTest::newRow("deleted mid-body") << true;
    }

    void stoppedMessageNeverReports()
    {
        QFETCH(bool, destroy);
        server->setScript({S::send(partial("100", "0123456789")), S::hold()});
        auto message = std::make_unique<GETServerMessage>(server->url(QStringLiteral("/u.vt")));
        QSignalSpy spy(message.get(), &ServerMessage::response);
        QVERIFY(message->send());
        QVERIFY(QTest::qWaitFor([&] { return message->progress() > 0.0f; }, 5000));
        if (destroy) {
            message.reset();
        } else {
            message->abort();
            QCOMPARE(message->progress(), 0.0f);
            message->abort(); // a second abort is harmless
        }
        // The worker really stops: its connection goes away.
        QVERIFY(QTest::qWaitFor([&] { return server->closedCount() == 1; }, 5000));
        QTest::qWait(100);
        QCOMPARE(spy.size(), 0);
        QCOMPARE(log->entries(), QStringList());
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
        server->setScript(abortAt ? Script{S::hold()} : S::answer(200, body));
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
            QVERIFY(server->waitForRequests(1));
        if (abortAt)
            worker->abort();
        QVERIFY(QTest::qWaitFor([&] { return worker.isNull(); }, 10000));
        QCOMPARE(reports, abortAt ? QList<QByteArray>() : QList<QByteArray>{body});
        QCOMPARE(log->entries(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TransferTest)
#include "tst_transfer.moc"
