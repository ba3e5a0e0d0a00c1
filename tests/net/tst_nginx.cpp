// The transfer against a real nginx on loopback: a multi-megabyte archive, a
// missing file, a redirect, and HTTPS with a certificate made for the test.
#include "FileGrabber.h"
#include "GETServerMessage.h"
#include "LogCapture.h"
#include "NginxServer.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QByteArray archiveBody(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    quint64 x = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < size; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        out[i] = char(x >> 56);
    }
    return out;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class NginxTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void archiveWithRisingProgress();
    void badStatus_data();
    void badStatus();
    void httpsWithTrustedCertificate();
    void httpsWithUntrustedCertificateFails();

private:
    QTemporaryDir docRoot;
    QTemporaryDir work;
    QByteArray archive;
    NginxServer nginx;
    std::unique_ptr<LogCapture> log;
    QSslConfiguration savedSsl;
};

void NginxTest::initTestCase()
{
    QVERIFY(docRoot.isValid());
    archive = archiveBody(8 << 20);
    QFile file(docRoot.filePath(QStringLiteral("update.vt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(archive), qint64(archive.size()));
    file.close();
    QVERIFY(QDir(docRoot.path()).mkpath(QStringLiteral("slow")));
    QVERIFY(QFile::copy(file.fileName(), docRoot.filePath(QStringLiteral("slow/update.vt"))));

    nginx.addRedirect(QStringLiteral("/old/update.vt"), QStringLiteral("/update.vt"), 301);
    nginx.addRedirect(QStringLiteral("/temp/update.vt"), QStringLiteral("/update.vt"), 302);
    nginx.addRateLimit(QStringLiteral("/slow/"), 8 << 20);
    nginx.setTlsEnabled(true);
    QVERIFY2(nginx.start(docRoot.path()), qPrintable(nginx.errorString()));
    savedSsl = QSslConfiguration::defaultConfiguration();
}

void NginxTest::cleanupTestCase()
{
    nginx.stop();
    QVERIFY(!nginx.isRunning());
}

void NginxTest::init()
{
    log = std::make_unique<LogCapture>();
}

void NginxTest::cleanup()
{
    log.reset();
    QSslConfiguration::setDefaultConfiguration(savedSsl);
}

void NginxTest::archiveWithRisingProgress()
{
    const QUrl url = nginx.baseUrl().resolved(QUrl(QStringLiteral("slow/update.vt")));
    const QString target = work.filePath(QStringLiteral("update.vt"));
    FileGrabber grabber(url, target, 0);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    QList<float> samples;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (grabber.isRunning())
            samples.append(grabber.progress());
    });
    poll.start(20);
    grabber.start();
    QVERIFY(spy.wait(30000));
    poll.stop();
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(0).at(1).toInt(), 0);
    QVERIFY(readFile(target) == archive);
    QCOMPARE(log->entries(), QStringList());

    // Rising, never past 1.0, with values on the way.
    int between = 0;
    for (int i = 0; i < samples.size(); ++i) {
        QVERIFY(samples.at(i) >= 0.0f && samples.at(i) <= 1.0f);
        if (i > 0)
            QVERIFY2(samples.at(i) >= samples.at(i - 1), qPrintable(QString::number(i)));
        if (samples.at(i) > 0.0f && samples.at(i) < 1.0f)
            ++between;
    }
    QVERIFY2(between >= 5, qPrintable(QString::number(between)));
    QCOMPARE(grabber.progress(), 0.0f);
}

void NginxTest::badStatus_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::newRow("missing file") << "missing.vt" << 404;
    QTest::newRow("permanent redirect") << "old/update.vt" << 301;
    QTest::newRow("temporary redirect") << "temp/update.vt" << 302;
}

void NginxTest::badStatus()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    const QUrl url = nginx.baseUrl().resolved(QUrl(path));
    const QString target = work.filePath(QStringLiteral("bad.vt"));
    FileGrabber grabber(url, target, 4);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    grabber.start();
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QCOMPARE(spy.at(0).at(1).toInt(), 4);
    QVERIFY(!QFile::exists(target));
    QCOMPARE(log->messages(QStringLiteral("HTTPMessage")),
             QStringList{QStringLiteral("Debug:  HTTPMessage failed with status code %1.  The URL "
                                        "was %2")
                             .arg(status)
                             .arg(url.toString())});
    // Not followed: the server saw only the request for the redirecting path.
    QFile access(nginx.accessLogPath());
    QVERIFY(access.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = access.readAll().split('\n');
    QVERIFY(lines.size() >= 2);
    const QByteArray last = lines.at(lines.size() - 2);
    QVERIFY2(last.contains("GET /" + path.toLatin1() + " HTTP/1.1\" " + QByteArray::number(status)),
             last.constData());
}

void NginxTest::httpsWithTrustedCertificate()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    QVERIFY(config.addCaCertificates(nginx.caCertificatePath()));
    QSslConfiguration::setDefaultConfiguration(config);

    const QUrl url = nginx.tlsBaseUrl().resolved(QUrl(QStringLiteral("update.vt")));
    GETServerMessage message(url);
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(spy.wait(30000));
    QCOMPARE(spy.at(0).at(1).toBool(), false);
    QVERIFY(spy.at(0).at(0).toByteArray() == archive);
    QCOMPARE(log->entries(), QStringList());
}

void NginxTest::httpsWithUntrustedCertificateFails()
{
    const QUrl url = nginx.tlsBaseUrl().resolved(QUrl(QStringLiteral("update.vt")));
    GETServerMessage message(url);
    QSignalSpy spy(&message, &ServerMessage::response);
    QVERIFY(message.send());
    QVERIFY(spy.wait(30000));
    QCOMPARE(spy.at(0).at(1).toBool(), true);
    QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray());
    const QStringList entries = log->messages(QStringLiteral("HTTPMessage"));
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0),
             QStringLiteral("Debug:  HTTPMessage failed with status code 0.  The URL was %1")
                 .arg(url.toString()));
    QVERIFY2(entries.at(1).startsWith(
                 QLatin1String("Info:  HTTPMessage failed with the following error: SSL "
                               "handshake failed")),
             qPrintable(entries.at(1)));
    QVERIFY2(entries.at(1).endsWith(QStringLiteral(".  The URL was ") + url.toString()),
             qPrintable(entries.at(1)));
}

QTEST_GUILESS_MAIN(NginxTest)
#include "tst_nginx.moc"
