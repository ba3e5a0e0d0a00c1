#include "Command.h"
#include "ControlCharacters.h"
#include "Log.h"
#include "VessariTar.h"

#include <QCommandLineParser>
#include <cstdio>

namespace vt {

namespace {

int runList(const QStringList& args);

} // namespace

extern const Command listCommand = {
    "list", "list the entries of an archive",
    "Usage: vt list FILE\n"
    "Prints one line per entry of the archive FILE (\"-\" reads standard\n"
    "input): its type (version, directory, file), its size in bytes and its\n"
    "path (the text, for a version), with control characters and backslashes\n"
    "escaped as tar -t shows them. A broken archive is reported on stderr as\n"
    "extraction would report it, and the exit status is then 1. An archive\n"
    "without entries is valid, but said to be empty on stderr.\n",
    runList};

namespace {

const char* typeName(VessariFormat::EntryType type)
{
    switch (type) {
    case VessariFormat::EntryType::Version:
        return "version";
    case VessariFormat::EntryType::Directory:
        return "directory";
    case VessariFormat::EntryType::File:
        return "file";
    case VessariFormat::EntryType::FileData:
        break;
    }
    return "data";
}

int runList(const QStringList& args)
{
    QCommandLineParser parser;
    QString archive;
    if (!parseOneArgument(parser, listCommand, args, QStringLiteral("expected one archive FILE"),
                          archive))
        return ExitUsage;
    if (!checkPath(listCommand, archive, PathKind::File))
        return ExitFailure;

    openLogOnStderr();
    VessariTar reader;
    const bool ok = reader.list(archive, [](const VessariTar::EntryInfo& entry) {
        std::printf("%-9s %10lld  %s\n", typeName(entry.type), static_cast<long long>(entry.size),
                    escapeControlCharacters(entry.name, true).toLocal8Bit().constData());
    });
    std::fflush(stdout);
    closeLog();
    return reportArchiveEnd(listCommand, archive, reader, ok);
}

} // namespace
} // namespace vt
