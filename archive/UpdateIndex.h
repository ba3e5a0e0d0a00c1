#pragma once

#include "ArchiveFormat.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

// The index of an update archive, published beside it as "FILE.index" and signed
// like it: where every entry lies and, for each file, its data cut into chunks by
// content, each with its SHA-256. A client compares the chunks with the files it
// already has and fetches only the missing ranges of the archive. Chunk
// boundaries depend on the bytes alone, so an insertion moves no later boundary.

// One chunk of a file's data. offset is the chunk's place in the archive; its
// place in the file is offset - IndexEntry::dataOffset.
struct IndexChunk
{
    qint64 offset = 0;
    qint32 length = 0;
    QByteArray hash; // SHA-256, 32 bytes
};

struct IndexEntry
{
    VessariFormat::EntryType type = VessariFormat::EntryType::File;
    qint64 offset = 0;     // the entry's header in the archive
    QString path;          // as the archive reader decodes it (Latin-1); a version: its text
    qint64 dataOffset = 0; // files: the first data byte in the archive
    qint64 size = 0;       // files: data length; other entries: 0
    std::vector<IndexChunk> chunks; // files: in order, covering [0, size)
};

struct UpdateIndex
{
    // 2: chunks cut with normalization level 1 (version 1: level 2).
    static constexpr quint32 formatVersion = 2;

    qint64 archiveSize = 0;
    QByteArray archiveDigest; // BLAKE2b-512 of the whole archive, 64 bytes
    std::vector<IndexEntry> entries;

    // Deterministic: the same archive always gives the same bytes.
    QByteArray serialize() const;
    // Refuses anything malformed or inconsistent (chunks that do not cover their
    // file, offsets past the archive, an unknown version); why says what. What
    // it accepts has entries in order without overlap inside archiveSize, safe
    // paths for files and directories, and chunks of 1 to kSizes.max bytes.
    static bool parse(const QByteArray& bytes, UpdateIndex& index, QString* why = nullptr);
    // Reads the archive once and builds its index; false (why set) when the
    // archive cannot be read or is not a valid archive.
    static bool build(const QString& archivePath, UpdateIndex& index, QString* why = nullptr);
    // The same, telling the bytes read so far and the archive's size as it goes.
    static bool build(const QString& archivePath, UpdateIndex& index, QString* why,
                      const std::function<void(qint64 done, qint64 total)>& progress);
};

// Content-defined chunking, the same for the publisher's archive and the
// player's files: feed a file's bytes in any pieces, get the same chunks.
namespace ContentChunks {

// Smallest, expected and largest chunk length; average a power of two.
struct Sizes
{
    qint32 min;
    qint32 average;
    qint32 max;
};
// The sizes and the normalization level (how many mask bits more below the
// average and fewer above it) every index is cut with. Changing either changes
// every chunk: that needs a new UpdateIndex::formatVersion.
extern const Sizes kSizes;
extern const int kLevel;

// SHA-256 of one chunk.
QByteArray hash(const char* data, qsizetype size);

// Cuts a stream into chunks; onChunk(offsetInStream, length, sha256) is called
// for each finished chunk, in order.
class Chunker
{
public:
    using Sink = std::function<void(qint64 offset, qint32 length, const QByteArray& hash)>;
    explicit Chunker(Sink onChunk);
    // Other sizes and levels (0 to 3), for measuring candidates
    // (bench/bench_chunking.cpp).
    Chunker(Sink onChunk, const Sizes& sizes, int level = kLevel);
    ~Chunker();
    Chunker(const Chunker&) = delete;
    Chunker& operator=(const Chunker&) = delete;
    void add(const char* data, qsizetype size);
    // Ends the stream: the last, possibly short, chunk is emitted.
    void finish();

private:
    struct State;
    State* d;
};

// Chunks one local file as Chunker would, offsets counted from the file's start;
// false (why set) when it cannot be read.
// Reads the file once, in bounded memory.
bool chunkFile(const QString& path, std::vector<IndexChunk>& chunks, QString* why = nullptr);
// Chunks what fd reads from its position to its end, adding the bytes read to
// bytesRead (also on failure); 0, or the errno of a failed read (chunks then
// empty). onRead, when set, is told the bytes read so far after every block;
// false from it stops reading with ECANCELED.
int chunkDescriptor(int fd, std::vector<IndexChunk>& chunks, qint64* bytesRead = nullptr,
                    const std::function<bool(qint64 read)>& onRead = {});

} // namespace ContentChunks
