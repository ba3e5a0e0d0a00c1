#include "Log.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

// Captures what the log echoes to the debug output.
static QStringList echoed;
static void captureMessages(QtMsgType, const QMessageLogContext&, const QString& text)
{
    echoed << text;
}

class TestLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString& name = QStringLiteral("log.txt")) const
    {
        return dir.filePath(name);
    }
    static QByteArray contents(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }

private slots:
    void init()
    {
        closeLog();
        echoed.clear();
    }
    void cleanup() { closeLog(); }

    void entryFormat_data();
    void entryFormat();
    void lifecycle();
    void sourceName_data();
    void sourceName();
    void macroNamesTheCallingFile();
    void openOnStderr();
    void plantedLogFile_data();
    void plantedLogFile();

private:
    // Runs body with the process's stderr pointed at a file; returns what it got.
    QByteArray withStderrCaptured(const std::function<void()>& body)
    {
        const QString file = path(QStringLiteral("stderr.txt"));
        std::fflush(stderr);
        const int savedStderr = ::dup(2);
        FILE* capture = std::fopen(QFile::encodeName(file).constData(), "w");
        if (savedStderr < 0 || !capture)
            return "<no capture>";
        ::dup2(::fileno(capture), 2);
        std::fclose(capture);
        body();
        std::fflush(stderr);
        ::dup2(savedStderr, 2);
        ::close(savedStderr);
        return contents(file);
    }
};

void TestLog::entryFormat_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("error") << 0 << "Could not open file update.vt" << 163
                           << QByteArray(
                                  "Error:  Could not open file update.vt    File: S Line: 163\n");
    QTest::newRow("warning") << 1 << "w" << 7 << QByteArray("Warning:  w    File: S Line: 7\n");
    QTest::newRow("info") << 2 << "" << 0 << QByteArray("Info:      File: S Line: 0\n");
    QTest::newRow("debug, negative line")
        << 3 << "d" << -12 << QByteArray("Debug:  d    File: S Line: -12\n");
    QTest::newRow("level 4") << 4 << "x" << 1 << QByteArray();
    QTest::newRow("level -1") << -1 << "x" << 1 << QByteArray();
    QTest::newRow("trailing line feed is not doubled")
        << 0 << "two\nlines\n"
        << 1 << QByteArray("Error:  two\nlines\n    File: S Line: 1\n");
    QTest::newRow("carriage return kept, none added")
        << 0 << "a\r" << 1 << QByteArray("Error:  a\r    File: S Line: 1\n");
    // The echo must pass the text on as data: a format string would eat these.
    QTest::newRow("percent signs and placeholders stay")
        << 2 << "100% %s %n %1 %3 %4" << 2
        << QByteArray("Info:  100% %s %n %1 %3 %4    File: S Line: 2\n");
    QTest::newRow("latin-1 kept, beyond becomes ?")
        << 0 << QString::fromUtf8("caf\u00e9 \u20ac \u4e2d") << 3
        << QByteArray("Error:  caf\xe9 ? ?    File: S Line: 3\n");
}

void TestLog::entryFormat()
{
    QFETCH(int, level);
    QFETCH(QString, message);
    QFETCH(int, line);
    QFETCH(QByteArray, expected);

    qInstallMessageHandler(captureMessages);
    QVERIFY(openLog(path(), true));
    writeLog(LogLevel(level), message, QStringLiteral("S"), line);
    qInstallMessageHandler(nullptr);
    QCOMPARE(contents(path()), expected);
    // The debug output gets the same 8-bit text, without the added line feed.
    const QStringList expectedEcho =
        expected.isEmpty() ? QStringList() : QStringList(QString::fromLatin1(expected.chopped(1)));
    QCOMPARE(echoed, expectedEcho);
}

