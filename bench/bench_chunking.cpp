// Measures content-defined chunking for the update index: candidate chunk sizes
// and normalization levels side by side (chunking + SHA-256 in one pass, rounds
// interleaved), how many chunks an edit changes, what a player fetches after
// the updates of bench/make_game.py's recipe, and the index of a synthetic game.
//   bench_chunking [--rounds N] [--seeds N] [--scale N] [--dir TMPDIR]
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
#include <map>
#include <random>
#include <string>

namespace {

struct Candidate
{
    const char* name;
    ContentChunks::Sizes sizes;
    int level; // normalization: mask bits more below the average, fewer above
};

const Candidate kCandidates[] = {
    {"8/32/128 KiB L1", {8 * 1024, 32 * 1024, 128 * 1024}, 1},
    {"16/64/256 KiB L0", {16 * 1024, 64 * 1024, 256 * 1024}, 0},
    {"16/64/256 KiB L1", {16 * 1024, 64 * 1024, 256 * 1024}, 1},
    {"16/64/256 KiB L2", {16 * 1024, 64 * 1024, 256 * 1024}, 2},
    {"32/64/256 KiB L1", {32 * 1024, 64 * 1024, 256 * 1024}, 1},
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
                            int level = ContentChunks::kLevel, qsizetype piece = 1024 * 1024)
{
    std::vector<Chunk> chunks;
    ContentChunks::Chunker chunker(
        [&chunks](qint64 offset, qint32 length, const QByteArray& hash) {
            chunks.push_back(Chunk{offset, length, hash});
        },
        sizes, level);
    for (qsizetype at = 0; at < data.size(); at += piece)
        chunker.add(data.constData() + at, qMin(piece, data.size() - at));
    chunker.finish();
    return chunks;
}

// The yardstick: the plain FastCDC loop, one byte per step, each chunk hashed
// once it is cut. The gear table is rebuilt the documented way.
std::vector<Chunk> referenceChunks(const QByteArray& data, const ContentChunks::Sizes& sizes,
                                   int level)
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
    const quint64 strict = ~quint64(0) << (64 - bits - level);
    const quint64 loose = ~quint64(0) << (64 - bits + level);
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

// The update recipe of bench/make_game.py, with this program's own random
// numbers: each file a list of extents of seeded random blobs, so that the
// bytes a version brought are known exactly.
struct Extent
{
    int blob;
    qint64 offset;
    qint64 length;
};
using Extents = std::vector<Extent>;
using Version = std::map<std::string, Extents>;

class RecipeGame
{
public:
    RecipeGame(quint64 seed, int scale) : seed(seed), scale(scale) {}

    Extents blob(qint64 size)
    {
        blobs.push_back(randomBytes(size, seed * 1000003 + blobs.size()));
        return {Extent{int(blobs.size() - 1), 0, size}};
    }
    const QByteArray& bytesOf(int id) const { return blobs[size_t(id)]; }

    Version first()
    {
        Version files;
        for (int i = 0; i < 2; ++i)
            files["packs/pack" + std::to_string(i)] = blob((64 << 20) / scale);
        for (int i = 0; i < 40; ++i)
            files["data/big/file" + std::to_string(100 + i)] = blob((2 << 20) / scale);
        for (int i = 0; i < 2000 / scale; ++i)
            files["data/small/f" + std::to_string(10000 + i)] = blob(8 << 10);
        return files;
    }

