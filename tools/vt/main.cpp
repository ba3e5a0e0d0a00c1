// vt: makes, lists and extracts update archives.
#include "Command.h"
#include "ControlCharacters.h"
#include "VessariTar.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace vt {
extern const Command packCommand;
extern const Command listCommand;
extern const Command extractCommand;
extern const Command updateCommand;
extern const Command verifyCommand;
extern const Command indexCommand;
} // namespace vt

namespace {

// Adding a subcommand: declare its Command above and list it here.
const vt::Command* const commands[] = {
    &vt::packCommand,    &vt::indexCommand,  &vt::listCommand,
    &vt::extractCommand, &vt::updateCommand, &vt::verifyCommand,
};

const vt::Command* findCommand(const QString& name)
{
    for (const vt::Command* command : commands) {
        if (name == QLatin1String(command->name))
            return command;
    }
    return nullptr;
}

void printOverview(FILE* stream)
{
    std::fprintf(stream,
                 "Usage: vt COMMAND [ARGUMENTS]\n"
                 "Makes, lists, extracts and verifies update archives, and applies updates.\n\n"
                 "Commands:\n");
    for (const vt::Command* command : commands)
        std::fprintf(stream, "  %-10s %s\n", command->name, command->summary);
    std::fprintf(stream,
                 "\nOptions:\n"
                 "  -h, --help     show this help\n"
                 "  --version      show the version of vt\n"
                 "\n\"vt help COMMAND\" or \"vt COMMAND --help\" shows the help of one command.\n"
                 "Exit status: 0 on success, 1 when the work failed, 2 on a usage error.\n");
}

int showCommandHelp(const QString& name)
{
    const vt::Command* command = findCommand(name);
    if (!command) {
        vt::printError(QStringLiteral("unknown command '%1'; see 'vt --help'").arg(name));
        return vt::ExitUsage;
    }
    std::fputs(command->usage, stdout);
    return vt::ExitSuccess;
}

// pack takes -h as tar does, for following symbolic links; --help works everywhere.
bool asksForHelp(const QStringList& args, bool shortHelp)
{
    for (const QString& arg : args) {
        if (arg == QLatin1String("--"))
            return false;
        if ((shortHelp && arg == QLatin1String("-h")) || arg == QLatin1String("--help"))
            return true;
    }
    return false;
}

} // namespace

namespace vt {

void printError(const QString& message)
{
    // Reasons quote URLs, names and server text: escaped as the log escapes them.
    std::fprintf(stderr, "vt: %s\n", escapeControlCharacters(message).toLocal8Bit().constData());
    std::fflush(stderr);
}

int reportArchiveEnd(const Command& command, const QString& path, const VessariTar& reader, bool ok)
{
    const QLatin1String name(command.name);
    // The reader's own entries stay in the log; this last line sums them up.
    if (!ok && reader.failedAtStart()) {
        printError(QStringLiteral("%1: %2: does not look like an update archive").arg(name, path));
        return ExitFailure;
    }
    if (!ok) {
        printError(QStringLiteral("%1: %2").arg(name, reader.errorString()));
        return ExitFailure;
    }
    // Valid, but most likely not what was meant.
    if (reader.entriesRead() == 0)
        printError(QStringLiteral("%1: %2: empty archive").arg(name, path));
    return ExitSuccess;
}

QString pathProblem(const QString& path, PathKind kind)
{
    // "-" is standard input, which the reader opens itself.
    if (kind == PathKind::File && path == QLatin1String("-"))
        return QString();
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    int error = 0;
    if (::stat(name.constData(), &st) != 0)
        error = errno;
    else if (kind == PathKind::Directory && !S_ISDIR(st.st_mode))
        error = ENOTDIR;
    else if (kind == PathKind::File && S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (::access(name.constData(), kind == PathKind::File ? R_OK : W_OK | X_OK) != 0)
        error = errno;
    return error ? QString::fromLocal8Bit(std::strerror(error)) : QString();
}

bool checkPath(const Command& command, const QString& path, PathKind kind)
{
    const QString problem = pathProblem(path, kind);
    if (!problem.isEmpty())
        printError(QStringLiteral("%1: %2: %3").arg(QLatin1String(command.name), path, problem));
    return problem.isEmpty();
}

void printUsageError(const Command& command, const QString& what)
{
    printError(QStringLiteral("%1: %2; see 'vt help %1'").arg(QLatin1String(command.name), what));
}

namespace {

// The option as it was typed: the parser reports "--bogus" and "-b" alike as
// "bogus" and "b", and one letter may have been a long option.
QString typedOption(const QString& name, const QStringList& args)
{
    const QString longForm = QStringLiteral("--") + name;
    for (const QString& arg : args) {
        if (arg == QLatin1String("--"))
            break;
        if (arg == longForm || arg.startsWith(longForm + QLatin1Char('=')))
            return longForm;
    }
    return name.size() == 1 ? QStringLiteral("-") + name : longForm;
}

// QCommandLineParser's English sentences, retold as "option '-o' needs a value".
QString usageProblem(const QString& errorText, const QStringList& args)
{
    static const QRegularExpression unknown(QStringLiteral("^Unknown options?:? '?([^',.]+)"));
    static const QRegularExpression missing(QStringLiteral("^Missing value after '([^']+)'"));
    static const QRegularExpression unexpected(QStringLiteral("^Unexpected value after '([^']+)'"));
    if (const auto match = unknown.match(errorText); match.hasMatch())
        return QStringLiteral("unknown option '%1'").arg(typedOption(match.captured(1), args));
    if (const auto match = missing.match(errorText); match.hasMatch())
        return QStringLiteral("option '%1' needs a value").arg(match.captured(1));
    if (const auto match = unexpected.match(errorText); match.hasMatch())
        return QStringLiteral("option '%1' takes no value").arg(match.captured(1));
    QString text = errorText;
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

} // namespace

bool parseArguments(QCommandLineParser& parser, const Command& command, const QStringList& args)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    if (parser.parse(QStringList{QStringLiteral("vt")} + args))
        return true;
    printUsageError(command, usageProblem(parser.errorText(), args));
    return false;
}

bool parseOneArgument(QCommandLineParser& parser, const Command& command, const QStringList& args,
                      const QString& expected, QString& argument)
{
    if (!parseArguments(parser, command, args))
        return false;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        printUsageError(command, expected);
        return false;
    }
    argument = positional.first();
    return true;
}

} // namespace vt

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);

    if (args.isEmpty()) {
        printOverview(stderr);
        return vt::ExitUsage;
    }
    const QString first = args.takeFirst();
    if (first == QLatin1String("-h") || first == QLatin1String("--help")) {
        printOverview(stdout);
        return vt::ExitSuccess;
    }
    if (first == QLatin1String("--version")) {
        std::printf("vt %s\n", UPDATER_VERSION);
        return vt::ExitSuccess;
    }
    if (first == QLatin1String("help")) {
        if (args.isEmpty()) {
            printOverview(stdout);
            return vt::ExitSuccess;
        }
        return showCommandHelp(args.first());
    }
    const vt::Command* command = findCommand(first);
    if (!command) {
        vt::printError(QStringLiteral("unknown command '%1'; see 'vt --help'").arg(first));
        return vt::ExitUsage;
    }
    if (asksForHelp(args, command != &vt::packCommand))
        return showCommandHelp(first);
    return command->run(args);
}
