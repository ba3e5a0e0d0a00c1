#include "ArchiveBytes.h"
#include "NginxServer.h"
#include "TestFiles.h"
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
    QTemporaryDir www;
    NginxServer nginx; // serves www for `vt update`

private slots:
    void initTestCase()
    {
        makeTree(www.path(),
                 {{"good/update.vt", version("3") + directory("d") + file("d/f.txt", "new")},
                  {"broken/update.vt", directory("made") + entry(2, "orphan data")}});
        QVERIFY2(nginx.start(www.path()), qPrintable(nginx.errorString()));
    }

    void init() { tmp = std::make_unique<QTemporaryDir>(); }

    void commands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        // stdout, then stderr without the log entries: all of it when ending a line, else its
        // start.
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("entries"); // log entries on stderr
        const auto row = [](const char* name, const QString& args, int code, const QByteArray& out,
                            const QByteArray& err = {}, int entries = 0) {
            QTest::newRow(name) << args.split(' ', Qt::SkipEmptyParts) << code << out << err
                                << entries;
        };
        row("version", "--version", 0, "vt " UPDATER_VERSION "\n");
        row("help", "--help", 0, "Usage: vt COMMAND");
        row("no arguments", "", 2, {}, "Usage: vt COMMAND");
        row("help for a command", "help extract", 0, "Usage: vt extract FILE [-C DIR] [-v]");
        row("command --help", "pack x --help", 0, "Usage: vt pack DIR -o FILE");
        row("unknown command", "frob", 2, {}, "vt: unknown command 'frob'");
        row("option without value", "extract a -C", 2, {}, "vt: extract: Missing value after '-C'");
        // update is refused before anything is touched.
        row("update, no base URL", "update", 2, {}, "vt: update: expected one BASEURL");
        row("update, negative retries", "update http://127.0.0.1:1/ --retries -1", 2, {},
            "vt: update: --retries takes a whole number");
        row("update, missing directory", "update http://127.0.0.1:1/ -C nowhere", 1, {},
            "vt: update: nowhere: No such file or directory\n");

        // The reader's log entries go to stderr, and the last line tells the reason.
        const QByteArray escape =
            "../evil: Refusing a path that leads outside the target directory\n";
        row("extract, escape", "extract bad.vt -C dest", 1, {}, "vt: extract: " + escape, 2);
        row("extract, blocked by a file", "extract bad.vt -C src", 1, {},
            "vt: extract: a/d: Not a directory\n", 1);
        row("extract, missing directory", "extract bad.vt -C nowhere", 1, {},
            "vt: extract: nowhere: No such file or directory\n");
        row("pack, symbolic link", "pack src -o out.vt", 1, {},
            "vt: pack: symbolic links are not supported: l\n");
        row("pack -h, link to a directory above", "pack -h src -o out.vt", 1, {},
            "vt: pack: symbolic link loop: sub/up\n");
        // The text is not echoed back: one short line.
        row("pack, version text too long",
            "pack src -o out.vt --archive-version " + QString(20000, 'v'), 1, {},
            "vt: pack: version text longer than 16384 bytes\n");

        // From a pipe, fed in short pieces: control characters and backslashes are
        // shown escaped; data cut short by the end of the input fails.
        row("list -", "list -", 1,
            "version            7  p\\n\\033[2J\\233\ndirectory          0  d\n"
            "file               5  d/a\\\\b\n",
            "vt: list: -: Error reading from archive\n", 2);
    }

    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(int, entries);
        makeTree(tmp->path(), {{"bad.vt", directory("a/d") + file("../evil", "x")},
                               {"dest", kDir},
                               {"src/a", "1"},
                               {"src/sub", kDir}});
        QVERIFY(QFile::link(path("src/a"), path("src/l")) && QFile::link("..", path("src/sub/up")));

        const QByteArray pipe = version("p\n\x1b[2J\x9b") + directory("d") +
                                file("d/a\\b", "piped") + entry(3, "cut") +
                                entry(2, 50, "only this");
        const VtRun run = runVt(args, tmp->path(), args.contains("-") ? pipe : QByteArray());
        const auto holds = [](const QByteArray& got, const QByteArray& want) {
            return want.endsWith('\n') ? got == want
                                       : got.startsWith(want) && got.isEmpty() == want.isEmpty();
        };
        QCOMPARE(run.code, code);
        QVERIFY2(holds(run.out, out), run.out.constData());
        QString rest = QString::fromLocal8Bit(run.err);
        const QRegularExpression entry("^.*" + logTail("VessariTar").pattern() + "\n",
                                       QRegularExpression::MultilineOption);
        QCOMPARE(rest.count(entry), entries);
        QVERIFY2(holds(rest.remove(entry).toLocal8Bit(), err), run.err.constData());
        QVERIFY(!QFileInfo::exists(path("evil")) && !QFileInfo::exists(path("log.txt")));
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

    // `vt update` as a script runs it, in the target, against a real nginx.
    void update_data()
    {
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("failing"); // the source file that logs each failed attempt
        // Named for the base URL.
        QTest::newRow("good") << 0 << "";
        QTest::newRow("missing/") << 1 << "HTTPMessage";
        QTest::newRow("broken") << 0 << "VessariTar";
    }

    void update()
    {
        QFETCH(int, retries);
        QFETCH(QString, failing);
        const QByteArray old("old contents, longer than the new ones");
        makeTree(path("dest"), {{"d/f.txt", old}});
        const VtRun run = runVt({"update", nginx.baseUrl().toString() + QTest::currentDataTag(),
                                 "--retries", QString::number(retries)},
                                path("dest"));
        Tree tree = treeOf(path("dest"));
        // One log entry per attempt, in the file and echoed on stderr; the old file stays.
        const int entries = failing.isEmpty() ? 0 : retries + 1;
        QCOMPARE(run.code, entries ? 1 : 0);
        QCOMPARE(tree["log.txt"].count('\n'), entries);
        QCOMPARE(QString::fromLatin1(run.err).count(logTail(failing)), entries);
        QVERIFY2(entries ? run.err.endsWith(" (see ./log.txt)\n") : run.err.isEmpty(),
                 run.err.constData());
        QCOMPARE(tree["d/f.txt"], entries ? old : "new");
        // The archive is kept only after a failed extraction.
        QCOMPARE(tree.contains("update.vt"), failing == "VessariTar");
    }
};

QTEST_GUILESS_MAIN(TestVt)
#include "tst_vt.moc"
