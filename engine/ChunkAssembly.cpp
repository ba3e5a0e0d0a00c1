#include "ChunkAssembly.h"

#include "ControlCharacters.h"
#include "FileIo.h"
#include "GameFolder.h"
#include "PathSafety.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using EngineIo::reason;

namespace {

void setWhy(QString* why, const QString& text)
{
    if (why)
        *why = text;
}

QString chunkPlace(const PlannedFile& file, qint64 fileOffset, qint32 length)
{
    return QStringLiteral("%1 bytes %2-%3")
        .arg(escapeControlCharacters(file.path))
        .arg(fileOffset)
        .arg(fileOffset + length - 1);
}

} // namespace

ChunkStore::~ChunkStore()
{
    close();
}

void ChunkStore::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    size = 0;
}

bool ChunkStore::open(const GameFolder& folder, qint64 archiveSize, QString* why)
{
    close();
    const QByteArray name = QFile::encodeName(fileName());
    const int root = folder.rootFd();
    constexpr int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        int file = ::openat(root, name.constData(), flags | (attempt ? O_EXCL : 0), 0600);
        struct stat info;
        if (file >= 0 && (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode))) {
            ::close(file);
            file = -1;
            errno = EINVAL;
        }
        if (file >= 0) {
            fd = file;
            break;
        }
        const int error = errno;
        // Our own name: a link, FIFO or device planted there is removed, not used.
        struct stat other;
        if (attempt > 0 || ::fstatat(root, name.constData(), &other, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISDIR(other.st_mode) || ::unlinkat(root, name.constData(), 0) != 0) {
            setWhy(why, QStringLiteral("Could not open %1: %2").arg(fileName(), reason(error)));
            return false;
        }
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat info;
    if (::fstat(fd, &info) != 0 || (info.st_size > archiveSize && ::ftruncate(fd, archiveSize))) {
        setWhy(why, QStringLiteral("Could not prepare %1: %2").arg(fileName(), reason(errno)));
        close();
        return false;
    }
    size = archiveSize;
    return true;
}

bool ChunkStore::remove(const GameFolder& folder, QString* why)
{
    const QByteArray name = QFile::encodeName(fileName());
    if (::unlinkat(folder.rootFd(), name.constData(), 0) != 0 && errno != ENOENT) {
        setWhy(why, QStringLiteral("Could not remove %1: %2").arg(fileName(), reason(errno)));
        return false;
    }
    return true;
}

bool ChunkStore::write(qint64 offset, const char* data, qint64 length, QString* why)
{
    if (fd < 0 || offset < 0 || length < 0 || offset > size || length > size - offset) {
        setWhy(why, QStringLiteral("Bytes %1+%2 lie outside the archive").arg(offset).arg(length));
        return false;
    }
    if (!FileIo::writeAll(fd, data, length, offset)) {
        setWhy(why, QStringLiteral("Could not write %1: %2").arg(fileName(), reason(errno)));
        return false;
    }
    return true;
}

bool ChunkStore::read(qint64 offset, char* data, qint64 length, QString* why) const
{
    if (fd < 0 || offset < 0 || length < 0 || offset > size || length > size - offset) {
        setWhy(why, QStringLiteral("Bytes %1+%2 lie outside the archive").arg(offset).arg(length));
        return false;
    }
    if (!FileIo::readAll(fd, data, length, offset)) {
        setWhy(why, errno == EIO
                        ? QStringLiteral("not stored")
                        : QStringLiteral("Could not read %1: %2").arg(fileName(), reason(errno)));
        return false;
    }
    return true;
}

bool ChunkStore::holds(qint64 offset, qint32 length, const QByteArray& hash) const
{
    if (fd < 0 || length <= 0 || offset < 0 || offset > size || length > size - offset)
        return false;
    // Never written: a hole (or past the end) up to the chunk's end.
    const off_t data = ::lseek(fd, off_t(offset), SEEK_DATA);
    if (data < 0 || data >= offset + length)
        return false;
    if (scratchSize < length) {
        scratch.reset(new char[size_t(length)]);
        scratchSize = length;
    }
    return read(offset, scratch.get(), length) &&
           ContentChunks::hash(scratch.get(), length) == hash;
}

bool ChunkStore::sync(QString* why)
{
    if (fd >= 0 && ::fdatasync(fd) != 0) {
        setWhy(why, QStringLiteral("Could not write %1: %2").arg(fileName(), reason(errno)));
        return false;
    }
    return true;
}

