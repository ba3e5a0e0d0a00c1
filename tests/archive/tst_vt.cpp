#include "ArchiveBytes.h"
#include "NginxServer.h"
#include "TreeUtil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace ArchiveBytes;

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

// Lines on stderr, log entries without their "    File: VessariTar Line: N" tails.
QStringList errorLines(const QByteArray& err)
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
    QTemporaryDir www;
    std::unique_ptr<NginxServer> nginx; // for `vt update`, started by its first test

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        QVERIFY(QDir().mkpath(path("dest")));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out"); // expected start of stdout
        QTest::addColumn<QByteArray>("err"); // expected start of stderr
        const auto row = [](const char* name, const QStringList& args, int code,
                            const QByteArray& out, const QByteArray& err = QByteArray()) {
            QTest::newRow(name) << args << code << out << err;
        };
        row("version", {"--version"}, 0, "vt " UPDATER_VERSION "\n");
        row("help", {"--help"}, 0, "Usage: vt COMMAND");
        row("no arguments", {}, 2, {}, "Usage: vt COMMAND");
        row("help for a command", {"help", "extract"}, 0, "Usage: vt extract FILE [-C DIR] [-v]\n");
        row("command --help", {"pack", "x", "--help"}, 0, "Usage: vt pack DIR -o FILE");
        row("pack -h follows links, not help", {"pack", "-h"}, 2, {},
            "vt: pack: expected DIR and -o FILE");
        row("unknown command", {"frob"}, 2, {}, "vt: unknown command 'frob'");
        row("pack without output", {"pack", "dir"}, 2, {}, "vt: pack: expected DIR and -o FILE");
        row("option without value", {"extract", "a", "-C"}, 2, {},
            "vt: extract: Missing value after '-C'");
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        const Run run = vt(args);
        QCOMPARE(run.code, code);
        QVERIFY2(run.out.startsWith(out) && (!out.isEmpty() || run.out.isEmpty()),
                 run.out.constData());
        QVERIFY2(run.err.startsWith(err) && (!err.isEmpty() || run.err.isEmpty()),
                 run.err.constData());
    }

    void packListExtract()
    {
        const Tree tree{{"data", kDir}, {"data/a.txt", "hello"}, {"empty", kDir}, {"z", "zz"}};
        makeTree(path("src"), tree);
        // -h stores what the link points to.
        QVERIFY(QFile::link(QStringLiteral("data/a.txt"), path("src/zlink")));
        Run run = vt({"pack", path("src"), "-o", path("out.vt"), "--archive-version", "1.2", "-h"});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out + run.err, QByteArray());

        run = vt({"list", path("out.vt")});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out + run.err, QByteArray("version            3  1.2\n"
                                               "directory          0  data\n"
                                               "file               5  data/a.txt\n"
                                               "directory          0  empty\n"
                                               "file               2  z\n"
                                               "file               5  zlink\n"));

        // Relative names, and the current directory as the default target.
        run = vt({"extract", "-v", "../out.vt"}, path("dest"));
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out + run.err, QByteArray("data/\ndata/a.txt\nempty/\nz\nzlink\n"));
        Tree extracted = tree;
        extracted.insert(QStringLiteral("zlink"), "hello");
        QCOMPARE(treeOf(path("dest")), extracted);
    }

    void fromPipeAndFile()
    {
        // Control characters in a version and a backslash in a name are shown escaped.
        const QByteArray archive = version("p\n\x1b[2J\x9b") + directory("d") + file("d/a\\b", "") +
                                   file("d/f", "piped data");
        const QByteArray listing("version            7  p\\n\\033[2J\\233\n"
                                 "directory          0  d\n"
                                 "file               0  d/a\\\\b\n"
                                 "file              10  d/f\n");
        Run run = vt({"list", "-"}, QString(), archive);
        QCOMPARE(run.out + run.err, listing);
        QCOMPARE(run.code, 0);
        // A file is skipped through rather than read, with the same result.
        makeTree(tmp->path(), {{"a.vt", archive}});
        run = vt({"list", path("a.vt")});
        QCOMPARE(run.out + run.err, listing);
        run = vt({"extract", "-", "-C", path("dest")}, QString(), archive);
        QCOMPARE(run.code, 0);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(treeOf(path("dest")), (Tree{{"d", kDir}, {"d/f", "piped data"}, {"d/a\\b", ""}}));

        // Data cut short by the end of the input fails, in a pipe as in a file.
        const QByteArray cut = entry(3, "d/cut") + entry(2, 50, "only this");
        for (const QString& command : {QStringLiteral("list"), QStringLiteral("extract")}) {
            run = vt(QStringList{command, "-"} +
                         (command == "list" ? QStringList() : QStringList{"-C", path("dest")}),
                     QString(), cut);
            QCOMPARE(run.code, 1);
            QCOMPARE(errorLines(run.err).last(),
                     "vt: " + command + ": -: Error reading from archive");
        }
        QVERIFY(!QFileInfo::exists(path("dest/d/cut")));

        // pack writes to standard output, and into a device node rather than over it.
        run = vt({"pack", path("dest"), "-o", "-"});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, archive.mid(version("p\n\x1b[2J\x9b").size()));
        const QByteArray node = QFile::encodeName(path("null"));
        if (::mknod(node.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here (needs root)");
        QCOMPARE(vt({"pack", path("dest"), "-o", path("null")}).code, 0);
        struct stat info;
        QVERIFY(::stat(node.constData(), &info) == 0 && S_ISCHR(info.st_mode));
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("err");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<Tree>("dest");

        const QStringList refused{
            "Error:  Refusing a path that leads outside the target directory: ../evil",
            "Error:  Error reading from archive"};
        const QString why = "../evil: Refusing a path that leads outside the target directory";
        QTest::newRow("extract, escape")
            << QStringList{"extract", "bad.vt", "-C", "dest"}
            << refused + QStringList{"vt: extract: " + why} << QByteArray() << Tree{{"d", kDir}};
        QTest::newRow("list, broken archive")
            << QStringList{"list", "bad.vt"} << refused + QStringList{"vt: list: " + why}
            << QByteArray("directory          0  d\n") << Tree();
        // Missing paths are named with the system's reason, whatever the command.
        const auto missing = [](const QString& command, const QString& what) {
            return QStringList{
                QStringLiteral("vt: %1: %2: No such file or directory").arg(command, what)};
        };
        // The generic entry alone in the log; the last line tells the reason.
        QTest::newRow("extract, directory blocked by a file")
            << QStringList{"extract", "bad.vt", "-C", "src"}
            << QStringList{"Error:  Error reading from archive",
                           "vt: extract: a/d: Not a directory"}
            << QByteArray() << Tree();
        QTest::newRow("extract, missing directory")
            << QStringList{"extract", "bad.vt", "-C", "nowhere"} << missing("extract", "nowhere")
            << QByteArray() << Tree();
        QTest::newRow("extract, missing archive")
            << QStringList{"extract", "none.vt", "-C", "dest"} << missing("extract", "none.vt")
            << QByteArray() << Tree();
        QTest::newRow("list, missing archive")
            << QStringList{"list", "none.vt"} << missing("list", "none.vt") << QByteArray()
            << Tree();
        QTest::newRow("pack, missing directory")
            << QStringList{"pack", "nowhere", "-o", "out.vt"} << missing("pack", "nowhere")
            << QByteArray() << Tree();
        QTest::newRow("pack, symbolic link")
            << QStringList{"pack", "src", "-o", "out.vt"}
            << QStringList{"vt: pack: symbolic links are not supported: l"} << QByteArray()
            << Tree();
        QTest::newRow("pack -h, link to a directory above")
            << QStringList{"pack", "-h", "src", "-o", "out.vt"}
            << QStringList{"vt: pack: symbolic link loop: sub/up"} << QByteArray() << Tree();
        // The text is not echoed back: one short line.
        QTest::newRow("pack, version text too long")
            << QStringList{"pack",
                           "src",
                           "-o",
                           "out.vt",
                           "--archive-version",
                           QString(20000, QLatin1Char('v'))}
            << QStringList{"vt: pack: version text longer than 16384 bytes"} << QByteArray()
            << Tree();
    }

    void failures()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, err);
        QFETCH(QByteArray, out);
        QFETCH(Tree, dest);
        const QByteArray bad =
            args.contains("src") ? directory("a/d") : directory("d") + file("../evil", "x");
        makeTree(tmp->path(), {{"bad.vt", bad}, {"src/a", "1"}, {"src/sub", kDir}});
        QVERIFY(QFile::link(path("src/a"), path("src/l")));
        QVERIFY(QFile::link(QStringLiteral(".."), path("src/sub/up")));

        const Run run = vt(args, tmp->path());
        QCOMPARE(run.code, 1);
        QCOMPARE(errorLines(run.err), err);
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
        QTest::newRow("404, no retries") << "missing" << false << 0 << "HTTPMessage";
        QTest::newRow("404, two retries") << "missing/" << false << 2 << "HTTPMessage";
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
        makeTree(path("dest"), {{"d/f.txt", old}});
        QStringList args{"update", nginx->baseUrl().toString() + base, "--retries",
                         QString::number(retries)};
        const Run run = inTarget ? vt(args, path("dest")) : vt(args << "-C" << path("dest"));
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
        const QRegularExpression tail("    File: " + failing + " Line: \\d+$",
                                      QRegularExpression::MultilineOption);
        const QString err = QString::fromLocal8Bit(run.err);
        QCOMPARE(tree["log.txt"].count('\n'), retries + 1);
        QCOMPARE(QString::fromLatin1(tree["log.txt"]).count(tail), retries + 1);
        QCOMPARE(err.count(tail), retries + 1);
        QCOMPARE(err.count(QStringLiteral("trying again")), retries);
        QVERIFY2(err.trimmed().endsWith(" (see " + path("dest/log.txt") + ")"), qPrintable(err));
        QCOMPARE(tree["d/f.txt"], old);
        QCOMPARE(tree.contains("update.vt"), failing == "VessariTar");
    }

    void updateRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        const QString url("http://127.0.0.1:1/");
        QTest::newRow("no base URL") << QStringList{"update"} << 2 << "expected one BASEURL";
        QTest::newRow("negative retries") << QStringList{"update", url, "--retries", "-1"} << 2
                                          << "--retries takes a whole number";
        QTest::newRow("retries not a number") << QStringList{"update", url, "--retries", "x"} << 2
                                              << "--retries takes a whole number";
        QTest::newRow("missing directory") << QStringList{"update", url, "-C", "/nonexistent/dir"}
                                           << 1 << "/nonexistent/dir: No such file or directory";
    }

    void updateRefused()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, message);
        const Run run = vt(args, path("dest"));
        QCOMPARE(run.code, code);
        QVERIFY2(run.err.startsWith("vt: update: " + message.toUtf8()), run.err.constData());
        // Refused before anything was touched.
        QVERIFY(!QFile::exists(path("dest/log.txt")));
    }
};

QTEST_GUILESS_MAIN(TestVt)
#include "tst_vt.moc"
