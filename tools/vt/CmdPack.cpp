#include "ArchiveWriter.h"
#include "Command.h"
#include "Progress.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace vt {

bool writeIndex(const QString& archive, const QString& output, QString& error);

namespace {

int runPack(const QStringList& args);

} // namespace

extern const Command packCommand = {
    "pack", "pack a directory tree into an archive",
    "Usage: vt pack DIR -o FILE [--archive-version TEXT] [-h] [--no-index]\n"
    "Writes the files and directories under DIR to the archive FILE, and its\n"
    "index to FILE.index (see 'vt help index'), which lets players fetch only\n"
    "what changed. A FILE that is standard output, a FIFO or a device gets no\n"
    "index.\n"
    "\n"
    "  -o, --output FILE         the archive to write: a regular file is replaced\n"
    "                            when complete, a FIFO or device is written to,\n"
    "                            \"-\" is standard output\n"
    "  --archive-version TEXT    store TEXT as a version entry at the start\n"
    "  -h, --dereference         store what symbolic links point to\n"
    "  --no-index                write no FILE.index\n"
    "\n"
    "The same tree always gives the same bytes. Nothing is written, and an\n"
    "existing FILE is kept, when DIR holds a symbolic link (unless -h is given)\n"
    "or a special file, a name that is not Latin-1, a file of 2 GiB or more, or\n"
    "when FILE lies inside DIR. With -h a dangling link or a link to a directory\n"
    "that contains it is refused. As for tar, -h is not help here: use --help.\n",
    runPack};

namespace {

int runPack(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QString(), QStringLiteral("FILE"));
    const QCommandLineOption versionOption(QStringLiteral("archive-version"), QString(),
                                           QStringLiteral("TEXT"));
    const QCommandLineOption dereferenceOption({QStringLiteral("h"), QStringLiteral("dereference")},
                                               QString());
    parser.addOption(outputOption);
    parser.addOption(versionOption);
    const QCommandLineOption noIndexOption(QStringLiteral("no-index"), QString());
    parser.addOption(dereferenceOption);
    parser.addOption(noIndexOption);
    const QString expected = QStringLiteral("expected DIR and -o FILE");
    QString dir;
    if (!parseOneArgument(parser, packCommand, args, expected, dir))
        return ExitUsage;
    if (!parser.isSet(outputOption)) {
        printUsageError(packCommand, expected);
        return ExitUsage;
    }
    const QString output = parser.value(outputOption);
    if (output.isEmpty()) {
        printUsageError(packCommand, QStringLiteral("empty output file name"));
        return ExitUsage;
    }

    PackOptions options;
    options.withVersion = parser.isSet(versionOption);
    options.version = parser.value(versionOption);
    options.dereference = parser.isSet(dereferenceOption);
    Progress progress(QStringLiteral("packing"));
    options.progress = [&progress](qint64 done, qint64 total) { progress.update(done, total); };

    QString error;
    const bool ok = packDirectory(dir, output, options, &error);
    progress.finish();
    if (!ok) {
        printError(QStringLiteral("pack: %1").arg(error));
        return ExitFailure;
    }
    // Only a file can be read back; the archive is complete even when its
    // index fails, but the run does not count as done.
    if (!parser.isSet(noIndexOption) && output != QLatin1String("-") &&
        QFileInfo(output).isFile() &&
        !writeIndex(output, output + QStringLiteral(".index"), error)) {
        printError(QStringLiteral("pack: %1").arg(error));
        return ExitFailure;
    }
    return ExitSuccess;
}

} // namespace
} // namespace vt
