#include "Command.h"
#include "ControlCharacters.h"
#include "Log.h"
#include "Progress.h"
#include "VessariTar.h"

#include <QCommandLineParser>
#include <cstdio>

namespace vt {

namespace {

int runExtract(const QStringList& args);

} // namespace

extern const Command extractCommand = {
    "extract", "extract an archive into a directory",
    "Usage: vt extract FILE [-C DIR] [-v]\n"
    "Recreates the directories and files of the archive FILE (\"-\" reads\n"
    "standard input) under DIR (the current directory by default; it must\n"
    "exist). All or nothing: every file is written under a temporary name,\n"
    "and all are renamed into place together once the whole archive was read;\n"
    "after any failure DIR is exactly as it was. An update of DIR killed while\n"
    "it was put in place is completed first (\"An interrupted update was\n"
    "completed\" in the log). The free space must hold the archive's files.\n"
    "Paths that would leave DIR, names with control characters, and writes\n"
    "through a symbolic link under DIR that points outside it, are refused.\n"
    "Problems are logged on stderr and the last line names the failing path\n"
    "and reason.\n"
    "\n"
    "  -C, --directory DIR   extract into DIR\n"
    "  -v, --verbose         print the path of each directory (ending in /) and\n"
    "                        file on stdout once it is written, escaped as\n"
    "                        vt list shows it\n",
    runExtract};

namespace {

int runExtract(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption directoryOption({QStringLiteral("C"), QStringLiteral("directory")},
                                             QString(), QStringLiteral("DIR"));
    const QCommandLineOption verboseOption(
        QStringList{QStringLiteral("v"), QStringLiteral("verbose")});
    parser.addOption(directoryOption);
    parser.addOption(verboseOption);
    QString archive;
    if (!parseOneArgument(parser, extractCommand, args, QStringLiteral("expected one archive FILE"),
                          archive))
        return ExitUsage;
    const QString target =
        parser.isSet(directoryOption) ? parser.value(directoryOption) : QStringLiteral(".");
    if (!checkPath(extractCommand, archive, PathKind::File) ||
        !checkPath(extractCommand, target, PathKind::Directory))
        return ExitFailure;

    openLogOnStderr();
    VessariTar reader;
    Progress progress(QStringLiteral("extracting"));
    if (parser.isSet(verboseOption)) {
        // The listing shows the progress; a progress line would only cut into it.
        reader.setExtractedHandler([](const VessariTar::EntryInfo& entry) {
            const bool directory = entry.type == VessariFormat::EntryType::Directory;
            // Shown as the listing shows names.
            std::printf("%s%s\n",
                        escapeControlCharacters(entry.name, true).toLocal8Bit().constData(),
                        directory ? "/" : "");
        });
    } else {
        reader.setProgressHandler(
            [&progress](qint64 done, qint64 total) { progress.update(done, total); });
    }
    const bool ok = reader.extract(archive, target);
    progress.finish();
    std::fflush(stdout);
    closeLog();
    return reportArchiveEnd(extractCommand, archive, reader, ok);
}

} // namespace
} // namespace vt
