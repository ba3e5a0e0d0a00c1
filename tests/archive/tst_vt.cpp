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
    std::unique_ptr<NginxServer> nginx; // for `vt update`, started by its first test

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid() && QDir().mkpath(path("dest")));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out"); // the start of stdout, then of stderr
        QTest::addColumn<QByteArray>("err");
        const auto row = [](const char* name, const QStringList& args, int code,
                            const QByteArray& out, const QByteArray& err = {}) {
            QTest::newRow(name) << args << code << out << err;
        };
        row("version", {"--version"}, 0, "vt " UPDATER_VERSION "\n");
        row("help", {"--help"}, 0, "Usage: vt COMMAND");
        row("no arguments", {}, 2, {}, "Usage: vt COMMAND");
        row("help for a command", {"help", "extract"}, 0, "Usage: vt extract FILE [-C DIR] [-v]\n");
        row("command --help", {"pack", "x", "--help"}, 0, "Usage: vt pack DIR -o FILE");
        row("pack -h follows links", {"pack", "-h"}, 2, {}, "vt: pack: expected DIR and -o FILE");
        row("unknown command", {"frob"}, 2, {}, "vt: unknown command 'frob'");
        row("option without value", {"extract", "a", "-C"}, 2, {},
            "vt: extract: Missing value after '-C'");
        // update is refused before anything is touched.
        const QString url("http://127.0.0.1:1/");
        row("update, no base URL", {"update"}, 2, {}, "vt: update: expected one BASEURL");
        row("update, negative retries", {"update", url, "--retries", "-1"}, 2, {},
            "vt: update: --retries takes a whole number");
        row("update, missing directory", {"update", url, "-C", "/nonexistent/dir"}, 1, {},
            "vt: update: /nonexistent/dir: No such file or directory");
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        const VtRun run = runVt(args, path("dest"));
        QCOMPARE(run.code, code);
        QVERIFY2(run.out.startsWith(out) && (!out.isEmpty() || run.out.isEmpty()),
                 run.out.constData());
        QVERIFY2(run.err.startsWith(err) && (!err.isEmpty() || run.err.isEmpty()),
                 run.err.constData());
        QVERIFY(!QFile::exists(path("dest/log.txt")));
    }

    void packListExtract()
    {
        const Tree tree{{"data", kDir}, {"data/a.txt", "hello"}, {"empty", kDir}, {"z", "zz"}};
        makeTree(path("src"), tree);
        // -h stores what the link points to.
        QVERIFY(QFile::link("data/a.txt", path("src/zlink")));
        VtRun run =
            runVt({"pack", path("src"), "-o", path("out.vt"), "--archive-version", "1.2", "-h"});
        QCOMPARE(run.out + run.err, QByteArray());
        QCOMPARE(run.code, 0);
        run = runVt({"list", path("out.vt")});
        QCOMPARE(run.out + run.err, QByteArray("version            3  1.2\n"
                                               "directory          0  data\n"
                                               "file               5  data/a.txt\n"
                                               "directory          0  empty\n"
                                               "file               2  z\n"
                                               "file               5  zlink\n"));
        QCOMPARE(run.code, 0);
        // Relative names, and the current directory as the default target.
        run = runVt({"extract", "-v", "../out.vt"}, path("dest"));
        QCOMPARE(run.out + run.err, QByteArray("data/\ndata/a.txt\nempty/\nz\nzlink\n"));
        QCOMPARE(run.code, 0);
        Tree extracted = tree;
        extracted.insert("zlink", "hello");
        QCOMPARE(treeOf(path("dest")), extracted);
    }

    void fromPipeAndFile()
    {
        // Control characters in a version and a backslash in a name are shown escaped.
        const QByteArray head = version("p\n\x1b[2J\x9b");
        const QByteArray archive =
            head + directory("d") + file("d/a\\b", "") + file("d/f", "piped");
        const QByteArray listing("version            7  p\\n\\033[2J\\233\n"
                                 "directory          0  d\n"
                                 "file               0  d/a\\\\b\n"
                                 "file               5  d/f\n");
        VtRun run = runVt({"list", "-"}, QString(), archive);
        QCOMPARE(run.out + run.err, listing);
        QCOMPARE(run.code, 0);
        run = runVt({"extract", "-", "-C", path("dest")}, QString(), archive);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.code, 0);
        QCOMPARE(treeOf(path("dest")), (Tree{{"d", kDir}, {"d/f", "piped"}, {"d/a\\b", ""}}));

        // Data cut short by the end of the input fails, in a pipe as in a file.
        const QByteArray cut = entry(3, "d/cut") + entry(2, 50, "only this");
        for (const QStringList& args :
             {QStringList{"list", "-"}, QStringList{"extract", "-", "-C", path("dest")}}) {
            run = runVt(args, QString(), cut);
            QCOMPARE(run.code, 1);
            QCOMPARE(logMessages(run.err, "VessariTar").last(),
                     "vt: " + args[0] + ": -: Error reading from archive");
        }
        QVERIFY(!QFileInfo::exists(path("dest/d/cut")));

        // pack writes to standard output, and into a device node rather than over it.
        run = runVt({"pack", path("dest"), "-o", "-"});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, archive.mid(head.size()));
        const QByteArray node = QFile::encodeName(path("null"));
        if (::mknod(node.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here (needs root)");
        QCOMPARE(runVt({"pack", path("dest"), "-o", path("null")}).code, 0);
        struct stat info;
        QVERIFY(::stat(node.constData(), &info) == 0 && S_ISCHR(info.st_mode));
    }

    // The log entries go to stderr (their texts are checked where they are made), and the
    // last line tells the reason.
    void failures_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<Tree>("dest");
        QTest::addColumn<int>("entries"); // log entries before the last line
        const auto row = [](const char* name, const QString& args, const QString& err,
                            const QByteArray& out = {}, const Tree& dest = {}, int entries = 0) {
            QTest::newRow(name) << args.split(' ') << err << out << dest << entries;
        };
        const QString escape = "../evil: Refusing a path that leads outside the target directory";
        row("extract, escape", "extract bad.vt -C dest", escape, {}, {{"d", kDir}}, 2);
        row("list, escape", "list bad.vt", escape, "directory          0  d\n", {}, 2);
        row("extract, blocked by a file", "extract bad.vt -C src", "a/d: Not a directory", {}, {},
            1);
        // Missing paths are named with the system's reason, whatever the command.
        const QString missing = ": No such file or directory";
        row("extract, missing directory", "extract bad.vt -C nowhere", "nowhere" + missing);
        row("extract, missing archive", "extract none.vt -C dest", "none.vt" + missing);
        row("pack, missing directory", "pack nowhere -o out.vt", "nowhere" + missing);
        row("pack, symbolic link", "pack src -o out.vt", "symbolic links are not supported: l");
        row("pack -h, link to a directory above", "pack -h src -o out.vt",
            "symbolic link loop: sub/up");
        // The text is not echoed back: one short line.
        row("pack, version text too long",
            "pack src -o out.vt --archive-version " + QString(20000, 'v'),
            "version text longer than 16384 bytes");
    }

    void failures()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, err);
        QFETCH(QByteArray, out);
        QFETCH(Tree, dest);
        QFETCH(int, entries);
        const QByteArray bad =
            args.contains("src") ? directory("a/d") : directory("d") + file("../evil", "x");
        makeTree(tmp->path(), {{"bad.vt", bad}, {"src/a", "1"}, {"src/sub", kDir}});
        QVERIFY(QFile::link(path("src/a"), path("src/l")));
        QVERIFY(QFile::link("..", path("src/sub/up")));

        const VtRun run = runVt(args, tmp->path());
        QCOMPARE(run.code, 1);
        const QStringList lines = logMessages(run.err, "VessariTar");
        QCOMPARE(lines.last(), "vt: " + args[0] + ": " + err);
        QCOMPARE(QString::fromLatin1(run.err).count(logTail("VessariTar")), entries);
        QCOMPARE(lines.size(), entries + 1);
        QCOMPARE(run.out, out);
        QCOMPARE(treeOf(path("dest")), dest);
        QVERIFY(!QFileInfo::exists(path("evil")));
        QVERIFY(!QFileInfo::exists(path("out.vt")));
    }

    // `vt update` as a script runs it, against a real nginx.
    void update_data()
    {
        QTest::addColumn<QString>("base");  // under the server's root
        QTest::addColumn<bool>("inTarget"); // run in the target rather than with -C
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("failing"); // the part that logs each failed attempt
        QTest::newRow("-C, base URL without slash") << "good" << false << 0 << "";
        QTest::newRow("current directory, with slash") << "good/" << true << 0 << "";
        QTest::newRow("404, two retries") << "missing" << false << 2 << "HTTPMessage";
        QTest::newRow("broken archive, one retry") << "broken" << false << 1 << "VessariTar";
    }

    void update()
    {
        QFETCH(QString, base);
        QFETCH(bool, inTarget);
        QFETCH(int, retries);
        QFETCH(QString, failing);
        if (!nginx) {
            makeTree(www.path(),
                     {{"good/update.vt", version("3") + directory("d") + file("d/f.txt", "new")},
                      {"broken/update.vt", directory("made") + entry(2, "orphan data")}});
            nginx = std::make_unique<NginxServer>();
            QVERIFY2(nginx->start(www.path()), qPrintable(nginx->errorString()));
        }
        const QByteArray old("old contents, longer than the new ones");
        makeTree(path("dest"), {{"d", kDir}, {"d/f.txt", old}});
        QStringList args{"update", nginx->baseUrl().toString() + base, "--retries",
                         QString::number(retries)};
        const VtRun run =
            inTarget ? runVt(args, path("dest")) : runVt(args << "-C" << path("dest"));
        Tree tree = treeOf(path("dest"));
        if (failing.isEmpty()) {
            QCOMPARE(run.code, 0);
            QCOMPARE(run.err, QByteArray());
            // The archive is gone and the log empty.
            QCOMPARE(tree, (Tree{{"d", kDir}, {"d/f.txt", "new"}, {"log.txt", ""}}));
            return;
        }
        // One log entry per attempt, in the file and echoed on stderr; the old file stays.
        QCOMPARE(run.code, 1);
        const QRegularExpression tail = logTail(failing);
        const QString err = QString::fromLocal8Bit(run.err);
        QCOMPARE(tree["log.txt"].count('\n'), retries + 1);
        QCOMPARE(QString::fromLatin1(tree["log.txt"]).count(tail), retries + 1);
        QCOMPARE(err.count(tail), retries + 1);
        QCOMPARE(err.count(QStringLiteral("trying again")), retries);
        QVERIFY2(err.trimmed().endsWith(" (see " + path("dest/log.txt") + ")"), qPrintable(err));
        QCOMPARE(tree["d/f.txt"], old);
        QCOMPARE(tree.contains("update.vt"), failing == "VessariTar");
    }
};

QTEST_GUILESS_MAIN(TestVt)
#include "tst_vt.moc"
