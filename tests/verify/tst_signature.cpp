#include "Log.h"
#include "MinisignTool.h"
#include "Signature.h"

#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace MinisignTool;

class TestSignature : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QByteArray archive;
    QByteArray publicKeyFile;
    QByteArray otherKeyFile;
    QMap<QString, QByteArray> signatures; // made by minisign in initTestCase

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
    QVERIFY(dir.isValid());
    QVERIFY(makeKey(dir.path(), QStringLiteral("key")));
    QVERIFY(makeKey(dir.path(), QStringLiteral("other")));
    publicKeyFile = readAll(path(QStringLiteral("key.pub")));
    otherKeyFile = readAll(path(QStringLiteral("other.pub")));

    // Several hashing slices long, with a pattern that shows a misplaced slice.
    archive.resize(3 * 1024 * 1024 + 123);
    for (int i = 0; i < archive.size(); ++i)
        archive[i] = char((i * 7 + i / 251) & 0xff);
    QVERIFY(writeAll(path(QStringLiteral("update.vt")), archive));
    QVERIFY(writeAll(path(QStringLiteral("other.vt")), archive));
    const QString secret = path(QStringLiteral("key.sec"));
    const QString sig = path(QStringLiteral("made.minisig"));
    const QString update = path(QStringLiteral("update.vt"));
    auto keep = [&](const QString& name) { signatures[name] = readAll(sig); };
    QVERIFY(sign(secret, update, sig, comment(1000)));
    keep(QStringLiteral("valid"));
    QVERIFY(sign(secret, update, sig)); // minisign's own comment and timestamp
    keep(QStringLiteral("default"));
    QVERIFY(sign(secret, update, sig, {}, true));
    keep(QStringLiteral("legacy"));
    QVERIFY(sign(secret, path(QStringLiteral("other.vt")), sig));
    keep(QStringLiteral("other file"));
    QVERIFY(sign(secret, update, sig, QStringLiteral("file:update.vt")));
    keep(QStringLiteral("no timestamp"));
    QVERIFY(sign(path(QStringLiteral("other.sec")), update, sig, comment(1000)));
    keep(QStringLiteral("other key"));
}

void TestSignature::parsers_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("valid");

    const QByteArray keyLine = publicKeyFile.split('\n').value(1);
    const QByteArray valid = signatures.value(QStringLiteral("valid"));
    const QList<QByteArray> sigLines = valid.split('\n');
    auto withLine = [&](int index, const QByteArray& line) {
        QList<QByteArray> lines = sigLines;
        lines[index] = line;
        return lines.join('\n');
    };
    // A key line whose algorithm is not "Ed".
    QByteArray wrongAlgorithm = QByteArray::fromBase64(keyLine);
    wrongAlgorithm[1] = 'D';

    QTest::newRow("key file") << "key" << publicKeyFile << true;
    QTest::newRow("key line alone") << "key" << keyLine << true;
    QTest::newRow("key line, CRLF") << "key" << keyLine + "\r\n" << true;
    QTest::newRow("key line cut") << "key" << keyLine.left(40) << false;
    QTest::newRow("key line, junk character")
        << "key" << keyLine.left(50) + "*" + keyLine.mid(51) << false;
    QTest::newRow("key, wrong algorithm") << "key" << wrongAlgorithm.toBase64() << false;
    QTest::newRow("key file, extra line") << "key" << publicKeyFile + keyLine << false;
    QTest::newRow("key file on disk") << "keyfile" << publicKeyFile << true;
    QTest::newRow("key file, garbage") << "keyfile" << QByteArray("not a key\n") << false;
    QTest::newRow("key file missing") << "missing" << QByteArray() << false;
    QTest::newRow("key file is a dangling link") << "dangling" << QByteArray() << false;
    QTest::newRow("key file is a FIFO") << "fifo" << QByteArray() << false;

    QTest::newRow("signature") << "signature" << valid << true;
    QTest::newRow("signature, no final line break") << "signature" << valid.trimmed() << true;
    QTest::newRow("signature, legacy") << "signature" << signatures.value("legacy") << true;
    QTest::newRow("signature, three lines") << "signature" << withLine(3, {}).trimmed() << false;
    QTest::newRow("signature, no trusted prefix")
        << "signature" << withLine(2, sigLines[2].mid(1)) << false;
    QTest::newRow("signature, body cut")
        << "signature" << withLine(1, sigLines[1].left(60)) << false;
    QTest::newRow("signature, unknown algorithm")
        << "signature" << withLine(1, "RX" + sigLines[1].mid(2)) << false;
    QTest::newRow("signature, overlong comment")
        << "signature" << withLine(2, "trusted comment: " + QByteArray(5000, 'x')) << false;

    QTest::newRow("comment") << "comment" << QByteArray("timestamp:5\tfile:update.vt\thashed")
                             << true;
    QTest::newRow("comment, no file") << "comment" << QByteArray("timestamp:5\thashed") << false;
    QTest::newRow("comment, no timestamp") << "comment" << QByteArray("file:update.vt") << false;
    QTest::newRow("comment, signed timestamp")
        << "comment" << QByteArray("timestamp:-5\tfile:a") << false;
    QTest::newRow("comment, timestamp overflows")
        << "comment" << QByteArray("timestamp:99999999999999999999\tfile:a") << false;
    QTest::newRow("comment, two timestamps")
        << "comment" << QByteArray("timestamp:9\ttimestamp:1\tfile:a") << false;
}

