#include "ArchiveBytes.h"
#include "ArchiveWriter.h"
#include "Log.h"
#include "PathSafety.h"
#include "StagedUpdate.h"
#include "TestFiles.h"
#include "VessariTar.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace ArchiveBytes;

class TestArchive : public QObject
{
    Q_OBJECT

    QTemporaryDir suite;
    const QString caseDir = suite.filePath("case"), archiveFile = caseDir + "/in/archive.vt",
                  target = caseDir + "/out", outside = suite.filePath("outside");

    QStringList logged() const { return logMessages(readFile(caseDir + "/log.txt"), "VessariTar"); }

    // Plants a tree written as "d/ d/f=text l->target": a directory ends in "/", a file has its
    // contents after "=" and its permission bits after "@" unless they are 644, a symbolic link
    // its target after "->". Contents "<fifo>", "<device>", "<2GiB>" (sparse) and "<hard:PATH>"
    // (a hard link to PATH in the suite directory) are planted as what they name.
    void plant(const QString& layout, const QString& root = {})
    {
        const QString target = root.isEmpty() ? this->target : root;
        for (const QString& item : layout.split(' ', Qt::SkipEmptyParts)) {
            const QString name = item.section(QRegularExpression("->|=|/$"), 0, 0);
            const QByteArray path = QFile::encodeName(target + '/' + name),
                             value = item.mid(name.size()).toUtf8(),
                             bits = value.split('@').value(1);
            if (value.startsWith("->"))
                QCOMPARE(::symlink(value.mid(2), path), 0);
            else if (value.startsWith("=<hard:"))
                QCOMPARE(::link(suite.filePath(value.mid(7).chopped(1)).toUtf8(), path), 0);
            else if (value == "=<fifo>")
                QCOMPARE(::mkfifo(path, 0666), 0);
            else if (value == "=<device>")
                QCOMPARE(::mknod(path, S_IFCHR | 0666, makedev(1, 3)), 0);
            else if (value == "=<2GiB>")
                QVERIFY(writeFile(path, "") && QFile::resize(path, qint64(1) << 31));
            else
                makeTree(target, {{name, value == "/" ? kDir : value.mid(1).split('@').first()}});
            if (!bits.isEmpty())
                QCOMPARE(::chmod(path, bits.toUInt(nullptr, 8)), 0);
        }
    }

    // The target as plant() takes it, in path order, links with their absolute targets.
    QString onDisk(const QString& root = {}) const
    {
        const QString target = root.isEmpty() ? this->target : root;
        const Tree tree = treeOf(target);
        QStringList items;
        for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
            struct stat info;
            ::lstat(QFile::encodeName(target + '/' + it.key()), &info);
            if (S_ISDIR(info.st_mode))
                items << it.key() + '/';
            else if (S_ISLNK(info.st_mode))
                items << it.key() + "->" + it.value().mid(6).chopped(1);
            else
                items << it.key() + '=' + QString::fromLatin1(it.value()) +
                             ((info.st_mode & 07777) == 0644
                                  ? QString()
                                  : '@' + QString::number(info.st_mode & 07777, 8));
        }
        return items.join(' ');
    }

    // Sets every entry under root, and root, to one old modification time, so that a change
    // shows whatever the clock's resolution.
    static void ageTree(const QString& root)
    {
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        QStringList paths;
        while (it.hasNext())
            paths << it.next();
        for (const QString& path : paths + QStringList(root))
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), old,
                                 AT_SYMLINK_NOFOLLOW),
                     0);
    }

    // The archive's entries, a File entry with its data, each as an archive of its own.
    static QList<QByteArray> entriesOf(const QByteArray& archive)
    {
        QList<QByteArray> entries;
        qsizetype at = 0;
        while (at + 8 <= archive.size()) {
            const qsizetype start = at;
            for (int part = 0; part < 2 && at + 8 <= archive.size(); ++part) {
                const qint32 type = qFromLittleEndian<qint32>(archive.constData() + at);
                at += 8 + qMax(0, qFromLittleEndian<qint32>(archive.constData() + at + 4));
                if (type != 3)
                    break;
            }
            entries << archive.mid(start, at - start);
        }
        return entries;
    }

