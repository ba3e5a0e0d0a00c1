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
#include <cstdio>
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
    std::vector<std::vector<double>> speed(std::size(kCandidates) + 2);
    QTemporaryDir tmp(dir + QStringLiteral("/bench_chunking.XXXXXX"));
    const QString bigFile = tmp.filePath(QStringLiteral("big.bin"));
    if (!tmp.isValid() || !writeBytes(bigFile, data)) {
        std::fprintf(stderr, "cannot write to %s\n", qPrintable(dir));
        return 1;
    }
    for (int round = 0; round < rounds; ++round) {
        for (size_t c = 0; c < std::size(kCandidates); ++c) {
            QElapsedTimer clock;
            clock.start();
            const auto chunks = chunksOf(data, kCandidates[c].sizes);
            speed[c].push_back(megabytes / (double(clock.nsecsElapsed()) / 1e9));
        }
        QElapsedTimer clock;
        clock.start();
        for (qsizetype at = 0; at < kBig; at += 64 * 1024)
            ContentChunks::hash(data.constData() + at, 64 * 1024);
        speed[std::size(kCandidates)].push_back(megabytes / (double(clock.nsecsElapsed()) / 1e9));
        clock.start();
        std::vector<IndexChunk> fileChunks;
        if (!ContentChunks::chunkFile(bigFile, fileChunks))
            return 1;
        speed[std::size(kCandidates) + 1].push_back(megabytes /
                                                    (double(clock.nsecsElapsed()) / 1e9));
    }
    std::printf("Throughput, 256 MiB random data, %d interleaved rounds (MB/s, median / worst):\n",
                rounds);
    for (size_t c = 0; c < std::size(speed); ++c) {
        const char* name = c < std::size(kCandidates)    ? kCandidates[c].name
                           : c == std::size(kCandidates) ? "SHA-256 alone, 64 KiB"
                                                         : "chunkFile() 16/64/256, tmpfs";
        const double worst = *std::min_element(speed[c].begin(), speed[c].end());
        std::printf("  %-30s %7.0f / %7.0f\n", name, median(speed[c]), worst);
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
