// The transfer against a real nginx on loopback: a multi-megabyte archive, a
// redirect, and HTTPS with a certificate made for the test.
#include "FileGrabber.h"
#include "GETServerMessage.h"
#include "LogCapture.h"
#include "NginxServer.h"
#include "TestTimeouts.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

class NginxTest : public QObject
{
    Q_OBJECT

    QTemporaryDir docRoot;
    QTemporaryDir work;
    QByteArray archive;
    NginxServer nginx;
    std::unique_ptr<LogCapture> log;
    QSslConfiguration savedSsl = QSslConfiguration::defaultConfiguration();

private slots:
    void initTestCase()
    {
        archive.resize(8 << 20);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(archive.data()),
                                      archive.size() / 4);
        QFile file(docRoot.filePath(QStringLiteral("update.vt")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(archive) == archive.size());
        file.close();
        QVERIFY(QDir(docRoot.path()).mkpath(QStringLiteral("slow")));
        QVERIFY(QFile::copy(file.fileName(), docRoot.filePath(QStringLiteral("slow/update.vt"))));
        nginx.addRedirect(QStringLiteral("/old/update.vt"), QStringLiteral("/update.vt"), 301);
        nginx.addRateLimit(QStringLiteral("/slow/"), 8 << 20);
        nginx.setTlsEnabled(true);
        QVERIFY2(nginx.start(docRoot.path()), qPrintable(nginx.errorString()));
    }

    void init()
    {
        log.reset(); // one log open at a time
        log = std::make_unique<LogCapture>();
        QSslConfiguration::setDefaultConfiguration(savedSsl);
    }

    void archiveWithRisingProgress()
    {
        const QString target = work.filePath(QStringLiteral("update.vt"));
        FileGrabber grabber(nginx.baseUrl().resolved(QUrl(QStringLiteral("slow/update.vt"))),
                            target, 0);
        QSignalSpy spy(&grabber, &FileGrabber::finished);
        grabber.start();
        QList<float> samples;
        const int most = scaledTimeout(30000) / 20;
        while (spy.isEmpty() && samples.size() < most) {
            samples.append(grabber.progress());
            QTest::qWait(20);
        }
        QCOMPARE(spy, QList<QVariantList>({{false, 0}}));
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == archive);
        QCOMPARE(log->entries(), QStringList());
        QCOMPARE(grabber.progress(), 0.0f);
        // Rising, never past 1.0, with values on the way.
        QVERIFY(std::is_sorted(samples.cbegin(), samples.cend()));
        QVERIFY(samples.value(0) >= 0.0f && samples.value(samples.size() - 1) <= 1.0f);
        const auto between = std::count_if(samples.cbegin(), samples.cend(),
                                           [](float p) { return p > 0.0f && p < 1.0f; });
        QVERIFY2(between >= 5, qPrintable(QString::number(between)));
    }

    void redirectNotFollowed()
    {
        const QUrl url = nginx.baseUrl().resolved(QUrl(QStringLiteral("old/update.vt")));
        const QString target = work.filePath(QStringLiteral("bad.vt"));
        FileGrabber grabber(url, target, 4);
        QSignalSpy spy(&grabber, &FileGrabber::finished);
        grabber.start();
        QVERIFY(spy.wait(scaledTimeout(10000)));
        QCOMPARE(spy.at(0), QVariantList({true, 4}));
        QVERIFY(!QFile::exists(target));
        QCOMPARE(log->messages(QStringLiteral("HTTPMessage")),
                 QStringList{QStringLiteral("Debug:  HTTPMessage failed with status code 301.  "
                                            "The URL was ") +
                             url.toString()});
        // The server saw only the request for the redirecting path.
        QFile access(nginx.accessLogPath());
        QVERIFY(access.open(QIODevice::ReadOnly));
        const QByteArray last = access.readAll().trimmed().split('\n').last();
        QVERIFY2(last.contains("GET /old/update.vt HTTP/1.1\" 301"), last.constData());
    }

    void https_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::newRow("trusted certificate") << true;
        QTest::newRow("untrusted certificate fails") << false;
    }

    void https()
    {
        QFETCH(bool, trusted);
        if (trusted) {
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            QVERIFY(config.addCaCertificates(nginx.caCertificatePath()));
            QSslConfiguration::setDefaultConfiguration(config);
        }
        const QUrl url = nginx.tlsBaseUrl().resolved(QUrl(QStringLiteral("update.vt")));
        GETServerMessage message(url);
        QSignalSpy spy(&message, &ServerMessage::response);
        QVERIFY(message.send());
        QVERIFY(spy.wait(scaledTimeout(30000)));
        QCOMPARE(spy.at(0).at(1).toBool(), !trusted);
        QVERIFY(spy.at(0).at(0).toByteArray() == (trusted ? archive : QByteArray()));
        const QStringList entries = log->messages(QStringLiteral("HTTPMessage"));
        if (trusted) {
            QCOMPARE(entries, QStringList());
            return;
        }
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries.at(0),
                 QStringLiteral("Debug:  HTTPMessage failed with status code 0.  The URL was ") +
                     url.toString());
        const QRegularExpression info(
            QStringLiteral("^Info:  HTTPMessage failed with the following error: SSL handshake "
                           "failed.*\\.  The URL was ") +
            QRegularExpression::escape(url.toString()) + QLatin1Char('$'));
        QVERIFY2(info.match(entries.at(1)).hasMatch(), qPrintable(entries.at(1)));
    }
};

QTEST_GUILESS_MAIN(NginxTest)
#include "tst_nginx.moc"
