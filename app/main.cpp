#include "Log.h"
#include "Updater.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char usage[] = "Usage: updater BASEURL GAMECOMMAND\n"
                     "Downloads BASEURL followed by update.vt into the current directory and\n"
                     "extracts it there, in a small dialog; then starts GAMECOMMAND (split at\n"
                     "spaces outside double quotes) once the player plays or gives up the update.\n"
                     "Failures go to log.txt.\n"
                     "\n"
                     "  -h, --help     show this help\n"
                     "  --version      show the version\n";

// No window can be shown: no display, or one that cannot be reached.
constexpr int exitNoDisplay = 3;

bool applicationStarted = false;
QtMessageHandler defaultHandler = nullptr;

// Until the application is up, Qt's only fatal error is a platform that cannot be
// opened, and its text (a plugin list, "Reinstalling the application may fix
// this problem") helps nobody: one line instead, and a documented exit code
// rather than an abort. The platform's own warnings about it go too.
void startupMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!applicationStarted && type == QtFatalMsg) {
        std::fputs("updater: no display found (is DISPLAY set and the X server running?)\n",
                   stderr);
        closeLog();
        _exit(exitNoDisplay);
    }
    if (!applicationStarted && context.category && std::strncmp(context.category, "qt.qpa", 6) == 0)
        return;
    defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char* argv[])
{
    // Before the log, which a look at the help must not empty.
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && !std::strcmp(argv[1], "--version")) {
        std::printf("updater %s\n", UPDATER_VERSION);
        return 0;
    }
    // Opened before anything else so that even a bad command line leaves a fresh
    // log behind; a log that cannot be opened does not stop the update.
    openLog(QStringLiteral("log.txt"), true);
    if (argc < 3) {
        std::fputs(usage, stderr);
        return -1;
    }

    int result = 0;
    {
        defaultHandler = qInstallMessageHandler(startupMessages);
        QApplication app(argc, argv);
        applicationStarted = true;
        // Read after the application has taken its own options (-platform and the
        // like) out of the argument list.
        const QStringList arguments = QCoreApplication::arguments();
        auto* updater = new Updater;
        updater->setBaseUrl(arguments.value(1));
        updater->setGamePath(arguments.value(2));
        StopSignals stopSignals;
        QObject::connect(&stopSignals, &StopSignals::stopRequested, updater, &Updater::stop);
        updater->startUpdating();
        updater->show();
        result = app.exec();
        delete updater;
        closeLog();
    }
    return result;
}
