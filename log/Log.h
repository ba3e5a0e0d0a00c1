#pragma once

#include <QString>
#include <QtGlobal>

// Levels of a log entry. The value indexes the enabled flags and picks the
// prefix; anything outside 0..3 is silently dropped by writeLog.
enum LogLevel : qint32
{
    Error = 0,
    Warning = 1,
    Info = 2,
    Debug = 3
};

// Opens the process-wide log at path, emptying an existing file (one hard-linked
// elsewhere is replaced by a new one instead). When path is a symbolic link, FIFO
// or device, the log goes to stderr, which says so first. Returns false (and
// changes nothing) when a log is already open or the file cannot be opened.
bool openLog(const QString& path, bool echoToDebug);

// Opens the process-wide log on the standard error stream instead of a file, for
// command-line tools: same entries, no debug echo. Closing it leaves stderr open.
bool openLogOnStderr();

// Appends one entry "<prefix> <message>    File: <sourceFile> Line: <line>" and a
// line feed, flushed at once. Control characters are written escaped, as
// escapeControlCharacters shows them, so an entry is always one line. A no-op
// while no log is open.
void writeLog(LogLevel level, const QString& message, const QString& sourceFile, int line);

void closeLog();

// Name of a source file without directory and extension: "a/b/VessariTar.cpp"
// gives "VessariTar". Accepts both separators, since __FILE__ may hold either.
QString logSourceName(const char* path);

// Logs with the calling file's name and line, which is what every entry carries.
#define LOG(level, message) writeLog((level), (message), logSourceName(__FILE__), __LINE__)
