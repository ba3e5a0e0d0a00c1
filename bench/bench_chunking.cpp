// Measures content-defined chunking for the update index: candidate chunk sizes
// side by side (chunking + SHA-256 in one pass, rounds interleaved), how many
// chunks an edit changes, and the index of a synthetic game.
//   bench_chunking [--rounds N] [--dir TMPDIR]
// Data is generated from fixed seeds; files go to TMPDIR (default /dev/shm, so
// that the disk does not dominate).
#include "ArchiveWriter.h"
#include "UpdateIndex.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>

namespace {

struct Candidate
{
    const char* name;
    ContentChunks::Sizes sizes;
};

const Candidate kCandidates[] = {
    {"8/32/128 KiB", {8 * 1024, 32 * 1024, 128 * 1024}},
    {"16/64/256 KiB", {16 * 1024, 64 * 1024, 256 * 1024}},
    {"32/64/256 KiB", {32 * 1024, 64 * 1024, 256 * 1024}},
};

QByteArray randomBytes(qsizetype size, quint64 seed)
{
    std::mt19937_64 random(seed);
    QByteArray out(size, Qt::Uninitialized);
    auto* words = reinterpret_cast<quint64*>(out.data());
    for (qsizetype i = 0; i < size / 8; ++i)
        words[i] = random();
    return out;
}

struct Chunk
{
    qint64 offset;
    qint32 length;
    QByteArray hash;
};

std::vector<Chunk> chunksOf(const QByteArray& data, const ContentChunks::Sizes& sizes,
                            qsizetype piece = 1024 * 1024)
{
    std::vector<Chunk> chunks;
    ContentChunks::Chunker chunker(
        [&chunks](qint64 offset, qint32 length, const QByteArray& hash) {
            chunks.push_back(Chunk{offset, length, hash});
        },
        sizes);
    for (qsizetype at = 0; at < data.size(); at += piece)
        chunker.add(data.constData() + at, qMin(piece, data.size() - at));
    chunker.finish();
    return chunks;
}

// The yardstick: the plain FastCDC loop, one byte per step, each chunk hashed
// once it is cut. The gear table is rebuilt the documented way.
std::vector<Chunk> referenceChunks(const QByteArray& data, const ContentChunks::Sizes& sizes)
{
    static const auto gear = [] {
        std::array<quint64, 256> table{};
        quint64 state = 0x7665737361726921ULL;
        for (quint64& value : table) {
            quint64 z = (state += 0x9E3779B97F4A7C15ULL);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            value = z ^ (z >> 31);
        }
        return table;
    }();
    int bits = 0;
    while ((1 << (bits + 1)) <= sizes.average)
        ++bits;
    const quint64 strict = ~quint64(0) << (64 - bits - 2), loose = ~quint64(0) << (64 - bits + 2);
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    std::vector<Chunk> chunks;
    for (qint64 start = 0; start < data.size();) {
        const qint64 left = data.size() - start;
        qint64 length = qMin<qint64>(left, sizes.max);
        if (left > sizes.min) {
            quint64 h = 0;
            qint64 i = sizes.min;
            for (; i < length; ++i) {
                h = (h << 1) + gear[p[start + i]];
                if (!(h & (i < sizes.average ? strict : loose)))
                    break;
            }
            length = qMin(i + 1, length);
        }
        chunks.push_back(
            Chunk{start, qint32(length), ContentChunks::hash(data.constData() + start, length)});
        start += length;
    }
    return chunks;
}

// Chunks of after whose hash is not among before's, and their bytes.
QPair<int, qint64> changed(const std::vector<Chunk>& before, const std::vector<Chunk>& after)
{
    QSet<QByteArray> known;
    for (const Chunk& chunk : before)
        known.insert(chunk.hash);
    int count = 0;
    qint64 bytes = 0;
    for (const Chunk& chunk : after) {
        if (!known.contains(chunk.hash)) {
            ++count;
            bytes += chunk.length;
        }
    }
    return {count, bytes};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool writeBytes(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(data) == data.size();
}

// 2 x 64 MiB + 40 x 2 MiB + 2,000 x 8 KiB of random content.
bool makeGame(const QString& root)
{
    quint64 seed = 100;
    for (int i = 0; i < 2; ++i)
        if (!writeBytes(QStringLiteral("%1/data/pack%2.pak").arg(root).arg(i),
                        randomBytes(64 << 20, ++seed)))
            return false;
    for (int i = 0; i < 40; ++i)
        if (!writeBytes(QStringLiteral("%1/media/level%2.bin").arg(root).arg(i, 2, 10, QChar('0')),
                        randomBytes(2 << 20, ++seed)))
            return false;
    for (int i = 0; i < 2000; ++i)
        if (!writeBytes(QStringLiteral("%1/assets/%2/item%3.dat")
                            .arg(root)
                            .arg(i / 100, 2, 10, QChar('0'))
                            .arg(i, 4, 10, QChar('0')),
                        randomBytes(8 << 10, ++seed)))
            return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int rounds = 7;
    QString dir = QStringLiteral("/dev/shm");
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = qMax(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--dir") && i + 1 < args.size())
            dir = args[++i];
        else {
            std::fprintf(stderr, "usage: bench_chunking [--rounds N] [--dir TMPDIR]\n"
                                 "Compares chunk sizes for the update index: throughput of "
                                 "chunking + SHA-256,\nchunks changed by edits, and the index "
                                 "of a synthetic 256 MiB game.\n");
            return 2;
        }
    }

    constexpr qsizetype kBig = 256 << 20;
    const QByteArray data = randomBytes(kBig, 1);
    const double megabytes = double(kBig) / 1e6;

    // Throughput: in memory, rounds interleaved; SHA-256 alone over 64 KiB
    // pieces as the yardstick.
    std::vector<std::vector<double>> speed(std::size(kCandidates) + 3);
    const size_t reference = std::size(kCandidates) + 2;
    const auto same = [](const std::vector<Chunk>& a, const std::vector<Chunk>& b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) {
                   return x.offset == y.offset && x.length == y.length && x.hash == y.hash;
               });
    };
    if (!same(referenceChunks(data, ContentChunks::kSizes),
              chunksOf(data, ContentChunks::kSizes))) {
        std::fprintf(stderr, "the chunker and the one-byte loop disagree\n");
        return 1;
    }
    QTemporaryDir tmp(dir + QStringLiteral("/bench_chunking.XXXXXX"));
    const QString bigFile = tmp.filePath(QStringLiteral("big.bin"));
    if (!tmp.isValid() || !writeBytes(bigFile, data)) {
        std::fprintf(stderr, "cannot write to %s\n", qPrintable(dir));
        return 1;
    }
    // Wall time and this process's CPU time: on a shared machine the second
    // shows the cost without the time other programs took.
    std::vector<std::vector<double>> cpuSpeed(speed.size());
    const auto measure = [&](size_t slot, const std::function<void()>& work) {
        timespec cpuStart{}, cpuEnd{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuStart);
        QElapsedTimer clock;
        clock.start();
        work();
        const double wall = double(clock.nsecsElapsed()) / 1e9;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuEnd);
        const double cpu = double(cpuEnd.tv_sec - cpuStart.tv_sec) +
                           double(cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e9;
        speed[slot].push_back(megabytes / wall);
        cpuSpeed[slot].push_back(megabytes / cpu);
    };
    bool readFailed = false;
    for (int round = 0; round < rounds; ++round) {
        for (size_t c = 0; c < std::size(kCandidates); ++c)
            measure(c, [&] { chunksOf(data, kCandidates[c].sizes); });
        measure(std::size(kCandidates), [&] {
            for (qsizetype at = 0; at < kBig; at += 64 * 1024)
                ContentChunks::hash(data.constData() + at, 64 * 1024);
        });
        measure(std::size(kCandidates) + 1, [&] {
            std::vector<IndexChunk> fileChunks;
            readFailed |= !ContentChunks::chunkFile(bigFile, fileChunks);
        });
        measure(reference, [&] { referenceChunks(data, ContentChunks::kSizes); });
    }
    if (readFailed)
        return 1;
    std::printf("Throughput, 256 MiB random data, %d interleaved rounds (MB/s, median / worst;\n"
                "by wall time, then by CPU time):\n",
                rounds);
    for (size_t c = 0; c < std::size(speed); ++c) {
        const char* name = c < std::size(kCandidates)    ? kCandidates[c].name
                           : c == std::size(kCandidates) ? "SHA-256 alone, 64 KiB"
                           : c == reference              ? "one byte per step, 16/64/256"
                                                         : "chunkFile() 16/64/256, tmpfs";
        std::printf("  %-30s %6.0f / %6.0f    cpu %6.0f / %6.0f\n", name, median(speed[c]),
                    *std::min_element(speed[c].begin(), speed[c].end()), median(cpuSpeed[c]),
                    *std::min_element(cpuSpeed[c].begin(), cpuSpeed[c].end()));
    }

