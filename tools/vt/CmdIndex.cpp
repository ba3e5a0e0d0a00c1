#include "Command.h"
#include "OutputFile.h"
#include "Progress.h"
#include "UpdateIndex.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace vt {

// Also used by pack.
bool writeIndex(const QString& archive, const QString& output, QString& error);

namespace {

int runIndex(const QStringList& args);

} // namespace

extern const Command indexCommand = {
    "index", "write the index an incremental update needs",
    "Usage: vt index FILE [-o OUT]\n"
    "Writes the index of the archive FILE to OUT (default FILE.index): the\n"
    "archive's size and BLAKE2b-512 hash, where each entry lies, and each file's\n"
    "data cut into chunks by content, each with its SHA-256. Published and signed\n"
    "beside the archive, it lets the updater fetch only the chunks a player lacks.\n"
    "vt pack writes it too, unless given --no-index.\n"
    "\n"
    "  -o, --output OUT   the index to write: a regular file is replaced when\n"
    "                     complete, a FIFO or device is written to, \"-\" is\n"
    "                     standard output\n"
    "\n"
    "The same archive always gives the same bytes. Nothing is written, and an\n"
    "existing OUT is kept, when FILE is not a valid archive.\n",
    runIndex};

bool writeIndex(const QString& archive, const QString& output, QString& error)
{
    const QFileInfo outInfo(output);
    const bool toStdout = output == QLatin1String("-");
    if (!toStdout && outInfo.exists() &&
        outInfo.canonicalFilePath() == QFileInfo(archive).canonicalFilePath()) {
        error = QStringLiteral("the index would replace the archive: %1").arg(output);
        return false;
    }
    if (!toStdout && outInfo.isDir()) {
        error = QStringLiteral("output is a directory: %1").arg(output);
        return false;
    }
    Progress progress(QStringLiteral("indexing"));
    UpdateIndex index;
    const bool built =
        UpdateIndex::build(archive, index, &error, [&progress](qint64 done, qint64 total) {
            progress.update(done, total);
        });
    progress.finish();
    if (!built)
        return false;
    const QByteArray bytes = index.serialize();

    // As pack: a FIFO or device is written to, never replaced by a file.
    OutputFile out(output);
    if (!out.isOpen() || out.device().write(bytes) != bytes.size() || !out.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(output, out.errorString());
        return false;
    }
    return true;
}

namespace {

int runIndex(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QString(), QStringLiteral("OUT"));
    parser.addOption(outputOption);
    QString archive;
    if (!parseOneArgument(parser, indexCommand, args, QStringLiteral("expected one FILE"), archive))
        return ExitUsage;
    // The default name is the archive's own: a stream has none.
    if (archive == QLatin1String("-")) {
        printUsageError(indexCommand, QStringLiteral("FILE must be a file, not standard input"));
        return ExitUsage;
    }
    const QString output = parser.isSet(outputOption) ? parser.value(outputOption)
                                                      : archive + QStringLiteral(".index");
    if (output.isEmpty()) {
        printUsageError(indexCommand, QStringLiteral("empty output file name"));
        return ExitUsage;
    }
    if (!checkPath(indexCommand, archive, PathKind::File))
        return ExitFailure;
    QString error;
    if (!writeIndex(archive, output, error)) {
        printError(QStringLiteral("index: %1").arg(error));
        return ExitFailure;
    }
    return ExitSuccess;
}

} // namespace
} // namespace vt