    Version next(Version files, int step)
    {
        std::mt19937_64 random(seed * 7919 + quint64(step));
        const auto below = [&random](qint64 n) { return qint64(random() % quint64(n)); };
        const qint64 bigSize = (2 << 20) / scale;
        // In one pack: an insertion, then an overwrite.
        Extents& pack = files["packs/pack" + std::to_string(step % 2)];
        pack = splice(pack, below(sizeOf(pack)), 0, blob((256 << 10) / scale));
        const qint64 overwrite = (1 << 20) / scale;
        pack = splice(pack, below(sizeOf(pack) - overwrite), overwrite, blob(overwrite));
        std::vector<std::string> bigs, smalls;
        for (const auto& entry : files) {
            if (entry.first.rfind("data/big/", 0) == 0)
                bigs.push_back(entry.first);
            else if (entry.first.rfind("data/small/", 0) == 0)
                smalls.push_back(entry.first);
        }
        std::shuffle(bigs.begin(), bigs.end(), random);
        std::shuffle(smalls.begin(), smalls.end(), random);
        const qsizetype smallCount = qsizetype(smalls.size());
        size_t nextBig = 0, nextSmall = 0;
        const auto take = [](std::vector<std::string>& from, size_t& at, qsizetype count) {
            std::vector<std::string> out(from.begin() + qsizetype(at),
                                         from.begin() + qsizetype(at) + count);
            at += size_t(count);
            return out;
        };
        // Replaced whole.
        for (const auto& path : take(bigs, nextBig, 1))
            files[path] = blob(sizeOf(files[path]));
        for (const auto& path : take(smalls, nextSmall, qMax<qsizetype>(1, smallCount * 25 / 1000)))
            files[path] = blob(sizeOf(files[path]));
        // Partly rewritten: a quarter of a big file, 1 KiB of a small one.
        for (const auto& path : take(bigs, nextBig, 2)) {
            const qint64 part = bigSize / 4;
            files[path] = splice(files[path], below(sizeOf(files[path]) - part), part, blob(part));
        }
        for (const auto& path : take(smalls, nextSmall, qMax<qsizetype>(1, smallCount * 5 / 100)))
            files[path] = splice(files[path], below(7 << 10), 1 << 10, blob(1 << 10));
        // Renamed, deleted, added.
        for (const auto& path : take(bigs, nextBig, 1)) {
            files["data/big/renamed" + std::to_string(step)] = files[path];
            files.erase(path);
        }
        int moved = 0;
        for (const auto& path : take(smalls, nextSmall, 10)) {
            files["data/small/moved" + std::to_string(step) + '_' + std::to_string(moved++)] =
                files[path];
            files.erase(path);
        }
        for (const auto& path : take(bigs, nextBig, 1))
            files.erase(path);
        for (const auto& path : take(smalls, nextSmall, qMax<qsizetype>(1, smallCount / 100)))
            files.erase(path);
        files["data/big/new" + std::to_string(step)] = blob(bigSize);
        for (qsizetype i = 0; i < qMax<qsizetype>(1, smallCount / 100); ++i)
            files["data/small/new" + std::to_string(step) + '_' + std::to_string(i)] =
                blob(8 << 10);
        return files;
    }

    static qint64 sizeOf(const Extents& extents)
    {
        qint64 size = 0;
        for (const Extent& extent : extents)
            size += extent.length;
        return size;
    }

    // Bytes of to that no blob range of from holds: what any method must fetch.
    static qint64 newBytes(const Version& from, const Version& to)
    {
        std::map<int, std::vector<std::pair<qint64, qint64>>> covered;
        for (const auto& [path, extents] : from)
            for (const Extent& e : extents)
                covered[e.blob].push_back({e.offset, e.offset + e.length});
        for (auto& [id, spans] : covered) {
            std::sort(spans.begin(), spans.end());
            std::vector<std::pair<qint64, qint64>> merged{spans.front()};
            for (const auto& span : spans) {
                if (span.first <= merged.back().second)
                    merged.back().second = qMax(merged.back().second, span.second);
                else
                    merged.push_back(span);
            }
            spans = merged;
        }
        qint64 total = 0;
        for (const auto& [path, extents] : to) {
            for (const Extent& e : extents) {
                qint64 left = e.length;
                const auto it = covered.find(e.blob);
                if (it != covered.end())
                    for (const auto& [start, end] : it->second)
                        left -=
                            qMax<qint64>(0, qMin(end, e.offset + e.length) - qMax(start, e.offset));
                total += left;
            }
        }
        return total;
    }

private:
    static Extents cut(const Extents& extents, qint64 start, qint64 end)
    {
        Extents out;
        qint64 at = 0;
        for (const Extent& e : extents) {
            const qint64 low = qMax(start, at), high = qMin(end, at + e.length);
            if (low < high)
                out.push_back(Extent{e.blob, e.offset + low - at, high - low});
            at += e.length;
        }
        return out;
    }
    static Extents splice(const Extents& extents, qint64 at, qint64 removed,
                          const Extents& inserted)
    {
        Extents out = cut(extents, 0, at);
        out.insert(out.end(), inserted.begin(), inserted.end());
        const Extents tail = cut(extents, at + removed, sizeOf(extents));
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    }

