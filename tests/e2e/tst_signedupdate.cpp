#include "ArchiveBytes.h"
#include "Log.h"
#include "MinisignTool.h"
#include "NginxServer.h"
#include "QuestionBoxes.h"
#include "Updater.h"

#include <QLabel>
#include <QRegularExpression>
#include <QtTest>
#include <memory>

using namespace ArchiveBytes;
using namespace MinisignTool;

namespace {

const QByteArray archiveBytes =
    version("2.0") + directory("data") + file("data/a.txt", "hello") + file("VERSION", "2.0\n");

} // namespace

class TestSignedUpdate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir keys;
    QString originalDir;
    std::unique_ptr<QTemporaryDir> work; // the updater's current directory
    std::unique_ptr<QTemporaryDir> www;  // nginx's document root
    std::unique_ptr<NginxServer> nginx;

    QString keyFile() const { return keys.filePath(QStringLiteral("key.pub")); }
    QString inWork(const QString& name) const { return work->filePath(name); }
    // Publishes the archive signed at timestamp 1000; altered: changed after signing.
    void publish(bool signature, bool altered)
    {
        const QString archive = www->filePath(QStringLiteral("update.vt"));
        QVERIFY(writeAll(archive, archiveBytes));
        if (signature)
            QVERIFY(sign(keys.filePath(QStringLiteral("key.sec")), archive, {}, comment(1000)));
        if (altered)
            QVERIFY(writeAll(archive, QByteArray(archiveBytes).replace("hello", "hellO")));
        QVERIFY2(nginx->start(www->path()), qPrintable(nginx->errorString()));
    }
    int requestsFor(const QString& path) const
    {
        return int(readAll(nginx->accessLogPath())
                       .count(QStringLiteral("\"GET %1 HTTP/1.1\"").arg(path).toLatin1()));
    }
    QString logText() const { return QString::fromLatin1(readAll(inWork("log.txt"))); }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void dialog_data();
    void dialog();
    void besideTheExecutable();
    void vtCommands_data();
    void vtCommands();
};

void TestSignedUpdate::initTestCase()
{
    if (!available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    QVERIFY(makeKey(keys.path(), QStringLiteral("key")));
}

void TestSignedUpdate::init()
{
    originalDir = QDir::currentPath();
    work = std::make_unique<QTemporaryDir>();
    www = std::make_unique<QTemporaryDir>();
    nginx = std::make_unique<NginxServer>();
    QVERIFY(QDir::setCurrent(work->path()));
}

void TestSignedUpdate::cleanup()
{
    nginx.reset();
    QDir::setCurrent(originalDir);
    work.reset();
    www.reset();
}

void TestSignedUpdate::dialog_data()
{
    QTest::addColumn<QString>("key");    // "key.pub", "garbage" or "" (unsigned)
    QTest::addColumn<bool>("signature"); // the server has one
    QTest::addColumn<bool>("altered");
    QTest::addColumn<QByteArray>("stamp"); // update.stamp before the update
    QTest::addColumn<QString>("log");      // the whole log, as a pattern; "" for success
    QTest::addColumn<int>("signatureRequests");

    const QString entry = QStringLiteral("Error:  %1    File: Signature Line: \\d+\\n");
    QTest::newRow("signed") << "key.pub" << true << false << QByteArray() << QString() << 1;
    QTest::newRow("archive altered")
        << "key.pub" << true << true << QByteArray()
        << entry.arg("The update does not match its signature: it was altered, cut short or "
                     "signed by another key")
        << 1;
    QTest::newRow("older than the installed update")
        << "key.pub" << true << false << QByteArray("2000\n")
        << entry.arg("The update is older than the installed update: signed at 1000, the "
                     "installed one at 2000")
        << 1;
    QTest::newRow("signature missing")
        << "key.pub" << false << false << QByteArray()
        << "Debug:  HTTPMessage failed with status code 404\\.  The URL was "
           "http://127\\.0\\.0\\.1:\\d+/update\\.vt\\.minisig    File: HTTPMessage Line: \\d+\\n" +
               entry.arg("Could not download the update's signature from "
                         "http://127\\.0\\.0\\.1:\\d+/update\\.vt\\.minisig")
        << 1;
    QTest::newRow("key unreadable")
        << "garbage" << true << false << QByteArray()
        << entry.arg("Could not read a minisign public key from .*garbage") << 0;
    QTest::newRow("unsigned") << "" << true << true << QByteArray() << QString() << 0;
}

void TestSignedUpdate::dialog()
{
    QFETCH(QString, key);
    QFETCH(bool, signature);
    QFETCH(bool, altered);
    QFETCH(QByteArray, stamp);
    QFETCH(QString, log);
    QFETCH(int, signatureRequests);

    publish(signature, altered);
    if (!stamp.isEmpty())
        QVERIFY(writeAll(inWork("update.stamp"), stamp));
    QVERIFY(writeAll(keys.filePath(QStringLiteral("garbage")), "not a key"));
    QVERIFY(openLog(QStringLiteral("log.txt"), false));
    Updater updater;
    updater.setTrustAnchor(key.isEmpty() ? TrustAnchor()
                                         : TrustAnchor::fromFile(keys.filePath(key)));
    updater.setBaseUrl(nginx->baseUrl().toString());
    QuestionAnswerer answerer({Answer::No});
    updater.startUpdating();
    updater.show();
    auto* status = updater.findChild<QLabel*>(QStringLiteral("statusLabel"));
    QTRY_VERIFY_WITH_TIMEOUT(
        status->text() == QLatin1String("Update complete") || !answerer.asked.isEmpty(), 30000);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    closeLog();

    const bool success = log.isEmpty();
    QVERIFY2(
        QRegularExpression(QRegularExpression::anchoredPattern(log)).match(logText()).hasMatch(),
        qPrintable(logText()));
    // Refused: the retry question, and nothing of the update in the game folder.
    QCOMPARE(answerer.asked.size(), success ? 0 : 1);
    QCOMPARE(readAll(inWork("data/a.txt")),
             success ? QByteArray(altered ? "hellO" : "hello") : QByteArray());
    QVERIFY(!QFile::exists(inWork("update.vt")));
    QVERIFY(!QFile::exists(inWork("update.vt.minisig")));
    const bool signedMode = key == QLatin1String("key.pub");
    QCOMPARE(readAll(inWork("update.stamp")), signedMode && success ? QByteArray("1000\n") : stamp);
    QCOMPARE(requestsFor(QStringLiteral("/update.vt.minisig")), signatureRequests);
    if (key != QLatin1String("garbage") && signature)
        QCOMPARE(requestsFor(QStringLiteral("/update.vt")), 1);
    if (key.isEmpty())
        QCOMPARE(readAll(nginx->accessLogPath()).count('\n'), 1); // exactly one request
}

// The real program finds update.pub beside itself, not in its current directory.
void TestSignedUpdate::besideTheExecutable()
{
    publish(true, true);
    QTemporaryDir bin;
    const QString program = bin.filePath(QStringLiteral("updater"));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BUILD_DIR "/updater"), program));
    QVERIFY(QFile::copy(keyFile(), bin.filePath(QStringLiteral("update.pub"))));
    QProcess updater;
    updater.setWorkingDirectory(work->path());
    updater.start(program, {nginx->baseUrl().toString(), QString()});
    QVERIFY(updater.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QLatin1String("File: Signature")), 30000);
    QVERIFY(!QFile::exists(inWork("data/a.txt")));
    updater.kill();
    updater.waitForFinished();
}

