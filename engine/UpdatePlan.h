#pragma once

#include "UpdateIndex.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <vector>

class ChunkStore;
class GameFolder;
class InstalledState;

// A span of the archive: [offset, offset + length).
struct ByteRange
{
    qint64 offset = 0;
    qint64 length = 0;
    qint64 end() const { return offset + length; }
    bool operator==(const ByteRange& other) const
    {
        return offset == other.offset && length == other.length;
    }
};

// Where one chunk of a new file comes from.
struct PlannedChunk
{
    enum class From
    {
        Local, // a file already in the folder: UpdatePlan::sources[source] at sourceOffset
        Store  // the chunk store at storeOffset (fetched, or already there from an earlier run)
    };
    From from = From::Store;
    qint32 length = 0;
    QByteArray hash;          // from the signed index: what the bytes must hash to
    qint64 archiveOffset = 0; // this chunk's own place in the archive
    int source = -1;
    qint64 sourceOffset = 0;
    qint64 storeOffset = 0; // the same bytes fetched once serve every chunk with that hash
};

struct PlannedFile
{
    QString path;
    qint64 size = 0;
    // The local file already holds exactly this content: it is not rewritten.
    bool unchanged = false;
    std::vector<PlannedChunk> chunks; // in file order; empty when unchanged
};

// A file to remove, with the size and time it had when it was found to hold
// what was installed: changed since, it is kept.
struct PlannedRemoval
{
    QString path;
    qint64 size = 0;
    qint64 mtimeNs = 0;
};

struct PlanStats
{
    qint64 bytesToFetch = 0;      // the merged ranges, gaps included
    qint64 chunkBytesToFetch = 0; // the chunks alone
    int ranges = 0;
    qint64 bytesReused = 0;    // new file content taken from local files
    qint64 bytesFromStore = 0; // already in the chunk store from an earlier run
    qint64 bytesRead = 0;      // local bytes read to plan (the rest was known from the state)
    int filesUnchanged = 0;
    int filesAssembled = 0;
    int filesRemoved = 0;
};

struct UpdatePlan
{
    // Local files that chunks are read from, sorted; PlannedChunk::source indexes it.
    std::vector<QString> sources;
    // Every file of the new index, in index order.
    std::vector<PlannedFile> files;
    // Directories of the new index not yet in the folder, in index order.
    std::vector<QString> directories;
    // Files the old version installed, the new one drops and nobody changed since.
    std::vector<PlannedRemoval> removals;
    // What to fetch into the chunk store: ascending, disjoint, merged across small gaps.
    std::vector<ByteRange> fetch;
    // The longest chunk, the one buffer assembly needs.
    qint32 maxChunkLength = 0;
    PlanStats stats;
};

// Merging two ranges fetches the gap between them for nothing; a separate request costs a round
// trip shared with the others in flight, ~7 ms at 100 Mbit/s and 40 ms with six connections kept
// alive, the time of ~85 KB. 16 KiB merges across entry headers and across one small unchanged
// file, not across more: one version behind 12.7 MB in 3.9 s, against 13.1 MB in 3.9 s with 32
// KiB and 12.5 MB in 4.0 s with 4 KiB (1 KiB: as 4 KiB); five behind 46.5 MB in 7.3 s, against
// 49.2 MB in 6.3 s and 45.3 MB in 7.9 s (bench/incremental.sh, full size, median of 2 rounds).
constexpr qint64 kDefaultMergeGap = 16 * 1024;

struct PlanOptions
{
    // Ignore the installed state's sizes and times: read every file.
    bool repair = false;
    qint64 mergeGap = kDefaultMergeGap;
    // Local bytes read so far and in all: (0, total) once the files to read are
    // known, then after every block read that made done grow, up to total unless
    // cancelled. Returning false cancels planning.
    std::function<bool(qint64 done, qint64 total)> progress;
    // Set from another thread to cancel: checked between files and between the
    // blocks of one file, so a large file is given up part way.
    const std::atomic<bool>* cancel = nullptr;
};

// Decides, for every file of the new index, whether the folder already has it,
// and where every chunk of the others comes from: a local file (at any path the
// new index or the installed state names, wherever the chunk lies in it), the
// chunk store (checked by hash, so a resumed run does not fetch it again), or the
// archive. state may be null (no earlier update recorded: every file at an index
// path is read); store may be null. Deterministic for the same folder and inputs.
// A local file that cannot be examined or read offers nothing (its chunks are
// fetched). False (why set) for an index it cannot use, or when cancelled.
bool planUpdate(const UpdateIndex& index, const GameFolder& folder, const InstalledState* state,
                const ChunkStore* store, const PlanOptions& options, UpdatePlan& plan,
                QString* why = nullptr);

// Sorts ranges and merges those that overlap, touch or are at most gap bytes apart.
std::vector<ByteRange> mergeRanges(std::vector<ByteRange> ranges, qint64 gap);

// "bytes=a-b,c-d" for a Range header.
QByteArray rangeHeaderValue(const std::vector<ByteRange>& ranges);

// Splits ranges into groups, in order, each making a "Range: bytes=..." header
// line (with its CRLF) of at most maxLineBytes; servers refuse longer lines
// (nginx: 8,192 bytes by default). Single-range requests need no grouping.
std::vector<std::vector<ByteRange>> groupRangesForRequests(const std::vector<ByteRange>& ranges,
                                                           int maxLineBytes = 8000);

// Turns a chunk that could not be used (a local file changed under us, a corrupt
// stored copy) into one read from the store at its own archive offset; returns
// the range the caller must fetch into the store first.
ByteRange fetchInstead(PlannedChunk& chunk);