ChunkAssembler::ChunkAssembler(const GameFolder& folder, const ChunkStore* store,
                               const UpdatePlan& plan)
    : folder(folder), store(store), plan(plan)
{
}

ChunkAssembler::~ChunkAssembler()
{
    if (openFd >= 0)
        ::close(openFd);
}

int ChunkAssembler::sourceFd(int source, QString* why)
{
    if (source == openSource && openFd >= 0)
        return openFd;
    if (openFd >= 0)
        ::close(openFd);
    openSource = -1;
    openFd = -1;
    if (source < 0 || size_t(source) >= plan.sources.size()) {
        setWhy(why, QStringLiteral("no such local file"));
        return -1;
    }
    GameFolder::Kind kind;
    openFd = folder.openRegular(plan.sources[size_t(source)], nullptr, &kind, why);
    if (openFd >= 0)
        openSource = source;
    else if (kind != GameFolder::Kind::Error)
        setWhy(why, QStringLiteral("%1 is no longer a regular file")
                        .arg(escapeControlCharacters(plan.sources[size_t(source)])));
    return openFd;
}

bool ChunkAssembler::assemble(const PlannedFile& file, const Writer& write,
                              AssemblyFailure* failure)
{
    auto fail = [&](AssemblyFailure::Kind kind, int index, qint64 offset, const QString& text) {
        if (failure) {
            failure->kind = kind;
            failure->chunk = index;
            failure->fileOffset = offset;
            failure->reason = text;
        }
        return false;
    };
    qint64 fileOffset = 0;
    for (size_t i = 0; i < file.chunks.size(); ++i) {
        const PlannedChunk& chunk = file.chunks[i];
        const int index = int(i);
        if (chunk.length <= 0 || chunk.length > ContentChunks::kSizes.max)
            return fail(AssemblyFailure::Kind::StoreChunk, index, fileOffset,
                        QStringLiteral("bad chunk length"));
        if (bufferSize < chunk.length) {
            buffer.reset(new char[size_t(chunk.length)]);
            bufferSize = chunk.length;
        }
        const QString where = chunkPlace(file, fileOffset, chunk.length);
        QString error;
        if (chunk.from == PlannedChunk::From::Local) {
            const int fd = sourceFd(chunk.source, &error);
            const QString source = chunk.source >= 0 && size_t(chunk.source) < plan.sources.size()
                                       ? escapeControlCharacters(plan.sources[size_t(chunk.source)])
                                       : QString();
            if (fd < 0 || !FileIo::readAll(fd, buffer.get(), chunk.length, chunk.sourceOffset))
                return fail(AssemblyFailure::Kind::LocalChunk, index, fileOffset,
                            QStringLiteral("%1: could not read it from %2: %3")
                                .arg(where, source, fd < 0 ? error : EngineIo::reason(errno)));
            if (ContentChunks::hash(buffer.get(), chunk.length) != chunk.hash)
                return fail(AssemblyFailure::Kind::LocalChunk, index, fileOffset,
                            QStringLiteral("%1: %2 changed since the update was planned")
                                .arg(where, source));
        } else {
            if (!store || !store->read(chunk.storeOffset, buffer.get(), chunk.length, &error))
                return fail(
                    AssemblyFailure::Kind::StoreChunk, index, fileOffset,
                    QStringLiteral("%1: not in the chunk store%2")
                        .arg(where, store ? QStringLiteral(" (") + error + ')' : QString()));
            if (ContentChunks::hash(buffer.get(), chunk.length) != chunk.hash)
                return fail(AssemblyFailure::Kind::StoreChunk, index, fileOffset,
                            QStringLiteral("%1: the fetched bytes do not match the signed index")
                                .arg(where));
        }
        if (!write(buffer.get(), chunk.length))
            return fail(
                AssemblyFailure::Kind::Write, index, fileOffset,
                QStringLiteral("%1: could not write: %2").arg(where, EngineIo::reason(errno)));
        fileOffset += chunk.length;
    }
    if (fileOffset != file.size)
        return fail(AssemblyFailure::Kind::StoreChunk, -1, fileOffset,
                    QStringLiteral("%1: the chunks do not cover the file")
                        .arg(escapeControlCharacters(file.path)));
    if (failure)
        *failure = AssemblyFailure();
    return true;
}

bool ChunkAssembler::assembleTo(const PlannedFile& file, int fd, AssemblyFailure* failure)
{
    return assemble(
        file, [fd](const char* data, qint64 length) { return FileIo::writeAll(fd, data, length); },
        failure);
}
