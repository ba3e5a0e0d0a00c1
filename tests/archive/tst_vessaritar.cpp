#include "ArchiveBytes.h"
#include "Log.h"
#include "PathSafety.h"
#include "TreeUtil.h"
#include "VessariTar.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace ArchiveBytes;

class TestVessariTar : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir suite;
    QString caseDir;
    QString archiveFile;
    QString target;
    QString outside;

    void writeArchive(const QByteArray& bytes, const QString& file = QString())
    {
        QFile f(file.isEmpty() ? archiveFile : file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), bytes.size());
    }

    // Log entries without their "    File: VessariTar Line: N" tail, which every
    // entry must carry.
    QStringList logEntries()
    {
        QFile f(caseDir + QStringLiteral("/log.txt"));
        if (!f.open(QIODevice::ReadOnly))
            return {QStringLiteral("<no log>")};
        static const QRegularExpression tail(QStringLiteral("^(.*)    File: (\\w+) Line: \\d+$"));
        QStringList entries;
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const auto match = tail.match(QString::fromLatin1(line));
            if (!match.hasMatch() || match.captured(2) != QLatin1String("VessariTar"))
                return {QStringLiteral("<malformed entry> ") + QString::fromLatin1(line)};
            entries << match.captured(1);
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
        QVERIFY(QDir().mkpath(outside));
        makeTree(outside, {{QStringLiteral("victim"), "keep"}});
        QVERIFY(openLog(caseDir + QStringLiteral("/log.txt"), false));
    }

    void cleanup() { closeLog(); }

    void extract_data();
    void extract();
    void workedExampleBytes();
    void archiveInsideTarget();
    void relativeArchivePath();
    void argumentErrors();
    void reuseOfOneReader();
    void refusesWhileExtracting();
    void symlinks_data();
    void symlinks();
    void entryReadersRefuseOtherTypes();
    void writeFailure();
    void list();
    void listFailsLikeExtract_data();
    void listFailsLikeExtract();
    void pathSafety_data();
    void pathSafety();
};

