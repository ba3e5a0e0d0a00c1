#include "ArchiveBytes.h"
#include "ChildProcess.h"
#include "TestFiles.h"
#include "TestTimeouts.h"
#include "VtRun.h"

#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace ArchiveBytes;

class TestVt : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    QString path(const QString& name) const { return tmp->filePath(name); }

    // The game before the update, and the update, which replaces, adds and makes
    // directories.
    const Tree oldGame{{"d/f1", "old1"}, {"d/e", kDir}, {"keep", "k"}, {"run", "#!old"}};
    QByteArray update() const
    {
        QByteArray archive = directory("d");
        for (int i = 1; i <= 6; ++i)
            archive += file("d/f" + QByteArray::number(i), "new" + QByteArray::number(i));
        return archive + directory("n/m") + file("n/m/z", "z") + file("run", "#!new") +
               file("added", "a");
    }

    // snapshotOf without the times: a new file's time tells nothing.
    static QStringList contents(const QString& root)
    {
        return snapshotOf(root, false)
            .replaceInStrings(QRegularExpression("^(\\S+ \\d+) \\S+"), "\\1");
    }

    // Starts vt extract ARCHIVE -C DIR, which stops itself at point (see StagedUpdate).
    static bool startStopped(ChildProcess& child, const QByteArray& point, const QString& archive,
                             const QString& dir)
    {
        qputenv("VT_TEST_STOP", point);
        const bool started =
            child.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), {"extract", archive, "-C", dir});
        qunsetenv("VT_TEST_STOP");
        return started && child.waitForStopped(scaledTimeout(60000));
    }

    static bool hasStaged(const QString& dir)
    {
        return !QDir(dir).entryList({".vt-*"}, QDir::Files | QDir::Hidden).isEmpty();
    }

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
    }

    // A run killed at each point leaves, once the next run on the folder has started, the
    // whole old tree or the whole new one, and nothing staged.
    void killed_data()
    {
        QTest::addColumn<QByteArray>("point");
        QTest::addColumn<QString>("next");
        QTest::addColumn<bool>("completed");
        const auto row = [](const char* name, const char* point, const char* next, bool done) {
            QTest::newRow(name) << QByteArray(point) << QString(next) << done;
        };
        row("during staging", "staging", "extract", false);
        row("after the journal", "journal", "extract", true);
        row("midway through the commit", "commit", "extract", true);
        row("after the renames", "committed", "extract", true);
        row("during staging, then vt update", "staging", "update", false);
        row("midway through the commit, then vt update", "commit", "update", true);
    }

    void killed()
    {
        QFETCH(QByteArray, point);
        QFETCH(QString, next);
        QFETCH(bool, completed);
        const QString dir = path("game"), reference = path("reference");
        makeTree(dir, oldGame);
        makeTree(reference, oldGame);
        QVERIFY(writeFile(path("new.vt"), update()) && writeFile(path("empty.vt"), ""));
        QCOMPARE(runVt({"extract", path("new.vt"), "-C", reference}).code, 0);
        const QStringList old = snapshotOf(dir, false);

        ChildProcess child;
        QVERIFY(startStopped(child, point, path("new.vt"), dir));
        child.signal(SIGKILL);
        QVERIFY(child.waitForFinished(scaledTimeout(60000)));
        QVERIFY(hasStaged(dir));

        // vt update fails its download, after the recovery.
        const VtRun run = next == "extract" ? runVt({"extract", path("empty.vt"), "-C", dir})
                                            : runVt({"update", "http://127.0.0.1:1/", "-C", dir});
        QCOMPARE(run.code, next == "extract" ? 0 : 1);
        QVERIFY2(logMessages(run.err, "StagedUpdate")
                     .contains(completed ? "Info:  An interrupted update was completed"
                                         : "Info:  An unfinished update was discarded"),
                 run.err.constData());
        QFile::remove(dir + "/log.txt");
        QVERIFY(!hasStaged(dir));
        if (completed)
            QCOMPARE(contents(dir), contents(reference));
        else
            QCOMPARE(snapshotOf(dir, false), old);
    }

    // A second run on a folder being updated waits a moment, then fails; the first then
    // completes unharmed.
    void twoRunsAtOnce()
    {
        const QString dir = path("game"), reference = path("reference");
        makeTree(dir, oldGame);
        makeTree(reference, oldGame);
        QVERIFY(writeFile(path("new.vt"), update()) &&
                writeFile(path("other.vt"), file("d/f1", "other") + file("other", "o")));
        QCOMPARE(runVt({"extract", path("new.vt"), "-C", reference}).code, 0);

        ChildProcess first;
        QVERIFY(startStopped(first, "staging", path("new.vt"), dir));
        const VtRun second = runVt({"extract", path("other.vt"), "-C", dir});
        QCOMPARE(second.code, 1);
        QVERIFY2(second.err.endsWith("vt: extract: " + QFile::encodeName(dir) +
                                     ": another update of this directory is still running\n"),
                 second.err.constData());
        first.signal(SIGCONT);
        QVERIFY(first.waitForFinished(scaledTimeout(60000)));
        QCOMPARE(first.exitCode(), 0);
        QVERIFY(!hasStaged(dir));
        QCOMPARE(contents(dir), contents(reference));
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