void TestSignedUpdate::vtCommands_data()
{
    QTest::addColumn<QStringList>("args"); // KEY and KEYFILE stand for the key
    QTest::addColumn<bool>("altered");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error"); // expected on stderr

    const QStringList verify{QStringLiteral("verify"), QStringLiteral("WWW/update.vt")};
    const QStringList update{QStringLiteral("update"), QStringLiteral("URL")};
    QTest::newRow("verify") << verify + QStringList{"-p", "KEYFILE"} << false << 0 << QString();
    QTest::newRow("verify, altered") << verify + QStringList{"-P", "KEY"} << true << 1
                                     << "vt: verify: The update does not match its signature";
    QTest::newRow("verify, other signature file")
        << verify + QStringList{"-p", "KEYFILE", "-x", "WWW/none"} << false << 1
        << "vt: verify: Could not read the update's signature from ";
    QTest::newRow("verify, no key") << verify << false << 2 << "vt: verify: no public key";
    QTest::newRow("update, signed") << update + QStringList{"-P", "KEY"} << false << 0 << QString();
    QTest::newRow("update, altered") << update + QStringList{"-p", "KEYFILE"} << true << 1
                                     << "The update does not match its signature";
}

void TestSignedUpdate::vtCommands()
{
    QFETCH(QStringList, args);
    QFETCH(bool, altered);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    publish(true, altered);
    const QByteArray keyLine = readAll(keyFile()).split('\n').value(1);
    for (QString& arg : args) {
        arg.replace(QLatin1String("KEYFILE"), keyFile())
            .replace(QLatin1String("KEY"), QString::fromLatin1(keyLine))
            .replace(QLatin1String("WWW"), www->path())
            .replace(QLatin1String("URL"), nginx->baseUrl().toString());
    }
    QProcess vt;
    vt.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), args);
    QVERIFY(vt.waitForFinished(60000));
    const QString stderrText = QString::fromLocal8Bit(vt.readAllStandardError());
    QCOMPARE(vt.exitCode(), exitCode);
    QVERIFY2(stderrText.contains(error), qPrintable(stderrText));
    if (args.first() == QLatin1String("update")) {
        QCOMPARE(readAll(inWork("data/a.txt")), exitCode == 0 ? QByteArray("hello") : QByteArray());
        QCOMPARE(readAll(inWork("update.stamp")),
                 exitCode == 0 ? QByteArray("1000\n") : QByteArray());
        QVERIFY(!QFile::exists(inWork("update.vt")));
        QVERIFY(!QFile::exists(inWork("update.vt.minisig")));
    }
}

QTEST_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
