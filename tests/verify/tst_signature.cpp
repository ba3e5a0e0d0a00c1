#include "Blake2b.h"
#include "Log.h"
#include "MinisignTool.h"
#include "Signature.h"
#include "TestFiles.h"

#include <sys/stat.h>

using namespace MinisignTool;

class TestSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QByteArray digest;                   // of update.vt, as a download takes it
    QMap<QString, QByteArray> sigs, ids; // made by minisign; key ids as minisign names them

    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        if (!available())
            QSKIP("needs minisign (scripts/setup.sh installs it)");
        const QByteArray archive = bytePattern(3 * 1024 * 1024 + 123); // many reads
        QVERIFY(writeFile(path("update.vt"), archive) && writeFile(path("cut"), archive.left(9)));
        for (const char* name : {"key", "other"}) {
            QVERIFY(makeKey(dir.path(), name));
            ids[name] = readFile(path(name) + ".pub").split('\n')[0].split(' ').last();
        }
        const auto make = [&](const char* name, const char* key, const QString& comment,
                              const char* file = "update.vt", bool legacy = false) {
            QVERIFY(sign(path(key) + ".sec", path(file), path(name), comment, legacy));
            sigs[name] = readFile(path(name));
        };
        make("valid", "key", comment(1000));
        make("legacy", "key", {}, "update.vt", true);
        make("altered", "key", comment(1000), "cut");
        make("file", "key", "timestamp:1000\tfile:other.vt");
        make("no timestamp", "key", "file:update.vt");
        make("other", "other", comment(1000));
        // Longer than a line the parser used to take; minisign writes up to 4094 bytes.
        make("long comment", "key", comment(1000) + "\t" + QString(4000, 'c'));

        Blake2b hash;
        hash.addData(archive.constData(), archive.size());
        digest = hash.result();
    }

    // What the verification table does not reach: key forms, a hostile key file, comments
    // minisign would not write.
    void parsers()
    {
        const QByteArray file = readFile(path("key.pub")), line = file.split('\n')[1];
        const QByteArray notEd = QByteArray::fromBase64(line).replace(1, 1, "D").toBase64();
        QCOMPARE(TrustAnchor::fromText(line + "\r\n", {}).mode, TrustAnchor::Mode::Signed);
        // Broken, with the log's sentence and what is wrong for a person.
        const QByteArray secret = readFile(path("key.sec"));
        const QList<std::pair<QByteArray, QString>> broken{
            {line.left(40), "not a minisign public key (wrong length)"},
            {notEd, "not a minisign public key (not an Ed25519 key)"},
            {file + line, "not a minisign public key (expected one key line)"},
            {"RWQ*", "not a minisign public key (not base64)"},
            {"", "not a minisign public key (empty)"},
            {secret, "a minisign secret key, not a public key"},
            // The key line alone, without the comment that names it.
            {secret.split('\n')[1], "a minisign secret key, not a public key"}};
        for (const auto& [text, reason] : broken) {
            const TrustAnchor anchor = TrustAnchor::fromText(text, "-P");
            QVERIFY2(anchor.mode == TrustAnchor::Mode::Broken, text);
            QCOMPARE(anchor.problem, "Could not read a minisign public key from -P");
            QCOMPARE(anchor.detail, "-P: " + reason);
        }
        // Past year 9999 the number itself (dates before it: "installed newer" below, tst_vt's
        // "signed at").
        QCOMPARE(utcDateText(253402300800), "253402300800 seconds after 1970");
        QVERIFY(QFile::link(path("none"), path("dangling")));
        QCOMPARE(TrustAnchor::fromFile(path("dangling")).mode, TrustAnchor::Mode::Broken);
        // Little-endian, without leading zeros: one key in sixteen has one.
        QCOMPARE(minisign::keyIdText(QByteArray::fromHex("0102030405060700")), "7060504030201");
        for (const char* comment :
             {"timestamp:5\thashed", "timestamp:+5\tfile:a",
              "timestamp:99999999999999999999\tfile:a", "timestamp:9\ttimestamp:1\tfile:a"})
            QVERIFY2(!minisign::parseTrustedComment(comment), comment);
    }

    void verification_data()
    {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("refusal");  // empty: valid
        QTest::addColumn<QByteArray>("stamp"); // empty: none; "fifo": a FIFO
        // What `minisign -V -H` itself says of the signature and the file: where it does not
        // follow from the refusal, the row says why.
        QTest::addColumn<bool>("minisignAccepts");
        const QByteArray valid = sigs["valid"];
        const QList<QByteArray> lines = valid.split('\n');
        const auto row = [](const char* name, const QByteArray& signature, const QString& refusal,
                            const QByteArray& stamp = {}, int minisign = -1) {
            QTest::newRow(name) << signature << refusal << stamp
                                << (minisign < 0 ? refusal.isEmpty() : minisign == 1);
        };
        const auto edit = [&](int line, const QByteArray& to) {
            return QByteArray(valid).replace(lines[line], to);
        };
        const QString unreadable = "Could not read a minisign signature from ",
                      comment = "The trusted comment of the update's signature ";
        // What only we check: the signed name and timestamp, the installed update.
        const int minisignToo = 1;
        row("valid", valid, "");
        row("altered", sigs["altered"], "The update does not match its signature");
        row("another file", sigs["file"], "The update's signature is for another file: other.vt",
            {}, minisignToo);
        row("another key", sigs["other"],
            "The update is signed with another key: key id " + ids["other"] + ", expected " +
                ids["key"]);
        row("legacy", sigs["legacy"], "The update is signed in the legacy minisign format");
        row("comment edited", edit(2, lines[2] + "x"), comment + "was altered");
        row("comment without timestamp", sigs["no timestamp"], comment + "lacks a timestamp", {},
            minisignToo);
        row("long trusted comment", sigs["long comment"], "");
        row("three lines", edit(3, {}).trimmed(), unreadable);
        row("no trusted prefix", edit(2, lines[2].mid(1)), unreadable);
        row("signature cut", edit(1, lines[1].left(60)), unreadable);
        row("unknown algorithm", edit(1, "RX" + lines[1].mid(2)), unreadable);
        // The numbers as update.stamp holds them, the dates for people.
        row("installed newer", valid,
            "The update is older than the installed update: signed at 1000 (1970-01-01 00:16:40 "
            "UTC), the installed one at 1001 (1970-01-01 00:16:41 UTC)",
            "1001\n", minisignToo);
        row("installed the same", valid, "", "1000\n");
        row("stamp unreadable", valid, "Could not read the installed update's timestamp", "fifo",
            minisignToo);

        // The file as upload steps, editors and other systems leave it: what minisign reads.
        QByteArray crlf = valid;
        crlf.replace("\n", "\r\n");
        row("no final line break", valid.trimmed(), "");
        row("trailing empty lines", valid + "\n\n\n", "");
        row("trailing blanks", valid + " \t\r\n\f\v\n ", "");
        row("CRLF", crlf, "");
        row("CRLF, no final line break", crlf.chopped(2), "");
        row("CRLF, trailing empty lines", crlf + "\r\n\r\n", "");
        row("carriage returns doubled", edit(2, lines[2] + "\r\r") + "\r\r", "");
        row("blank after the global signature", valid.trimmed() + " \n", unreadable);
        row("leading empty line", "\n" + valid, unreadable);
        row("empty line inside", edit(2, "\n" + lines[2]), unreadable);
        row("trailing blank in the trusted comment", edit(2, lines[2] + " "),
            comment + "was altered");
        // minisign reads a line up to a carriage return and the file up to its fourth line
        // break: what follows is not signed, and the file is refused.
        const int ignoredByMinisign = 1;
        row("text after a carriage return", edit(2, lines[2] + "\rtrusted comment: x"), unreadable,
            {}, ignoredByMinisign);
        row("text after the signature", valid + "untrusted comment: x\n", unreadable, {},
            ignoredByMinisign);
        row("NUL after the signature", valid + '\0', unreadable, {}, ignoredByMinisign);

        // minisign's limits on the line lengths, carriage returns included.
        const auto padded = [&](int line, qsizetype size, const QByteArray& end = {}) {
            return edit(line, lines[line] + QByteArray(size - lines[line].size(), 'x') + end);
        };
        row("untrusted comment at the limit", padded(0, 1022), "");
        row("untrusted comment over it", padded(0, 1023), unreadable);
        row("untrusted comment over it by a CR", padded(0, 1022, "\r"), unreadable);
        row("signature line with two CRs", edit(1, lines[1] + "\r\r"), unreadable);
        row("trusted comment at the limit", padded(2, 8190), comment + "was altered");
        row("trusted comment over it", padded(2, 8191), unreadable);
    }

    void verification()
    {
        QFETCH(QByteArray, signature);
        QFETCH(QString, refusal);
        QFETCH(QByteArray, stamp);
        QFETCH(bool, minisignAccepts);
        const QString base = path(QTest::currentDataTag()), sig = base + ".minisig",
                      stampFile = base + ".stamp", log = base + ".log";
        QVERIFY(writeFile(sig, signature));
        QVERIFY(stamp.isEmpty() ||
                (stamp == "fifo" ? ::mkfifo(QFile::encodeName(stampFile), 0600) == 0
                                 : writeFile(stampFile, stamp)));
        QProcess minisign;
        minisign.start("minisign", {"-V", "-H", "-q", "-p", path("key.pub"), "-m",
                                    path("update.vt"), "-x", sig});
        QVERIFY(minisign.waitForFinished(60000));
        QCOMPARE(minisign.exitCode() == 0, minisignAccepts);
        // Twice: the check hashing the file, and the check of the download's digest.
        for (const bool byDigest : {false, true}) {
            QVERIFY(openLog(log, false));
            SignatureCheck check(TrustAnchor::fromFile(path("key.pub")).key, path("update.vt"), sig,
                                 "update.vt");
            const bool valid = (byDigest ? check.checkDigest(digest) : check.run()) ==
                                   SignatureCheck::Status::Valid &&
                               isNotOlderThanInstalled(check.timestamp(), stampFile);
            closeLog();
            // A refusal is one entry, at Error, from the signature check.
            const QStringList entries = logMessages(readFile(log), "Signature");
            QCOMPARE(valid, refusal.isEmpty());
            QCOMPARE(entries.size(), int(!valid));
            QVERIFY2(valid || entries[0].startsWith("Error:  " + refusal),
                     qPrintable(entries.value(0)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