void TestVessariTar::extract_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<Tree>("before");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<Tree>("after");

    const QString readError = QStringLiteral("Error:  Error reading from archive");
    const QByteArray pad16384 = "d" + QByteArray(1, '\0') + QByteArray(16382, 'x');
    const QByteArray pad16385 = pad16384 + "x";

    QTest::newRow("worked example")
        << QByteArray::fromHex("00000000"
                               "03000000"
                               "312E32"
                               "01000000"
                               "04000000"
                               "64617461"
                               "03000000"
                               "0A000000"
                               "646174612F612E747874"
                               "02000000"
                               "05000000"
                               "68656C6C6F")
        << Tree() << true << QStringList() << Tree{{"data", kDir}, {"data/a.txt", "hello"}};
    QTest::newRow("empty archive") << QByteArray() << Tree() << true << QStringList() << Tree();
    for (int stray = 1; stray <= 7; ++stray) {
        QTest::addRow("%d stray bytes", stray)
            << directory("d") + QByteArray(stray, '\1') << Tree() << false << QStringList{readError}
            << Tree{{"d", kDir}};
    }
    QTest::newRow("path of 16384 bytes")
        << directory(pad16384) + directory("next") << Tree() << true << QStringList()
        << Tree{{"d", kDir}, {"next", kDir}};
    QTest::newRow("directory path of 16385 bytes")
        << directory(pad16385) << Tree() << false
        << QStringList{QStringLiteral("Error:  Directory name is too long"), readError} << Tree();
    QTest::newRow("file path of 16384 bytes")
        << file(pad16384, "x") << Tree() << true << QStringList() << Tree{{"d", "x"}};
    QTest::newRow("file path of 16385 bytes")
        << file(pad16385, "x") << Tree() << false
        << QStringList{QStringLiteral("Error:  File name is too long"), readError} << Tree();
    QTest::newRow("version of 16384 bytes") << version(QByteArray(16384, 'v')) + directory("d")
                                            << Tree() << true << QStringList() << Tree{{"d", kDir}};
    QTest::newRow("version of 16385 bytes")
        << version(QByteArray(16385, 'v')) << Tree() << false
        << QStringList{QStringLiteral("Error:  version is too long"), readError} << Tree();
    QTest::newRow("zero byte cuts the path")
        << directory("dir" + QByteArray(1, '\0') + directory("evil")) + directory("next") << Tree()
        << true << QStringList() << Tree{{"dir", kDir}, {"next", kDir}};
    QTest::newRow("file data of length 0")
        << file("e", "") << Tree{{"e", "old"}} << true << QStringList() << Tree{{"e", ""}};
    QTest::newRow("file data of negative length")
        << entry(3, "n") + entry(2, -5, "") + directory("after") << Tree() << true << QStringList()
        << Tree{{"n", ""}, {"after", kDir}};
    QTest::newRow("existing file replaced") << file("f", "new") << Tree{{"f", "old and longer"}}
                                            << true << QStringList() << Tree{{"f", "new"}};
    QTest::newRow("existing directory")
        << directory("d") + file("d/x", "1") << Tree{{"d", kDir}, {"d/y", "2"}} << true
        << QStringList() << Tree{{"d", kDir}, {"d/x", "1"}, {"d/y", "2"}};
    QTest::newRow("missing directory")
        << file("nodir/a.txt", "x") << Tree() << false
        << QStringList{QStringLiteral("Error:  Could not create file nodir/a.txt"), readError}
        << Tree();
    QTest::newRow("file data at top level")
        << entry(2, "abc") << Tree() << false
        << QStringList{QStringLiteral("Error:  Uknown entry type in archive: 2")} << Tree();
    QTest::newRow("type -1") << directory("d") + entry(-1, 0, "") << Tree() << false
                             << QStringList{QStringLiteral(
                                    "Error:  Uknown entry type in archive: -1")}
                             << Tree{{"d", kDir}};
    QTest::newRow("file data cut short") << entry(3, "t") + entry(2, 10, "abcd") << Tree() << true
                                         << QStringList() << Tree{{"t", "abcd"}};
    QTest::newRow("path cut short")
        << entry(1, 10, "abc") << Tree() << false << QStringList{readError, readError} << Tree();
    QTest::newRow("version cut short")
        << entry(0, 10, "abc") << Tree() << false << QStringList{readError, readError} << Tree();
    QTest::newRow("file data header cut short")
        << entry(3, "f") + QByteArray("\x02\x00", 2) << Tree() << false
        << QStringList{readError, readError} << Tree();
    QTest::newRow("file followed by a version")
        << entry(3, "f") + version("1") << Tree() << false
        << QStringList{QStringLiteral("Warning:  Expecting a file data entry.  Read this type "
                                      "instead: 0"),
                       readError}
        << Tree();
    QTest::newRow("file followed by a file")
        << entry(3, "f") + file("g", "x") << Tree() << false
        << QStringList{QStringLiteral("Warning:  Expecting a file data entry.  Read this type "
                                      "instead: 3"),
                       readError}
        << Tree();
    QTest::newRow("negative directory length")
        << entry(1, -1, "") << Tree() << false
        << QStringList{QStringLiteral("Error:  Directory name has a negative length: -1"),
                       readError}
        << Tree();
    QTest::newRow("negative file name length")
        << entry(3, std::numeric_limits<qint32>::min(), "") << Tree() << false
        << QStringList{QStringLiteral("Error:  File name has a negative length: -2147483648"),
                       readError}
        << Tree();
    QTest::newRow("empty directory path")
        << directory("") << Tree() << false << QStringList{readError} << Tree();
    QTest::newRow("empty file path")
        << file("", "x") << Tree() << false
        << QStringList{QStringLiteral("Error:  Could not create file "), readError} << Tree();
    QTest::newRow("file in the way of a directory")
        << directory("f/sub") << Tree{{"f", "x"}} << false << QStringList{readError}
        << Tree{{"f", "x"}};
    QTest::newRow("directory in the way of a file")
        << file("d", "x") << Tree{{"d", kDir}} << false
        << QStringList{QStringLiteral("Error:  Could not create file d"), readError}
        << Tree{{"d", kDir}};
    QTest::newRow("latin-1 names")
        << directory("\xE9t\xE9") + file("\xE9t\xE9/\xFF\x80.txt", "x") << Tree() << true
        << QStringList()
        << Tree{{QString::fromUtf8("\u00E9t\u00E9"), kDir},
                {QString::fromUtf8("\u00E9t\u00E9/\u00FF\u0080.txt"), "x"}};
    QTest::newRow("versions change nothing")
        << version("anything \xFF") + version("") + entry(0, -7, "") << Tree() << true
        << QStringList() << Tree();
    QTest::newRow("partial output kept")
        << directory("a") + entry(3, "a/x") + entry(2, 3, "123") + entry(9, 0, "") << Tree()
        << false << QStringList{QStringLiteral("Error:  Uknown entry type in archive: 9")}
        << Tree{{"a", kDir}, {"a/x", "123"}};
    QTest::newRow("missing parents created")
        << directory("p/q/r") << Tree() << true << QStringList()
        << Tree{{"p", kDir}, {"p/q", kDir}, {"p/q/r", kDir}};
    QTest::newRow("dot and doubled separators")
        << directory("./s//t/") + file("s/./t//f", "y") << Tree() << true << QStringList()
        << Tree{{"s", kDir}, {"s/t", kDir}, {"s/t/f", "y"}};
    QTest::newRow("large file data in many chunks")
        << file("big", QByteArray(100000, 'b') + "end") << Tree() << true << QStringList()
        << Tree{{"big", QByteArray(100000, 'b') + "end"}};

    // Escapes: every one must be refused before anything is created, here or outside.
    const QByteArray absolute = QFile::encodeName(suite.filePath(QStringLiteral("abs")));
    const QByteArray escapes[] = {"../outside/new",
                                  "a/../../outside/new",
                                  "..",
                                  "..\\outside\\new",
                                  "a\\..\\..\\new",
                                  absolute,
                                  "\\new",
                                  "//host/new",
                                  "C:new",
                                  "c:/new"};
    for (const QByteArray& path : escapes) {
        const QString refused =
            QStringLiteral("Error:  Refusing a path that leads outside the target directory: ") +
            QString::fromLatin1(path);
        QTest::addRow("directory %s", path.constData())
            << directory("first") + directory(path) << Tree() << false
            << QStringList{refused, readError} << Tree{{"first", kDir}};
        QTest::addRow("file %s", path.constData())
            << file(path, "x") << Tree() << false << QStringList{refused, readError} << Tree();
    }
    QTest::newRow("file over the victim")
        << file("../outside/victim", "x") << Tree() << false
        << QStringList{QStringLiteral("Error:  Refusing a path that leads outside the target "
                                      "directory: ../outside/victim"),
                       readError}
        << Tree();
}

