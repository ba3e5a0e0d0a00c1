// Downloads one URL into one file with FileGrabber, as the updater does, and
// exits 0 on success. Driver for bench/download_vs_curl.sh.
//   bench_download <url> <file>
#include "FileGrabber.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || args.at(1) == QLatin1String("--help")) {
        std::fprintf(stderr, "usage: bench_download <url> <file>\n"
                             "Downloads url into file with FileGrabber; prints the seconds "
                             "taken to stderr.\n");
        return 2;
    }
    FileGrabber grabber(QUrl(args.at(1)), args.at(2), 0);
    QElapsedTimer clock;
    QObject::connect(&grabber, &FileGrabber::finished, &app, [&](bool error, int) {
        std::fprintf(stderr, "%s in %.3f s\n", error ? "failed" : "done",
                     double(clock.nsecsElapsed()) / 1e9);
        QCoreApplication::exit(error ? 1 : 0);
    });
    clock.start();
    grabber.start();
    return app.exec();
}