void TestLog::lifecycle()
{
    const QString file = path(QStringLiteral("lifecycle.txt"));
    // Closed: writes are silent no-ops and nothing is created.
    writeLog(Error, QStringLiteral("before"), QStringLiteral("S"), 1);
    closeLog();
    QVERIFY(!QFile::exists(file));

    // Reopening empties an existing file; a second open is refused and changes nothing.
    {
        QFile old(file);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("stale content\n");
    }
    QVERIFY(openLog(file, false));
    QCOMPARE(contents(file), QByteArray());
    QVERIFY(!openLog(path(QStringLiteral("other.txt")), false));
    QVERIFY(!QFile::exists(path(QStringLiteral("other.txt"))));
    writeLog(Error, QStringLiteral("first"), QStringLiteral("S"), 1);
    // Each entry is on disk at once, before any close.
    QCOMPARE(contents(file), QByteArray("Error:  first    File: S Line: 1\n"));

    closeLog();
    writeLog(Error, QStringLiteral("after close"), QStringLiteral("S"), 2);
    QCOMPARE(contents(file), QByteArray("Error:  first    File: S Line: 1\n"));

    // A failed open leaves the log closed, so the next one may succeed.
    QVERIFY(!openLog(path(QStringLiteral("missing/dir/log.txt")), false));
    QVERIFY(openLog(file, false));
    writeLog(Warning, QStringLiteral("second run"), QStringLiteral("S"), 3);
    QCOMPARE(contents(file), QByteArray("Warning:  second run    File: S Line: 3\n"));
}

void TestLog::sourceName_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("name");
    QTest::newRow("unix path") << QByteArray("/src/archive/VessariTar.cpp") << "VessariTar";
    QTest::newRow("windows path") << QByteArray("C:\\src\\net\\HTTPMessage.cpp") << "HTTPMessage";
    QTest::newRow("mixed") << QByteArray("C:/src\\net/GETServerMessage.cpp") << "GETServerMessage";
    QTest::newRow("last extension only") << QByteArray("a/b.test.cpp") << "b.test";
}

void TestLog::sourceName()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, name);
    QCOMPARE(logSourceName(file.constData()), name);
}

void TestLog::macroNamesTheCallingFile()
{
    QVERIFY(openLog(path(), false));
    const int line = __LINE__ + 1;
    LOG(Error, QStringLiteral("from the macro"));
    QCOMPARE(
        contents(path()),
        QStringLiteral("Error:  from the macro    File: tst_log Line: %1\n").arg(line).toLatin1());
}

void TestLog::openOnStderr()
{
    bool opened = false, openedTwice = true, fileOpenRefused = false;
    const QByteArray got = withStderrCaptured([&] {
        qInstallMessageHandler(captureMessages);
        opened = openLogOnStderr();
        openedTwice = openLogOnStderr();
        fileOpenRefused = !openLog(path(), false);
        writeLog(Warning, QStringLiteral("to stderr"), QStringLiteral("S"), 4);
        closeLog();
        // Closing the log must leave the stream itself usable.
        std::fputs("still open\n", stderr);
        qInstallMessageHandler(nullptr);
    });
    QVERIFY(opened);
    QVERIFY(!openedTwice);
    QVERIFY(fileOpenRefused);
    QVERIFY(echoed.isEmpty());
    QCOMPARE(got, QByteArray("Warning:  to stderr    File: S Line: 4\nstill open\n"));
}

void TestLog::plantedLogFile_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("toStderr");
    QTest::newRow("symbolic link to a file outside") << "symlink" << true;
    QTest::newRow("FIFO without a reader") << "fifo" << true;
    QTest::newRow("hard link to a file outside") << "hard link" << false;
}

void TestLog::plantedLogFile()
{
    QFETCH(QString, planted);
    QFETCH(bool, toStderr);
    const QString victim = path(QStringLiteral("victim.txt"));
    const QString log = path(QStringLiteral("planted/log.txt"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("planted"))));
    QFile::remove(log);
    {
        QFile f(victim);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep\n");
    }
    const QByteArray logName = QFile::encodeName(log);
    if (planted == "symlink")
        QVERIFY(QFile::link(victim, log));
    else if (planted == "fifo")
        QCOMPARE(::mkfifo(logName.constData(), 0666), 0);
    else
        QCOMPARE(::link(QFile::encodeName(victim).constData(), logName.constData()), 0);

    bool opened = false;
    const QByteArray got = withStderrCaptured([&] {
        opened = openLog(log, false);
        writeLog(Error, QStringLiteral("entry"), QStringLiteral("S"), 1);
        closeLog();
    });
    QVERIFY(opened);
    QCOMPARE(contents(victim), QByteArray("keep\n"));
    const QByteArray entry("Error:  entry    File: S Line: 1\n");
    QCOMPARE(got, toStderr
                      ? logName + " is not a regular file; the log goes to standard error\n" + entry
                      : QByteArray());
    if (!toStderr)
        QCOMPARE(contents(log), entry);
}

QTEST_APPLESS_MAIN(TestLog)
#include "tst_log.moc"
