#include "UpdateIndex.h"

#include "ControlCharacters.h"
#include "PathSafety.h"

#include <QFile>
#include <cstring>
#include <limits>
#include <sodium.h>

// Layout, version 2 (integers little-endian; "varint" is unsigned LEB128 in as
// few bytes as possible, at most 63 bits):
//   "VTIX"  u32 version  u64 archive size  64-byte BLAKE2b-512 of the archive
//   varint entry count, then per entry:
//     u8 type (0 version, 1 directory, 3 file)
//     varint gap: entry offset minus the end of the previous entry (0 at first)
//     varint path length, the path's Latin-1 bytes
//     files only: varint slack (data offset - entry offset - 16 - path length,
//     i.e. name bytes after a zero), varint size, varint chunk count, and per
//     chunk varint length and 32-byte SHA-256
// A file's entry ends at its data's end, another entry 8 bytes plus its path
// after its offset. Offsets are never stored, only gaps and lengths: entries
// cannot overlap and chunks cannot leave holes by construction. Version 1 had
// the same layout with chunks cut at normalization level 2: refused, as its
// chunks would seldom match the ones this version cuts from local files.

namespace {

using VessariFormat::EntryType;
using VessariFormat::kHeaderSize;
using VessariFormat::kMaxNameLength;

const char kMagic[4] = {'V', 'T', 'I', 'X'};
constexpr int kDigestSize = 64;
constexpr int kHashSize = 32;
constexpr int kFixedHeader = 4 + 4 + 8 + kDigestSize;
// The smallest entry: type, gap and path length of one byte each.
constexpr int kMinEntryBytes = 3;
constexpr int kMinChunkBytes = 1 + kHashSize;

void putVarint(QByteArray& out, quint64 value)
{
    while (value >= 0x80) {
        out.append(char(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.append(char(value));
}

void putFixed(QByteArray& out, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

qint64 entryEnd(const IndexEntry& entry, qint64 pathLength)
{
    return entry.type == EntryType::File ? entry.dataOffset + entry.size
                                         : entry.offset + kHeaderSize + pathLength;
}

// Reads the serialized form front to back; every read is checked against the
// bytes left, and the first failure is kept.
class Reader
{
public:
    explicit Reader(const QByteArray& bytes)
        : p(reinterpret_cast<const uchar*>(bytes.constData())), left(bytes.size())
    {
    }

    qsizetype remaining() const { return left; }
    QString error;

    bool fail(const QString& why)
    {
        if (error.isEmpty())
            error = why;
        return false;
    }

    bool bytes(void* out, qsizetype n, const char* what)
    {
        if (n > left)
            return fail(QStringLiteral("truncated in %1").arg(QLatin1String(what)));
        std::memcpy(out, p, size_t(n));
        p += n;
        left -= n;
        return true;
    }

    bool fixed(quint64& value, int n, const char* what)
    {
        uchar b[8];
        if (!bytes(b, n, what))
            return false;
        value = 0;
        for (int i = 0; i < n; ++i)
            value |= quint64(b[i]) << (8 * i);
        return true;
    }

    // Canonical only, so that one index has one encoding.
    bool varint(quint64& value, const char* what)
    {
        value = 0;
        for (int shift = 0;; shift += 7) {
            if (left == 0)
                return fail(QStringLiteral("truncated in %1").arg(QLatin1String(what)));
            const uchar b = *p++;
            --left;
            // Nine bytes carry 63 bits: a tenth would pass the range of qint64.
            if (shift == 56 && (b & 0x80))
                return fail(QStringLiteral("%1 too large").arg(QLatin1String(what)));
            value |= quint64(b & 0x7F) << shift;
            if (!(b & 0x80)) {
                if (b == 0 && shift > 0)
                    return fail(
                        QStringLiteral("%1 not minimally encoded").arg(QLatin1String(what)));
                return true;
            }
        }
    }

    // A varint no larger than limit.
    bool bounded(quint64& value, quint64 limit, const char* what)
    {
        if (!varint(value, what))
            return false;
        if (value > limit)
            return fail(QStringLiteral("%1 %2 larger than %3")
                            .arg(QLatin1String(what))
                            .arg(value)
                            .arg(limit));
        return true;
    }

private:
    const uchar* p;
    qsizetype left;
};

bool parseEntry(Reader& in, quint64 archiveSize, quint64& previousEnd, IndexEntry& entry)
{
    uchar type = 0;
    if (!in.bytes(&type, 1, "entry type"))
        return false;
    if (type != uchar(EntryType::Version) && type != uchar(EntryType::Directory) &&
        type != uchar(EntryType::File))
        return in.fail(QStringLiteral("unknown entry type %1").arg(type));
    entry.type = EntryType(type);

    quint64 gap = 0, pathLength = 0;
    if (!in.bounded(gap, archiveSize - previousEnd, "entry gap") ||
        !in.bounded(pathLength, quint64(qMin<qsizetype>(kMaxNameLength, in.remaining())),
                    "path length"))
        return false;
    const quint64 offset = previousEnd + gap;
    QByteArray path(qsizetype(pathLength), Qt::Uninitialized);
    if (!in.bytes(path.data(), path.size(), "path"))
        return false;
    entry.offset = qint64(offset);
    entry.path = QString::fromLatin1(path);
    entry.chunks.clear();
    entry.dataOffset = 0;
    entry.size = 0;
    const QString shown = escapeControlCharacters(entry.path);
    // The archive reader ends a name at its first zero byte.
    if (path.contains('\0'))
        return in.fail(QStringLiteral("path with a zero byte at offset %1").arg(offset));
    if (entry.type != EntryType::Version &&
        (path.isEmpty() || !isSafeEntryPath(entry.path, hostPathRules())))
        return in.fail(
            QStringLiteral("unsafe or empty path at offset %1: %2").arg(offset).arg(shown));

    if (entry.type != EntryType::File) {
        const quint64 end = offset + kHeaderSize + pathLength;
        if (offset > archiveSize || end > archiveSize)
            return in.fail(QStringLiteral("entry %1 ends past the archive").arg(shown));
        previousEnd = end;
        return true;
    }

    quint64 slack = 0, size = 0, count = 0;
    if (!in.bounded(slack, kMaxNameLength - pathLength, "name slack") ||
        !in.bounded(size, quint64(std::numeric_limits<qint32>::max()), "file size") ||
        !in.bounded(count, quint64(in.remaining() / kMinChunkBytes), "chunk count"))
        return false;
    // Every term is at most archiveSize < 2^63: the sums cannot wrap.
    const quint64 dataOffset = offset + 2 * kHeaderSize + pathLength + slack;
    if (offset > archiveSize || dataOffset > archiveSize || size > archiveSize - dataOffset)
        return in.fail(QStringLiteral("file %1 ends past the archive").arg(shown));
    entry.dataOffset = qint64(dataOffset);
    entry.size = qint64(size);
    entry.chunks.reserve(size_t(count));
    quint64 covered = 0;
    for (quint64 i = 0; i < count; ++i) {
        quint64 length = 0;
        if (!in.bounded(length, quint64(ContentChunks::kSizes.max), "chunk length"))
            return false;
        if (length == 0)
            return in.fail(QStringLiteral("empty chunk in %1").arg(shown));
        if (length > size - covered)
            return in.fail(QStringLiteral("chunks of %1 run past its size").arg(shown));
        IndexChunk chunk;
        chunk.offset = qint64(dataOffset + covered);
        chunk.length = qint32(length);
        chunk.hash.resize(kHashSize);
        if (!in.bytes(chunk.hash.data(), kHashSize, "chunk hash"))
            return false;
        entry.chunks.push_back(std::move(chunk));
        covered += length;
    }
    if (covered != size)
        return in.fail(QStringLiteral("chunks of %1 cover %2 of its %3 bytes")
                           .arg(shown)
                           .arg(covered)
                           .arg(size));
    previousEnd = dataOffset + size;
    return true;
}

// The archive, read once front to back, hashed as it goes.
class ArchiveStream
{
public:
    explicit ArchiveStream(const QString& path) : file(path)
    {
        static const bool ready = sodium_init() >= 0;
        Q_UNUSED(ready);
        crypto_generichash_init(&blake, nullptr, 0, kDigestSize);
    }

    bool open() { return file.open(QIODevice::ReadOnly); }
    QString errorString() const { return file.errorString(); }
    qint64 size() const { return file.isSequential() ? 0 : file.size(); }
    qint64 position() const { return consumed; }
    bool failed() const { return readError; }

    // Up to want bytes in place, 0 at the end or on a read error.
    qsizetype take(const char*& data, qint64 want)
    {
        if (at == end && !fill())
            return 0;
        const auto n = qsizetype(qMin<qint64>(want, end - at));
        data = buffer.constData() + at;
        at += n;
        consumed += n;
        return n;
    }

    // Exactly n bytes, or fewer at the end of the archive.
    qint64 read(char* out, qint64 n)
    {
        qint64 have = 0;
        while (have < n) {
            const char* data = nullptr;
            const qsizetype got = take(data, n - have);
            if (got == 0)
                break;
            std::memcpy(out + have, data, size_t(got));
            have += got;
        }
        return have;
    }

    // Of every byte read so far: once the reader met the end, the archive.
    QByteArray digest()
    {
        QByteArray out(kDigestSize, Qt::Uninitialized);
        crypto_generichash_final(&blake, reinterpret_cast<uchar*>(out.data()), kDigestSize);
        return out;
    }

private:
    bool fill()
    {
        if (readError)
            return false;
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            readError = true;
        if (got <= 0)
            return false;
        crypto_generichash_update(&blake, reinterpret_cast<const uchar*>(buffer.constData()),
                                  quint64(got));
        at = 0;
        end = qsizetype(got);
        return true;
    }

    QFile file;
    QByteArray buffer = QByteArray(1024 * 1024, Qt::Uninitialized);
    qsizetype at = 0, end = 0;
    qint64 consumed = 0;
    bool readError = false;
    crypto_generichash_state blake;
};

} // namespace

QByteArray UpdateIndex::serialize() const
{
    QByteArray out;
    out.append(kMagic, 4);
    putFixed(out, formatVersion, 4);
    putFixed(out, quint64(archiveSize), 8);
    out.append(archiveDigest.left(kDigestSize));
    out.append(QByteArray(kDigestSize - qMin<qsizetype>(kDigestSize, archiveDigest.size()), '\0'));
    putVarint(out, entries.size());
    qint64 previousEnd = 0;
    for (const IndexEntry& entry : entries) {
        const QByteArray path = entry.path.toLatin1();
        out.append(char(entry.type));
        putVarint(out, quint64(entry.offset - previousEnd));
        putVarint(out, quint64(path.size()));
        out.append(path);
        if (entry.type == EntryType::File) {
            putVarint(out,
                      quint64(entry.dataOffset - entry.offset - 2 * kHeaderSize - path.size()));
            putVarint(out, quint64(entry.size));
            putVarint(out, entry.chunks.size());
            for (const IndexChunk& chunk : entry.chunks) {
                putVarint(out, quint64(chunk.length));
                out.append(chunk.hash.left(kHashSize));
            }
        }
        previousEnd = entryEnd(entry, path.size());
    }
    return out;
}

bool UpdateIndex::parse(const QByteArray& bytes, UpdateIndex& index, QString* why)
{
    const auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    Reader in(bytes);
    char magic[4];
    quint64 version = 0, size = 0;
    if (bytes.size() < kFixedHeader)
        return fail(QStringLiteral("too short for an index (%1 bytes)").arg(bytes.size()));
    if (!in.bytes(magic, 4, "magic") || std::memcmp(magic, kMagic, 4) != 0)
        return fail(QStringLiteral("not an update index"));
    in.fixed(version, 4, "version");
    if (version != formatVersion)
        return fail(QStringLiteral("unsupported index version %1 (this program reads version %2)")
                        .arg(version)
                        .arg(formatVersion));
    in.fixed(size, 8, "archive size");
    if (size > quint64(std::numeric_limits<qint64>::max()))
        return fail(QStringLiteral("archive size out of range"));
    UpdateIndex result;
    result.archiveSize = qint64(size);
    result.archiveDigest.resize(kDigestSize);
    in.bytes(result.archiveDigest.data(), kDigestSize, "digest");

    quint64 count = 0;
    if (!in.bounded(count, quint64(in.remaining() / kMinEntryBytes), "entry count"))
        return fail(in.error);
    result.entries.reserve(size_t(count));
    quint64 previousEnd = 0;
    for (quint64 i = 0; i < count; ++i) {
        IndexEntry entry;
        if (!parseEntry(in, size, previousEnd, entry))
            return fail(QStringLiteral("entry %1: %2").arg(i + 1).arg(in.error));
        result.entries.push_back(std::move(entry));
    }
    if (in.remaining() != 0)
        return fail(QStringLiteral("%1 bytes after the last entry").arg(in.remaining()));
    index = std::move(result);
    return true;
}

bool UpdateIndex::build(const QString& archivePath, UpdateIndex& index, QString* why)
{
    return build(archivePath, index, why, nullptr);
}

bool UpdateIndex::build(const QString& archivePath, UpdateIndex& index, QString* why,
                        const std::function<void(qint64 done, qint64 total)>& progress)
{
    ArchiveStream in(archivePath);
    qint64 entryOffset = 0;
    // The archive reader's own texts, with where in the archive it stopped.
    const auto fail = [&](const QString& reason) {
        if (why)
            *why = in.failed() ? QStringLiteral("%1: %2").arg(archivePath, in.errorString())
                               : QStringLiteral("%1: at byte %2: %3")
                                     .arg(archivePath)
                                     .arg(entryOffset)
                                     .arg(reason);
        return false;
    };
    if (!in.open()) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(archivePath, in.errorString());
        return false;
    }
    const QString readError = QStringLiteral("Error reading from archive");
    const qint64 total = in.size();
    QByteArray name(kMaxNameLength, Qt::Uninitialized);
    // negative: the reader's text for a negative length, or none where it reads
    // that as an empty name.
    const auto readName = [&](const VessariFormat::EntryHeader& header, const char* tooLong,
                              const char* negative, QString& text) {
        if (header.length > kMaxNameLength)
            return fail(QLatin1String(tooLong));
        if (header.length < 0 && negative)
            return fail(QString::fromLatin1(negative).arg(header.length));
        const qint64 length = qMax<qint32>(header.length, 0);
        if (in.read(name.data(), length) != length)
            return fail(readError);
        text = QString::fromLatin1(name.constData(),
                                   qsizetype(::strnlen(name.constData(), size_t(length))));
        return true;
    };

    UpdateIndex result;
    qint64 sinceProgress = 0;
    for (;;) {
        entryOffset = in.position();
        char bytes[kHeaderSize];
        const qint64 got = in.read(bytes, kHeaderSize);
        if (got == 0 && !in.failed())
            break;
        if (got != kHeaderSize)
            return fail(readError);
        const VessariFormat::EntryHeader header = VessariFormat::decodeHeader(bytes);
        IndexEntry entry;
        entry.offset = entryOffset;
        if (VessariFormat::isType(header, EntryType::Version)) {
            entry.type = EntryType::Version;
            if (!readName(header, "version is too long", nullptr, entry.path))
                return false;
        } else if (VessariFormat::isType(header, EntryType::Directory) ||
                   VessariFormat::isType(header, EntryType::File)) {
            const bool isFile = VessariFormat::isType(header, EntryType::File);
            entry.type = isFile ? EntryType::File : EntryType::Directory;
            if (!readName(header, isFile ? "File name is too long" : "Directory name is too long",
                          isFile ? "File name has a negative length: %1"
                                 : "Directory name has a negative length: %1",
                          entry.path))
                return false;
            if (entry.path.isEmpty())
                return fail(QStringLiteral("empty name"));
            if (!isSafeEntryPath(entry.path, hostPathRules()))
                return fail(QStringLiteral("Refusing a path that leads outside the target "
                                           "directory: ") +
                            escapeControlCharacters(entry.path));
        } else {
            return fail(QStringLiteral("Uknown entry type in archive: %1").arg(header.type));
        }
        if (entry.type == EntryType::File) {
            if (in.read(bytes, kHeaderSize) != kHeaderSize)
                return fail(readError);
            const VessariFormat::EntryHeader data = VessariFormat::decodeHeader(bytes);
            if (!VessariFormat::isType(data, EntryType::FileData))
                return fail(
                    QStringLiteral("Expecting a file data entry.  Read this type instead: %1")
                        .arg(data.type));
            entry.dataOffset = in.position();
            entry.size = qMax<qint32>(data.length, 0);
            const qint64 dataOffset = entry.dataOffset;
            std::vector<IndexChunk>& chunks = entry.chunks;
            ContentChunks::Chunker chunker(
                [&chunks, dataOffset](qint64 offset, qint32 length, const QByteArray& hash) {
                    chunks.push_back(IndexChunk{dataOffset + offset, length, hash});
                });
            qint64 left = entry.size;
            while (left > 0) {
                const char* piece = nullptr;
                const qsizetype got = in.take(piece, left);
                if (got == 0)
                    return fail(readError);
                chunker.add(piece, got);
                left -= got;
                sinceProgress += got;
                if (progress && sinceProgress >= 64 * 1024 * 1024) {
                    sinceProgress = 0;
                    progress(in.position(), total);
                }
            }
            chunker.finish();
        }
        result.entries.push_back(std::move(entry));
    }
    result.archiveSize = in.position();
    result.archiveDigest = in.digest();
    if (in.failed())
        return fail(readError);
    if (progress)
        progress(result.archiveSize, total);
    index = std::move(result);
    return true;
}
