#include "Log.h"
#include "Updater.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

namespace {

const char usage[] = "Usage: updater BASEURL GAMECOMMAND\n"
                     "Downloads BASEURL followed by update.vt into the current directory and\n"
                     "extracts it there, in a small dialog; then starts GAMECOMMAND (split at\n"
                     "spaces outside double quotes) once the player plays or gives up the update.\n"
                     "Failures go to log.txt.\n"
                     "\n"
                     "  -h, --help     show this help\n"
                     "  --version      show the version\n";

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
        QApplication app(argc, argv);
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