void TestVessariTar::extract()
{
    QFETCH(QByteArray, archive);
    QFETCH(Tree, before);
    QFETCH(bool, ok);
    QFETCH(QStringList, log);
    QFETCH(Tree, after);

    writeArchive(archive);
    makeTree(target, before);
    const Tree outsideBefore = treeOf(outside);

    VessariTar reader;
    QCOMPARE(reader.extract(archiveFile, target), ok);
    QCOMPARE(logEntries(), log);
    QCOMPARE(treeOf(target), after);
    verifyNothingEscaped(outsideBefore);
    // The reader never deletes or alters the archive.
    QFile f(archiveFile);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), archive);
}

void TestVessariTar::archiveInsideTarget()
{
    // As the updater runs: the archive sits in the directory it is extracted to.
    const QString inside = target + QStringLiteral("/update.vt");
    const QByteArray bytes = directory("d") + file("update.vt", "x") + directory("e");
    writeArchive(bytes, inside);
    VessariTar reader;
    QVERIFY(!reader.extract(inside, target));
    QCOMPARE(logEntries(),
             (QStringList{QStringLiteral("Error:  Refusing to overwrite the archive being read: "
                                         "update.vt"),
                          QStringLiteral("Error:  Error reading from archive")}));
    QCOMPARE(treeOf(target), (Tree{{"d", kDir}, {"update.vt", bytes}}));
}

