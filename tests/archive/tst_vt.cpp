#include "ArchiveBytes.h"
#include "ChildProcess.h"
#include "MinisignTool.h"
#include "TestFiles.h"
#include "TestTimeouts.h"
#include "UpdateIndex.h"
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
        row("index, no file", "index",
            "exit 2\nvt: index: expected one FILE; see 'vt help index'\n--\n");
        row("index, standard input", "index - -o x",
            "exit 2\nvt: index: FILE must be a file, not standard input; see 'vt help "
            "index'\n--\n");
        row("index, missing archive", "index none.vt",
            "exit 1\nvt: index: none.vt: No such file or directory\n--\n");
        // Refused as the reader refuses it, nothing written.
        row("index, escape", "index bad.vt",
            "exit 1\nvt: index: bad.vt: at byte 11: Refusing a path that leads outside the target "
            "directory: ../evil\n--\n");
        row("unknown command", "frob", "exit 2\nvt: unknown command 'frob'");
        // Usage errors: the option as typed, and where to read more.
        row("option without value", "extract a -C",
            "exit 2\nvt: extract: option '-C' needs a value; see 'vt help extract'\n--\n");
        row("long option without value", "pack src --output",
            "exit 2\nvt: pack: option '--output' needs a value; see 'vt help pack'\n--\n");
        row("unknown long option", "list --bogus x",
            "exit 2\nvt: list: unknown option '--bogus'; see 'vt help list'\n--\n");
        row("unknown short option", "list -qx x", "exit 2\nvt: list: unknown option '-q';");
        // A BASEURL without a scheme is a usage error in the user's words, not Qt's.
        row("update, no scheme", "update 127.0.0.1:18093 -C .",
            "exit 2\nvt: update: BASEURL '127.0.0.1:18093' has no scheme: expected "
            "http://HOST[:PORT]/PATH");
        row("one-letter long option", "list --q x", "exit 2\nvt: list: unknown option '--q';");
        row("value for a flag", "pack src -o out.vt --no-index=1",
            "exit 2\nvt: pack: option '--no-index' takes no value; see 'vt help pack'\n--\n");
        row("verify, both keys", "verify a -p k -P k",
            "exit 2\nvt: verify: give -p or -P, not both; see 'vt help verify'\n--\n");
        row("verify, no key", "verify a",
            "exit 2\nvt: verify: no public key; give -p PUBKEYFILE or -P KEY; see 'vt help "
            "verify'\n--\n");
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
        // Not an archive at all: the reader's entry, then one line that says so (extract ends
        // through the same report as list).
        row("list, not an archive", "list notes.txt",
            "exit 1\n~\nvt: list: notes.txt: does not look like an update archive\n--\n");
        row("list, shorter than a header", "list short.vt",
            "exit 1\n~\nvt: list: short.vt: does not look like an update archive\n--\n");
        // An archive cut short after its first entry is one, just broken.
        row("list, cut after an entry", "list cut.vt",
            "exit 1\n~\nvt: list: cut.vt: Error reading from archive\n--\n"
            "directory          0  d\n");
        // Empty is valid, but said.
        row("list, empty", "list empty.vt", "exit 0\nvt: list: empty.vt: empty archive\n--\n");
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
            "file               5  d/a\\\\b\nfile               0  d/\\23331mc1\n");
        // Each name as the listing shows it, once it is written.
        row("extract -v -", "extract -v - -C dest",
            "exit 1\n~\n~\nvt: extract: -: Error reading from archive\n--\n"
            "d/\nd/a\\\\b\nd/\\23331mc1\n");
    }

    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, shown);
        makeTree(tmp->path(), {{"bad.vt", directory("a/d") + file("../evil", "x")},
                               {"notes.txt", "Release notes\n"},
                               {"short.vt", "ab"},
                               {"cut.vt", directory("d") + "ab"},
                               {"empty.vt", ""},
                               {"dest", kDir},
                               {"src/a", "1"},
                               {"src/sub", kDir}});
        QVERIFY(QFile::link(path("src/a"), path("src/l")) && QFile::link("..", path("src/sub/up")));

        const QByteArray pipe = version("p\n\x1b[2J\x9b") + directory("d") +
                                file("d/a\\b", "piped") +
                                file("d/\x9b"
                                     "31mc1",
                                     "") +
                                entry(3, "cut") + entry(2, "only this", 50);
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

    // The signature of vt verify comes from wherever the user points: a link, a FIFO, a pipe,
    // standard input. What never ends or is no file is refused without reading it all.
    void verifySignatureSources_data()
    {
        QTest::addColumn<QString>("script"); // run by bash in the row's directory, $VT the vt
        // "exit N", stderr, "--", stdout: all of it when ending a line, else its start
        QTest::addColumn<QByteArray>("shown");
        const auto row = [](const char* name, const QString& sig, const QByteArray& shown,
                            const QString& before = {}) {
            QTest::newRow(name) << before + "\"$VT\" verify update.vt -p key.pub " + sig << shown;
        };
        const QByteArray valid = "exit 0\n--\nupdate.vt: valid signature by key ",
                         unreadable = "exit 1\nvt: verify: ";
        row("beside the file", "", valid);
        row("symbolic link", "-x link.minisig", valid,
            "ln -s sigs/update.vt.minisig link.minisig;");
        row("standard input", "-x /dev/stdin < update.vt.minisig", valid);
        row("pipe", "-x /dev/stdin", valid, "cat update.vt.minisig |");
        row("FIFO", "-x fifo", valid, "mkfifo fifo && { cat update.vt.minisig > fifo & };");
        row("altered, from a pipe", "-x <(sed 's/^trusted comment: /&x/' update.vt.minisig)",
            "exit 1\nvt: verify: The trusted comment of the update's signature was altered");
        row("dangling link", "-x none",
            unreadable + "none: cannot read the signature: No such file or directory\n--\n",
            "ln -s nowhere none;");
        row("endless pipe", "-x <(yes)", unreadable + "/dev/fd/");
        row("endless device", "-x /dev/zero",
            unreadable + "/dev/zero: cannot read the signature: larger than 16384 bytes\n--\n");
        row("directory", "-x sigs",
            unreadable + "sigs: cannot read the signature: Is a directory\n--\n");
        row("empty pipe", "-x /dev/stdin < /dev/null",
            "exit 1\nvt: verify: /dev/stdin: not a minisign signature\n--\n");
        row("garbage", "-x garbage", "exit 1\nvt: verify: garbage: not a minisign signature\n--\n",
            "echo garbage > garbage;");

        // The signing time as a date, in UTC whatever the zone.
        QTest::newRow("signed at")
            << "set -o pipefail; minisign -S -s key.sec -m update.vt -x dated -t "
               "\"$(printf 'timestamp:1796631249\\tfile:update.vt')\" > /dev/null && "
               "TZ=Asia/Tokyo \"$VT\" verify update.vt -p key.pub -x dated | sed 's/key "
               "[0-9A-F]*/key K/'"
            << QByteArray("exit 0\n--\nupdate.vt: valid signature by key K, signed at 2026-12-07 "
                          "08:14:09 UTC\n");
        // What is wrong with the key, the file or the signature, and the system's reason (each
        // way a key is broken: tst_signature's parsers()).
        const auto other = [](const char* name, const QString& args, const QByteArray& shown) {
            QTest::newRow(name) << "\"$VT\" verify " + args << "exit 1\nvt: verify: " + shown;
        };
        other("key file missing", "update.vt -p nosuch.pub",
              "nosuch.pub: No such file or directory\n--\n");
        other("key file of garbage", "update.vt -p update.vt",
              "update.vt: not a minisign public key");
        // The file, not its signature, is what is missing.
        other("file missing", "nope.vt -p key.pub", "nope.vt: No such file or directory\n--\n");
        other("file is a directory", "sigs -p key.pub -x update.vt.minisig",
              "sigs: Is a directory\n--\n");
    }

    void verifySignatureSources()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, shown);
        if (!MinisignTool::available())
            QSKIP("needs minisign (scripts/setup.sh installs it)");
        QVERIFY(writeFile(path("update.vt"), version("1.0")) && QDir(tmp->path()).mkdir("sigs"));
        QVERIFY(MinisignTool::makeKey(tmp->path(), "key") &&
                MinisignTool::sign(path("key.sec"), path("update.vt")) &&
                QFile::copy(path("update.vt.minisig"), path("sigs/update.vt.minisig")));

        QProcess bash;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VT", UPDATER_BUILD_DIR "/vt");
        bash.setProcessEnvironment(env);
        bash.setWorkingDirectory(tmp->path());
        bash.start("bash", {"-c", script});
        QVERIFY(bash.waitForFinished(60000) && bash.exitStatus() == QProcess::NormalExit);
        const QByteArray got = "exit " + QByteArray::number(bash.exitCode()) + "\n" +
                               bash.readAllStandardError() + "--\n" + bash.readAllStandardOutput();
        QVERIFY2(shown.endsWith('\n') ? got == shown : got.startsWith(shown), got.constData());
        QVERIFY(!QFileInfo::exists(path("log.txt")));
    }

    // A run killed at each point leaves, once the next run on the folder has started, the
    // whole old tree or the whole new one, and nothing staged. vt update recovers as extract
    // does, before its download.
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