    quint64 seed;
    int scale;
    std::vector<QByteArray> blobs;
};

// The chunks (hash, length) of every file of a version, each distinct content
// chunked once: a file an update leaves alone keeps its extents.
class VersionChunks
{
public:
    VersionChunks(const RecipeGame& game, const Candidate& candidate)
        : game(game), candidate(candidate)
    {
    }

    const std::vector<std::pair<QByteArray, qint32>>& of(const Extents& extents)
    {
        QByteArray key;
        for (const Extent& e : extents)
            key += QByteArray::number(e.blob) + ':' + QByteArray::number(e.offset) + '+' +
                   QByteArray::number(e.length) + ' ';
        auto it = cache.find(key);
        if (it != cache.end())
            return it->second;
        std::vector<std::pair<QByteArray, qint32>> chunks;
        ContentChunks::Chunker chunker(
            [&chunks](qint64, qint32 length, const QByteArray& hash) {
                chunks.emplace_back(hash, length);
            },
            candidate.sizes, candidate.level);
        for (const Extent& e : extents)
            chunker.add(game.bytesOf(e.blob).constData() + e.offset, qsizetype(e.length));
        chunker.finish();
        return cache.emplace(key, std::move(chunks)).first->second;
    }

    // Bytes of to's chunks that no file of from has, as a player with from fetches them.
    qint64 missing(const Version& from, const Version& to)
    {
        QSet<QByteArray> known;
        for (const auto& [path, extents] : from)
            for (const auto& chunk : of(extents))
                known.insert(chunk.first);
        qint64 bytes = 0;
        for (const auto& [path, extents] : to)
            for (const auto& chunk : of(extents))
                bytes += known.contains(chunk.first) ? 0 : chunk.second;
        return bytes;
    }