void TestVessariTar::workedExampleBytes()
{
    // The 54-byte example, written out as the bytes the format defines.
    const QByteArray example = entry(0, "1.2") + directory("data") + file("data/a.txt", "hello");
    QCOMPARE(example.size(), 54);
    QCOMPARE(example.left(11), QByteArray::fromHex("0000000003000000312E32"));
    writeArchive(example);
    VessariTar reader;
    QVERIFY(reader.extract(archiveFile, target));
    QCOMPARE(treeOf(target), (Tree{{"data", kDir}, {"data/a.txt", "hello"}}));
    QCOMPARE(logEntries(), QStringList());
}

void TestVessariTar::relativeArchivePath()
{
    writeArchive(file("f", "x"));
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(caseDir));
    VessariTar reader;
    // Both names relative to the current directory, as the updater passes them.
    const bool intoOut = reader.extract(QStringLiteral("in/archive.vt"), QStringLiteral("out"));
    QVERIFY(QDir::setCurrent(target));
    const bool intoDot = reader.extract(QStringLiteral("../in/archive.vt"), QStringLiteral("./"));
    QVERIFY(QDir::setCurrent(saved));
    QVERIFY(intoOut);
    QVERIFY(intoDot);
    QCOMPARE(treeOf(target), (Tree{{"f", "x"}}));
    QCOMPARE(treeOf(caseDir + QStringLiteral("/in")), (Tree{{"archive.vt", file("f", "x")}}));
}

void TestVessariTar::argumentErrors()
{
    VessariTar reader;
    QVERIFY(!reader.extract(QString(), target));
    QVERIFY(!reader.extract(archiveFile, QString()));
    const QString missing = caseDir + QStringLiteral("/in/missing.vt");
    QVERIFY(!reader.extract(missing, target));
    QCOMPARE(logEntries(), (QStringList{QStringLiteral("Error:  archiveName is not valid"),
                                        QStringLiteral("Error:  archivePath is not valid"),
                                        QStringLiteral("Error:  Could not open file ") + missing}));
    QCOMPARE(treeOf(target), Tree());
}

void TestVessariTar::reuseOfOneReader()
{
    VessariTar reader;
    writeArchive(entry(2, ""));
    QVERIFY(!reader.extract(archiveFile, target));
    // Closed after the failure: the caller may delete it.
    QVERIFY(QFile::remove(archiveFile));
    writeArchive(directory("one"));
    QVERIFY(reader.extract(archiveFile, target));
    QVERIFY(QFile::remove(archiveFile));
    writeArchive(file("one/two", "2"));
    QVERIFY(reader.extract(archiveFile, target));
    QCOMPARE(treeOf(target), (Tree{{"one", kDir}, {"one/two", "2"}}));
    QCOMPARE(logEntries(), QStringList{QStringLiteral("Error:  Uknown entry type in archive: 2")});
}

void TestVessariTar::refusesWhileExtracting()
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

