#include "FileGrabber.h"
#include "Log.h"
#include "MinisignTool.h"
#include "NginxServer.h"
#include "Signature.h"
#include "TestFiles.h"
#include "TestTimeouts.h"

#include <sys/stat.h>

using namespace MinisignTool;

class TestSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    NginxServer nginx;
    QByteArray archive, keyFile;
    QMap<QString, QByteArray> sigs; // made by minisign in initTestCase

    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void initTestCase();
    void parsers_data();
    void parsers();
    void verification_data();
    void verification();
};

void TestSignature::initTestCase()
{
    if (!available())
        QSKIP("needs minisign (scripts/setup.sh installs it)");
    QVERIFY(dir.isValid() && QDir(dir.path()).mkdir("www"));
    QVERIFY(makeKey(dir.path(), "key") && makeKey(dir.path(), "other"));
    keyFile = readFile(path("key.pub"));
    archive = bytePattern(3 * 1024 * 1024 + 123); // many network reads and file pieces
    QVERIFY(writeFile(path("update.vt"), archive) && writeFile(path("other.vt"), archive));
    auto make = [&](const char* name, const char* key, const char* file, const QString& comment,
                    bool legacy = false) {
        QVERIFY(sign(path(key), path(file), path("made.sig"), comment, legacy));
        sigs[name] = readFile(path("made.sig"));
    };
    make("valid", "key.sec", "update.vt", comment(1000));
    make("default", "key.sec", "update.vt", {}); // minisign's own comment
    make("legacy", "key.sec", "update.vt", {}, true);
    make("other file", "key.sec", "other.vt", {});
    make("no timestamp", "key.sec", "update.vt", "file:update.vt");
    make("other key", "other.sec", "update.vt", comment(1000));
    QVERIFY2(nginx.start(path("www")), qPrintable(nginx.errorString()));
}

// What the verification table does not reach: key forms, hostile key files
// (kind "file": input names one under dir), comments minisign would not write.
void TestSignature::parsers_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("valid");
    auto row = [](const char* name, const char* kind, const QByteArray& input, bool valid) {
        QTest::newRow(name) << QString(kind) << input << valid;
    };
    const QByteArray line = keyFile.split('\n').value(1);
    QVERIFY(writeFile(path("garbage"), "not a key\n") &&
            QFile::link(path("none"), path("dangling")));
    QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
    row("key line alone", "key", line, true);
    row("key line, CRLF", "key", line + "\r\n", true);
    row("key line cut", "key", line.left(40), false);
    row("key line, junk", "key", line.left(50) + "*" + line.mid(51), false);
    row("key, not Ed", "key", QByteArray::fromBase64(line).replace(1, 1, "D").toBase64(), false);
    row("key file, extra line", "key", keyFile + line, false);
    row("key file on disk", "file", "key.pub", true);
    row("key file, garbage", "file", "garbage", false);
    row("key file missing", "file", "none", false);
    row("key file is a dangling link", "file", "dangling", false);
    row("key file is a FIFO", "file", "fifo", false);
    row("comment, no file", "comment", "timestamp:5\thashed", false);
    row("signed timestamp", "comment", "timestamp:-5\tfile:a", false);
    row("timestamp overflows", "comment", "timestamp:99999999999999999999\tfile:a", false);
    row("two timestamps", "comment", "timestamp:9\ttimestamp:1\tfile:a", false);
}

void TestSignature::parsers()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, input);
    QFETCH(bool, valid);
    if (kind == "comment") {
        QCOMPARE(bool(minisign::parseTrustedComment(input)), valid);
        return;
    }
    const TrustAnchor anchor =
        kind == "key" ? TrustAnchor::fromText(input, "a row") : TrustAnchor::fromFile(path(input));
    QCOMPARE(anchor.mode, valid ? TrustAnchor::Mode::Signed : TrustAnchor::Mode::Broken);
    QCOMPARE(anchor.problem.isEmpty(), valid);
    // The key id minisign names in the key file's comment.
    const QByteArray id = minisign::keyIdText(anchor.key.keyId).toLatin1();
    QCOMPARE(keyFile.contains(" public key " + id + '\n'), valid);
}

