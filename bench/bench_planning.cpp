// Planning an update over a seeded synthetic game of about 256 MiB (2 pack files
// of 64 MiB, 40 files of 2 MiB, 2,000 files of 8 KiB, random content) that is
// already up to date: with the installed state (nothing should be read) and with
// repair (every file read and hashed). Rounds are interleaved; median and worst
// round are printed, with the CPU time (the machine may be shared).
//
//   bench_planning [DIR (default /dev/shm/bench_planning)] [ROUNDS (default 5)]
//
// Put DIR on tmpfs: the disk would otherwise dominate.
#include "ArchiveWriter.h"
#include "GameFolder.h"
#include "InstalledState.h"
#include "UpdatePlan.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

namespace {

// CPU time of the whole process (all threads): the machine may be shared.
double cpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

bool writeRandom(const QString& path, qint64 size, QRandomGenerator& gen)
{
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    while (size > 0) {
        const qint64 n = std::min<qint64>(size, block.size());
        gen.fillRange(reinterpret_cast<quint32*>(block.data()), int(n / 4));
        if (file.write(block.constData(), n) != n)
            return false;
        size -= n;
    }
    return true;
}

bool makeGame(const QString& dir)
{
    QRandomGenerator gen(19);
    bool ok = true;
    for (int i = 0; i < 2; ++i)
        ok =
            ok && writeRandom(QStringLiteral("%1/packs/pack%2.bin").arg(dir).arg(i), 64 << 20, gen);
    for (int i = 0; i < 40; ++i)
        ok = ok && writeRandom(QStringLiteral("%1/media/m%2.dat").arg(dir).arg(i), 2 << 20, gen);
    for (int i = 0; i < 2000; ++i)
        ok = ok && writeRandom(QStringLiteral("%1/small/%2/s%3.txt").arg(dir).arg(i / 100).arg(i),
                               8 << 10, gen);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    const QString dir =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/dev/shm/bench_planning");
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    const QString game = dir + QStringLiteral("/game"), archive = dir + QStringLiteral("/game.vt");
    QDir(dir).removeRecursively();
    QString error;
    UpdateIndex index;
    if (!makeGame(game) || !packDirectory(game, archive, PackOptions(), &error) ||
        !UpdateIndex::build(archive, index, &error)) {
        std::fprintf(stderr, "setup failed: %s\n", qPrintable(error));
        return 1;
    }
    QFile::remove(archive);
    GameFolder folder;
    InstalledState state;
    if (!folder.open(game, &error)) {
        std::fprintf(stderr, "setup failed: %s\n", qPrintable(error));
        return 1;
    }
    installedStateOf(index, folder, state);
    qint64 gameBytes = 0;
    for (const auto& file : state.files)
        gameBytes += file.second.size;

    struct Mode
    {
        const char* name;
        bool repair;
    };
    const Mode modes[] = {{"installed state", false}, {"repair", true}};
    std::map<const char*, std::vector<double>> seconds, cpu;
    std::map<const char*, qint64> read;
    for (int round = 0; round < rounds; ++round) {
        for (const Mode& mode : modes) {
            PlanOptions options;
            options.repair = mode.repair;
            UpdatePlan plan;
            QElapsedTimer timer;
            const double cpuStart = cpuSeconds();
            timer.start();
            if (!planUpdate(index, folder, &state, nullptr, options, plan, &error)) {
                std::fprintf(stderr, "planning failed: %s\n", qPrintable(error));
                return 1;
            }
            seconds[mode.name].push_back(timer.nsecsElapsed() / 1e9);
            cpu[mode.name].push_back(cpuSeconds() - cpuStart);
            read[mode.name] = plan.stats.bytesRead;
            if (plan.stats.filesUnchanged != int(state.files.size()) || plan.stats.ranges != 0) {
                std::fprintf(stderr, "%s: the game is not found up to date\n", mode.name);
                return 1;
            }
        }
    }
    std::printf("game: %.1f MiB in %zu files, %d rounds\n", gameBytes / 1048576.0,
                state.files.size(), rounds);
    for (const Mode& mode : modes) {
        std::vector<double>& s = seconds[mode.name];
        std::vector<double>& c = cpu[mode.name];
        std::sort(s.begin(), s.end());
        std::sort(c.begin(), c.end());
        const double median = s[s.size() / 2], worst = s.back(), cpuMedian = c[c.size() / 2];
        std::printf("%-18s median %8.3f s  worst %8.3f s  read %6.2f%% of the game", mode.name,
                    median, worst, 100.0 * read[mode.name] / gameBytes);
        if (read[mode.name] > 0)
            std::printf("  %.2f GB/s (worst %.2f), CPU %.3f s", read[mode.name] / median / 1e9,
                        read[mode.name] / worst / 1e9, cpuMedian);
        std::printf("\n");
    }
    QDir(dir).removeRecursively();
    return 0;
}