void TestVessariTar::symlinks_data()
{
    QTest::addColumn<QStringList>("links"); // pairs: link name under target, link target
    QTest::addColumn<Tree>("before");
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("refused"); // empty when the extraction must succeed
    QTest::addColumn<Tree>("inside");     // expected under the target, links excluded

    const QString out = outside;
    QTest::newRow("directory link to outside")
        << QStringList{"l", out} << Tree() << directory("l/sub") << "l/sub" << Tree();
    QTest::newRow("file under a directory link")
        << QStringList{"l", out} << Tree() << file("l/victim", "x") << "l/victim" << Tree();
    QTest::newRow("deeper under a directory link")
        << QStringList{"a/l", out} << Tree{{"a", kDir}} << directory("a/l/b/c") << "a/l/b/c"
        << Tree{{"a", kDir}};
    QTest::newRow("relative link out")
        << QStringList{"r", "../../outside"} << Tree() << file("r/new", "x") << "r/new" << Tree();
    QTest::newRow("file link to outside")
        << QStringList{"f", out + "/victim"} << Tree() << file("f", "x") << "f" << Tree();
    QTest::newRow("dangling link")
        << QStringList{"f", out + "/missing"} << Tree() << file("f", "x") << "f" << Tree();
    QTest::newRow("same directory after an earlier file")
        << QStringList{"d/f", out + "/victim"} << Tree{{"d", kDir}}
        << directory("d") + file("d/ok", "1") + file("d/f", "x") << "d/f"
        << Tree{{"d", kDir}, {"d/ok", "1"}};
    QTest::newRow("link that stays inside")
        << QStringList{"in", "real"} << Tree{{"real", kDir}} << file("in/f", "x") << QString()
        << Tree{{"real", kDir}, {"real/f", "x"}};
    QTest::newRow("file link that stays inside")
        << QStringList{"lf", "real/g"} << Tree{{"real", kDir}, {"real/g", "old"}}
        << file("lf", "new") << QString() << Tree{{"real", kDir}, {"real/g", "new"}};
}

void TestVessariTar::symlinks()
{
    QFETCH(QStringList, links);
    QFETCH(Tree, before);
    QFETCH(QByteArray, archive);
    QFETCH(QString, refused);
    QFETCH(Tree, inside);

    makeTree(target, before);
    for (qsizetype i = 0; i + 1 < links.size(); i += 2)
        QVERIFY(QFile::link(links.at(i + 1), target + QLatin1Char('/') + links.at(i)));
    writeArchive(archive);
    const Tree outsideBefore = treeOf(outside);

    VessariTar reader;
    QCOMPARE(reader.extract(archiveFile, target), refused.isEmpty());
    if (refused.isEmpty()) {
        QCOMPARE(logEntries(), QStringList());
    } else {
        QCOMPARE(logEntries(),
                 (QStringList{QStringLiteral("Error:  Refusing to extract through a symbolic link "
                                             "that leads outside the target directory: ") +
                                  refused,
                              QStringLiteral("Error:  Error reading from archive")}));
    }
    Tree onDisk = treeOf(target);
    for (auto it = onDisk.begin(); it != onDisk.end();) {
        if (it.value().startsWith("<link"))
            it = onDisk.erase(it);
        else
            ++it;
    }
    QCOMPARE(onDisk, inside);
    verifyNothingEscaped(outsideBefore);
}

void TestVessariTar::entryReadersRefuseOtherTypes()
{
    VessariTar reader;
    VessariTar::EntryHeader header{2, 0};
    QVERIFY(!reader.readVersion(header));
    QVERIFY(!reader.readDirectory(header));
    QVERIFY(!reader.readFile(header));
    QCOMPARE(logEntries(), QStringList(3, QStringLiteral("Error:  invalid entry type")));
}

void TestVessariTar::writeFailure()
{
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
    QCOMPARE(logEntries(), (QStringList{QStringLiteral("Error:  Could not write to file f"),
                                        QStringLiteral("Error:  Error reading from archive")}));
    // The partial file stays; nothing after the failing entry is extracted.
    QCOMPARE(treeOf(target), (Tree{{"f", QByteArray(1000, 'w')}}));
}

void TestVessariTar::list()
{
    writeArchive(version("1.2") + directory("data") + file("data/a.txt", "hello") +
                 entry(3, "data/cut") + entry(2, 100, "abc"));
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(target));
    QStringList seen;
    VessariTar reader;
    const bool ok = reader.list(archiveFile, [&seen](const VessariTar::EntryInfo& e) {
        seen << QStringLiteral("%1 %2 %3").arg(int(e.type)).arg(e.size).arg(e.name);
    });
    QVERIFY(QDir::setCurrent(saved));
    QVERIFY(ok);
    // Data cut short is listed with the bytes an extraction would write.
    QCOMPARE(seen, (QStringList{"0 3 1.2", "1 0 data", "3 5 data/a.txt", "3 3 data/cut"}));
    QCOMPARE(treeOf(target), Tree());
    QCOMPARE(logEntries(), QStringList());
}

