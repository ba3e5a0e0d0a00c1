#include "Log.h"

#include <QDebug>
#include <QFile>
#include <memory>

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

bool openLog(const QString& path, bool echoToDebug)
{
    if (theLog)
        return false;
    auto log = std::make_unique<LogFile>();
    log->file.setFileName(path);
    // WriteOnly alone: truncates, creates, and never translates line endings.
    if (!log->file.open(QIODevice::WriteOnly))
        return false;
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
    // the message stays as written.
    QString entry =
        QStringLiteral("%1 %2    File: %3 Line: %4")
            .arg(QLatin1String(levelPrefix[level]), message, sourceFile, QString::number(line));

    if (theLog->echoToDebug) {
        // Echo the same 8-bit text the file gets, passed as data and never as a format.
        qDebug().noquote() << QString::fromLatin1(entry.toLatin1());
    }
    if (!entry.endsWith(QLatin1Char('\n')))
        entry += QLatin1Char('\n');
    theLog->file.write(entry.toLatin1());
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
