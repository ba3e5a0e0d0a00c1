#include "ArchiveBytes.h"
#include "Log.h"
#include "PathSafety.h"
#include "TestFiles.h"
#include "VessariTar.h"

#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace ArchiveBytes;

namespace {

const QString kReadError = QStringLiteral("Error:  Error reading from archive");

QString error(const QString& message)
{
    return "Error:  " + message;
}

// A failure logs its own message and then the reader's generic one.
QStringList failing(const QString& message)
{
    return {error(message), kReadError};
}

QByteArray linkTo(const QString& path)
{
    return "<link " + QFile::encodeName(path) + ">";
}

// A tree written as "d/ d/f=text l->target": a directory ends in "/", a file has its
// contents after "=", a symbolic link its target after "->".
Tree tree(const QString& layout)
{
    Tree tree;
    for (const QString& item : layout.split(' ', Qt::SkipEmptyParts)) {
        if (item.endsWith('/'))
            tree.insert(item.chopped(1), kDir);
        else if (item.contains("->"))
            tree.insert(item.section("->", 0, 0), linkTo(item.section("->", 1)));
        else
            tree.insert(item.section('=', 0, 0), item.section('=', 1).toUtf8());
    }
    return tree;
}

} // namespace

class TestVessariTar : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir suite;
    QString caseDir, archiveFile, target, outside;

    void writeArchive(const QByteArray& bytes) { QVERIFY(writeFile(archiveFile, bytes)); }

    // The entries with the "    File: VessariTar Line: N" tail each must carry taken off.
    QStringList logEntries() const
    {
        const QByteArray text = readFile(caseDir + "/log.txt");
        QStringList entries = logMessages(text, "VessariTar");
        if (QString::fromLatin1(text).count(logTail("VessariTar")) != entries.size())
            entries << "<an entry without its tail>";
        return entries;
    }

    // makeTree, except that a "<link TARGET>" value makes a symbolic link to TARGET.
    void plant(const Tree& tree)
    {
        for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
            const QString path = target + '/' + it.key();
            if (it.value().startsWith("<link "))
                QVERIFY(QFile::link(QFile::decodeName(it.value().mid(6).chopped(1)), path));
            else
                makeTree(target, {{it.key(), it.value()}});
        }
    }

    // Nothing may appear beside the case directory (escapes land there), and the
    // directory outside the target must be as the test left it.
    void verifyNothingEscaped(const Tree& outsideBefore)
    {
        QCOMPARE(
            QDir(suite.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({"case", "outside"}));
        QCOMPARE(treeOf(outside), outsideBefore);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(suite.isValid());
        caseDir = suite.filePath("case");
        archiveFile = caseDir + "/in/archive.vt";
        target = caseDir + "/out";
        outside = suite.filePath("outside");
    }

    void init()
    {
        QDir(caseDir).removeRecursively();
        QDir(outside).removeRecursively();
        makeTree(caseDir, {{"in", kDir}, {"out", kDir}});
        makeTree(outside, {{"victim", "keep"}});
        QVERIFY(openLog(caseDir + "/log.txt", false));
    }

    void cleanup() { closeLog(); }

    void extract_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QStringList>("log"); // empty exactly when the extraction succeeds
        QTest::addColumn<QString>("after");   // links planted before are left out
        QTest::addColumn<QString>("before");
        const auto row = [](const QByteArray& name, const QByteArray& archive,
                            const QStringList& log, const QString& after,
                            const QString& before = {}) {
            QTest::newRow(name.constData()) << archive << log << after << before;
        };
        const QStringList readError = failing("Error reading from archive");

        row("worked example",
            QByteArray::fromHex("00000000 03000000 312E32 01000000 04000000 64617461 03000000 "
                                "0A000000 646174612F612E747874 02000000 05000000 68656C6C6F"),
            {}, "data/ data/a.txt=hello");
        row("empty archive", {}, {}, "");
        row("latin-1 name", file("caf\xE9", "l"), {}, "caf\u00E9=l");
        row("7 stray bytes", directory("d") + QByteArray(7, '\1'), {kReadError}, "d/");

        // Names and versions of up to 16384 bytes; a zero byte ends a name early.
        const QByteArray pad = "d" + QByteArray(1, '\0') + QByteArray(16382, 'x');
        row("names 16384",
            version(QByteArray(16384, 'v')) + directory(pad) + file("e" + pad.mid(1), "x"), {},
            "d/ e=x");
        row("dir 16385", directory(pad + "x"), failing("Directory name is too long"), "");
        row("file 16385", file(pad + "x", "x"), failing("File name is too long"), "");
        row("version 16385", version(QByteArray(16385, 'v')), failing("version is too long"), "");
        row("zero byte ends a path",
            directory("dir" + QByteArray(1, '\0') + directory("evil")) + directory("next"), {},
            "dir/ next/");

        row("data length <= 0", file("e", "") + entry(3, "n") + entry(2, -5, "") + directory("a"),
            {}, "a/ e= n=", "e=old");
        row("parents made, old kept", directory("d") + file("d/x", "1") + directory("p/q/r"), {},
            "d/ d/x=1 d/y=2 p/ p/q/ p/q/r/", "d/ d/y=2");
        row("no directory", file("nodir/a.txt", "x"), failing("Could not create file nodir/a.txt"),
            "");
        row("type -1", directory("a") + entry(3, "a/x") + entry(2, 3, "123") + entry(-1, 0, ""),
            {error("Uknown entry type in archive: -1")}, "a/ a/x=123");
        row("data cut, old kept", entry(3, "t") + entry(2, 10, "abcd"), readError, "t=old",
            "t=old");
        row("path cut short", entry(1, 10, "abc"), readError, "");
        row("data header cut", entry(3, "f") + QByteArray("\x02\x00", 2), readError, "");
        row("file, version", entry(3, "f") + version("1"),
            {"Warning:  Expecting a file data entry.  Read this type instead: 0", kReadError}, "");
        row("dir length -1", entry(1, -1, ""), failing("Directory name has a negative length: -1"),
            "");
        row("file length min", entry(3, std::numeric_limits<qint32>::min(), ""),
            failing("File name has a negative length: -2147483648"), "");
        row("empty directory path", directory(""), {kReadError}, "");
        row("empty file path", file("", "x"), failing("Could not create file "), "");
        row("file in the way", directory("f/sub"), {kReadError}, "f=x", "f=x");
        row("dir in the way", file("d", "x"), failing("Could not create file d"), "d/", "d/");
        row("versions", version("anything \xFF") + version("") + entry(0, -7, ""), {}, "");
        row("dots, double /", directory("./s//t/") + file("s/./t//f", "y"), {}, "s/ s/t/ s/t/f=y");

        // Escapes: every one is refused before anything is created, here or outside.
        // Control characters are refused too, and the entry shows them escaped.
        const QList<QPair<QByteArray, QString>> escapes = {
            {"../outside/victim", {}},
            {"a\\..\\..\\new", {}},
            {QFile::encodeName(suite.filePath("abs")), {}},
            {"\\new", {}},
            {"C:new", {}},
            {"x\nInfo:  update verified", "x\\nInfo:  update verified"},
            {"d/\x1b[2J\x7f\t", "d/\\033[2J\\177\\t"}};
        for (const auto& [path, shown] : escapes) {
            const QStringList refused =
                failing("Refusing a path that leads outside the target directory: " +
                        (shown.isEmpty() ? QString::fromLatin1(path) : shown));
            row("directory " + path, directory("first") + directory(path), refused, "first/");
            row("file " + path, file(path, "x"), refused, "");
        }

        // A link planted under the target may be followed only while it stays inside.
        const QString viaLink = "Refusing to extract through a symbolic link that leads outside "
                                "the target directory: ";
        const QString out = "->" + outside;
        row("dir link out", directory("l/sub"), failing(viaLink + "l/sub"), "", "l" + out);
        row("file via dir link", file("l/victim", "x"), failing(viaLink + "l/victim"), "",
            "l" + out);
        row("relative link", directory("a/l/b/c"), failing(viaLink + "a/l/b/c"), "a/",
            "a/ a/l->../../../outside");
        row("file link out", file("f", "x"), failing(viaLink + "f"), "", "f" + out + "/victim");
        row("dangling link", file("f", "x"), failing(viaLink + "f"), "", "f" + out + "/missing");
        row("link inside", file("in/f", "x"), {}, "real/ real/f=x", "real/ in->real");
        row("file link inside", file("lf", "new"), {}, "real/ real/g=new",
            "real/ real/g=old lf->real/g");
    }

    void extract()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        QFETCH(QString, before);
        writeArchive(archive);
        const Tree planted = tree(before);
        plant(planted);
        const Tree outsideBefore = treeOf(outside);

        VessariTar reader;
        // Listing makes the same checks up to the disk: it fails with the same log
        // entries, or succeeds silently where only writing can fail.
        const bool listed = reader.list(archiveFile, [](const VessariTar::EntryInfo&) {});
        const QStringList listLog = logEntries();
        QCOMPARE(listLog, listed ? QStringList() : log);
        QCOMPARE(reader.extract(archiveFile, target), log.isEmpty());
        QCOMPARE(reader.errorString().isEmpty(), log.isEmpty());
        QCOMPARE(logEntries().mid(listLog.size()), log);
        Tree onDisk = treeOf(target);
        for (auto it = planted.cbegin(); it != planted.cend(); ++it) {
            if (it.value().startsWith("<link "))
                QVERIFY(onDisk.take(it.key()).startsWith("<link "));
        }
        QCOMPARE(onDisk, tree(after));
        verifyNothingEscaped(outsideBefore);
        // The reader never deletes or alters the archive.
        QCOMPARE(treeOf(caseDir + "/in"), (Tree{{"archive.vt", archive}}));
    }

    void archiveInsideTarget()
    {
        // As the updater runs: the archive sits in the directory it is extracted to.
        const QByteArray bytes = directory("d") + file("update.vt", "x") + directory("e");
        makeTree(target, {{"update.vt", bytes}});
        VessariTar reader;
        QVERIFY(!reader.extract(target + "/update.vt", target));
        QCOMPARE(logEntries(), failing("Refusing to overwrite the archive being read: update.vt"));
        QCOMPARE(treeOf(target), (Tree{{"d", kDir}, {"update.vt", bytes}}));
    }

    void misuseAndReuse()
    {
        VessariTar reader;
        QVERIFY(!reader.extract(QString(), target));
        QVERIFY(!reader.extract(archiveFile, QString()));
        QVERIFY(!reader.extract(archiveFile, target)); // not written yet
        VessariTar::EntryHeader header{2, 0};
        QVERIFY(!reader.readVersion(header));
        QVERIFY(!reader.readDirectory(header));
        QVERIFY(!reader.readFile(header));
        // A failed run leaves the reader ready for the next one.
        writeArchive(entry(2, ""));
        QVERIFY(!reader.extract(archiveFile, target));
        // A call from inside a run is refused and leaves the run alone.
        writeArchive(directory("a") + file("a/b", "2"));
        QList<bool> nested;
        reader.setProgressHandler(
            [&](qint64, qint64) { nested << reader.extract(archiveFile, target); });
        QVERIFY(reader.extract(archiveFile, target));
        QCOMPARE(nested, QList<bool>({false, false}));
        QCOMPARE(logEntries(),
                 QStringList({"archiveName is not valid", "archivePath is not valid",
                              "Could not open file " + archiveFile, "invalid entry type",
                              "invalid entry type", "invalid entry type",
                              "Uknown entry type in archive: 2"})
                     .replaceInStrings(QRegularExpression("^"), "Error:  "));
        QCOMPARE(treeOf(target), tree("a/ a/b=2"));
    }

    void diskFullKeepsOldFile_data()
    {
        QTest::addColumn<Tree>("before");
        QTest::newRow("new file") << Tree();
        QTest::newRow("old file") << Tree{{"f", "old"}};
    }

    void diskFullKeepsOldFile()
    {
        QFETCH(Tree, before);
        makeTree(target, before);
        writeArchive(file("f", QByteArray(5000, 'w')) + directory("after"));
        // A file size limit makes writes past 1000 bytes fail, as a full disk would.
        struct rlimit saved;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit limited = saved;
        limited.rlim_cur = 1000;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        VessariTar reader;
        const bool ok = reader.extract(archiveFile, target);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!ok);
        QCOMPARE(logEntries(), failing("Could not write to file f"));
        QCOMPARE(reader.errorString(), QStringLiteral("f: File too large"));
        // No partial file or temporary is left; nothing after the failing entry is made.
        QCOMPARE(treeOf(target), before);
    }

    void permissionBits_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("oldMode"); // -1: no old file
        QTest::addColumn<int>("mode");
        QTest::newRow("new data file") << QByteArray("data") << -1 << 0644;
        QTest::newRow("new script") << QByteArray("#!/bin/sh\n") << -1 << 0755;
        QTest::newRow("new ELF program") << QByteArray::fromHex("7F454C46020101") << -1 << 0755;
        QTest::newRow("new empty file") << QByteArray() << -1 << 0644;
        QTest::newRow("replaced program keeps its bits") << QByteArray("data") << 0750 << 0750;
        QTest::newRow("set-id bits dropped") << QByteArray("data") << 06755 << 0755;
    }

    void permissionBits()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, oldMode);
        QFETCH(int, mode);
        const QByteArray f = QFile::encodeName(target + "/f");
        if (oldMode >= 0) {
            makeTree(target, {{"f", "old"}});
            QCOMPARE(::chmod(f, mode_t(oldMode)), 0);
        }
        writeArchive(file("f", content));
        const mode_t savedMask = ::umask(022);
        const bool ok = VessariTar().extract(archiveFile, target);
        ::umask(savedMask);
        QVERIFY(ok);
        struct stat info;
        QCOMPARE(::stat(f, &info), 0);
        QCOMPARE(int(info.st_mode & 07777), mode);
        QCOMPARE(readFile(target + "/f"), content);
    }

    // A planted entry is replaced, never written through, and nothing outside changes.
    void hostileTarget_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::newRow("hard link to a file outside") << "hard link";
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("device node") << "device";
        QTest::newRow("directory swapped for a link during extraction") << "swap";
    }

    void hostileTarget()
    {
        QFETCH(QString, planted);
        const QByteArray f = QFile::encodeName(target + "/d/f");
        makeTree(target, {{"d", kDir}});
        if (planted == "hard link")
            QCOMPARE(::link(QFile::encodeName(outside + "/victim"), f), 0);
        else if (planted == "fifo")
            QCOMPARE(::mkfifo(f, 0666), 0);
        else if (planted == "device" && ::mknod(f, S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here (needs root)");
        const Tree outsideBefore = treeOf(outside);

        writeArchive(directory("d") + file("d/f", "new") + file("d/g", "2") + directory("d/s") +
                     file("d/s/h", "3"));
        VessariTar reader;
        int entries = 0;
        reader.setProgressHandler([&](qint64, qint64) {
            // After "d/f": the directory moves away and a link to outside takes its
            // name; the reader keeps writing into the directory it opened.
            if (++entries == 2 && planted == "swap") {
                QVERIFY(QFile::rename(target + "/d", target + "/moved"));
                QVERIFY(QFile::link(outside, target + "/d"));
            }
        });
        QVERIFY(reader.extract(archiveFile, target));
        QCOMPARE(logEntries(), QStringList());
        QCOMPARE(treeOf(target),
                 tree(planted == "swap"
                          ? "moved/ moved/f=new moved/g=2 moved/s/ moved/s/h=3 d->" + outside
                          : "d/ d/f=new d/g=2 d/s/ d/s/h=3"));
        verifyNothingEscaped(outsideBefore);
    }

    void pathSafety_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("portable");
        QTest::addColumn<bool>("windows");
        QTest::newRow("nested") << "a/b\\c.txt" << true << true;
        QTest::newRow("dots in a name") << "a..b/..c/d.." << true << false;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("stream in later component") << "a/b:stream" << true << false;
        QTest::newRow("device name lower case") << "dir/nul" << true << false;
        QTest::newRow("device name with space") << "PRN .txt" << true << false;
        QTest::newRow("port") << "x/lpt9.log" << true << false;
        QTest::newRow("superscript port") << QString::fromUtf8("COM\u00B9") << true << false;
        QTest::newRow("not a device") << "CONSOLE/COM10/nullable" << true << true;
        QTest::newRow("trailing dot") << "a./b" << true << false;
        QTest::newRow("trailing space") << "a/b " << true << false;
    }

    void pathSafety()
    {
        QFETCH(QString, path);
        QFETCH(bool, portable);
        QFETCH(bool, windows);
        QCOMPARE(isSafeEntryPath(path, PathRules::Portable), portable);
        QCOMPARE(isSafeEntryPath(path, PathRules::Windows), windows);
    }
};

QTEST_APPLESS_MAIN(TestVessariTar)
#include "tst_vessaritar.moc"