void TestSignature::verification_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QString>("refusal");  // empty: valid
    QTest::addColumn<QByteArray>("stamp"); // empty: none; "fifo": a FIFO
    auto row = [this](const char* name, const QByteArray& signature, const QString& refusal,
                      const QByteArray& stamp = {}, const QByteArray& file = {}) {
        QTest::newRow(name) << (file.isEmpty() ? archive : file) << signature << refusal << stamp;
    };
    auto flip = [this](qint64 at) {
        return QByteArray(archive).replace(at, 1, QByteArray(1, char(archive[at] ^ 1)));
    };
    const QByteArray valid = sigs["valid"];
    const QList<QByteArray> lines = valid.split('\n');
    auto edit = [&](int line, const QByteArray& to) {
        return QByteArray(valid).replace(lines[line], to);
    };
    const char* mismatch = "The update does not match its signature";
    const char* unreadable = "Could not read a minisign signature from ";
    const QString comment = "The trusted comment of the update's signature ";
    row("valid", valid, "");
    row("no final line break", valid.trimmed(), "");
    row("minisign's own comment", sigs["default"], "");
    row("flipped at the start", valid, mismatch, {}, flip(0));
    row("flipped in the middle", valid, mismatch, {}, flip(archive.size() / 2));
    row("flipped at the end", valid, mismatch, {}, flip(archive.size() - 1));
    row("truncated", valid, mismatch, {}, archive.left(archive.size() / 2));
    row("another file", sigs["other file"], "The update's signature is for another file: other.vt");
    row("another key", sigs["other key"], "The update is signed with another key: key id ");
    row("legacy", sigs["legacy"], "The update is signed in the legacy minisign format");
    row("comment edited", edit(2, QByteArray(lines[2]).replace("1000", "9999")),
        comment + "was altered");
    row("comment without timestamp", sigs["no timestamp"], comment + "lacks a timestamp");
    row("not a signature", "hello\n", unreadable);
    row("three lines", edit(3, {}).trimmed(), unreadable);
    row("no trusted prefix", edit(2, lines[2].mid(1)), unreadable);
    row("signature cut", edit(1, lines[1].left(60)), unreadable);
    row("unknown algorithm", edit(1, "RX" + lines[1].mid(2)), unreadable);
    row("overlong comment", edit(2, "trusted comment: " + QByteArray(5000, 'x')), unreadable);
    row("installed newer", valid, "The update is older than the installed update", "1001\n");
    row("installed the same", valid, "", "1000\n");
    row("stamp unreadable", valid, "Could not read the installed update's timestamp", "fifo");
}

// Each row twice: the check hashing the file, and the check of the digest that a
// download took of the same bytes as they arrived.
void TestSignature::verification()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, signature);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, stamp);
    QTemporaryDir work;
    const QString update = work.filePath("update.vt"), stampFile = work.filePath("update.stamp");
    QVERIFY(writeFile(update, file) && writeFile(update + ".minisig", signature));
    if (!stamp.isEmpty())
        QVERIFY(stamp == "fifo" ? ::mkfifo(QFile::encodeName(stampFile).constData(), 0600) == 0
                                : writeFile(stampFile, stamp));
    QVERIFY(writeFile(path("www/update.vt"), file));
    FileGrabber grabber(nginx.baseUrl().resolved(QUrl("update.vt")), work.filePath("got.vt"), 0);
    grabber.setHashBody(true);
    QSignalSpy finished(&grabber, &FileGrabber::finished);
    grabber.start();
    QVERIFY(finished.wait(scaledTimeout(30000)));
    QCOMPARE(readFile(work.filePath("got.vt")), file);

    for (const bool byDigest : {false, true}) {
        QVERIFY(openLog(work.filePath("log.txt"), false));
        SignatureCheck check(TrustAnchor::fromFile(path("key.pub")).key, update,
                             update + ".minisig", "update.vt");
        const auto status = byDigest ? check.checkDigest(grabber.bodyDigest()) : check.run();
        const bool valid = status == SignatureCheck::Status::Valid &&
                           isNotOlderThanInstalled(check.timestamp(), stampFile);
        closeLog();
        const QStringList entries = logMessages(readFile(work.filePath("log.txt")), "Signature");
        QCOMPARE(valid, refusal.isEmpty());
        // A refusal is one entry, at Error, whose tail names "Signature".
        QCOMPARE(entries.size(), int(!valid));
        QVERIFY2(valid || (entries[0].startsWith("Error:  " + refusal) &&
                           !entries[0].contains(" File: ")),
                 qPrintable(entries.join('\n')));
    }
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
