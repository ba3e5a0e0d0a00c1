// Starts a download, cancels it and quits at once, the way the updater does when
// the user leaves mid-download. Run by tst_quit, which checks that the process
// ends cleanly.
//   net_quit_helper <url> <target file> mid|at-once|leave-running
#include "FileGrabber.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <memory>

int main(int argc, char** argv)
{
    auto application = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication& app = *application;
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: net_quit_helper <url> <target> mid|at-once|leave-running\n");
        return 2;
    }
    const QString mode = args.at(3);
    auto* grabber = new FileGrabber(QUrl(args.at(1)), args.at(2), 0);
    QObject::connect(grabber, &FileGrabber::finished, &app, [](bool, int) {
        std::fprintf(stderr, "unexpected finished\n");
        QCoreApplication::exit(3);
    });
    grabber->start();
    if (mode == QLatin1String("at-once")) {
        delete grabber;
        return 0;
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (grabber->progress() > 0.0f) {
            if (mode == QLatin1String("mid")) {
                delete grabber;
                grabber = nullptr;
            }
            app.quit();
        }
    });
    poll.start(5);
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(4); });
    const int result = app.exec();
    poll.stop();
    // In leave-running mode the transfer is still going when the application
    // object goes; its owner is deleted only afterwards.
    if (mode == QLatin1String("leave-running"))
        application.reset();
    delete grabber;
    return result;
}
