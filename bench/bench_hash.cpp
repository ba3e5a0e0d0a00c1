// Hashing for signed updates, driver for bench/signed_vs_unsigned.sh.
//   bench_hash FILE ROUNDS
// Prints, per round and interleaved, the seconds to stream FILE through
// BLAKE2b-512 with QCryptographicHash and with libsodium, then libsodium's
// hashing straight through against the same in 4 MiB slices on a zero-interval
// timer, as the dialog hashes, with the longest slice (what a repaint may wait
// for).
//   bench_hash --check FILE SIGFILE PUBKEYFILE
// Only the check, straight through (for peak memory); exits 0 when valid.
#include "Signature.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>
#include <functional>

namespace {

double seconds(const std::function<void()>& work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return double(clock.nsecsElapsed()) / 1e9;
}

template <typename Add> void stream(const QString& path, Add add)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        std::exit(1);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 n;
    while ((n = file.read(buffer.data(), buffer.size())) > 0)
        add(buffer.constData(), n);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("--check")) {
        const TrustAnchor anchor = TrustAnchor::fromFile(args.at(4));
        SignatureCheck check(anchor.key, args.at(2), args.at(3), QFileInfo(args.at(2)).fileName());
        return anchor.mode == TrustAnchor::Mode::Signed &&
                       check.run() == SignatureCheck::Status::Valid
                   ? 0
                   : 1;
    }
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: bench_hash FILE ROUNDS | bench_hash --check FILE SIGFILE "
                             "PUBKEYFILE\n");
        return 2;
    }
    const QString path = args.at(1);
    const int rounds = args.at(2).toInt();
    std::printf("%-6s %9s %9s %10s %9s %12s\n", "round", "Qt s", "sodium s", "straight s",
                "sliced s", "slice max ms");
    for (int round = 1; round <= rounds; ++round) {
        QByteArray qtDigest, sodiumDigest;
        auto viaQt = [&] {
            QCryptographicHash hash(QCryptographicHash::Blake2b_512);
            stream(path, [&](const char* d, qint64 n) { hash.addData(QByteArrayView(d, n)); });
            qtDigest = hash.result();
        };
        auto viaSodium = [&] {
            Blake2b hash;
            stream(path, [&](const char* d, qint64 n) { hash.addData(d, n); });
            sodiumDigest = hash.result();
        };
        // Alternating which goes first, so that neither always meets a cold cache.
        double qt = 0, sodium = 0;
        if (round % 2) {
            qt = seconds(viaQt);
            sodium = seconds(viaSodium);
        } else {
            sodium = seconds(viaSodium);
            qt = seconds(viaQt);
        }
        if (qtDigest != sodiumDigest)
            return 1;

        auto straight = [&] {
            Blake2b hash;
            stream(path, [&](const char* d, qint64 n) { hash.addData(d, n); });
        };
        double longest = 0;
        auto sliced = [&] {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            Blake2b hash;
            QByteArray buffer(1 << 20, Qt::Uninitialized);
            QTimer timer;
            QObject::connect(&timer, &QTimer::timeout, [&] {
                QElapsedTimer slice;
                slice.start();
                // The dialog's slice: 4 MiB per timer call.
                for (qint64 done = 0; done < (qint64(4) << 20);) {
                    const qint64 n = file.read(buffer.data(), buffer.size());
                    if (n <= 0) {
                        QCoreApplication::exit(0);
                        return;
                    }
                    hash.addData(buffer.constData(), n);
                    done += n;
                }
                longest = qMax(longest, double(slice.nsecsElapsed()) / 1e6);
            });
            timer.start(0);
            QCoreApplication::exec();
        };
        const double whole = seconds(straight);
        const double inSlices = seconds(sliced);
        std::printf("%-6d %9.3f %9.3f %10.3f %9.3f %12.1f\n", round, qt, sodium, whole, inSlices,
                    longest);
        std::fflush(stdout);
    }
    return 0;
}
