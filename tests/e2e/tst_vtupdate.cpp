#include "ArchiveBytes.h"
#include "NginxServer.h"

#include <QProcess>
#include <QtTest>

using namespace ArchiveBytes;

// `vt update` as a script or a CI job runs it: a real process against nginx.
class TestVtUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir www;
    NginxServer nginx;

    struct Run
    {
        int exitCode = -1;
        QString err;
    };
    static Run vt(const QStringList& args, const QString& workingDir = QString())
    {
        QProcess p;
        if (!workingDir.isEmpty())
            p.setWorkingDirectory(workingDir);
        p.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), args);
        if (!p.waitForFinished(60000))
            return {};
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromLocal8Bit(p.readAllStandardError())};
    }
    void publish(const QString& path, const QByteArray& data)
    {
        QDir(www.path()).mkpath(QFileInfo(www.filePath(path)).path());
        QFile f(www.filePath(path));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    static QByteArray read(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QString base(const QString& path) const { return nginx.baseUrl().toString() + path; }

private slots:
    void initTestCase()
    {
        publish(QStringLiteral("good/update.vt"),
                version("3") + directory("d") + file("d/f.txt", "new contents"));
        publish(QStringLiteral("broken/update.vt"), directory("made") + entry(2, "orphan data"));
        QVERIFY2(nginx.start(www.path()), qPrintable(nginx.errorString()));
    }

    void appliesAnUpdate_data();
    void appliesAnUpdate();
    void failuresAreRetriedThenReported_data();
    void failuresAreRetriedThenReported();
    void usageErrors_data();
    void usageErrors();
};

void TestVtUpdate::appliesAnUpdate_data()
{
    QTest::addColumn<QString>("baseUrl");
    QTest::addColumn<bool>("withDirectoryOption");
    QTest::newRow("-C, base URL without slash") << "good" << true;
    QTest::newRow("current directory, with slash") << "good/" << false;
}

void TestVtUpdate::appliesAnUpdate()
{
    QFETCH(QString, baseUrl);
    QFETCH(bool, withDirectoryOption);

    QTemporaryDir target;
    QDir(target.path()).mkpath(QStringLiteral("d"));
    QFile old(target.filePath(QStringLiteral("d/f.txt")));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old contents, longer than the new ones");
    old.close();

    const Run run =
        withDirectoryOption
            ? vt({QStringLiteral("update"), base(baseUrl), QStringLiteral("-C"), target.path()})
            : vt({QStringLiteral("update"), base(baseUrl)}, target.path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QCOMPARE(read(target.filePath(QStringLiteral("d/f.txt"))), QByteArray("new contents"));
    QVERIFY(!QFile::exists(target.filePath(QStringLiteral("update.vt"))));
    QCOMPARE(read(target.filePath(QStringLiteral("log.txt"))), QByteArray());
}

void TestVtUpdate::failuresAreRetriedThenReported_data()
{
    QTest::addColumn<QString>("baseUrl");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<bool>("archiveKept");
    QTest::newRow("404, no retries")
        << "missing" << 0 << "Debug:  HTTPMessage failed with status code 404." << false;
    QTest::newRow("404, two retries")
        << "missing/" << 2 << "Debug:  HTTPMessage failed with status code 404." << false;
    QTest::newRow("broken archive, one retry")
        << "broken" << 1 << "Error:  Uknown entry type in archive: 2    File: VessariTar" << true;
}

void TestVtUpdate::failuresAreRetriedThenReported()
{
    QFETCH(QString, baseUrl);
    QFETCH(int, retries);
    QFETCH(QString, logLine);
    QFETCH(bool, archiveKept);

    QTemporaryDir target;
    const Run run = vt({QStringLiteral("update"), base(baseUrl), QStringLiteral("-C"),
                        target.path(), QStringLiteral("--retries"), QString::number(retries)});
    QCOMPARE(run.exitCode, 1);

    // One log entry per attempt, in the file and echoed on stderr.
    const QString log = QString::fromLatin1(read(target.filePath(QStringLiteral("log.txt"))));
    QCOMPARE(log.count(logLine), retries + 1);
    QCOMPARE(log.count(QLatin1Char('\n')), retries + 1);
    QCOMPARE(run.err.count(logLine), retries + 1);
    QCOMPARE(run.err.count(QStringLiteral("trying again")), retries);
    QVERIFY2(run.err.trimmed().endsWith(
                 QStringLiteral("failed (see %1)").arg(QDir(target.path()).filePath("log.txt"))),
             qPrintable(run.err));
    QCOMPARE(QFile::exists(target.filePath(QStringLiteral("update.vt"))), archiveKept);
}

void TestVtUpdate::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("no base URL") << QStringList({"update"}) << 2 << "expected one BASEURL";
    QTest::newRow("negative retries")
        << QStringList({"update", "http://127.0.0.1:1/", "--retries", "-1"}) << 2
        << "--retries takes a whole number";
    QTest::newRow("retries not a number")
        << QStringList({"update", "http://127.0.0.1:1/", "--retries", "x"}) << 2
        << "--retries takes a whole number";
    QTest::newRow("missing directory")
        << QStringList({"update", "http://127.0.0.1:1/", "-C", "/nonexistent/dir"}) << 1
        << "/nonexistent/dir: No such file or directory";
}

void TestVtUpdate::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QTemporaryDir cwd;
    const Run run = vt(args, cwd.path());
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.startsWith(QStringLiteral("vt: update: ") + message), qPrintable(run.err));
    // Refused before anything was touched.
    QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("log.txt"))));
}

QTEST_GUILESS_MAIN(TestVtUpdate)
#include "tst_vtupdate.moc"
