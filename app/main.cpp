#include "Log.h"
#include "Updater.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // Opened before anything else so that even a bad command line leaves a fresh
    // log behind; a log that cannot be opened does not stop the update.
    openLog(QStringLiteral("log.txt"), true);
    if (argc < 3)
        return -1;

    int result = 0;
    {
        QApplication app(argc, argv);
        // Read after the application has taken its own options (-platform and the
        // like) out of the argument list.
        const QStringList arguments = QCoreApplication::arguments();
        auto* updater = new Updater;
        updater->setBaseUrl(arguments.value(1));
        updater->setGamePath(arguments.value(2));
        updater->startUpdating();
        updater->show();
        result = app.exec();
        delete updater;
        closeLog();
    }
    return result;
}
