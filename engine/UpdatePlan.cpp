#include "UpdatePlan.h"

#include "ChunkAssembly.h"
#include "ControlCharacters.h"
#include "GameFolder.h"
#include "InstalledState.h"
#include "PathSafety.h"

#include <QHash>
#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

namespace {

void setWhy(QString* why, const QString& text)
{
    if (why)
        *why = text;
}

bool sameChunks(const std::vector<IndexChunk>& local, const std::vector<IndexChunk>& wanted)
{
    return std::equal(local.begin(), local.end(), wanted.begin(), wanted.end(),
                      [](const IndexChunk& a, const IndexChunk& b) {
                          return a.length == b.length && a.hash == b.hash;
                      });
}

// A local file as planning found it.
struct LocalFile
{
    bool known = false; // chunks known (from the state or read)
    bool needsRead = false;
    qint64 size = 0;
    qint64 mtimeNs = 0;
    std::vector<IndexChunk> chunks;
};

struct HashOfHash
{
    size_t operator()(const QByteArray& hash) const { return size_t(qHash(hash)); }
};

// Where a chunk with some hash can be read locally.
struct LocalPlace
{
    int source;
    qint64 offset;
};

bool checkIndex(const UpdateIndex& index, QString* why)
{
    std::set<QString> paths;
    for (const IndexEntry& entry : index.entries) {
        using VessariFormat::EntryType;
        if (entry.type != EntryType::File && entry.type != EntryType::Directory)
            continue;
        const QString shown = escapeControlCharacters(entry.path);
        if (!isSafeEntryPath(entry.path, hostPathRules())) {
            setWhy(why, QStringLiteral("The index names an unsafe path: %1").arg(shown));
            return false;
        }
        if (entry.path == InstalledState::fileName() || entry.path == ChunkStore::fileName()) {
            setWhy(why, QStringLiteral("The index names a file the updater keeps for itself: %1")
                            .arg(shown));
            return false;
        }
        if (entry.type == EntryType::Directory)
            continue;
        if (!paths.insert(entry.path).second) {
            setWhy(why, QStringLiteral("The index lists %1 twice").arg(shown));
            return false;
        }
        qint64 covered = 0;
        // Chunks longer than the chunker makes are refused: assembly holds one in memory.
        for (const IndexChunk& chunk : entry.chunks) {
            if (chunk.length <= 0 || chunk.length > ContentChunks::kSizes.max ||
                chunk.offset != entry.dataOffset + covered || chunk.hash.size() != 32 ||
                chunk.offset < 0 || chunk.offset + chunk.length > index.archiveSize) {
                setWhy(why, QStringLiteral("The index has a bad chunk in %1").arg(shown));
                return false;
            }
            covered += chunk.length;
        }
        if (covered != entry.size) {
            setWhy(why, QStringLiteral("The index's chunks do not cover %1").arg(shown));
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<ByteRange> mergeRanges(std::vector<ByteRange> ranges, qint64 gap)
{
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) {
        return a.offset < b.offset || (a.offset == b.offset && a.length < b.length);
    });
    std::vector<ByteRange> merged;
    for (const ByteRange& range : ranges) {
        if (range.length <= 0)
            continue;
        if (!merged.empty() && range.offset - merged.back().end() <= gap)
            merged.back().length =
                std::max(merged.back().end(), range.end()) - merged.back().offset;
        else
            merged.push_back(range);
    }
    return merged;
}

QByteArray rangeHeaderValue(const std::vector<ByteRange>& ranges)
{
    QByteArray value("bytes=");
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0)
            value += ',';
        value +=
            QByteArray::number(ranges[i].offset) + '-' + QByteArray::number(ranges[i].end() - 1);
    }
    return value;
}

std::vector<std::vector<ByteRange>> groupRangesForRequests(const std::vector<ByteRange>& ranges,
                                                           int maxLineBytes)
{
    // "Range: bytes=" + CRLF around the list.
    const qsizetype fixed = qsizetype(sizeof("Range: bytes=") - 1) + 2;
    std::vector<std::vector<ByteRange>> groups;
    qsizetype line = 0;
    for (const ByteRange& range : ranges) {
        const qsizetype item = QByteArray::number(range.offset).size() + 1 +
                               QByteArray::number(range.end() - 1).size();
        if (groups.empty() || line + 1 + item > maxLineBytes) {
            groups.emplace_back();
            line = fixed + item;
        } else {
            line += 1 + item;
        }
        groups.back().push_back(range);
    }
    return groups;
}

