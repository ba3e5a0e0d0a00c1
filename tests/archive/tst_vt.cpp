#include "ArchiveBytes.h"
#include "TreeUtil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run vt(const QStringList& args, const QString& workingDirectory = QString(),
       const QByteArray& input = QByteArray())
{
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), args);
    // Fed in pieces so that the reader meets short reads on its pipe.
    if (process.waitForStarted()) {
        for (qsizetype at = 0; at < input.size(); at += 7) {
            process.write(input.mid(at, 7));
            process.waitForBytesWritten();
        }
    }
    process.closeWriteChannel();
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.code = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// Log lines on stderr without their "    File: VessariTar Line: N" tails.
QStringList logMessages(const QByteArray& err)
{
    static const QRegularExpression tail(QStringLiteral("    File: VessariTar Line: \\d+$"));
    QStringList lines;
    for (const QByteArray& line : err.split('\n')) {
        if (!line.isEmpty())
            lines << QString::fromLocal8Bit(line).remove(tail);
    }
    return lines;
}

} // namespace

class TestVt : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    QString path(const QString& name) const { return tmp->filePath(name); }

    void writeFile(const QString& name, const QByteArray& bytes)
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
    }

    void commandLine_data();
    void commandLine();
    void packListExtract();
    void extractIntoCurrentDirectory();
    void fromPipe();
    void extractFailures_data();
    void extractFailures();
    void listBrokenArchive();
    void packRefusal();
};

void TestVt::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("out"); // expected start of stdout
    QTest::addColumn<QByteArray>("err"); // expected start of stderr

    QTest::newRow("version") << QStringList{"--version"} << 0
                             << QByteArray("vt " UPDATER_VERSION "\n") << QByteArray();
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("Usage: vt COMMAND")
                          << QByteArray();
    QTest::newRow("help word") << QStringList{"help"} << 0 << QByteArray("Usage: vt COMMAND")
                               << QByteArray();
    QTest::newRow("no arguments") << QStringList() << 2 << QByteArray()
                                  << QByteArray("Usage: vt COMMAND");
    QTest::newRow("help for a command")
        << QStringList{"help", "extract"} << 0 << QByteArray("Usage: vt extract FILE [-C DIR]\n")
        << QByteArray();
    QTest::newRow("command --help") << QStringList{"pack", "x", "--help"} << 0
                                    << QByteArray("Usage: vt pack DIR -o FILE") << QByteArray();
    QTest::newRow("command -h") << QStringList{"list", "-h"} << 0
                                << QByteArray("Usage: vt list FILE\n") << QByteArray();
    QTest::newRow("unknown command")
        << QStringList{"frob"} << 2 << QByteArray() << QByteArray("vt: unknown command 'frob'");
    QTest::newRow("help for unknown") << QStringList{"help", "frob"} << 2 << QByteArray()
                                      << QByteArray("vt: unknown command 'frob'");
    QTest::newRow("pack without output") << QStringList{"pack", "dir"} << 2 << QByteArray()
                                         << QByteArray("vt: pack: expected DIR and -o FILE");
    QTest::newRow("list without file") << QStringList{"list"} << 2 << QByteArray()
                                       << QByteArray("vt: list: expected one archive FILE");
    QTest::newRow("extract with two files") << QStringList{"extract", "a", "b"} << 2 << QByteArray()
                                            << QByteArray("vt: extract: expected one archive FILE");
    QTest::newRow("unknown option") << QStringList{"extract", "--bogus", "a"} << 2 << QByteArray()
                                    << QByteArray("vt: extract: Unknown option 'bogus'");
    QTest::newRow("option without value") << QStringList{"extract", "a", "-C"} << 2 << QByteArray()
                                          << QByteArray("vt: extract: Missing value after '-C'");
}

void TestVt::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    const Run run = vt(args);
    QCOMPARE(run.code, code);
    QVERIFY2(run.out.startsWith(out), run.out.constData());
    QVERIFY2(run.err.startsWith(err), run.err.constData());
    if (out.isEmpty())
        QCOMPARE(run.out, QByteArray());
    if (err.isEmpty())
        QCOMPARE(run.err, QByteArray());
}

void TestVt::packListExtract()
{
    const Tree tree{{"data", kDir}, {"data/a.txt", "hello"}, {"empty", kDir}, {"z", "zz"}};
    makeTree(path("src"), tree);
    Run run = vt({"pack", path("src"), "-o", path("out.vt"), "--version", "1.2"});
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out + run.err, QByteArray());

    run = vt({"list", path("out.vt")});
    QCOMPARE(run.code, 0);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, QByteArray("version            3  1.2\n"
                                 "directory          0  data\n"
                                 "file               5  data/a.txt\n"
                                 "directory          0  empty\n"
                                 "file               2  z\n"));

    QVERIFY(QDir().mkpath(path("dest")));
    run = vt({"extract", path("out.vt"), "-C", path("dest")});
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out + run.err, QByteArray());
    QCOMPARE(treeOf(path("dest")), tree);
}

