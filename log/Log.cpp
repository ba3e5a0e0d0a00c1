#include "Log.h"

#include "ControlCharacters.h"

#include <QDebug>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LogFile
{
    QFile file;
    bool levelEnabled[4] = {false, false, false, false};
    bool echoToDebug = false;
};

std::unique_ptr<LogFile> theLog;

const char* const levelPrefix[4] = {"Error: ", "Warning: ", "Info: ", "Debug: "};

} // namespace

namespace {

// Opens path for a fresh log without following a link, without blocking on a
// FIFO and without emptying a file that is hard-linked elsewhere (a new file
// takes its name). -1 with errno set when the log cannot go there; a name that
// is not a regular file gives EINVAL.
int openLogFile(const QByteArray& path)
{
    constexpr int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.constData(), flags, 0666);
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink > 1) {
        ::close(fd);
        fd = ::unlink(path.constData()) == 0 ? ::open(path.constData(), flags | O_EXCL, 0666) : -1;
    }
    if (fd < 0) {
        // A link (ELOOP) or a FIFO without a reader (ENXIO) ends here.
        const int error = errno;
        errno = ::lstat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode) ? EINVAL : error;
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) != 0 ||
        ::fcntl(fd, F_SETFL, O_WRONLY) != 0) {
        const int error = S_ISREG(info.st_mode) ? errno : EINVAL;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

bool openLog(const QString& path, bool echoToDebug)
{
    if (theLog)
        return false;
    auto log = std::make_unique<LogFile>();
    const int fd = openLogFile(QFile::encodeName(path));
    if (fd < 0 && errno != EINVAL)
        return false;
    if (fd < 0) {
        // A link, FIFO or device planted in its place gets no entries.
        std::fprintf(stderr, "%s is not a regular file; the log goes to standard error\n",
                     QFile::encodeName(escapeControlCharacters(path)).constData());
        std::fflush(stderr);
        if (!log->file.open(stderr, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
            return false;
        echoToDebug = false;
    } else if (!log->file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    log->echoToDebug = echoToDebug;
    for (bool& enabled : log->levelEnabled)
        enabled = true;
    theLog = std::move(log);
    return true;
}

bool openLogOnStderr()
{
    if (theLog)
        return false;
    auto log = std::make_unique<LogFile>();
    if (!log->file.open(stderr, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return false;
    for (bool& enabled : log->levelEnabled)
        enabled = true;
    theLog = std::move(log);
    return true;
}

void writeLog(LogLevel level, const QString& message, const QString& sourceFile, int line)
{
    if (!theLog)
        return;
    if (level < Error || level > Debug)
        return;
    if (!theLog->levelEnabled[level] || !theLog->file.isOpen())
        return;

    // The multi-argument arg() fills all placeholders in one pass, so a "%3" inside
    // the message stays as written. Text from a server, a URL or an archive reaches
    // messages, so every entry is escaped here, and stays one line that cannot drive
    // a terminal; text already escaped passes unchanged.
    const QString entry = escapeControlCharacters(
        QStringLiteral("%1 %2    File: %3 Line: %4")
            .arg(QLatin1String(levelPrefix[level]), message, sourceFile, QString::number(line)));

    const QByteArray bytes = entry.toLatin1();
    if (theLog->echoToDebug) {
        // Echo the same 8-bit text the file gets, passed as data and never as a format.
        qDebug().noquote() << QString::fromLatin1(bytes);
    }
    // The line feed is the log's own: one escaped entry never holds one.
    theLog->file.write(bytes + '\n');
    theLog->file.flush();
}

void closeLog()
{
    if (!theLog)
        return;
    if (theLog->file.isOpen()) {
        theLog->file.flush();
        theLog->file.close();
    }
    theLog.reset();
}

QString logSourceName(const char* path)
{
    const QString full = QString::fromUtf8(path);
    const qsizetype slash =
        qMax(full.lastIndexOf(QLatin1Char('/')), full.lastIndexOf(QLatin1Char('\\')));
    QString name = full.mid(slash + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        name.truncate(dot);
    return name;
}
