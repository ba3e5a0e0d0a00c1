#include "Command.h"
#include "Log.h"
#include "Progress.h"
#include "VessariTar.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace vt {

namespace {

int runExtract(const QStringList& args);

} // namespace

extern const Command extractCommand = {
    "extract", "extract an archive into a directory",
    "Usage: vt extract FILE [-C DIR]\n"
    "Recreates the directories and files of the archive FILE (\"-\" reads\n"
    "standard input) under DIR (the current directory by default; it must\n"
    "exist). Each file is written under a temporary name and renamed over an\n"
    "existing one only when complete. Paths that would leave DIR, names with\n"
    "control characters, and writes through a symbolic link under DIR that\n"
    "points outside it, are refused. Problems are logged on stderr and the\n"
    "last line names the failing path and reason; what was extracted before\n"
    "a failure is kept.\n"
    "\n"
    "  -C, --directory DIR   extract into DIR\n",
    runExtract};

namespace {

int runExtract(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption directoryOption({QStringLiteral("C"), QStringLiteral("directory")},
                                             QString(), QStringLiteral("DIR"));
    parser.addOption(directoryOption);
    if (!parseArguments(parser, extractCommand, args))
        return ExitUsage;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        printError(QStringLiteral("extract: expected one archive FILE; see 'vt help extract'"));
        return ExitUsage;
    }
    const QString target =
        parser.isSet(directoryOption) ? parser.value(directoryOption) : QStringLiteral(".");
    if (!QFileInfo(target).isDir()) {
        printError(QStringLiteral("extract: no such directory: %1").arg(target));
        return ExitFailure;
    }

    openLogOnStderr();
    VessariTar reader;
    Progress progress(QStringLiteral("extracting"));
    reader.setProgressHandler(
        [&progress](qint64 done, qint64 total) { progress.update(done, total); });
    const bool ok = reader.extract(positional.first(), target);
    progress.finish();
    closeLog();
    if (!ok) {
        printError(QStringLiteral("extract: %1").arg(reader.errorString()));
        return ExitFailure;
    }
    return ExitSuccess;
}

} // namespace
} // namespace vt
