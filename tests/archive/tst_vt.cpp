#include "ArchiveBytes.h"
#include "TestFiles.h"
#include "UpdateIndex.h"
#include "VtRun.h"

#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace ArchiveBytes;

class TestVt : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    QString path(const QString& name) const { return tmp->filePath(name); }

private slots:
    void init() { tmp = std::make_unique<QTemporaryDir>(); }

    void commands_data()
    {
        QTest::addColumn<QStringList>("args");
        // "exit N", stderr with each log entry as "~", "--", stdout: all of it when ending a line,
        // else its start.
        QTest::addColumn<QByteArray>("shown");
        const auto row = [](const char* name, const QString& args, const QByteArray& shown) {
            QTest::newRow(name) << args.split(' ', Qt::SkipEmptyParts) << shown;
        };
        row("version", "--version", "exit 0\n--\nvt " UPDATER_VERSION "\n");
        row("help", "--help", "exit 0\n--\nUsage: vt COMMAND");
        row("no arguments", "", "exit 2\nUsage: vt COMMAND");
        row("help for a command", "help extract",
            "exit 0\n--\nUsage: vt extract FILE [-C DIR] [-v]");
        row("command --help", "pack x --help", "exit 0\n--\nUsage: vt pack DIR -o FILE");
        row("index --help", "index --help", "exit 0\n--\nUsage: vt index FILE [-o OUT]");
        row("index, no file", "index",
            "exit 2\nvt: index: expected one FILE; see 'vt help index'\n--\n");
        row("index, standard input", "index - -o x",
            "exit 2\nvt: index: FILE must be a file, not standard input\n--\n");
        row("index, missing archive", "index none.vt",
            "exit 1\nvt: index: none.vt: No such file or directory\n--\n");
        // Refused as the reader refuses it, nothing written.
        row("index, escape", "index bad.vt",
            "exit 1\nvt: index: bad.vt: at byte 11: Refusing a path that leads outside the target "
            "directory: ../evil\n--\n");
        row("unknown command", "frob", "exit 2\nvt: unknown command 'frob'");
        row("option without value", "extract a -C",
            "exit 2\nvt: extract: Missing value after '-C'");
        // update is refused before anything is touched.
        row("update, no base URL", "update", "exit 2\nvt: update: expected one BASEURL");
        row("update, negative retries", "update http://127.0.0.1:1/ --retries -1",
            "exit 2\nvt: update: --retries takes a whole number");
        row("update, missing directory", "update http://127.0.0.1:1/ -C nowhere",
            "exit 1\nvt: update: nowhere: No such file or directory\n--\n");

        // The reader's log entries go to stderr, and the last line tells the reason.
        row("extract, escape", "extract bad.vt -C dest",
            "exit 1\n~\n~\nvt: extract: ../evil: Refusing a path that leads outside the target "
            "directory\n--\n");
        row("extract, blocked by a file", "extract bad.vt -C src",
            "exit 1\n~\nvt: extract: a/d: Not a directory\n--\n");
        row("extract, missing directory", "extract bad.vt -C nowhere",
            "exit 1\nvt: extract: nowhere: No such file or directory\n--\n");
        row("pack, symbolic link", "pack src -o out.vt",
            "exit 1\nvt: pack: symbolic links are not supported: l\n--\n");
        row("pack -h, link to a directory above", "pack -h src -o out.vt",
            "exit 1\nvt: pack: symbolic link loop: sub/up\n--\n");
        // The text is not echoed back: one short line.
        row("pack, version text too long",
            "pack src -o out.vt --archive-version " + QString(20000, 'v'),
            "exit 1\nvt: pack: version text longer than 16384 bytes\n--\n");

        // From a pipe, fed in short pieces: control characters and backslashes are
        // shown escaped; data cut short by the end of the input fails.
        row("list -", "list -",
            "exit 1\n~\n~\nvt: list: -: Error reading from archive\n--\n"
            "version            7  p\\n\\033[2J\\233\ndirectory          0  d\n"
            "file               5  d/a\\\\b\n");
    }

    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, shown);
        makeTree(tmp->path(), {{"bad.vt", directory("a/d") + file("../evil", "x")},
                               {"dest", kDir},
                               {"src/a", "1"},
                               {"src/sub", kDir}});
        QVERIFY(QFile::link(path("src/a"), path("src/l")) && QFile::link("..", path("src/sub/up")));

        const QByteArray pipe = version("p\n\x1b[2J\x9b") + directory("d") +
                                file("d/a\\b", "piped") + entry(3, "cut") +
                                entry(2, "only this", 50);
        const VtRun run = runVt(args, tmp->path(), args.contains("-") ? pipe : QByteArray());
        const QRegularExpression entry("^.*" + logTail("VessariTar").pattern() + "\n",
                                       QRegularExpression::MultilineOption);
        const QByteArray got = "exit " + QByteArray::number(run.code) + "\n" +
                               QString::fromLocal8Bit(run.err).replace(entry, "~\n").toLocal8Bit() +
                               "--\n" + run.out;
        QVERIFY2(shown.endsWith('\n') ? got == shown : got.startsWith(shown), got.constData());
        QVERIFY(!QFileInfo::exists(path("evil")) && !QFileInfo::exists(path("log.txt")));
        QVERIFY(!QFileInfo::exists(path("bad.vt.index")) && !QFileInfo::exists(path("x")));
    }

    void index_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("index"); // the file expected to hold out.vt's index
        QTest::addColumn<QStringList>("absent");
        QTest::newRow("pack") << QStringList{"pack", "src", "-o", "out.vt"} << "out.vt.index"
                              << QStringList();
        QTest::newRow("pack --no-index") << QStringList{"pack", "src", "--no-index", "-o", "out.vt"}
                                         << QString() << QStringList{"out.vt.index"};
        QTest::newRow("index") << QStringList{"index", "out.vt"} << "out.vt.index" << QStringList();
        QTest::newRow("index -o") << QStringList{"index", "out.vt", "-o", "sub/i"} << "sub/i"
                                  << QStringList{"out.vt.index"};
        QTest::newRow("index over the archive")
            << QStringList{"index", "out.vt", "-o", "out.vt"} << QString() << QStringList();
        QTest::newRow("index into a directory")
            << QStringList{"index", "out.vt", "-o", "sub"} << QString() << QStringList();
    }

    void index()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, index);
        QFETCH(QStringList, absent);
        makeTree(tmp->path(),
                 {{"src/d/a", "hello"}, {"src/big", bytePattern(400000)}, {"sub", kDir}});
        // The archive a plain pack writes, for the index commands.
        const QByteArray archive = runVt({"pack", "src", "--no-index", "-o", "-"}, tmp->path()).out;
        if (args.first() == "index")
            QVERIFY(writeFile(path("out.vt"), archive));
        const VtRun run = runVt(args, tmp->path());
        QCOMPARE(run.code, index.isEmpty() && args.first() == "index" ? 1 : 0);
        QCOMPARE(readFile(path("out.vt")), archive);
        for (const QString& name : absent)
            QVERIFY2(!QFileInfo::exists(path(name)), qPrintable(name));
        if (index.isEmpty())
            return;
        UpdateIndex expected;
        QVERIFY(UpdateIndex::build(path("out.vt"), expected));
        QCOMPARE(expected.entries.size(), 3u);
        QCOMPARE(readFile(path(index)), expected.serialize());
        QVERIFY(run.out.isEmpty() && run.err.isEmpty());
    }

    void indexKeepsOldOnFailure()
    {
        // A broken archive leaves an existing index as it was; to standard
        // output the index is the whole output, the same bytes every time.
        makeTree(tmp->path(),
                 {{"bad.vt", file("a", "1") + "xyz"}, {"bad.vt.index", "old"}, {"src/a", "1"}});
        const VtRun broken = runVt({"index", "bad.vt"}, tmp->path());
        QCOMPARE(broken.err, "vt: index: bad.vt: at byte 18: Error reading from archive\n");
        QCOMPARE(readFile(path("bad.vt.index")), "old");
        QCOMPARE(runVt({"pack", "src", "-o", "one.vt"}, tmp->path()).code, 0);
        QCOMPARE(runVt({"pack", "src", "-o", "two.vt"}, tmp->path()).code, 0);
        const QByteArray one = readFile(path("one.vt.index"));
        QCOMPARE(readFile(path("two.vt.index")), one);
        QCOMPARE(runVt({"index", "one.vt", "-o", "-"}, tmp->path()).out, one);
        UpdateIndex parsed;
        QVERIFY(UpdateIndex::parse(one, parsed));
        QCOMPARE(parsed.archiveSize, readFile(path("one.vt")).size());
    }

    void packListExtract()
    {
        // What a run printed, then how it ended, as one text.
        const auto shown = [](const VtRun& run) {
            return run.out + run.err + "exit " + QByteArray::number(run.code);
        };
        makeTree(tmp->path(), {{"dest", kDir}, {"src/data/a.txt", "hello"}});
        // -h stores what the link points to.
        QVERIFY(QFile::link("data/a.txt", path("src/zlink")));
        const QStringList pack{"pack", path("src"), "--archive-version", "1.2", "-h", "-o"};
        QCOMPARE(shown(runVt(pack + QStringList(path("out.vt")))), "exit 0");
        const QByteArray archive = readFile(path("out.vt"));
        QCOMPARE(archive, version("1.2") + directory("data") + file("data/a.txt", "hello") +
                              file("zlink", "hello"));
        // From a pipe, into the current directory by default.
        QCOMPARE(shown(runVt({"extract", "-v", "-"}, path("dest"), archive)),
                 "data/\ndata/a.txt\nzlink\nexit 0");
        QCOMPARE(treeOf(path("dest")),
                 (Tree{{"data", kDir}, {"data/a.txt", "hello"}, {"zlink", "hello"}}));

        // The same bytes to standard output, and into a device node rather than over it.
        QCOMPARE(shown(runVt(pack + QStringList("-"))), archive + "exit 0");
        const QByteArray node = QFile::encodeName(path("null"));
        if (::mknod(node.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here (needs root)");
        QCOMPARE(shown(runVt(pack + QStringList(path("null")))), "exit 0");
        QVERIFY(QFileInfo::exists(path("null")) && !QFileInfo(path("null")).isFile());
    }
};

QTEST_GUILESS_MAIN(TestVt)
#include "tst_vt.moc"
