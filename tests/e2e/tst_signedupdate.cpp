#include "ArchiveBytes.h"
#include "Log.h"
#include "MinisignTool.h"
#include "NginxServer.h"
#include "QuestionBoxes.h"
#include "TestFiles.h"
#include "TestTimeouts.h"
#include "Updater.h"
#include "VtRun.h"

#include <QLabel>
#include <QtTest>

using namespace ArchiveBytes;
using namespace MinisignTool;

namespace {

const QByteArray archiveBytes =
    version("2.0") + directory("data") + file("data/a.txt", "hello") + file("VERSION", "2.0\n");

// Dialog: in process. Program: the real executable, which finds update.pub beside itself.
enum class Run
{
    Dialog,
    Program,
    Vt
};

struct Row
{
    Run run;
    QString key; // "inline": vt -P; "": unsigned
    bool signature, altered;
    QByteArray stamp;               // update.stamp before the update
    QString problem;                // in the log or on stderr; "" for success
    int lines;                      // of the log; -1: not counted
    int requests, signatureFetches; // of the row's directory
};

} // namespace

Q_DECLARE_METATYPE(Row)

// One nginx for all rows; each row has its own directory under www, in the URL and as the game
// folder, so that its request counts and files stay apart.
class TestSignedUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir keys, www, work;
    NginxServer nginx;
    int rows = 0;
    QString dir;

    QString key(const QString& name) const { return keys.filePath(name); }
    QString here(const QString& name) const { return work.filePath(dir + '/' + name); }
    QString keyLine() const { return QString::fromLatin1(readFile(key("key.pub")).split('\n')[1]); }
    int fetches(const QString& name) const
    {
        return int(readFile(nginx.accessLogPath()).count(("GET /" + dir + '/' + name).toLatin1()));
    }
    // The archive signed at timestamp 1000; altered: changed after signing.
    void publish(bool signature, bool altered)
    {
        const QString archive = www.filePath(dir + "/update.vt");
        QVERIFY(writeFile(archive, archiveBytes));
        if (signature)
            QVERIFY(sign(key("key.sec"), archive, {}, comment(1000)));
        if (altered)
            QVERIFY(writeFile(archive, QByteArray(archiveBytes).replace("hello", "hellO")));
    }

private slots:
    void initTestCase()
    {
        if (!available())
            QSKIP("needs minisign (scripts/setup.sh installs it)");
        QVERIFY(makeKey(keys.path(), QStringLiteral("key")));
        QVERIFY(writeFile(key("garbage"), "not a key"));
        QVERIFY2(nginx.start(www.path()), qPrintable(nginx.errorString()));
    }
    void init()
    {
        dir = QStringLiteral("r%1").arg(++rows);
        QVERIFY(QDir(work.path()).mkdir(dir) && QDir::setCurrent(here({})));
    }
    void update_data();
    void update();
    void verify_data();
    void verify();
};

void TestSignedUpdate::update_data()
{
    QTest::addColumn<Row>("row");
    const QString altered = "The update does not match its signature";
    const auto D = Run::Dialog;
    const QString k = "key.pub",
                  older = "older than the installed update: signed at 1000, the "
                          "installed one at 2000",
                  missing = "Could not download the update's signature from http://127.0.0.1:";
    QTest::newRow("signed") << Row{D, k, true, false, {}, "", 0, 2, 1};
    QTest::newRow("archive altered") << Row{D, k, true, true, {}, altered, 1, 2, 1};
    QTest::newRow("older than the installed update")
        << Row{D, k, true, false, "2000\n", older, 1, 2, 1};
    // The 404 and the refusal.
    QTest::newRow("signature missing") << Row{D, k, false, false, {}, missing, 2, 2, 1};
    QTest::newRow("key unreadable") << Row{
        D, "garbage", true, false, {}, "Could not read a minisign public key from ", 1, 0, 0};
    QTest::newRow("unsigned") << Row{D, "", true, true, {}, "", 0, 1, 0};
    QTest::newRow("real program, altered")
        << Row{Run::Program, k, true, true, {}, altered, 1, 2, 1};
    QTest::newRow("vt, inline key") << Row{Run::Vt, "inline", true, false, {}, "", -1, 2, 1};
    QTest::newRow("vt, altered") << Row{Run::Vt, k, true, true, {}, altered, -1, 2, 1};
}

