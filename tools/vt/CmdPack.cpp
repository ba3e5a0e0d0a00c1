#include "ArchiveWriter.h"
#include "Command.h"
#include "Progress.h"

#include <QCommandLineParser>

namespace vt {

namespace {

int runPack(const QStringList& args);

} // namespace

extern const Command packCommand = {
    "pack", "pack a directory tree into an archive",
    "Usage: vt pack DIR -o FILE [--version TEXT]\n"
    "Writes the files and directories under DIR to the archive FILE.\n"
    "\n"
    "  -o, --output FILE   the archive to write: a regular file is replaced\n"
    "                      when complete, a FIFO or device is written to,\n"
    "                      \"-\" is standard output\n"
    "  --version TEXT      store TEXT as a version entry at the start\n"
    "\n"
    "The same tree always gives the same bytes. Nothing is written, and an\n"
    "existing FILE is kept, when DIR holds a symbolic link or special file, a\n"
    "name that is not Latin-1, a file of 2 GiB or more, or when FILE lies\n"
    "inside DIR.\n",
    runPack};

namespace {

int runPack(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QString(), QStringLiteral("FILE"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QString(),
                                           QStringLiteral("TEXT"));
    parser.addOption(outputOption);
    parser.addOption(versionOption);
    if (!parseArguments(parser, packCommand, args))
        return ExitUsage;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1 || !parser.isSet(outputOption)) {
        printError(QStringLiteral("pack: expected DIR and -o FILE; see 'vt help pack'"));
        return ExitUsage;
    }
    const QString output = parser.value(outputOption);
    if (output.isEmpty()) {
        printError(QStringLiteral("pack: empty output file name"));
        return ExitUsage;
    }

    PackOptions options;
    options.withVersion = parser.isSet(versionOption);
    options.version = parser.value(versionOption);
    Progress progress(QStringLiteral("packing"));
    options.progress = [&progress](qint64 done, qint64 total) { progress.update(done, total); };

    QString error;
    const bool ok = packDirectory(positional.first(), output, options, &error);
    progress.finish();
    if (!ok) {
        printError(QStringLiteral("pack: %1").arg(error));
        return ExitFailure;
    }
    return ExitSuccess;
}

} // namespace
} // namespace vt