void TestVt::extractIntoCurrentDirectory()
{
    writeFile("a.vt", ArchiveBytes::directory("d") + ArchiveBytes::file("d/f", "x"));
    QVERIFY(QDir().mkpath(path("here")));
    const Run run = vt({"extract", "../a.vt"}, path("here"));
    QCOMPARE(run.code, 0);
    QCOMPARE(treeOf(path("here")), (Tree{{"d", kDir}, {"d/f", "x"}}));
}

void TestVt::fromPipe()
{
    using namespace ArchiveBytes;
    const QByteArray archive = version("p") + directory("d") + file("d/f", "piped data") +
                               entry(3, "d/cut") + entry(2, 50, "only this");
    Run run = vt({"list", "/dev/stdin"}, QString(), archive);
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, QByteArray("version            1  p\n"
                                 "directory          0  d\n"
                                 "file              10  d/f\n"
                                 "file               9  d/cut\n"));
    QVERIFY(QDir().mkpath(path("dest")));
    run = vt({"extract", "/dev/stdin", "-C", path("dest")}, QString(), archive);
    QCOMPARE(run.code, 0);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(treeOf(path("dest")),
             (Tree{{"d", kDir}, {"d/f", "piped data"}, {"d/cut", "only this"}}));

    run = vt({"extract", "/dev/stdin", "-C", path("dest")}, QString(), directory("e") + "\1\2\3");
    QCOMPARE(run.code, 1);
    QCOMPARE(logMessages(run.err).first(), QStringLiteral("Error:  Error reading from archive"));
}

void TestVt::extractFailures_data()
{
    using namespace ArchiveBytes;
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<Tree>("after");

    QTest::newRow("unknown type") << directory("d") + entry(2, "x")
                                  << QStringList{"Error:  Uknown entry type in archive: 2",
                                                 "vt: extract: extraction of a.vt failed"}
                                  << Tree{{"d", kDir}};
    QTest::newRow("missing file data")
        << entry(3, "f") + directory("d")
        << QStringList{"Warning:  Expecting a file data entry.  Read this type instead: 1",
                       "Error:  Error reading from archive",
                       "vt: extract: extraction of a.vt failed"}
        << Tree();
    QTest::newRow("escape") << file("../evil", "x")
                            << QStringList{"Error:  Refusing a path that leads outside the target "
                                           "directory: ../evil",
                                           "Error:  Error reading from archive",
                                           "vt: extract: extraction of a.vt failed"}
                            << Tree();
}

void TestVt::extractFailures()
{
    QFETCH(QByteArray, archive);
    QFETCH(QStringList, messages);
    QFETCH(Tree, after);
    writeFile("a.vt", archive);
    QVERIFY(QDir().mkpath(path("dest")));
    const Run run = vt({"extract", "a.vt", "-C", "dest"}, tmp->path());
    QCOMPARE(run.code, 1);
    QCOMPARE(logMessages(run.err), messages);
    QCOMPARE(treeOf(path("dest")), after);
    QVERIFY(!QFileInfo::exists(path("evil")));
}

void TestVt::listBrokenArchive()
{
    using namespace ArchiveBytes;
    writeFile("a.vt", directory("d") + entry(1, 20000, ""));
    Run run = vt({"list", path("a.vt")});
    QCOMPARE(run.code, 1);
    QCOMPARE(run.out, QByteArray("directory          0  d\n"));
    QCOMPARE(
        logMessages(run.err),
        (QStringList{"Error:  Directory name is too long", "Error:  Error reading from archive",
                     "vt: list: " + path("a.vt") + " is not a valid archive"}));

    run = vt({"extract", path("missing.vt")});
    QCOMPARE(run.code, 1);
    QCOMPARE(logMessages(run.err).first(), "Error:  Could not open file " + path("missing.vt"));
    run = vt({"extract", path("a.vt"), "-C", path("nowhere")});
    QCOMPARE(run.code, 1);
    QCOMPARE(run.err, "vt: extract: no such directory: " + path("nowhere").toLocal8Bit() + "\n");
}

void TestVt::packRefusal()
{
    makeTree(path("src"), {{"a", "1"}});
    QVERIFY(QFile::link(path("src/a"), path("src/l")));
    const Run run = vt({"pack", path("src"), "-o", path("out.vt")});
    QCOMPARE(run.code, 1);
    QCOMPARE(run.err, QByteArray("vt: pack: symbolic links are not supported: l\n"));
    QVERIFY(!QFileInfo::exists(path("out.vt")));
}

QTEST_APPLESS_MAIN(TestVt)
#include "tst_vt.moc"