ByteRange fetchInstead(PlannedChunk& chunk)
{
    chunk.from = PlannedChunk::From::Store;
    chunk.source = -1;
    chunk.sourceOffset = 0;
    chunk.storeOffset = chunk.archiveOffset;
    return ByteRange{chunk.archiveOffset, chunk.length};
}

bool planUpdate(const UpdateIndex& index, const GameFolder& folder, const InstalledState* state,
                const ChunkStore* store, const PlanOptions& options, UpdatePlan& plan, QString* why)
{
    using VessariFormat::EntryType;
    plan = UpdatePlan();
    if (!checkIndex(index, why))
        return false;
    bool stopped = false;
    const auto cancelled = [&options, &stopped] {
        stopped = stopped || (options.cancel && options.cancel->load(std::memory_order_relaxed));
        return stopped;
    };
    const auto giveUp = [&plan, why] {
        setWhy(why, QStringLiteral("Cancelled"));
        plan = UpdatePlan();
        return false;
    };

    // Every path whose local file may hold useful chunks: the new index's files
    // and the files the last update installed. Sorted, so the plan is too.
    std::map<QString, LocalFile> local;
    for (const IndexEntry& entry : index.entries)
        if (entry.type == EntryType::File)
            local[entry.path];
    if (state)
        for (const auto& file : state->files)
            local[file.first];

    // Sizes and times first: a file matching its record is not read at all.
    qint64 toRead = 0;
    for (auto& [path, file] : local) {
        if (cancelled())
            return giveUp();
        struct stat info;
        // What cannot be examined offers nothing: its chunks are fetched, and
        // writing it is the commit's business.
        if (folder.examine(path, &info) != GameFolder::Kind::Regular)
            continue;
        file.size = info.st_size;
        file.mtimeNs = GameFolder::mtimeNs(info);
        const InstalledFile* record =
            state && !options.repair ? state->matching(path, info) : nullptr;
        if (record) {
            file.known = true;
            file.chunks = record->chunks;
        } else {
            file.needsRead = true;
            toRead += info.st_size;
        }
    }

    // Then the rest is read and cut as the archive's files were. One thread: it
    // hashes about 0.78 GB per CPU second (bench_planning), and a second thread
    // over files showed no gain in that benchmark on the shared 2-core machine.
    // Progress counts each file at the size it had when examined, so that it only
    // grows and ends at toRead even when a file grows or shrinks meanwhile.
    qint64 done = 0, reported = 0;
    const auto report = [&](qint64 at) {
        if (cancelled())
            return false;
        if (at <= reported)
            return true;
        reported = at;
        stopped = options.progress && !options.progress(at, toRead);
        return !stopped;
    };
    // What there is to read is known before any of it is.
    if (cancelled() || (options.progress && !options.progress(0, toRead)))
        return giveUp();
    for (auto& [path, file] : local) {
        if (!file.needsRead)
            continue;
        const qint64 base = done, examined = file.size;
        struct stat info;
        // A file that vanished or cannot be read now simply offers nothing.
        file.known =
            folder.chunk(path, file.chunks, &info, &plan.stats.bytesRead, nullptr,
                         [&](qint64 read) { return report(base + std::min(read, examined)); });
        if (stopped)
            return giveUp();
        if (file.known) {
            file.size = info.st_size;
            file.mtimeNs = GameFolder::mtimeNs(info);
        }
        done = base + examined;
        if (!report(done))
            return giveUp();
    }

    // Where each hash can be found locally: the first place in path order.
    std::unordered_map<QByteArray, LocalPlace, HashOfHash> places;
    std::map<QString, int> sourceOf;
    for (const auto& [path, file] : local) {
        if (!file.known || file.chunks.empty())
            continue;
        const int source = int(plan.sources.size());
        plan.sources.push_back(path);
        sourceOf[path] = source;
        for (const IndexChunk& chunk : file.chunks)
            places.emplace(chunk.hash, LocalPlace{source, chunk.offset});
    }

    std::unordered_map<QByteArray, qint64, HashOfHash> fetched; // hash -> store offset
    for (const IndexEntry& entry : index.entries) {
        if (entry.type == EntryType::Directory) {
            if (folder.examine(entry.path) != GameFolder::Kind::Directory)
                plan.directories.push_back(entry.path);
            continue;
        }
        if (entry.type != EntryType::File)
            continue;
        PlannedFile planned;
        planned.path = entry.path;
        planned.size = entry.size;
        const LocalFile& here = local[entry.path];
        if (here.known && here.size == entry.size && sameChunks(here.chunks, entry.chunks)) {
            planned.unchanged = true;
            ++plan.stats.filesUnchanged;
            plan.files.push_back(std::move(planned));
            continue;
        }
        ++plan.stats.filesAssembled;
        const auto same = sourceOf.find(entry.path);
        for (size_t i = 0; i < entry.chunks.size(); ++i) {
            const IndexChunk& wanted = entry.chunks[i];
            PlannedChunk chunk;
            chunk.length = wanted.length;
            chunk.hash = wanted.hash;
            chunk.archiveOffset = wanted.offset;
            plan.maxChunkLength = std::max(plan.maxChunkLength, wanted.length);
            const qint64 fileOffset = wanted.offset - entry.dataOffset;
            // The same place in the file at the same path first (no seeking about).
            if (same != sourceOf.end() && i < here.chunks.size() &&
                here.chunks[i].offset == fileOffset && here.chunks[i].hash == wanted.hash) {
                chunk.from = PlannedChunk::From::Local;
                chunk.source = same->second;
                chunk.sourceOffset = fileOffset;
            } else if (const auto place = places.find(wanted.hash); place != places.end()) {
                chunk.from = PlannedChunk::From::Local;
                chunk.source = place->second.source;
                chunk.sourceOffset = place->second.offset;
            } else {
                chunk.from = PlannedChunk::From::Store;
                chunk.storeOffset = fetched.emplace(wanted.hash, wanted.offset).first->second;
            }
            if (chunk.from == PlannedChunk::From::Local)
                plan.stats.bytesReused += chunk.length;
            planned.chunks.push_back(std::move(chunk));
        }
        plan.files.push_back(std::move(planned));
    }

    // Chunks to come from the archive, once each; those a previous run already
    // stored (and that still hash right) are not fetched again.
    std::vector<ByteRange> missing;
    std::set<qint64> seen;
    for (const PlannedFile& file : plan.files) {
        for (const PlannedChunk& chunk : file.chunks) {
            if (chunk.from != PlannedChunk::From::Store || !seen.insert(chunk.storeOffset).second)
                continue;
            // A store left by an earlier run is read too.
            if (cancelled())
                return giveUp();
            if (store && store->holds(chunk.storeOffset, chunk.length, chunk.hash)) {
                plan.stats.bytesFromStore += chunk.length;
                continue;
            }
            missing.push_back(ByteRange{chunk.storeOffset, chunk.length});
            plan.stats.chunkBytesToFetch += chunk.length;
        }
    }
    plan.fetch = mergeRanges(std::move(missing), options.mergeGap);
    plan.stats.ranges = int(plan.fetch.size());
    for (const ByteRange& range : plan.fetch)
        plan.stats.bytesToFetch += range.length;

    // Files the new version drops: removed only while they still hold what was
    // installed; anything the player or the game made or changed stays.
    if (state) {
        std::set<QString> kept;
        for (const IndexEntry& entry : index.entries)
            if (entry.type == EntryType::File)
                kept.insert(entry.path);
        for (const auto& [path, record] : state->files) {
            const LocalFile& file = local[path];
            if (kept.count(path) || !file.known || file.size != record.size ||
                !sameChunks(file.chunks, record.chunks))
                continue;
            plan.removals.push_back(PlannedRemoval{path, file.size, file.mtimeNs});
        }
        plan.stats.filesRemoved = int(plan.removals.size());
    }
    return true;
}
