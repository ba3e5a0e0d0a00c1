#include "InstalledState.h"

#include "FileIo.h"
#include "GameFolder.h"
#include "PathSafety.h"

#include <QFile>
#include <QtEndian>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using EngineIo::reason;

namespace {

// The magic, then a version; the trailer is a SHA-256 of all before it, so a torn
// or altered file is refused instead of trusted.
constexpr char kMagic[8] = {'V', 'T', 'S', 'T', 'A', 'T', 'E', '\n'};
constexpr int kHashSize = 32;
constexpr int kTrailerSize = 32;
constexpr qint64 kMaxChunkLength = qint64(1) << 30;

void setWhy(QString* why, const QString& text)
{
    if (why)
        *why = text;
}

template <typename T> void put(QByteArray& out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

// Reads little-endian fields from a byte array, refusing to run past its end.
class Reader
{
public:
    explicit Reader(const QByteArray& bytes, qsizetype end) : bytes(bytes), end(end) {}
    template <typename T> bool get(T& value)
    {
        if (end - pos < qsizetype(sizeof(T)))
            return false;
        value = qFromLittleEndian<T>(bytes.constData() + pos);
        pos += sizeof(T);
        return true;
    }
    bool take(qsizetype size, QByteArray& out)
    {
        if (size < 0 || end - pos < size)
            return false;
        out = bytes.mid(pos, size);
        pos += size;
        return true;
    }
    qsizetype left() const { return end - pos; }

private:
    const QByteArray& bytes;
    qsizetype end;
    qsizetype pos = 0;
};

QByteArray sha256(const QByteArray& bytes)
{
    return ContentChunks::hash(bytes.constData(), bytes.size());
}

} // namespace

void InstalledState::record(const QString& path, const struct stat& info,
                            std::vector<IndexChunk> chunks)
{
    InstalledFile& file = files[path];
    file.size = info.st_size;
    file.mtimeNs = GameFolder::mtimeNs(info);
    file.chunks = std::move(chunks);
}

QByteArray InstalledState::serialize() const
{
    QByteArray out(kMagic, sizeof kMagic);
    put<quint32>(out, formatVersion);
    put<qint64>(out, archiveSize);
    put<quint32>(out, quint32(archiveDigest.size()));
    out += archiveDigest;
    put<quint32>(out, quint32(files.size()));
    for (const auto& [path, file] : files) {
        const QByteArray name = path.toUtf8();
        put<quint32>(out, quint32(name.size()));
        out += name;
        put<qint64>(out, file.size);
        put<qint64>(out, file.mtimeNs);
        put<quint32>(out, quint32(file.chunks.size()));
        for (const IndexChunk& chunk : file.chunks) {
            put<qint32>(out, chunk.length);
            out += chunk.hash;
        }
    }
    out += sha256(out);
    return out;
}

bool InstalledState::parse(const QByteArray& bytes, InstalledState& state, QString* why)
{
    state = InstalledState();
    auto refuse = [&](const QString& text) {
        state = InstalledState();
        setWhy(why, QStringLiteral("Damaged installed state: ") + text);
        return false;
    };
    if (bytes.size() < qsizetype(sizeof kMagic) + kTrailerSize ||
        !bytes.startsWith(QByteArray(kMagic, sizeof kMagic)))
        return refuse(QStringLiteral("not a state file"));
    const qsizetype end = bytes.size() - kTrailerSize;
    if (sha256(bytes.left(end)) != bytes.mid(end))
        return refuse(QStringLiteral("checksum mismatch"));
    Reader in(bytes, end);
    QByteArray skip;
    quint32 version = 0;
    in.take(sizeof kMagic, skip);
    if (!in.get(version) || version != formatVersion)
        return refuse(QStringLiteral("unknown version %1").arg(version));
    quint32 digestSize = 0;
    if (!in.get(state.archiveSize) || state.archiveSize < 0 || !in.get(digestSize) ||
        digestSize > 64 || !in.take(digestSize, state.archiveDigest))
        return refuse(QStringLiteral("truncated header"));
    quint32 count = 0;
    if (!in.get(count))
        return refuse(QStringLiteral("truncated header"));
    QString previous;
    for (quint32 i = 0; i < count; ++i) {
        quint32 nameSize = 0;
        QByteArray name;
        InstalledFile file;
        quint32 chunkCount = 0;
        if (!in.get(nameSize) || !in.take(nameSize, name) || !in.get(file.size) ||
            !in.get(file.mtimeNs) || !in.get(chunkCount))
            return refuse(QStringLiteral("truncated record"));
        const QString path = QString::fromUtf8(name);
        if (path.toUtf8() != name || !isSafeEntryPath(path, hostPathRules()))
            return refuse(QStringLiteral("unsafe path"));
        // Sorted and unique, as written: also rules out duplicates.
        if (i > 0 && !(previous < path))
            return refuse(QStringLiteral("paths out of order"));
        previous = path;
        // Each chunk takes 4 + 32 bytes: checked before anything is allocated.
        if (file.size < 0 || qint64(chunkCount) * (4 + kHashSize) > in.left())
            return refuse(QStringLiteral("truncated record"));
        file.chunks.reserve(chunkCount);
        qint64 offset = 0;
        for (quint32 c = 0; c < chunkCount; ++c) {
            IndexChunk chunk;
            in.get(chunk.length);
            in.take(kHashSize, chunk.hash);
            if (chunk.length <= 0 || chunk.length > kMaxChunkLength)
                return refuse(QStringLiteral("bad chunk length"));
            chunk.offset = offset;
            offset += chunk.length;
            file.chunks.push_back(std::move(chunk));
        }
        if (offset != file.size)
            return refuse(QStringLiteral("chunks do not cover the file"));
        state.files.emplace(path, std::move(file));
    }
    if (in.left() != 0)
        return refuse(QStringLiteral("trailing bytes"));
    return true;
}

bool InstalledState::load(const GameFolder& folder, QString* why)
{
    *this = InstalledState();
    struct stat info;
    GameFolder::Kind kind = GameFolder::Kind::Missing;
    QString error;
    const int fd = folder.openRegular(fileName(), &info, &kind, &error);
    if (fd < 0) {
        if (kind == GameFolder::Kind::Missing)
            return true;
        setWhy(why, kind == GameFolder::Kind::NotRegular
                        ? QStringLiteral("%1 is not a regular file").arg(fileName())
                        : error);
        return false;
    }
    if (info.st_size > kMaxFileSize) {
        ::close(fd);
        setWhy(why, QStringLiteral("%1 is too large").arg(fileName()));
        return false;
    }
    QByteArray bytes(qsizetype(info.st_size), Qt::Uninitialized);
    const bool read = FileIo::readAll(fd, bytes.data(), bytes.size(), 0);
    const int readError = errno;
    ::close(fd);
    if (!read) {
        setWhy(why, QStringLiteral("Could not read %1: %2").arg(fileName(), reason(readError)));
        return false;
    }
    return parse(bytes, *this, why);
}

bool InstalledState::save(const GameFolder& folder, QString* why) const
{
    const QByteArray bytes = serialize();
    const QByteArray name = QFile::encodeName(fileName());
    const QByteArray temp = name + ".tmp";
    const int root = folder.rootFd();
    // Whatever is at the temporary name (a planted link included) goes first;
    // O_EXCL then makes sure a new file is written.
    ::unlinkat(root, temp.constData(), 0);
    const int fd = ::openat(root, temp.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        setWhy(why, QStringLiteral("Could not create %1: %2")
                        .arg(QString::fromLocal8Bit(temp), reason(errno)));
        return false;
    }
    bool ok = FileIo::writeAll(fd, bytes.constData(), bytes.size()) && ::fsync(fd) == 0;
    int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::renameat(root, temp.constData(), root, name.constData()) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        ::unlinkat(root, temp.constData(), 0);
        setWhy(why, QStringLiteral("Could not write %1: %2").arg(fileName(), reason(error)));
        return false;
    }
    ::fsync(root);
    return true;
}

const InstalledFile* InstalledState::matching(const QString& path, const struct stat& info) const
{
    const auto it = files.find(path);
    if (it == files.end() || !S_ISREG(info.st_mode) || info.st_size != it->second.size ||
        GameFolder::mtimeNs(info) != it->second.mtimeNs)
        return nullptr;
    return &it->second;
}

void installedStateOf(const UpdateIndex& index, const GameFolder& folder, InstalledState& state)
{
    state = InstalledState();
    state.archiveSize = index.archiveSize;
    state.archiveDigest = index.archiveDigest;
    for (const IndexEntry& entry : index.entries) {
        if (entry.type != VessariFormat::EntryType::File)
            continue;
        // Not there as a regular file of its size (reached through a link, or
        // changed already): left out, so the next update reads it.
        struct stat info;
        if (folder.examine(entry.path, &info) != GameFolder::Kind::Regular ||
            info.st_size != entry.size)
            continue;
        std::vector<IndexChunk> chunks = entry.chunks;
        for (IndexChunk& chunk : chunks)
            chunk.offset -= entry.dataOffset;
        state.record(entry.path, info, std::move(chunks));
    }
}
