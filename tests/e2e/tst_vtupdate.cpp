#include "ArchiveBytes.h"
#include "NginxServer.h"
#include "TestFiles.h"
#include "VtRun.h"

#include <QtTest>

using namespace ArchiveBytes;

// `vt update` as a script or a CI job runs it: a real process against nginx.
class TestVtUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir www;
    NginxServer nginx;

    QString base(const QString& path) const { return nginx.baseUrl().toString() + path; }

private slots:
    void initTestCase()
    {
        QVERIFY(writeFile(www.filePath(QStringLiteral("good/update.vt")),
                          version("3") + directory("d") + file("d/f.txt", "new contents")));
        QVERIFY(writeFile(www.filePath(QStringLiteral("broken/update.vt")),
                          directory("made") + entry(2, "orphan data")));
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
    QVERIFY(writeFile(target.filePath(QStringLiteral("d/f.txt")),
                      "old contents, longer than the new ones"));

    const VtRun run =
        withDirectoryOption
            ? runVt({QStringLiteral("update"), base(baseUrl), QStringLiteral("-C"), target.path()})
            : runVt({QStringLiteral("update"), base(baseUrl)}, target.path());
    QCOMPARE(run.code, 0);
    QCOMPARE(run.err, QByteArray());
    // The archive is gone and the log empty.
    QCOMPARE(treeOf(target.path()),
             Tree({{"d", kDir}, {"d/f.txt", "new contents"}, {"log.txt", ""}}));
}

void TestVtUpdate::failuresAreRetriedThenReported_data()
{
    QTest::addColumn<QString>("baseUrl");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("archiveKept");
    QTest::newRow("404, no retries") << "missing" << 0 << "HTTPMessage" << false;
    QTest::newRow("404, two retries") << "missing/" << 2 << "HTTPMessage" << false;
    QTest::newRow("broken archive, one retry") << "broken" << 1 << "VessariTar" << true;
}

void TestVtUpdate::failuresAreRetriedThenReported()
{
    QFETCH(QString, baseUrl);
    QFETCH(int, retries);
    QFETCH(QString, source);
    QFETCH(bool, archiveKept);

    QTemporaryDir target;
    const VtRun run = runVt({QStringLiteral("update"), base(baseUrl), QStringLiteral("-C"),
                             target.path(), QStringLiteral("--retries"), QString::number(retries)});
    QCOMPARE(run.code, 1);

    // One log entry per attempt from the part that failed, in the file and echoed on stderr.
    const QByteArray log = readFile(target.filePath(QStringLiteral("log.txt")));
    QCOMPARE(log.count('\n'), retries + 1);
    QCOMPARE(QString::fromLatin1(log).count(logTail(source)), retries + 1);
    const QString err = QString::fromLocal8Bit(run.err);
    QCOMPARE(err.count(logTail(source)), retries + 1);
    QCOMPARE(err.count(QStringLiteral("trying again")), retries);
    QVERIFY2(err.trimmed().endsWith(
                 QStringLiteral("failed (see %1)").arg(QDir(target.path()).filePath("log.txt"))),
             qPrintable(err));
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
    const VtRun run = runVt(args, cwd.path());
    QCOMPARE(run.code, exitCode);
    QVERIFY2(QString::fromLocal8Bit(run.err).startsWith(QStringLiteral("vt: update: ") + message),
             run.err.constData());
    // Refused before anything was touched.
    QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("log.txt"))));
}

QTEST_GUILESS_MAIN(TestVtUpdate)
#include "tst_vtupdate.moc"
