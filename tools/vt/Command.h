#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;
class VessariTar;

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

// "vt: message" on stderr, its control characters escaped. Every message starts
// with the command's name: "vt: list: a.vt: No such file or directory".
void printError(const QString& message);
// "vt: COMMAND: what; see 'vt help COMMAND'", for a usage error (exit 2).
void printUsageError(const Command& command, const QString& what);

enum class PathKind
{
    File,     // to be read
    Directory // to be written into
};
// Empty when path is usable as kind; else the system's reason, e.g. "No such file or directory".
QString pathProblem(const QString& path, PathKind kind);
// True when path is usable as kind; else prints "vt: COMMAND: PATH: reason".
bool checkPath(const Command& command, const QString& path, PathKind kind);

// How a list or extract run of reader over the archive path ended, told in one
// last line: the reader's reason, that path is no archive at all, or that it
// is empty (which succeeds); returns the exit status.
int reportArchiveEnd(const Command& command, const QString& path, const VessariTar& reader,
                     bool ok);

// Parses args for command; on a usage error prints it as printUsageError does
// ("option '-o' needs a value", "unknown option '--bogus'") and returns false.
bool parseArguments(QCommandLineParser& parser, const Command& command, const QStringList& args);
// parseArguments for a command that takes one positional argument, returned in
// argument; any other number is a usage error told as expected ("expected one
// FILE"). False on a usage error.
bool parseOneArgument(QCommandLineParser& parser, const Command& command, const QStringList& args,
                      const QString& expected, QString& argument);

} // namespace vt