void TestSignature::parsers()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, input);
    QFETCH(bool, valid);

    if (kind == QLatin1String("key")) {
        const auto key = minisign::parsePublicKey(input);
        QCOMPARE(bool(key), valid);
        // The key id minisign names in the file's comment.
        if (key)
            QVERIFY(publicKeyFile.startsWith("untrusted comment: minisign public key " +
                                             minisign::keyIdText(key->keyId).toLatin1() + "\n"));
    } else if (kind == QLatin1String("signature")) {
        QCOMPARE(bool(minisign::parseSignature(input)), valid);
    } else if (kind == QLatin1String("comment")) {
        const auto fields = minisign::parseTrustedComment(input);
        QCOMPARE(bool(fields), valid);
        if (fields)
            QCOMPARE(fields->timestamp, quint64(5));
    } else {
        const QString file = path(QStringLiteral("anchor.pub"));
        QFile::remove(file);
        if (kind == QLatin1String("keyfile"))
            QVERIFY(writeAll(file, input));
        else if (kind == QLatin1String("dangling"))
            QVERIFY(QFile::link(path(QStringLiteral("nowhere")), file));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        const TrustAnchor anchor = TrustAnchor::fromFile(file);
        QCOMPARE(anchor.mode, valid ? TrustAnchor::Mode::Signed : TrustAnchor::Mode::Broken);
        QCOMPARE(anchor.problem.isEmpty(), valid);
    }
}

void TestSignature::verification_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("stamp"); // empty: none; "fifo": a FIFO
    QTest::addColumn<QString>("refusal");  // empty: valid

    const QByteArray valid = signatures.value(QStringLiteral("valid"));
    auto flipped = [this](qint64 at) {
        QByteArray a = archive;
        a[at] = char(a[at] ^ 0x01);
        return a;
    };
    const QString mismatch = QStringLiteral("The update does not match its signature");
    QByteArray edited = valid;
    edited.replace("timestamp:1000", "timestamp:9999");

    QTest::newRow("valid") << archive << valid << QByteArray() << QString();
    QTest::newRow("minisign's own comment")
        << archive << signatures.value("default") << QByteArray() << QString();
    QTest::newRow("byte flipped at the start") << flipped(0) << valid << QByteArray() << mismatch;
    QTest::newRow("byte flipped in the middle")
        << flipped(archive.size() / 2) << valid << QByteArray() << mismatch;
    QTest::newRow("byte flipped at the end")
        << flipped(archive.size() - 1) << valid << QByteArray() << mismatch;
    QTest::newRow("truncated") << archive.left(archive.size() / 2) << valid << QByteArray()
                               << mismatch;
    QTest::newRow("signed for another file")
        << archive << signatures.value("other file") << QByteArray()
        << "The update's signature is for another file: other.vt";
    QTest::newRow("another key") << archive << signatures.value("other key") << QByteArray()
                                 << "The update is signed with another key: key id ";
    QTest::newRow("legacy") << archive << signatures.value("legacy") << QByteArray()
                            << "The update is signed in the legacy minisign format";
    QTest::newRow("trusted comment edited")
        << archive << edited << QByteArray()
        << "The trusted comment of the update's signature was altered";
    QTest::newRow("trusted comment without timestamp")
        << archive << signatures.value("no timestamp") << QByteArray()
        << "The trusted comment of the update's signature lacks a timestamp";
    QTest::newRow("not a signature") << archive << QByteArray("hello\n") << QByteArray()
                                     << "Could not read a minisign signature from ";
    QTest::newRow("installed update newer") << archive << valid << QByteArray("1001\n")
                                            << "The update is older than the installed update";
    QTest::newRow("installed update the same")
        << archive << valid << QByteArray("1000\n") << QString();
    QTest::newRow("stamp unreadable") << archive << valid << QByteArray("fifo")
                                      << "Could not read the installed update's timestamp";
}

void TestSignature::verification()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, stamp);
    QFETCH(QString, refusal);

    QTemporaryDir work;
    const QString update = work.filePath(QStringLiteral("update.vt"));
    const QString sig = work.filePath(QStringLiteral("update.vt.minisig"));
    const QString stampFile = work.filePath(QStringLiteral("update.stamp"));
    const QString log = work.filePath(QStringLiteral("log.txt"));
    QVERIFY(writeAll(update, file));
    QVERIFY(writeAll(sig, signature));
    if (stamp == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(stampFile).constData(), 0600), 0);
    else if (!stamp.isEmpty())
        QVERIFY(writeAll(stampFile, stamp));
    const auto key = minisign::parsePublicKey(publicKeyFile);
    QVERIFY(key);

    QVERIFY(openLog(log, false));
    SignatureCheck check(*key, update, sig, QStringLiteral("update.vt"));
    // In slices, as the dialog hashes.
    while (check.step(512 * 1024) == SignatureCheck::Status::Pending) {
    }
    const bool valid = check.status() == SignatureCheck::Status::Valid &&
                       isNotOlderThanInstalled(check.timestamp(), stampFile);
    closeLog();

    const QString entries = QString::fromLatin1(readAll(log));
    if (refusal.isEmpty()) {
        QVERIFY2(valid, qPrintable(entries));
        QCOMPARE(entries, QString());
        return;
    }
    QVERIFY(!valid);
    // Exactly one entry, at Error, from "Signature".
    QCOMPARE(entries.count(QLatin1Char('\n')), 1);
    QVERIFY2(entries.startsWith(QStringLiteral("Error:  ") + refusal), qPrintable(entries));
    QVERIFY2(entries.contains(QStringLiteral("    File: Signature Line: ")), qPrintable(entries));
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