void TestSignedUpdate::update()
{
    QFETCH(Row, row);
    const auto& [run, keyName, signature, altered, stamp, problem, lines, requests,
                 signatureFetches] = row;
    publish(signature, altered);
    if (!stamp.isEmpty())
        QVERIFY(writeFile(here("update.stamp"), stamp));
    const QString url = nginx.baseUrl().toString() + dir + '/';
    const bool success = problem.isEmpty();
    QByteArray log; // or vt's stderr
    if (run == Run::Dialog) {
        QVERIFY(openLog(QStringLiteral("log.txt"), false));
        Updater updater;
        updater.setTrustAnchor(keyName.isEmpty() ? TrustAnchor()
                                                 : TrustAnchor::fromFile(key(keyName)));
        updater.setBaseUrl(url);
        QuestionAnswerer answerer({Answer::No});
        updater.startUpdating();
        updater.show();
        auto* status = updater.findChild<QLabel*>(QStringLiteral("statusLabel"));
        QTRY_VERIFY_WITH_TIMEOUT(status->text() == QLatin1String("Update complete") ||
                                     !answerer.asked.isEmpty(),
                                 scaledTimeout(30000));
        QTRY_VERIFY(!QApplication::activeModalWidget());
        closeLog();
        QCOMPARE(answerer.asked.size(), success ? 0 : 1); // refused: the retry question
    } else if (run == Run::Program) {
        QTemporaryDir bin;
        QVERIFY(QFile::copy(QStringLiteral(UPDATER_BUILD_DIR "/updater"), bin.filePath("updater")));
        QVERIFY(QFile::copy(key(keyName), bin.filePath("update.pub")));
        QProcess updater;
        updater.start(bin.filePath("updater"), {url, QString()});
        QTRY_VERIFY_WITH_TIMEOUT(readFile(here("log.txt")).contains("File: Signature"),
                                 scaledTimeout(30000));
        updater.kill();
        updater.waitForFinished();
    } else {
        QStringList args{QStringLiteral("update"), url};
        if (keyName == QLatin1String("inline"))
            args << "-P" << keyLine();
        else if (!keyName.isEmpty())
            args << "-p" << key(keyName);
        const VtRun vt = runVt(args, here({}));
        QCOMPARE(vt.code, success ? 0 : 1);
        log = vt.err;
    }
    if (run != Run::Vt)
        log = readFile(here("log.txt"));
    QVERIFY2(success ? log.isEmpty() : log.contains(problem.toLatin1()), log.constData());
    QVERIFY2(lines < 0 || log.count('\n') == lines, log.constData());

    // Refused: nothing of the update in the game folder, and the stamp as it was.
    QCOMPARE(readFile(here("data/a.txt")),
             success ? QByteArray(altered ? "hellO" : "hello") : QByteArray("<missing>"));
    QCOMPARE(readFile(here("update.stamp")), !keyName.isEmpty() && success ? QByteArray("1000\n")
                                             : stamp.isEmpty()             ? QByteArray("<missing>")
                                                                           : stamp);
    QVERIFY(run == Run::Program || !QFile::exists(here("update.vt")));
    QVERIFY(!QFile::exists(here("update.vt.minisig")));
    QTRY_COMPARE(fetches("update.vt.minisig"), signatureFetches); // logged once it has ended
    QTRY_COMPARE(fetches({}), requests);
}

void TestSignedUpdate::verify_data()
{
    QTest::addColumn<QStringList>("args"); // after the archive; KEY and KEYFILE stand for the key
    QTest::addColumn<bool>("altered");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error"); // expected on stderr
    QTest::newRow("key file") << QStringList{"-p", "KEYFILE"} << false << 0 << QString();
    QTest::newRow("altered") << QStringList{"-P", "KEY"} << true << 1
                             << "vt: verify: The update does not match its signature";
    QTest::newRow("other signature file")
        << QStringList{"-p", "KEYFILE", "-x", "none"} << false << 1
        << "vt: verify: Could not read the update's signature from ";
    QTest::newRow("no key") << QStringList() << false << 2 << "vt: verify: no public key";
}

void TestSignedUpdate::verify()
{
    QFETCH(QStringList, args);
    QFETCH(bool, altered);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    publish(true, altered);
    for (QString& arg : args)
        arg.replace(QLatin1String("KEYFILE"), key("key.pub"))
            .replace(QLatin1String("KEY"), keyLine());
    const VtRun vt = runVt(QStringList{"verify", www.filePath(dir + "/update.vt")} + args);
    QCOMPARE(vt.code, exitCode);
    QVERIFY2(vt.err.contains(error.toLocal8Bit()), vt.err.constData());
}

QTEST_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