private slots:
    void init()
    {
        // rm walks paths longer than the system's limit, which one row makes.
        QProcess::execute("rm", {"-rf", caseDir});
        QDir(outside).removeRecursively();
        makeTree(caseDir, {{"in", kDir}, {"out", kDir}});
        makeTree(outside, {{"victim", "keep"}});
        QVERIFY(openLog(caseDir + "/log.txt", false));
        ::umask(022);
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void cleanup() { closeLog(); }

    void extract_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QStringList>("log"); // empty exactly when the extraction succeeds
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("before");
        const auto row = [](const QByteArray& name, const QByteArray& archive,
                            const QStringList& log, const QString& after,
                            const QString& before = {}) {
            QTest::newRow(name.constData()) << archive << log << after << before;
        };
        const QString kReadError = "Error:  Error reading from archive";
        // A failure logs its own message and then the reader's generic one.
        const auto failing = [&](const QString& text) {
            return QStringList{"Error:  " + text, kReadError};
        };
        const QStringList readError = failing("Error reading from archive");

        row("worked example",
            QByteArray::fromHex("00000000 03000000 312E32 01000000 04000000 64617461 03000000 "
                                "0A000000 646174612F612E747874 02000000 05000000 68656C6C6F"),
            {}, "data/ data/a.txt=hello");
        // Data cut over an old file and a file in a missing directory: allOrNothing's rows.
        row("7 stray bytes", directory("d") + QByteArray(7, '\1'), {kReadError}, "");

        // Names and versions of up to 16384 bytes; a zero byte ends a name early.
        const QByteArray pad = "d" + QByteArray(1, '\0') + QByteArray(16382, 'x');
        row("names 16384",
            version(QByteArray(16384, 'v')) + directory(pad) + file("e" + pad.mid(1), "x"), {},
            "d/ e=x");
        row("dir 16385", directory(pad + "x"), failing("Directory name is too long"), "");
        row("file 16385", file(pad + "x", "x"), failing("File name is too long"), "");
        row("version 16385", version(QByteArray(16385, 'v')), failing("version is too long"), "");

        row("data length <= 0, parents made, old kept",
            file("e", "") + entry(3, "n") + entry(2, "", -5) + directory("d") + file("d/x", "1") +
                directory("p/q/r"),
            {}, "d/ d/x=1 d/y=2 e= n= p/ p/q/ p/q/r/", "e=old d/ d/y=2");
        row("type -1", directory("a") + file("a/x", "1") + entry(-1, ""),
            {"Error:  Uknown entry type in archive: -1"}, "");
        row("path cut short", entry(1, "abc", 10), readError, "");
        row("data header cut", entry(3, "f") + QByteArray("\x02\x00", 2), readError, "");
        row("file, version", entry(3, "f") + version("1"),
            {"Warning:  Expecting a file data entry.  Read this type instead: 0", kReadError}, "");
        row("dir -1", entry(1, "", -1), failing("Directory name has a negative length: -1"), "");
        row("file min", entry(3, "", std::numeric_limits<qint32>::min()),
            failing("File name has a negative length: -2147483648"), "");
        row("empty directory path", directory(""), {kReadError}, "");
        row("empty file path", file("", "x"), failing("Could not create file "), "");
        // The names of the staging files are not the archive's to write: a planted journal
        // would be carried out by the next run.
        row("a journal", directory("d") + file(".vt-abc.journal", "x"),
            failing("Could not create file .vt-abc.journal"), "");
        row("a temporary", file(".vt-abc-1.tmp", "x"),
            failing("Could not create file .vt-abc-1.tmp"), "");
        row("a stage record as directory", directory("d/.vt-0.stage/e"), {kReadError}, "");
        row("names like them", file(".vt-abc.journal.txt", "1") + file(".vt-a-b.tmp", "2"), {},
            ".vt-a-b.tmp=2 .vt-abc.journal.txt=1");
        row("dir in the way", file("d", "x"), failing("Could not create file d"), "d/", "d/");
        row("versions, latin-1, dots, double /",
            version("anything \xFF") + version("") + entry(0, "", -7) + directory("./s//t/") +
                file("s/./t//f", "y") + file("caf\xE9", "l"),
            {}, "caf\u00E9=l s/ s/t/ s/t/f=y");

        // The format stores no permissions: scripts and programs must stay runnable, and a
        // replaced file keeps its bits but the set-id ones.
        row("programs, old bits",
            file("e", "\177ELF") + file("s", "#!/bin/sh") + file("z", "") + file("p", "new"), {},
            "e=\177ELF@755 p=new@750 s=#!/bin/sh@755 z=", "p=old@6750");
        // A write past the file size limit fails as on a full disk: no partial file is left,
        // the old one stays, and nothing after it is made.
        const QByteArray big = file("f", QByteArray(20000, 'w')) + directory("after");
        row("disk full, new file", big, failing("Could not write to file f"), "");
        row("disk full, old kept", big, failing("Could not write to file f"), "f=old", "f=old");

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
            row("directory " + path, directory("first") + directory(path), refused, "");
            row("file " + path, file(path, "x"), refused, "");
        }

        // A link planted under the target may be followed only while it stays inside; a
        // hard link, FIFO or device in a file's place is replaced, never written through. A
        // file through a directory link: allOrNothing's "link out".
        const QString viaLink = "Refusing to extract through a symbolic link that leads outside "
                                "the target directory: ";
        const QString out = "->" + outside;
        row("dir link out", directory("l/sub"), failing(viaLink + "l/sub"), "l" + out, "l" + out);
        row("relative link", directory("a/l/b/c"), failing(viaLink + "a/l/b/c"), "a/ a/l" + out,
            "a/ a/l->../../../outside");
        row("file link out", file("f", "x"), failing(viaLink + "f"), "f" + out + "/victim",
            "f" + out + "/victim");
        row("links inside", file("in/f", "x") + file("lf", "new"), {},
            "in->" + target + "/real lf->" + target + "/real/g real/ real/f=x real/g=new",
            "real/ real/g=old in->real lf->real/g");
        row("hard link out, fifo", file("f", "new") + file("p", "new"), {}, "f=new p=new",
            "f=<hard:outside/victim> p=<fifo>");
        row("device", file("f", "new"), {}, "f=new", "f=<device>");
        // As the updater runs, the archive sits in the directory it is extracted to.
        const QByteArray update = directory("d") + file("update.vt", "x");
        row("archive in the target", update,
            failing("Refusing to overwrite the archive being read: update.vt"),
            "update.vt=" + QString::fromLatin1(update), "update.vt=<hard:case/in/archive.vt>");
        // After "d/f" the directory moves away and a link to outside takes its name: the
        // reader keeps writing into the directory it opened. (A directory the run makes is
        // hidden under a temporary name until the commit, so d is there before.)
        row("d swapped for a link",
            directory("d") + file("d/f", "new") + file("d/g", "2") + directory("d/s") +
                file("d/s/h", "3"),
            {}, "d" + out + " moved/ moved/f=new moved/g=2 moved/s/ moved/s/h=3", "d/");
    }

    void extract()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        QFETCH(QString, before);
        if (before.contains("<device>") && ::geteuid() != 0)
            QSKIP("making a device node needs root");
        QVERIFY(writeFile(archiveFile, archive));
        plant(before);

        VessariTar reader;
        // Listing makes the same checks up to the disk: it fails with the same log
        // entries, or succeeds silently where only writing can fail.
        const bool listed = reader.list(archiveFile, [](const VessariTar::EntryInfo&) {});
        const QStringList listLog = logged();
        QCOMPARE(listLog, listed ? QStringList() : log);
        int entries = 0;
        reader.setProgressHandler([&](qint64, qint64) {
            // A call from inside a run is refused and leaves the run alone.
            QVERIFY(!reader.extract(archiveFile, target) && !reader.list(archiveFile, {}));
            if (++entries == 2 && qstrcmp(QTest::currentDataTag(), "d swapped for a link") == 0) {
                QVERIFY(QFile::rename(target + "/d", target + "/moved"));
                QVERIFY(QFile::link(outside, target + "/d"));
            }
        });
        rlimit saved, limited{16384, RLIM_INFINITY};
        QCOMPARE(::prlimit(0, RLIMIT_FSIZE, &limited, &saved), 0);
        const bool ok = reader.extract(archiveFile, target);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(ok, log.isEmpty());
        QCOMPARE(logged().mid(listLog.size()), log);
        QCOMPARE(reader.errorString().isEmpty(), log.isEmpty());
        if (log.value(0).contains("Could not write"))
            QCOMPARE(reader.errorString(), "f: File too large");
        QCOMPARE(onDisk(), after);
        // Nothing may appear beside the case directory (escapes land there), outside stays
        // as it was, and the archive is never deleted or altered.
        QCOMPARE(
            QDir(suite.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({"case", "outside"}));
        QCOMPARE(treeOf(outside), (Tree{{"victim", "keep"}}));
        QCOMPARE(treeOf(caseDir + "/in"), (Tree{{"archive.vt", archive}}));
    }

    // Failures part-way: the target is left exactly as it was, its directories' times
    // included, with nothing staged left behind.
    void allOrNothing_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("log");
        const QString kReadError = "Error:  Error reading from archive";
        const QString old = "keep=k old=o@750 s=#!old@755 d/ d/x=1 d/e/ l->d";
        // New directories, new files, replaced files and a file through a link first.
        const QByteArray staged = directory("d/new/deep") + file("d/new/deep/f", "n") +
                                  file("old", "replaced") + file("l/x", "via link") +
                                  file("top", "t") + file("s", "script");
        const auto row = [&](const char* name, const QByteArray& tail, const QStringList& log) {
            QTest::newRow(name) << staged + tail << old << log;
        };
        row("unknown type at entry 8", entry(9, ""), {"Error:  Uknown entry type in archive: 9"});
        row("cut data in the last file", entry(3, "d/x") + entry(2, "abc", 10),
            {kReadError, kReadError});
        row("refused path", directory("p/q") + file("../escape", "x"),
            {"Error:  Refusing a path that leads outside the target directory: ../escape",
             kReadError});
        row("link out", file("out/victim", "x"),
            {"Error:  Refusing to extract through a symbolic link that leads outside the target "
             "directory: out/victim",
             kReadError});
        // The file size limit is set to 16384 bytes, as for the other table.
        row("disk full", directory("z") + file("z/big", QByteArray(20000, 'w')),
            {"Error:  Could not write to file z/big", kReadError});
        // A later entry sees what the update staged, as it would see it on disk.
        row("file, then a directory there", file("n", "1") + directory("n"), {kReadError});
        row("directory, then a file there", directory("m") + file("m", "1"),
            {"Error:  Could not create file m", kReadError});
        row("file, then a file under it", file("n", "1") + file("n/b", "2"),
            {"Error:  Could not create file n/b", kReadError});
        row("missing directory", file("d/none/f", "1"),
            {"Error:  Could not create file d/none/f", kReadError});
    }

    void allOrNothing()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, before);
        QFETCH(QStringList, log);
        plant(before + " out->" + outside);
        ageTree(target);
        QVERIFY(writeFile(archiveFile, archive));
        const QStringList was = snapshotOf(target);

        VessariTar reader;
        rlimit saved, limited{16384, RLIM_INFINITY};
        QCOMPARE(::prlimit(0, RLIMIT_FSIZE, &limited, &saved), 0);
        const bool ok = reader.extract(archiveFile, target);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(!ok);
        QCOMPARE(logged(), log);
        QCOMPARE(snapshotOf(target), was);
        QCOMPARE(treeOf(outside), (Tree{{"victim", "keep"}}));
        // The next run finds nothing to complete or discard.
        QVERIFY(writeFile(archiveFile, "") && reader.extract(archiveFile, target));
        QCOMPARE(logged(), log);
        QCOMPARE(snapshotOf(target), was);
    }

    // The space check comes before anything is written, from the archive's headers: a
    // sparse archive announces more than the file system holds.
    void spaceShortfall()
    {
        plant("old=o d/");
        ageTree(target);
        const QStringList was = snapshotOf(target);
        struct statvfs fs;
        QCOMPARE(::statvfs(QFile::encodeName(target).constData(), &fs), 0);
        const qint64 block = qint64(fs.f_frsize), largest = 0x7FFFFFFF;
        const qint64 bigFiles = qint64(fs.f_bavail) * block / largest + 2;
        {
            QFile out(archiveFile);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file("d/small", "1") + entry(3, "big"));
            for (qint64 i = 0; i < bigFiles; ++i) {
                out.write(entry(2, "", largest));
                QVERIFY(out.seek(out.pos() + largest));
                if (i + 1 < bigFiles)
                    out.write(entry(3, "big"));
            }
            QVERIFY(out.resize(out.pos()));
        }
        const qint64 needed = block + bigFiles * ((largest + block - 1) / block * block);
        VessariTar reader;
        QVERIFY(!reader.extract(archiveFile, target));
        const QStringList got = logged();
        QCOMPARE(got.size(), 1);
        const QRegularExpressionMatch match =
            QRegularExpression("^Error:  Not enough free space in " +
                               QRegularExpression::escape(target) +
                               ": (\\d+) bytes needed, (\\d+) bytes free$")
                .match(got.first());
        QVERIFY2(match.hasMatch(), qPrintable(got.first()));
        QCOMPARE(match.captured(1).toLongLong(), needed);
        QVERIFY(match.captured(2).toLongLong() < needed);
        QVERIFY(reader.errorString().contains("not enough free space"));
        QCOMPARE(snapshotOf(target), was);
    }

    // A successful run gives what applying its entries one by one gives.
    void sameAsOneByOne_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("openFiles"); // a lower descriptor limit, 0 for none
        const auto row = [](const char* name, const QByteArray& archive, const QString& before = {},
                            int openFiles = 0) {
            QTest::newRow(name) << archive << before << openFiles;
        };
        // A path written twice, shorter and then longer.
        row("script, then text", file("s", "#!/bin/sh") + file("s", "text"));
        row("text, then script", file("t", "text") + file("t", "#!/bin/sh"));
        row("old bits through two writes", file("p", "1") + file("p", "22"), "p=old@750");
        row("fifo, then twice", file("f", "#!1") + file("f", "2"), "f=<fifo>");
        row("through a link, twice", file("lf", "1") + file("real/g", "2") + file("lf", "3"),
            "real/ lf->real/g");
        row("new directory, file twice",
            directory("n/m") + file("n/m/x", "1") + file("n/m/x", "22") + directory("n/m"));
        QByteArray many;
        for (int i = 0; i < 40; ++i) {
            const QByteArray dir = "dir" + QByteArray::number(i);
            many +=
                directory(dir) + file(dir + "/f", dir) + file("top" + QByteArray::number(i), dir);
        }
        // Beyond the directories kept open, the rest are found again by path.
        row("more directories than descriptors kept", many + file("dir0/f", "again"), "dir3/f=old",
            64);
        // Deeper than /proc shows a path.
        QByteArray deep;
        for (int i = 0; i < 20; ++i)
            deep += (i ? "/" : "") + QByteArray(250, char('a' + i));
        row("path of 5000 bytes",
            directory(deep) + file(deep + "/f", "1") + file(deep + "/f", "2"));
    }

    void sameAsOneByOne()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, before);
        QFETCH(int, openFiles);
        const QString reference = caseDir + "/reference";
        QVERIFY(QDir().mkpath(reference));
        plant(before);
        plant(before, reference);
        VessariTar reader;
        for (const QByteArray& one : entriesOf(archive)) {
            QVERIFY(writeFile(archiveFile, one));
            QVERIFY(reader.extract(archiveFile, reference));
        }
        QVERIFY(writeFile(archiveFile, archive));
        rlimit saved, limited{rlim_t(openFiles), RLIM_INFINITY};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        limited.rlim_max = saved.rlim_max;
        if (openFiles)
            QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limited), 0);
        const bool ok = reader.extract(archiveFile, target);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY2(ok, qPrintable(reader.errorString()));
        QCOMPARE(logged(), QStringList());
        QCOMPARE(onDisk(), onDisk(reference).replace(reference, target));
    }

    // The staging layer on its own, as a caller without an archive uses it: "w PATH=TEXT"
    // stages a file, "rm PATH" a removal; the run is committed or abandoned.
    void stagedUpdate_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("commit");
        QTest::addColumn<QString>("after"); // with commit false: as before, times included
        const auto row = [](const char* name, const QString& before, const QString& steps,
                            bool commit, const QString& after) {
            QTest::newRow(name) << before << steps.split(',') << commit << after;
        };
        row("remove a file", "a=1 b=2", "rm a", true, "b=2");
        row("remove, then write", "a=1", "rm a,w a=new", true, "a=new");
        row("write, then remove", "a=1", "w n/a=new,rm n/a,rm a", true, "n/");
        row("remove a link, not where it leads", "real=1 l->real", "rm l", true, "real=1");
        row("remove an empty directory", "e/ f=1", "rm e,rm missing", true, "f=1");
        row("write with bits, replace keeping them", "old=o@700", "w x=1@755,w old=2@644", true,
            "old=2@700 x=1@755");
        row("abandoned", "a=1 d/ d/b=2 l->d", "w a=2,w d/n/c=3,rm d/b,w l/b=4,w new=5", false, "");
    }

    void stagedUpdate()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, steps);
        QFETCH(bool, commit);
        QFETCH(QString, after);
        plant(before);
        ageTree(target);
        const QStringList was = snapshotOf(target);
        {
            StagedUpdate update;
            QVERIFY(update.open(target));
            for (const QString& step : steps) {
                int error = 0;
                const QString path = step.mid(step.indexOf(' ') + 1).section('=', 0, 0);
                if (step.startsWith("rm ")) {
                    QCOMPARE(update.stageRemoval(path, error), StagedUpdate::Outcome::Done);
                    continue;
                }
                const QString value = step.section('=', 1), bits = value.section('@', 1);
                const QByteArray text = value.section('@', 0, 0).toUtf8();
                const int slash = path.lastIndexOf('/');
                if (slash > 0)
                    QCOMPARE(update.makeDirectory(path.left(slash), error),
                             StagedUpdate::Outcome::Done);
                StagedUpdate::File file;
                QCOMPARE(update.resolveFile(path, file, error), StagedUpdate::Outcome::Done);
                QVERIFY(update.createFile(file, bits.isEmpty() ? 0666 : bits.toUInt(nullptr, 8),
                                          error));
                QCOMPARE(::write(file.fd(), text.constData(), size_t(text.size())),
                         ssize_t(text.size()));
                QVERIFY(update.finishFile(file, error));
            }
            // Before the commit only directories and the hidden staging files are new.
            const QRegularExpression files("^(?!(\\S*/)?\\.vt-)\\S+ (?!40)");
            QCOMPARE(snapshotOf(target).filter(files), was.filter(files));
            if (commit)
                QVERIFY(update.commit());
        }
        if (commit)
            QCOMPARE(onDisk(), after);
        else
            QCOMPARE(snapshotOf(target), was);
        QCOMPARE(logged(), QStringList());
    }

    void misuse()
    {
        VessariTar reader;
        VessariTar::EntryHeader header{2, 0};
        QVERIFY(!reader.extract(QString(), target) && !reader.extract(archiveFile, QString()) &&
                !reader.extract(archiveFile, target) && !reader.readVersion(header) &&
                !reader.readDirectory(header) && !reader.readFile(header));
        QCOMPARE(logged(), QStringList({"archiveName is not valid", "archivePath is not valid",
                                        "Could not open file " + archiveFile, "invalid entry type",
                                        "invalid entry type", "invalid entry type"})
                               .replaceInStrings(QRegularExpression("^"), "Error:  "));
    }

    void pathSafety_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("windows");
        QTest::newRow("nested") << "a/b\\c.txt" << true;
        QTest::newRow("dots in a name") << "a..b/..c/d.." << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("stream in later component") << "a/b:stream" << false;
        QTest::newRow("device name, space, extension") << "prn .txt" << false;
        QTest::newRow("port") << "x/lpt9.log" << false;
        QTest::newRow("superscript port") << QString::fromUtf8("COM\u00B9") << false;
        QTest::newRow("not a device") << "CONSOLE/COM10/nullable" << true;
        QTest::newRow("trailing space") << "a/b " << false;
    }

    void pathSafety()
    {
        QFETCH(QString, path);
        QFETCH(bool, windows);
        // Only the empty path is refused on every system.
        QCOMPARE(isSafeEntryPath(path, PathRules::Portable), !path.isEmpty());
        QCOMPARE(isSafeEntryPath(path, PathRules::Windows), windows);
    }

    void packExactBytes()
    {
        const QByteArray blob = bytePattern(700000); // over many copy chunks
        // Made in an order neither sorted nor reversed, so that the order on disk is no help.
        plant(QString::fromUtf8(
            "A=1 a/ a.txt=t a/z= a/e/ .hidden=h caf\u00E9/ caf\u00E9/\u00FF\u00A0x\\=l"));
        QVERIFY(writeFile(target + "/b", blob));
        // Version first; Latin-1 names in byte order; a directory's contents right after it.
        const QByteArray expected = version("v1") + file(".hidden", "h") + file("A", "1") +
                                    directory("a") + directory("a/e") + file("a/z", "") +
                                    file("a.txt", "t") + file("b", blob) + directory("caf\xE9") +
                                    file("caf\xE9/\xFF\xA0x\\", "l");
        // Packing again over the archive replaces it with the same bytes.
        for (int i = 0; i < 2; ++i) {
            QVERIFY(packDirectory(target, archiveFile, {true, "v1", false, {}}, nullptr));
            QCOMPARE(readFile(archiveFile), expected);
        }
    }

    void packRefusals_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const QString& before, const QString& message) {
            QTest::newRow(name) << before << message;
        };
        row("fifo", "sub/fifo=<fifo>", "not a regular file or directory: sub/fifo");
        row("non-latin-1 name", QString::fromUtf8("sub/\u0436=x"),
            QString::fromUtf8("name not representable in Latin-1: sub/\u0436"));
        row("colon", "a:b=x", "name that extraction would refuse: a:b");
        row("file of 2 GiB", "sub/z=<2GiB>", "file too large (2 GiB or more): sub/z");
        row("non-latin-1 version", "", "version text not representable in Latin-1");
        row("output inside through a link", "../in/alias->" + target + "/sub",
            "is inside the directory being packed");
        row("source not a directory", "", "/a: Not a directory");
    }

    void packRefusals()
    {
        QFETCH(QString, before);
        QFETCH(QString, message);
        plant("a=first sub/ sub/y=last " + before);
        // The rows on the version, the output and the source are told by their message.
        const QString version = message.startsWith("version") ? "\u20AC1" : "",
                      dir = target + (message.endsWith("Not a directory") ? "/a" : ""),
                      output = message.startsWith("is inside") ? caseDir + "/in/alias/out.vt"
                                                               : archiveFile;
        // An earlier archive at the output must survive a refused pack.
        QVERIFY(writeFile(output, "previous"));
        QString error;
        QVERIFY(!packDirectory(dir, output, {!version.isEmpty(), version, false, {}}, &error));
        QVERIFY2(error.contains(message), qPrintable(error));
        QCOMPARE(readFile(output), "previous");
    }

    void writerSourceShorterOrLongerThanAnnounced()
    {
        QByteArray sink, data("abc");
        QBuffer out(&sink), in(&data);
        QVERIFY(out.open(QIODevice::WriteOnly) && in.open(QIODevice::ReadOnly));
        ArchiveWriter writer(&out);
        for (const auto& [size, message] :
             {std::pair(10, "could not be read in full"), std::pair(2, "changed while packing")}) {
            QVERIFY(in.seek(0) && !writer.writeFile("f", in, size));
            QVERIFY(writer.errorString().contains(message));
        }
    }
};

QTEST_APPLESS_MAIN(TestArchive)
#include "tst_archive.moc"
