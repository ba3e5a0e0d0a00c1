#pragma once

#include "UpdatePlan.h"

#include <QString>
#include <functional>
#include <memory>

class GameFolder;

// Fetched archive bytes, kept at their archive offsets in a sparse hidden file
// beside the game (".update.vt.chunks"), so a run that was cancelled, failed or
// killed finds them again. Nothing in it is trusted: every chunk is checked
// against the signed index before use.
class ChunkStore
{
public:
    static QString fileName() { return QStringLiteral(".update.vt.chunks"); }

    ChunkStore() = default;
    ~ChunkStore();
    ChunkStore(const ChunkStore&) = delete;
    ChunkStore& operator=(const ChunkStore&) = delete;

    // Opens the folder's store, creating it, for an archive of archiveSize bytes;
    // a longer one (from another archive) is cut to that size. Something other
    // than a regular file at the store's name (a planted link) is replaced.
    bool open(const GameFolder& folder, qint64 archiveSize, QString* why = nullptr);
    bool isOpen() const { return fd >= 0; }
    // For fetches that write ranges straight into the store (at their archive offsets).
    int handle() const { return fd; }
    void close();
    // Deletes the folder's store (after a successful update).
    static bool remove(const GameFolder& folder, QString* why = nullptr);

    // Stores fetched bytes at their archive offset; refuses bytes past the archive.
    bool write(qint64 offset, const char* data, qint64 size, QString* why = nullptr);
    bool read(qint64 offset, char* data, qint64 size, QString* why = nullptr) const;
    // True when the store holds bytes at [offset, offset + length) hashing to
    // hash. Holes (never written) are skipped without reading.
    bool holds(qint64 offset, qint32 length, const QByteArray& hash) const;
    // Makes what was written survive a crash or power loss.
    bool sync(QString* why = nullptr);

private:
    int fd = -1;
    qint64 size = 0;
    mutable std::unique_ptr<char[]> scratch;
    mutable qint64 scratchSize = 0;
};

struct AssemblyFailure
{
    enum class Kind
    {
        None,
        LocalChunk, // a local file no longer holds the chunk (changed since planning)
        StoreChunk, // the stored bytes do not match the signed hash (corrupt, or a lying server)
        Write       // the writer failed
    };
    Kind kind = Kind::None;
    QString reason;
    int chunk = -1;         // index into PlannedFile::chunks
    qint64 fileOffset = -1; // where in the new file
    int file = -1;          // applyPlan: index into UpdatePlan::files
};

// Writes new files from a plan: each chunk read from its local file or the chunk
// store, checked against its signed hash, and only then written. One chunk is in
// memory at a time. Local chunks come from the old files: assemble every file
// before any is put in place.
class ChunkAssembler
{
public:
    // Receives the file's bytes in order; false stops assembly (errno set).
    using Writer = std::function<bool(const char* data, qint64 size)>;

    ChunkAssembler(const GameFolder& folder, const ChunkStore* store, const UpdatePlan& plan);
    ~ChunkAssembler();
    ChunkAssembler(const ChunkAssembler&) = delete;
    ChunkAssembler& operator=(const ChunkAssembler&) = delete;

    // False with failure set at the first chunk that cannot be read or does not
    // verify: then the caller falls back (fetchInstead, or the whole download).
    bool assemble(const PlannedFile& file, const Writer& write, AssemblyFailure* failure);
    // The same, written to fd at its current position.
    bool assembleTo(const PlannedFile& file, int fd, AssemblyFailure* failure);

private:
    int sourceFd(int source, QString* why);

    const GameFolder& folder;
    const ChunkStore* store;
    const UpdatePlan& plan;
    std::unique_ptr<char[]> buffer;
    qint64 bufferSize = 0;
    // The last local file read: chunks of one source mostly come in a row.
    int openSource = -1;
    int openFd = -1;
};