    size_t chunkCount(const Version& version)
    {
        size_t count = 0;
        for (const auto& [path, extents] : version)
            count += of(extents).size();
        return count;
    }

private:
    const RecipeGame& game;
    const Candidate& candidate;
    std::map<QByteArray, std::vector<std::pair<QByteArray, qint32>>> cache;
};

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
    int seeds = 5;
    int scale = 1;
    QString dir = QStringLiteral("/dev/shm");
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = qMax(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--seeds") && i + 1 < args.size())
            seeds = qMax(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--scale") && i + 1 < args.size() &&
                 QList<int>{1, 2, 4, 8, 16}.contains(args[i + 1].toInt()))
            scale = args[++i].toInt();
        else if (args[i] == QLatin1String("--dir") && i + 1 < args.size())
            dir = args[++i];
        else {
            const bool help = args[i] == QLatin1String("-h") || args[i] == QLatin1String("--help");
            std::fprintf(help ? stdout : stderr,
                         "usage: bench_chunking [--rounds N] [--seeds N] [--scale 1|2|4|8|16] "
                         "[--dir TMPDIR]\n"
                         "Compares chunk sizes and normalization levels for the update index: "
                         "throughput\nof chunking + SHA-256, chunks changed by edits, bytes a "
                         "player fetches after\nbench/make_game.py's updates (over N seeds, game "
                         "sizes divided by --scale), and\nthe index of a synthetic 256 MiB "
                         "game.\n");
            return help ? 0 : 2;
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
    if (!same(referenceChunks(data, ContentChunks::kSizes, ContentChunks::kLevel),
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
            measure(c, [&] { chunksOf(data, kCandidates[c].sizes, kCandidates[c].level); });
        measure(std::size(kCandidates), [&] {
            for (qsizetype at = 0; at < kBig; at += 64 * 1024)
                ContentChunks::hash(data.constData() + at, 64 * 1024);
        });
        measure(std::size(kCandidates) + 1, [&] {
            std::vector<IndexChunk> fileChunks;
            readFailed |= !ContentChunks::chunkFile(bigFile, fileChunks);
        });
        measure(reference,
                [&] { referenceChunks(data, ContentChunks::kSizes, ContentChunks::kLevel); });
    }
    if (readFailed)
        return 1;
    std::printf("Throughput, 256 MiB random data, %d interleaved rounds (MB/s, median / worst;\n"
                "by wall time, then by CPU time):\n",
                rounds);
    for (size_t c = 0; c < std::size(speed); ++c) {
        const char* name = c < std::size(kCandidates)    ? kCandidates[c].name
                           : c == std::size(kCandidates) ? "SHA-256 alone, 64 KiB"
                           : c == reference              ? "one byte per step, in use"
                                                         : "chunkFile() in use, tmpfs";
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
        const auto before = chunksOf(original, candidate.sizes, candidate.level);
        const auto insert = changed(before, chunksOf(inserted, candidate.sizes, candidate.level));
        const auto overwrite =
            changed(before, chunksOf(overwritten, candidate.sizes, candidate.level));
        qint64 smallest = before.front().length, largest = 0;
        for (size_t i = 0; i + 1 < before.size(); ++i) {
            smallest = qMin<qint64>(smallest, before[i].length);
            largest = qMax<qint64>(largest, before[i].length);
        }
        std::printf("  %-17s %5zu chunks, mean %6.0f B (%lld..%lld); 1-byte insertion: %d / %lld "
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
        const auto before = chunksOf(sample, candidate.sizes, candidate.level);
        std::mt19937_64 places(5);
        double counts[2] = {0, 0}, bytes[2] = {0, 0};
        for (int trial = 0; trial < kTrials; ++trial) {
            const auto at = qsizetype(places() % quint64(sample.size() - 4096));
            const QByteArray edited[2] = {
                QByteArray(sample).insert(at, 'x'),
                QByteArray(sample).replace(at, 4096, randomBytes(4096, trial))};
            for (int kind = 0; kind < 2; ++kind) {
                const auto result =
                    changed(before, chunksOf(edited[kind], candidate.sizes, candidate.level));
                counts[kind] += double(result.first) / kTrials;
                bytes[kind] += double(result.second) / kTrials;
            }
        }
        std::printf("  %-17s 1-byte insertion: %.2f / %6.0f B; 4 KiB overwrite: %.2f / %6.0f B\n",
                    candidate.name, counts[0], bytes[0], counts[1], bytes[1]);
    }

    // What a player pays: versions 1, 5 and 6 of the recipe, seeds interleaved
    // with the candidates.
    const size_t count = std::size(kCandidates);
    std::vector<std::vector<double>> oneBehind(count + 1), fiveBehind(count + 1), chunks(count);
    for (int round = 0; round < seeds; ++round) {
        RecipeGame recipe(quint64(19 + round), scale);
        const Version first = recipe.first();
        Version fifth = first;
        for (int step = 2; step <= 5; ++step)
            fifth = recipe.next(fifth, step);
        const Version sixth = recipe.next(fifth, 6);
        oneBehind[count].push_back(double(RecipeGame::newBytes(fifth, sixth)) / 1e6);
        fiveBehind[count].push_back(double(RecipeGame::newBytes(first, sixth)) / 1e6);
        for (size_t c = 0; c < count; ++c) {
            VersionChunks cut(recipe, kCandidates[c]);
            oneBehind[c].push_back(double(cut.missing(fifth, sixth)) / 1e6);
            fiveBehind[c].push_back(double(cut.missing(first, sixth)) / 1e6);
            chunks[c].push_back(double(cut.chunkCount(sixth)));
        }
    }
    const auto mean = [](const std::vector<double>& values) {
        double sum = 0;
        for (double value : values)
            sum += value;
        return sum / double(values.size());
    };
    const auto worst = [](const std::vector<double>& values) {
        return *std::max_element(values.begin(), values.end());
    };
    std::printf("\nWhat a player fetches: version 6 of bench/make_game.py's recipe (scale %d), "
                "%d seeds;\nbytes of its chunks missing from version 5 (one behind) and 1 (five "
                "behind), MB,\nmedian / worst / mean; its chunk count (median), which sizes the "
                "index:\n",
                scale, seeds);
    for (size_t c = 0; c <= count; ++c) {
        std::printf("  %-17s one behind %6.2f / %6.2f / %6.2f; five behind %6.2f / %6.2f / %6.2f",
                    c < count ? kCandidates[c].name : "new bytes alone", median(oneBehind[c]),
                    worst(oneBehind[c]), mean(oneBehind[c]), median(fiveBehind[c]),
                    worst(fiveBehind[c]), mean(fiveBehind[c]));
        if (c < count)
            std::printf("; %6.0f chunks", median(chunks[c]));
        std::printf("\n");
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