    // Edits in the middle of a 64 MiB file.
    const QByteArray original = randomBytes(64 << 20, 2);
    const qsizetype middle = original.size() / 2;
    QByteArray inserted = original;
    inserted.insert(middle, 'x');
    QByteArray overwritten = original;
    overwritten.replace(middle, 4096, randomBytes(4096, 3));
    std::printf("\nEdits in the middle of a 64 MiB random file (new chunks / their bytes):\n");
    for (const Candidate& candidate : kCandidates) {
        const auto before = chunksOf(original, candidate.sizes);
        const auto insert = changed(before, chunksOf(inserted, candidate.sizes));
        const auto overwrite = changed(before, chunksOf(overwritten, candidate.sizes));
        qint64 smallest = before.front().length, largest = 0;
        for (size_t i = 0; i + 1 < before.size(); ++i) {
            smallest = qMin<qint64>(smallest, before[i].length);
            largest = qMax<qint64>(largest, before[i].length);
        }
        std::printf("  %-14s %5zu chunks, mean %6.0f B (%lld..%lld); 1-byte insertion: %d / %lld "
                    "B; 4 KiB overwrite: %d / %lld B\n",
                    candidate.name, before.size(), double(original.size()) / double(before.size()),
                    qlonglong(smallest), qlonglong(largest), insert.first, qlonglong(insert.second),
                    overwrite.first, qlonglong(overwrite.second));
    }

