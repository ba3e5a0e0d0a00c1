#include "FileIo.h"
#include "Log.h"
#include "TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// What the log echoes to the debug output.
static QStringList echoed;

class TestLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { echoed << text; });
    }

    void cleanup() { closeLog(); }

    void sourceNames()
    {
        QCOMPARE(logSourceName("C:\\src/net\\HTTPMessage.cpp"), "HTTPMessage");
        QCOMPARE(logSourceName("a\\b/c.test.cpp"), "c.test");
    }

    // Where the log goes: a file (emptied first), or stderr, also when a link or
    // FIFO is planted in its place; a file outside is never written through.
    void destinations_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"stale file", "hard link", "symlink", "fifo", "stderr"})
            QTest::newRow(kind) << QString(kind);
    }

    void destinations()
    {
        QFETCH(QString, kind);
        echoed.clear();
        const bool toFile = kind == "stale file" || kind == "hard link";
        const QString victim = path("victim.txt"), log = path(kind);
        const QByteArray name = QFile::encodeName(log);
        QVERIFY(writeFile(victim, "keep\n"));
        QVERIFY(kind == "stale file" ? writeFile(log, QByteArray(4096, 's'))
                : kind == "hard link"
                    ? ::link(QFile::encodeName(victim).constData(), name.constData()) == 0
                : kind == "symlink" ? QFile::link(victim, log)
                                    : kind != "fifo" || ::mkfifo(name.constData(), 0666) == 0);

        // With stderr pointed at a file.
        std::fflush(stderr);
        const int saved = ::dup(2);
        QVERIFY(saved >= 0 &&
                std::freopen(QFile::encodeName(path("stderr.txt")).constData(), "w", stderr));
        writeLog(Error, "while closed", "S", 1);
        // A failed open leaves the log closed; a second open is refused and makes
        // nothing.
        const bool opened = !openLog(path("missing/log.txt"), true) &&
                            (kind == "stderr" ? openLogOnStderr() : openLog(log, true)) &&
                            !openLog(path("other.txt"), true) && !openLogOnStderr();
        writeLog(Error, "a\r\nb\n", "S", -12);
        writeLog(LogLevel(4), "level 4", "S", 1);
        // A format string would eat these, in the file or in the debug echo.
        writeLog(Warning, "100% %s %n %1 %3 %4", "S", 0);
        writeLog(LogLevel(-1), "level -1", "S", 1);
        writeLog(Info, QString::fromUtf8("caf\u00e9 \u20ac \u4e2d"), "S", 7);
        const int line = __LINE__ + 1;
        LOG(Debug, "d");
        const QByteArray atOnce = toFile ? readFile(log) : QByteArray();
        closeLog();
        writeLog(Error, "after close", "S", 2);
        // Closing the log must leave the stream itself usable.
        std::fputs("still open\n", stderr);
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);

        QVERIFY(opened);
        // Line breaks escaped, Latin-1 kept and beyond it "?".
        const QByteArray entry("Error:  a\\r\\nb\\n    File: S Line: -12\n"
                               "Warning:  100% %s %n %1 %3 %4    File: S Line: 0\n"
                               "Info:  caf\xe9 ? ?    File: S Line: 7\n"
                               "Debug:  d    File: tst_log Line: " +
                               QByteArray::number(line) + "\n");
        const QByteArray notice = name + " is not a regular file; the log goes to standard error\n";
        const QByteArray toStderr = kind == "stderr" ? entry : toFile ? "" : notice + entry;
        QCOMPARE(readFile(path("stderr.txt")), toStderr + "still open\n");
        QCOMPARE(atOnce, toFile ? entry : QByteArray());
        QCOMPARE(toFile ? readFile(log) : entry, entry);
        // The debug echo gets the same 8-bit text, without the added line feeds.
        QCOMPARE(echoed.join('\n'), toFile ? QString::fromLatin1(entry.chopped(1)) : QString());
        QCOMPARE(readFile(victim), QByteArray("keep\n"));
        QVERIFY(!QFile::exists(path("other.txt")));
    }

    // Whatever a server, URL or archive puts in a message or a name, each entry is one
    // line with no control character: escaped once, as listings show names, and
    // otherwise word for word. The same bytes go to a file, to stderr and to the echo. Plain
    // text and line feeds: destinations().
    void escaping_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("written"); // the entry without its prefix and tail
        const auto row = [](const char* name, const QString& message, const QByteArray& written,
                            const QString& source = "S") {
            QTest::newRow(name) << message << source << written;
        };
        row("carriage return forging a line",
            "Bad\rInfo:  forged line    File: X Line: 1\x1b]0;TITLE\x07",
            "Bad\\rInfo:  forged line    File: X Line: 1\\033]0;TITLE\\a");
        row("NUL", QString::fromLatin1("a\0b", 3), "a\\000b");
        row("DEL and unit separator", "a\x7f\x1f", "a\\177\\037");
        row("C1 controls", QString::fromUtf8("\u009b31m\u0085\u0080\u009f"),
            "\\23331m\\205\\200\\237");
        row("Latin-1 above C1 kept", QString::fromUtf8("\u00a0\u00e9\u00ff"), "\xa0\xe9\xff");
        // Text a caller escaped already, and backslashes, stay as they are.
        row("escaped before", "Refusing a\\033b and C:\\dir\\", "Refusing a\\033b and C:\\dir\\");
        row("source name", "m", "m    File: S\\nInfo: x", "S\nInfo: x");
    }

    void escaping()
    {
        QFETCH(QString, message);
        QFETCH(QString, source);
        QFETCH(QByteArray, written);
        const QByteArray tail = source == "S" ? "    File: S Line: 3\n" : " Line: 3\n";
        const QByteArray expected = "Warning:  " + written + tail;

        echoed.clear();
        QVERIFY(openLog(path("escaping.txt"), true));
        writeLog(Warning, message, source, 3);
        closeLog();
        const QByteArray file = readFile(path("escaping.txt"));
        QCOMPARE(file, expected);
        QCOMPARE(echoed, QStringList(QString::fromLatin1(expected.chopped(1))));

        // On stderr, because a link stands in the log's place: its name is escaped too.
        const QString link = path(QString("log\x1b[2J\r%1.txt").arg(QTest::currentDataTag()));
        QVERIFY(QFile::link(path("elsewhere"), link));
        std::fflush(stderr);
        const int saved = ::dup(2);
        QVERIFY(saved >= 0 &&
                std::freopen(QFile::encodeName(path("stderr.txt")).constData(), "w", stderr));
        const bool opened = openLog(link, false);
        writeLog(Warning, message, source, 3);
        closeLog();
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        QVERIFY(opened);
        QCOMPARE(readFile(path("stderr.txt")),
                 QFile::encodeName(link).replace("\x1b", "\\033").replace("\r", "\\r") +
                     " is not a regular file; the log goes to standard error\n" + expected);

        // One line, and no byte a terminal acts on but its line feed.
        QCOMPARE(file.count('\n'), 1);
        QVERIFY(file.endsWith('\n'));
        for (const char c : file.chopped(1)) {
            const uchar u = uchar(c);
            QVERIFY2(u >= 0x20 && u != 0x7f && (u < 0x80 || u > 0x9f), file.toHex(' '));
        }
    }

    // Whole buffers through one descriptor: at its position, at an offset that
    // leaves the position alone, and through a pipe, which hands a reader at most
    // its capacity per call. Reading past the end fails as a short file (EIO).
    void fileIo_data()
    {
        QTest::addColumn<bool>("pipe");
        QTest::addColumn<qint64>("offset");
        QTest::newRow("file, at the position") << false << qint64(-1);
        QTest::newRow("file, at an offset") << false << qint64(4096 + 3);
        QTest::newRow("pipe, in pieces") << true << qint64(-1);
    }

    void fileIo()
    {
        QFETCH(bool, pipe);
        QFETCH(qint64, offset);
        const QByteArray data = bytePattern((1 << 20) + 5);
        QByteArray got(data.size(), '\0');
        if (pipe) {
            // A reader that stops early closes its end: the writer then fails
            // (EPIPE) instead of waiting for ever.
            std::signal(SIGPIPE, SIG_IGN);
            int ends[2];
            QCOMPARE(::pipe2(ends, O_CLOEXEC), 0);
            ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
            bool read = false, end = false;
            int endError = 0;
            std::thread reader([&] {
                read = FileIo::readAll(ends[0], got.data(), got.size());
                char more;
                end = !FileIo::readAll(ends[0], &more, 1);
                endError = errno;
                ::close(ends[0]);
            });
            const bool written = FileIo::writeAll(ends[1], data.constData(), data.size());
            ::close(ends[1]);
            reader.join();
            QVERIFY(written && read);
            QCOMPARE(got, data);
            QVERIFY(end);
            QCOMPARE(endError, EIO);
            return;
        }
        const int fd = ::open(QFile::encodeName(path("io.bin")).constData(),
                              O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        QVERIFY(FileIo::writeAll(fd, "head", 4));
        QVERIFY(FileIo::writeAll(fd, data.constData(), data.size(), offset));
        const qint64 at = offset < 0 ? 4 : offset;
        QCOMPARE(qint64(::lseek(fd, 0, SEEK_CUR)), offset < 0 ? at + data.size() : 4);
        QVERIFY(FileIo::readAll(fd, got.data(), got.size(), at));
        QCOMPARE(got, data);
        ::lseek(fd, 0, SEEK_SET);
        QVERIFY(FileIo::readAll(fd, got.data(), 4));
        QCOMPARE(got.left(4), QByteArray("head"));
        QVERIFY(!FileIo::readAll(fd, got.data(), 2, at + data.size() - 1));
        QCOMPARE(errno, EIO);
        ::close(fd);
        QCOMPARE(QFileInfo(path("io.bin")).size(), at + data.size());
    }

    void fileIoFullDisk()
    {
        const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            QSKIP("no /dev/full");
        QVERIFY(!FileIo::writeAll(fd, "x", 1));
        QCOMPARE(errno, ENOSPC);
        ::close(fd);
    }
};

QTEST_APPLESS_MAIN(TestLog)
#include "tst_log.moc"
