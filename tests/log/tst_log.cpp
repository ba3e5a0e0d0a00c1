#include "Log.h"
#include "TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

// What the log echoes to the debug output.
static QStringList echoed;

class TestLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString& name = "log.txt") const { return dir.filePath(name); }

    // Runs body with the process's stderr pointed at a file; returns what it got.
    QByteArray withStderrCaptured(const std::function<void()>& body)
    {
        std::fflush(stderr);
        const int saved = ::dup(2);
        FILE* capture = std::fopen(QFile::encodeName(path("stderr.txt")).constData(), "w");
        if (saved < 0 || !capture)
            return "<no capture>";
        ::dup2(::fileno(capture), 2);
        std::fclose(capture);
        body();
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        return readFile(path("stderr.txt"));
    }

private slots:
    void init()
    {
        echoed.clear();
        qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { echoed << text; });
    }

    void cleanup()
    {
        closeLog();
        qInstallMessageHandler(nullptr);
    }

    void entryFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("line");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char* name, int level, const QString& message, int line,
                            const QByteArray& expected) {
            QTest::newRow(name) << level << message << line << expected;
        };
        row("error", Error, "Could not open", 163, "Error:  Could not open    File: S Line: 163\n");
        row("warning", Warning, "w", 7, "Warning:  w    File: S Line: 7\n");
        row("info, empty", Info, "", 0, "Info:      File: S Line: 0\n");
        row("debug, negative line", Debug, "d", -12, "Debug:  d    File: S Line: -12\n");
        row("level 4", 4, "x", 1, "");
        row("level -1", -1, "x", 1, "");
        row("line feed at the end not doubled", 0, "a\nb\n", 1,
            "Error:  a\nb\n    File: S Line: 1\n");
        row("carriage return kept, none added", 0, "a\r", 1, "Error:  a\r    File: S Line: 1\n");
        // The echo must pass the text on as data: a format string would eat these.
        row("percent signs and placeholders stay", Info, "100% %s %n %1 %3 %4", 2,
            "Info:  100% %s %n %1 %3 %4    File: S Line: 2\n");
        row("latin-1 kept, beyond becomes ?", 0, QString::fromUtf8("caf\u00e9 \u20ac \u4e2d"), 3,
            "Error:  caf\xe9 ? ?    File: S Line: 3\n");
    }

    void entryFormat()
    {
        QFETCH(int, level);
        QFETCH(QString, message);
        QFETCH(int, line);
        QFETCH(QByteArray, expected);
        QVERIFY(openLog(path(), true));
        writeLog(LogLevel(level), message, "S", line);
        QCOMPARE(readFile(path()), expected);
        // The debug output gets the same 8-bit text, without the added line feed.
        QCOMPARE(echoed, expected.isEmpty()
                             ? QStringList()
                             : QStringList(QString::fromLatin1(expected.chopped(1))));
    }

    void lifecycle()
    {
        const QString file = path("lifecycle.txt");
        // Closed: writes are silent no-ops.
        writeLog(Error, "before", "S", 1);
        // Opening empties an existing file; a second open is refused and changes nothing.
        QVERIFY(writeFile(file, "stale content\n"));
        QVERIFY(openLog(file, false));
        QCOMPARE(readFile(file), QByteArray());
        QVERIFY(!openLog(path("other.txt"), false));
        QVERIFY(!QFile::exists(path("other.txt")));
        writeLog(Error, "first", "S", 1);
        // Each entry is on disk at once, before any close.
        QCOMPARE(readFile(file), QByteArray("Error:  first    File: S Line: 1\n"));
        closeLog();
        writeLog(Error, "after close", "S", 2);
        QCOMPARE(readFile(file), QByteArray("Error:  first    File: S Line: 1\n"));
        // A failed open leaves the log closed, so the next one may succeed.
        QVERIFY(!openLog(path("missing/dir/log.txt"), false));
        QVERIFY(openLog(file, false));
        writeLog(Warning, "second run", "S", 3);
        QCOMPARE(readFile(file), QByteArray("Warning:  second run    File: S Line: 3\n"));
    }

    void sourceNames()
    {
        QCOMPARE(logSourceName("/src/archive/VessariTar.cpp"), "VessariTar");
        QCOMPARE(logSourceName("C:\\src\\net\\HTTPMessage.cpp"), "HTTPMessage");
        QCOMPARE(logSourceName("C:/src\\net/GETServerMessage.cpp"), "GETServerMessage");
        QCOMPARE(logSourceName("a/b.test.cpp"), "b.test");
        QVERIFY(openLog(path(), false));
        const int line = __LINE__ + 1;
        LOG(Error, "from the macro");
        QCOMPARE(
            readFile(path()),
            QString("Error:  from the macro    File: tst_log Line: %1\n").arg(line).toLatin1());
    }

    void openOnStderr()
    {
        bool opened = false, openedTwice = true, fileOpened = true;
        const QByteArray got = withStderrCaptured([&] {
            opened = openLogOnStderr();
            openedTwice = openLogOnStderr();
            fileOpened = openLog(path(), false);
            writeLog(Warning, "to stderr", "S", 4);
            closeLog();
            // Closing the log must leave the stream itself usable.
            std::fputs("still open\n", stderr);
        });
        QVERIFY(opened && !openedTwice && !fileOpened);
        QVERIFY(echoed.isEmpty());
        QCOMPARE(got, QByteArray("Warning:  to stderr    File: S Line: 4\nstill open\n"));
    }

    void plantedLogFile_data()
    {
        QTest::addColumn<bool>("toStderr");
        QTest::newRow("symlink") << true;
        QTest::newRow("fifo") << true;
        QTest::newRow("hard link") << false;
    }

    // Planted where the log goes, to a file outside.
    void plantedLogFile()
    {
        QFETCH(bool, toStderr);
        const QString planted = QTest::currentDataTag();
        const QString victim = path("victim.txt");
        const QString log = path("planted.txt");
        const QByteArray logName = QFile::encodeName(log);
        QFile::remove(log);
        QVERIFY(writeFile(victim, "keep\n"));
        if (planted == "symlink")
            QVERIFY(QFile::link(victim, log));
        else if (planted == "fifo")
            QCOMPARE(::mkfifo(logName.constData(), 0666), 0);
        else
            QCOMPARE(::link(QFile::encodeName(victim).constData(), logName.constData()), 0);

        bool opened = false;
        const QByteArray got = withStderrCaptured([&] {
            opened = openLog(log, false);
            writeLog(Error, "entry", "S", 1);
            closeLog();
        });
        QVERIFY(opened);
        QCOMPARE(readFile(victim), QByteArray("keep\n"));
        const QByteArray entry("Error:  entry    File: S Line: 1\n");
        QCOMPARE(got,
                 toStderr
                     ? logName + " is not a regular file; the log goes to standard error\n" + entry
                     : QByteArray());
        if (!toStderr)
            QCOMPARE(readFile(log), entry);
    }
};

QTEST_APPLESS_MAIN(TestLog)
#include "tst_log.moc"