    // Edits anywhere: the mean over seeded random places in a 16 MiB file, where
    // an edit close to a cut can also move the next one.
    constexpr int kTrials = 24;
    const QByteArray sample = randomBytes(16 << 20, 4);
    std::printf(
        "\nMean over %d random places in a 16 MiB random file (new chunks / their bytes):\n",
        kTrials);
    for (const Candidate& candidate : kCandidates) {
        const auto before = chunksOf(sample, candidate.sizes);
        std::mt19937_64 places(5);
        double counts[2] = {0, 0}, bytes[2] = {0, 0};
        for (int trial = 0; trial < kTrials; ++trial) {
            const auto at = qsizetype(places() % quint64(sample.size() - 4096));
            const QByteArray edited[2] = {
                QByteArray(sample).insert(at, 'x'),
                QByteArray(sample).replace(at, 4096, randomBytes(4096, trial))};
            for (int kind = 0; kind < 2; ++kind) {
                const auto result = changed(before, chunksOf(edited[kind], candidate.sizes));
                counts[kind] += double(result.first) / kTrials;
                bytes[kind] += double(result.second) / kTrials;
            }
        }
        std::printf("  %-14s 1-byte insertion: %.2f / %6.0f B; 4 KiB overwrite: %.2f / %6.0f B\n",
                    candidate.name, counts[0], bytes[0], counts[1], bytes[1]);
    }

    // The index of a synthetic game, with the sizes in use.
    const QString game = tmp.filePath(QStringLiteral("game"));
    const QString archive = tmp.filePath(QStringLiteral("game.vt"));
    QString why;
    if (!makeGame(game) || !packDirectory(game, archive, PackOptions(), &why)) {
        std::fprintf(stderr, "cannot make the game: %s\n", qPrintable(why));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    UpdateIndex index;
    if (!UpdateIndex::build(archive, index, &why)) {
        std::fprintf(stderr, "index: %s\n", qPrintable(why));
        return 1;
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const QByteArray bytes = index.serialize();
    size_t chunkCount = 0;
    for (const IndexEntry& entry : index.entries)
        chunkCount += entry.chunks.size();
    std::printf("\nGame of 2 x 64 MiB + 40 x 2 MiB + 2000 x 8 KiB: archive %lld B, %zu entries, "
                "%zu chunks;\n  index %lld B = %.3f %% of the archive; built in %.2f s (%.0f MB/s, "
                "with BLAKE2b-512)\n",
                qlonglong(index.archiveSize), index.entries.size(), chunkCount,
                qlonglong(bytes.size()), 100.0 * double(bytes.size()) / double(index.archiveSize),
                seconds, double(index.archiveSize) / 1e6 / seconds);
    return 0;
}
