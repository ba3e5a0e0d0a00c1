#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace vt {

// Exit statuses shared by every subcommand.
enum ExitCode : int
{
    ExitSuccess = 0,
    ExitFailure = 1, // the work itself failed (bad archive, unreadable tree...)
    ExitUsage = 2    // the command line was wrong
};

// One subcommand. main.cpp keeps the table; each command lives in its own file.
struct Command
{
    const char* name;
    const char* summary;                 // one line, for "vt --help"
    const char* usage;                   // full text, for "vt help NAME" and "vt NAME --help"
    int (*run)(const QStringList& args); // args: what follows the command name
};

// "vt: message" on stderr, its control characters escaped.
void printError(const QString& message);

enum class PathKind
{
    File,     // to be read
    Directory // to be written into
};
// Empty when path is usable as kind; else the system's reason, e.g. "No such file or directory".
QString pathProblem(const QString& path, PathKind kind);

// Parses args for command; on a usage error prints it with a hint and returns false.
bool parseArguments(QCommandLineParser& parser, const Command& command, const QStringList& args);

} // namespace vt
