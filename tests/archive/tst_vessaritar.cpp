#include "ArchiveBytes.h"
#include "Log.h"
#include "PathSafety.h"
#include "TreeUtil.h"
#include "VessariTar.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
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

// A failure logs its own message and then the reader's generic one.
QStringList failing(const QString& message)
{
    return {message, kReadError};
}

} // namespace

class TestVessariTar : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir suite;
    QString caseDir;
    QString archiveFile;
    QString target;
    QString outside;

    void writeArchive(const QByteArray& bytes)
    {
        QFile f(archiveFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), bytes.size());
    }

    // Log entries without the "    File: VessariTar Line: N" tail every entry must carry.
    QStringList logEntries()
    {
        QFile f(caseDir + QStringLiteral("/log.txt"));
        static const QRegularExpression tail(QStringLiteral("    File: VessariTar Line: \\d+$"));
        QStringList entries;
        for (const QByteArray& line : f.open(QIODevice::ReadOnly) ? f.readAll().split('\n')
                                                                  : QList<QByteArray>{"<no log>"}) {
            const QString entry = QString::fromLatin1(line);
            if (!line.isEmpty())
                entries << (entry.contains(tail) ? QString(entry).remove(tail)
                                                 : "<malformed> " + entry);
        }
        return entries;
    }

    // Nothing may appear beside the case directory (escapes land there) and the
    // directory outside the target must be as the test left it.
    void verifyNothingEscaped(const Tree& outsideBefore)
    {
        QCOMPARE(
            QDir(suite.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({QStringLiteral("case"), QStringLiteral("outside")}));
        QCOMPARE(treeOf(outside), outsideBefore);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(suite.isValid());
        caseDir = suite.filePath(QStringLiteral("case"));
        archiveFile = caseDir + QStringLiteral("/in/archive.vt");
        target = caseDir + QStringLiteral("/out");
        outside = suite.filePath(QStringLiteral("outside"));
    }

    void init()
    {
        QDir(caseDir).removeRecursively();
        QDir(outside).removeRecursively();
        QVERIFY(QDir().mkpath(caseDir + QStringLiteral("/in")));
        QVERIFY(QDir().mkpath(target));
        makeTree(outside, {{QStringLiteral("victim"), "keep"}});
        QVERIFY(openLog(caseDir + QStringLiteral("/log.txt"), false));
    }

    void cleanup() { closeLog(); }

    void extract_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QStringList>("log"); // empty exactly when the extraction succeeds
        QTest::addColumn<Tree>("after");
        QTest::addColumn<Tree>("before");
        QTest::addColumn<QString>("link"); // a symbolic link made under the target, if any
        QTest::addColumn<QString>("linkTarget");
        const auto row = [](const QByteArray& name, const QByteArray& archive,
                            const QStringList& log, const Tree& after, const Tree& before = Tree(),
                            const QString& link = QString(),
                            const QString& linkTarget = QString()) {
            QTest::newRow(name.constData())
                << archive << log << after << before << link << linkTarget;
        };
        const auto error = [](const char* message) { return QStringLiteral("Error:  ") + message; };

        row("worked example",
            QByteArray::fromHex("00000000 03000000 312E32 01000000 04000000 64617461 03000000 "
                                "0A000000 646174612F612E747874 02000000 05000000 68656C6C6F"),
            {}, {{"data", kDir}, {"data/a.txt", "hello"}});
        row("empty archive", {}, {}, {});
        row("7 stray bytes", directory("d") + QByteArray(7, '\1'), {kReadError}, {{"d", kDir}});

        // Names and versions of up to 16384 bytes; a zero byte ends a name early.
        const QByteArray pad16384 = "d" + QByteArray(1, '\0') + QByteArray(16382, 'x');
        const QByteArray pad16385 = pad16384 + "x";
        row("names of 16384 bytes",
            version(QByteArray(16384, 'v')) + directory(pad16384) +
                file("e" + pad16384.mid(1), "x"),
            {}, {{"d", kDir}, {"e", "x"}});
        row("directory path of 16385 bytes", directory(pad16385),
            failing(error("Directory name is too long")), {});
        row("file path of 16385 bytes", file(pad16385, "x"),
            failing(error("File name is too long")), {});
        row("version of 16385 bytes", version(QByteArray(16385, 'v')),
            failing(error("version is too long")), {});
        row("zero byte cuts the path",
            directory("dir" + QByteArray(1, '\0') + directory("evil")) + directory("next"), {},
            {{"dir", kDir}, {"next", kDir}});

        row("file data of length 0 or less",
            file("e", "") + entry(3, "n") + entry(2, -5, "") + directory("after"), {},
            {{"e", ""}, {"n", ""}, {"after", kDir}}, {{"e", "old"}});
        row("missing parents created, existing directory kept",
            directory("d") + file("d/x", "1") + directory("p/q/r"), {},
            {{"d", kDir}, {"d/x", "1"}, {"d/y", "2"}, {"p", kDir}, {"p/q", kDir}, {"p/q/r", kDir}},
            {{"d", kDir}, {"d/y", "2"}});
        row("missing directory", file("nodir/a.txt", "x"),
            failing(error("Could not create file nodir/a.txt")), {});
        row("type -1, partial output kept",
            directory("a") + entry(3, "a/x") + entry(2, 3, "123") + entry(-1, 0, ""),
            {error("Uknown entry type in archive: -1")}, {{"a", kDir}, {"a/x", "123"}});
        row("file data cut short, old file kept", entry(3, "t") + entry(2, 10, "abcd"),
            failing(kReadError), {{"t", "old"}}, {{"t", "old"}});
        row("path cut short", entry(1, 10, "abc"), failing(kReadError), {});
        row("file data header cut short", entry(3, "f") + QByteArray("\x02\x00", 2),
            failing(kReadError), {});
        row("file followed by a version", entry(3, "f") + version("1"),
            failing(QStringLiteral(
                "Warning:  Expecting a file data entry.  Read this type instead: 0")),
            {});
        row("negative directory length", entry(1, -1, ""),
            failing(error("Directory name has a negative length: -1")), {});
        row("negative file name length", entry(3, std::numeric_limits<qint32>::min(), ""),
            failing(error("File name has a negative length: -2147483648")), {});
        row("empty directory path", directory(""), {kReadError}, {});
        row("empty file path", file("", "x"), failing(error("Could not create file ")), {});
        row("file in the way of a directory", directory("f/sub"), {kReadError}, {{"f", "x"}},
            {{"f", "x"}});
        row("directory in the way of a file", file("d", "x"),
            failing(error("Could not create file d")), {{"d", kDir}}, {{"d", kDir}});
        row("versions change nothing", version("anything \xFF") + version("") + entry(0, -7, ""),
            {}, {});
        row("dot and doubled separators", directory("./s//t/") + file("s/./t//f", "y"), {},
            {{"s", kDir}, {"s/t", kDir}, {"s/t/f", "y"}});

        // Escapes: every one must be refused before anything is created, here or outside.
        const QByteArray absolute = QFile::encodeName(suite.filePath(QStringLiteral("abs")));
        // Control characters are refused too, and the entry shows them escaped.
        const QList<QPair<QByteArray, QString>> escapes = {
            {"../outside/victim", {}},
            {"..", {}},
            {"a\\..\\..\\new", {}},
            {absolute, {}},
            {"\\new", {}},
            {"C:new", {}},
            {"x\nInfo:  update verified", QStringLiteral("x\\nInfo:  update verified")},
            {"d/\x1b[2J\x7f\t", QStringLiteral("d/\\033[2J\\177\\t")}};
        for (const auto& [path, shown] : escapes) {
            const QStringList refused =
                failing(error("Refusing a path that leads outside the target directory: ") +
                        (shown.isEmpty() ? QString::fromLatin1(path) : shown));
            row("directory " + path, directory("first") + directory(path), refused,
                {{"first", kDir}});
            row("file " + path, file(path, "x"), refused, {});
        }

        // A link planted under the target may be followed only when it stays inside.
        const auto linked = [&row, &error](const char* name, const QString& link,
                                           const QString& linkTarget, const QByteArray& archive,
                                           const QString& refused, const Tree& after,
                                           const Tree& before = Tree()) {
            row(name, archive,
                refused.isEmpty()
                    ? QStringList()
                    : failing(error("Refusing to extract through a symbolic link that leads "
                                    "outside the target directory: ") +
                              refused),
                after, before, link, linkTarget);
        };
        const QString out = outside;
        linked("directory link to outside", "l", out, directory("l/sub"), "l/sub", {});
        linked("file under a directory link", "l", out, file("l/victim", "x"), "l/victim", {});
        linked("relative link, deeper", "a/l", "../../../outside", directory("a/l/b/c"), "a/l/b/c",
               {{"a", kDir}}, {{"a", kDir}});
        linked("file link to outside", "f", out + "/victim", file("f", "x"), "f", {});
        linked("dangling link", "f", out + "/missing", file("f", "x"), "f", {});
        linked("same directory after an earlier file", "d/f", out + "/victim",
               directory("d") + file("d/ok", "1") + file("d/f", "x"), "d/f",
               {{"d", kDir}, {"d/ok", "1"}}, {{"d", kDir}});
        linked("link that stays inside", "in", "real", file("in/f", "x"), QString(),
               {{"real", kDir}, {"real/f", "x"}}, {{"real", kDir}});
        linked("file link that stays inside", "lf", "real/g", file("lf", "new"), QString(),
               {{"real", kDir}, {"real/g", "new"}}, {{"real", kDir}, {"real/g", "old"}});
    }

    void extract()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, log);
        QFETCH(Tree, after);
        QFETCH(Tree, before);
        QFETCH(QString, link);
        QFETCH(QString, linkTarget);

        writeArchive(archive);
        makeTree(target, before);
        if (!link.isEmpty())
            QVERIFY(QFile::link(linkTarget, target + QLatin1Char('/') + link));
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
        if (!link.isEmpty())
            QVERIFY(onDisk.take(link).startsWith("<link"));
        QCOMPARE(onDisk, after);
        verifyNothingEscaped(outsideBefore);
        // The reader never deletes or alters the archive.
        QCOMPARE(treeOf(caseDir + QStringLiteral("/in")), (Tree{{"archive.vt", archive}}));
    }

    void archiveInsideTarget()
    {
        // As the updater runs: the archive sits in the directory it is extracted to.
        const QString inside = target + QStringLiteral("/update.vt");
        const QByteArray bytes = directory("d") + file("update.vt", "x") + directory("e");
        makeTree(target, {{"update.vt", bytes}});
        VessariTar reader;
        QVERIFY(!reader.extract(inside, target));
        QCOMPARE(logEntries(),
                 failing(QStringLiteral(
                     "Error:  Refusing to overwrite the archive being read: update.vt")));
        QCOMPARE(treeOf(target), (Tree{{"d", kDir}, {"update.vt", bytes}}));
    }

    void argumentErrorsAndReuse()
    {
        VessariTar reader;
        QVERIFY(!reader.extract(QString(), target));
        QVERIFY(!reader.extract(archiveFile, QString()));
        QVERIFY(!reader.extract(archiveFile, target)); // not written yet
        for (const QByteArray& archive : {entry(2, ""), directory("one"), file("one/two", "2")}) {
            // Closed after each run, failed or not: the caller may delete it.
            writeArchive(archive);
            QCOMPARE(reader.extract(archiveFile, target), archive != entry(2, ""));
            QVERIFY(QFile::remove(archiveFile));
        }
        QCOMPARE(logEntries(),
                 (QStringList{QStringLiteral("Error:  archiveName is not valid"),
                              QStringLiteral("Error:  archivePath is not valid"),
                              QStringLiteral("Error:  Could not open file ") + archiveFile,
                              QStringLiteral("Error:  Uknown entry type in archive: 2")}));
        QCOMPARE(treeOf(target), (Tree{{"one", kDir}, {"one/two", "2"}}));
    }

    void refusesWhileExtracting()
    {
        writeArchive(directory("a") + directory("b"));
        VessariTar reader;
        int nestedCalls = 0;
        bool nestedResult = true;
        reader.setProgressHandler([&](qint64, qint64) {
            ++nestedCalls;
            nestedResult = nestedResult && reader.extract(archiveFile, target);
        });
        QVERIFY(reader.extract(archiveFile, target));
        QCOMPARE(nestedCalls, 2);
        QVERIFY(!nestedResult);
        QCOMPARE(logEntries(), QStringList());
        QCOMPARE(treeOf(target), (Tree{{"a", kDir}, {"b", kDir}}));
    }

    void entryReadersRefuseOtherTypes()
    {
        VessariTar reader;
        VessariTar::EntryHeader header{2, 0};
        QVERIFY(!reader.readVersion(header));
        QVERIFY(!reader.readDirectory(header));
        QVERIFY(!reader.readFile(header));
        QCOMPARE(logEntries(), QStringList(3, QStringLiteral("Error:  invalid entry type")));
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
        // A file size limit makes writes past 1000 bytes fail, as a full disk would.
        writeArchive(file("f", QByteArray(5000, 'w')) + directory("after"));
        struct rlimit saved;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = 1000;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        VessariTar reader;
        const bool ok = reader.extract(archiveFile, target);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!ok);
        QCOMPARE(logEntries(), failing(QStringLiteral("Error:  Could not write to file f")));
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
        QTest::newRow("new ELF program") << QByteArray("\x7F"
                                                       "ELF\2\1\1")
                                         << -1 << 0755;
        QTest::newRow("new empty file") << QByteArray() << -1 << 0644;
        QTest::newRow("replaced program keeps its bits") << QByteArray("data") << 0750 << 0750;
        QTest::newRow("replaced data file stays") << QByteArray("#!/bin/sh\n") << 0600 << 0600;
        QTest::newRow("set-id bits dropped") << QByteArray("data") << 06755 << 0755;
    }

    void permissionBits()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, oldMode);
        QFETCH(int, mode);
        if (oldMode >= 0) {
            makeTree(target, {{"f", "old"}});
            QVERIFY(::chmod(QFile::encodeName(target + "/f"), mode_t(oldMode)) == 0);
        }
        writeArchive(file("f", content));
        const mode_t savedMask = ::umask(022);
        VessariTar reader;
        const bool ok = reader.extract(archiveFile, target);
        ::umask(savedMask);
        QVERIFY(ok);
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(target + "/f"), &info), 0);
        QCOMPARE(int(info.st_mode & 07777), mode);
        QCOMPARE(treeOf(target), (Tree{{"f", content}}));
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
        QVERIFY(QDir().mkpath(target + "/d"));
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
        const QString dir = planted == "swap" ? "moved" : "d";
        Tree expected{{dir, kDir},
                      {dir + "/f", "new"},
                      {dir + "/g", "2"},
                      {dir + "/s", kDir},
                      {dir + "/s/h", "3"}};
        if (planted == "swap")
            expected.insert("d", "<link " + QFile::encodeName(outside) + ">");
        QCOMPARE(treeOf(target), expected);
        verifyNothingEscaped(outsideBefore);
    }

    void pathSafety_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("portable");
        QTest::addColumn<bool>("windows");

        QTest::newRow("nested") << "a/b\\c.txt" << true << true;
        QTest::newRow("dots in a name") << "a..b/..c/d.." << true << false;
        QTest::newRow("latin-1") << QString::fromUtf8("\u00E9/\u00FF") << true << true;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("trailing dot dot") << "a/.." << false << false;
        QTest::newRow("backslash dot dot") << "a\\..\\b" << false << false;
        QTest::newRow("colon in first component") << "a:b/c" << false << false;
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