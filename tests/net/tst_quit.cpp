// Leaving mid-download and quitting at once ends the process cleanly: exit code
// 0, no warning about a thread destroyed while running, no sanitizer report.
#include "ChildProcess.h"
#include "NginxServer.h"
#include "TestTimeouts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class QuitTest : public QObject
{
    Q_OBJECT

    QTemporaryDir docRoot;
    QTemporaryDir work;
    NginxServer nginx;

private slots:
    void initTestCase()
    {
        QVERIFY(QDir(docRoot.path()).mkpath(QStringLiteral("slow")));
        QFile file(docRoot.filePath(QStringLiteral("slow/update.vt")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(16 << 20));
        file.close();
        // About 16 s for the whole file: always in flight when the helper leaves.
        nginx.addRateLimit(QStringLiteral("/slow/"), 1 << 20);
        QVERIFY2(nginx.start(docRoot.path()), qPrintable(nginx.errorString()));
    }

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
            nginx.baseUrl().resolved(QUrl(QStringLiteral("slow/update.vt"))).toString();
        const QString target = work.filePath(QStringLiteral("update.vt"));
        for (int i = 0; i < repeat; ++i) {
            const QString output = work.filePath(QStringLiteral("helper-%1.out").arg(i));
            ChildProcess process;
            QVERIFY2(process.start(QStringLiteral(QUIT_HELPER), {url, target, mode}, output),
                     qPrintable(process.errorString()));
            QVERIFY(process.waitForFinished(scaledTimeout(60000)));
            QFile file(output);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString err = QString::fromLocal8Bit(file.readAll());
            QVERIFY2(process.exitedNormally() && process.exitCode() == 0,
                     qPrintable(QString::number(process.exitCode()) + QLatin1Char(' ') + err));
            const QRegularExpression trouble(QStringLiteral("QThread|Sanitizer|runtime error"));
            QVERIFY2(!err.contains(trouble), qPrintable(err));
            QVERIFY(!QFile::exists(target));
        }
    }
};

QTEST_GUILESS_MAIN(QuitTest)
#include "tst_quit.moc"