void TestVessariTar::listFailsLikeExtract_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::newRow("unknown type") << directory("d") + entry(7, 0, "");
    QTest::newRow("stray bytes") << directory("d") + "xyz";
    QTest::newRow("long name") << directory(QByteArray(16385, 'n'));
    QTest::newRow("missing file data") << entry(3, "f") + version("v");
    QTest::newRow("escape") << file("../f", "x");
    QTest::newRow("negative length") << entry(3, -4, "");
    QTest::newRow("empty file path") << file("", "");
}

void TestVessariTar::listFailsLikeExtract()
{
    QFETCH(QByteArray, archive);
    writeArchive(archive);
    VessariTar reader;
    QVERIFY(!reader.list(archiveFile, [](const VessariTar::EntryInfo&) {}));
    const QStringList listed = logEntries();
    closeLog();
    QVERIFY(openLog(caseDir + QStringLiteral("/log.txt"), false));
    QVERIFY(!reader.extract(archiveFile, target));
    QCOMPARE(listed, logEntries());
    QVERIFY(!listed.isEmpty());
}

void TestVessariTar::pathSafety_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("portable");
    QTest::addColumn<bool>("windows");

    QTest::newRow("plain") << "a" << true << true;
    QTest::newRow("nested") << "a/b/c.txt" << true << true;
    QTest::newRow("backslash nested") << "a\\b" << true << true;
    QTest::newRow("dot component") << "./a/./b" << true << true;
    QTest::newRow("dots in a name") << "a..b/..c/d.." << true << false;
    QTest::newRow("latin-1") << QString::fromUtf8("\u00E9/\u00FF") << true << true;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("dot dot") << ".." << false << false;
    QTest::newRow("leading dot dot") << "../a" << false << false;
    QTest::newRow("inner dot dot") << "a/../b" << false << false;
    QTest::newRow("trailing dot dot") << "a/.." << false << false;
    QTest::newRow("backslash dot dot") << "a\\..\\b" << false << false;
    QTest::newRow("mixed dot dot") << "a/..\\b" << false << false;
    QTest::newRow("absolute") << "/x" << false << false;
    QTest::newRow("absolute backslash") << "\\x" << false << false;
    QTest::newRow("unc") << "//host/x" << false << false;
    QTest::newRow("unc backslash") << "\\\\host\\x" << false << false;
    QTest::newRow("drive relative") << "C:x" << false << false;
    QTest::newRow("drive absolute") << "c:/x" << false << false;
    QTest::newRow("drive backslash") << "C:\\x" << false << false;
    QTest::newRow("colon in first component") << "a:b/c" << false << false;
    QTest::newRow("stream in later component") << "a/b:stream" << true << false;
    QTest::newRow("device name") << "CON" << true << false;
    QTest::newRow("device name lower case") << "dir/nul" << true << false;
    QTest::newRow("device name with extension") << "aux.txt" << true << false;
    QTest::newRow("device name with space") << "PRN .txt" << true << false;
    QTest::newRow("port") << "COM1" << true << false;
    QTest::newRow("printer port") << "x/lpt9.log" << true << false;
    QTest::newRow("superscript port") << QString::fromUtf8("COM\u00B9") << true << false;
    QTest::newRow("port zero") << "COM0" << true << false;
    QTest::newRow("not a device") << "CONSOLE/COM10/nullable" << true << true;
    QTest::newRow("trailing dot") << "a./b" << true << false;
    QTest::newRow("trailing space") << "a/b " << true << false;
    QTest::newRow("trailing separator") << "a/b/" << true << true;
}

void TestVessariTar::pathSafety()
{
    QFETCH(QString, path);
    QFETCH(bool, portable);
    QFETCH(bool, windows);
    QCOMPARE(isSafeEntryPath(path, PathRules::Portable), portable);
    QCOMPARE(isSafeEntryPath(path, PathRules::Windows), windows);
}

QTEST_APPLESS_MAIN(TestVessariTar)
#include "tst_vessaritar.moc"
