// The transfer against a real nginx on loopback: a multi-megabyte archive, failing statuses, a
// redirect, HTTPS with a certificate made for the test, and a process that quits mid-download.
#include "ChildProcess.h"
#include "FileGrabber.h"
#include "Log.h"
#include "NginxServer.h"
#include "TestFiles.h"
#include "TestTimeouts.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <utility>

class NginxTest : public QObject
{
    Q_OBJECT

    QTemporaryDir docRoot;
    QTemporaryDir work;
    const QString logPath = work.filePath(QStringLiteral("log.txt"));
    const QString target = work.filePath(QStringLiteral("update.vt"));
    QByteArray archive = QByteArray(8 << 20, Qt::Uninitialized);
    NginxServer nginx;

private slots:
    void initTestCase()
    {
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(archive.data()),
                                      archive.size() / 4);
        QVERIFY(writeFile(docRoot.filePath(QStringLiteral("update.vt")), archive));
        QVERIFY(writeFile(docRoot.filePath(QStringLiteral("slow/update.vt")), archive));
        QVERIFY(writeFile(docRoot.filePath(QStringLiteral("slower/update.vt")),
                          QByteArray(16 << 20, 0)));
        nginx.addRedirect(QStringLiteral("/old/update.vt"), QStringLiteral("/update.vt"), 301);
        nginx.addRateLimit(QStringLiteral("/slow/"), 8 << 20);
        // About 16 s for the whole file: always in flight when the quitting process leaves.
        nginx.addRateLimit(QStringLiteral("/slower/"), 1 << 20);
        nginx.setTlsEnabled(true);
        QVERIFY2(nginx.start(docRoot.path()), qPrintable(nginx.errorString()));
    }

    void init()
    {
        QVERIFY(openLog(logPath, false));
        QFile::remove(target);
    }

    void cleanup() { closeLog(); }

    void download_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<int>("status"); // 0: no answer
        QTest::newRow("archive with rising progress") << "slow/update.vt" << false << 200;
        QTest::newRow("redirect not followed") << "old/update.vt" << false << 301;
        // The trusted row adds the certificate for good, so it comes last.
        QTest::newRow("https, untrusted certificate fails") << "update.vt" << true << 0;
        QTest::newRow("https, trusted certificate") << "update.vt" << true << 200;
    }

    void download()
    {
        QFETCH(QString, path);
        QFETCH(bool, tls);
        QFETCH(int, status);
        if (tls && status) {
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            QVERIFY(config.addCaCertificates(nginx.caCertificatePath()));
            QSslConfiguration::setDefaultConfiguration(config);
        }
        const QUrl url = (tls ? nginx.tlsBaseUrl() : nginx.baseUrl()).resolved(QUrl(path));
        FileGrabber grabber(url, target, 4);
        QSignalSpy spy(&grabber, &FileGrabber::finished);
        grabber.start();
        QList<float> samples;
        for (int most = scaledTimeout(30000) / 20; spy.isEmpty() && samples.size() < most;
             QTest::qWait(20))
            samples.append(grabber.progress());
        QCOMPARE(spy, QList<QVariantList>({{status != 200, 4}}));
        QCOMPARE(grabber.progress(), 0.0f);
        // Rising, never past 1.0, with values on the way.
        QVERIFY(std::is_sorted(samples.cbegin(), samples.cend()));
        QVERIFY(samples.value(0) >= 0.0f && samples.value(samples.size() - 1) <= 1.0f);
        const auto between = std::count_if(samples.cbegin(), samples.cend(),
                                           [](float p) { return p > 0.0f && p < 1.0f; });
        QVERIFY2(between >= 5 || !path.startsWith("slow/"), qPrintable(QString::number(between)));
        QVERIFY(status == 200 ? readFile(target) == archive : !QFile::exists(target));
        const QStringList entries = logMessages(readFile(logPath), QStringLiteral("HTTPMessage"));
        QCOMPARE(entries.size(), status == 200 ? 0 : status ? 1 : 2);
        // The status entry, then the reason.
        QVERIFY(status || entries.at(1).startsWith("Info:  HTTPMessage failed with the following "
                                                   "error: SSL handshake failed"));
    }

    // Leaving mid-download and quitting at once ends the process cleanly: exit code 0, no
    // warning about a thread destroyed while running, no sanitizer report.
    void quitsCleanly_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("repeat");
        QTest::newRow("cancel mid-download, then quit") << "mid" << 3;
        QTest::newRow("cancel right after start") << "at-once" << 5;
        QTest::newRow("quit with the download running") << "leave-running" << 3;
    }

    void quitsCleanly()
    {
        QFETCH(QString, mode);
        QFETCH(int, repeat);
        const QString url =
            nginx.baseUrl().resolved(QUrl(QStringLiteral("slower/update.vt"))).toString();
        for (int i = 0; i < repeat; ++i) {
            const QString output = work.filePath(QStringLiteral("helper-%1.out").arg(i));
            ChildProcess process;
            QVERIFY2(process.start(QCoreApplication::applicationFilePath(),
                                   {"--quit-helper", url, target, mode}, output),
                     qPrintable(process.errorString()));
            QVERIFY(process.waitForFinished(scaledTimeout(60000)));
            const QString err = QString::fromLocal8Bit(readFile(output));
            QVERIFY2(process.exitedNormally() && process.exitCode() == 0,
                     qPrintable(QString::number(process.exitCode()) + QLatin1Char(' ') + err));
            QVERIFY2(!err.contains(QRegularExpression("QThread|Sanitizer|runtime error")),
                     qPrintable(err));
            QVERIFY(!QFile::exists(target));
        }
    }
};

// Run as "tst_nginx --quit-helper URL TARGET MODE": starts a download, then stops it and quits
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

int main(int argc, char** argv)
{
    if (argc == 5 && qstrcmp(argv[1], "--quit-helper") == 0)
        return quitHelper(argc, argv);
    QCoreApplication app(argc, argv);
    NginxTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_nginx.moc"
