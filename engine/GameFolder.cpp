#include "GameFolder.h"

#include "ControlCharacters.h"
#include "PathSafety.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

void setWhy(QString* why, const QString& text)
{
    if (why)
        *why = text;
}

} // namespace

namespace EngineIo {

QString reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace EngineIo

using EngineIo::reason;

GameFolder::~GameFolder()
{
    if (fd >= 0)
        ::close(fd);
}

bool GameFolder::open(const QString& root, QString* why)
{
    if (fd >= 0)
        ::close(fd);
    rootPath = root;
    fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        setWhy(why, QStringLiteral("Could not open folder %1: %2").arg(root, reason(errno)));
        return false;
    }
    return true;
}

qint64 GameFolder::mtimeNs(const struct stat& info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
}

int GameFolder::openParent(const QString& path, QByteArray& leaf, Kind& kind, QString* why) const
{
    if (!isSafeEntryPath(path, hostPathRules())) {
        kind = Kind::Error;
        setWhy(why, QStringLiteral("Unsafe path %1").arg(escapeControlCharacters(path)));
        return -1;
    }
    QList<QByteArray> parts = QFile::encodeName(path).split('/');
    parts.removeIf([](const QByteArray& part) { return part.isEmpty() || part == "."; });
    if (parts.isEmpty()) {
        kind = Kind::NotRegular;
        return -1;
    }
    leaf = parts.takeLast();
    int dir = ::dup(fd);
    if (dir < 0) {
        kind = Kind::Error;
        setWhy(why, reason(errno));
        return -1;
    }
    for (const QByteArray& part : parts) {
        const int next = ::openat(dir, part.constData(), kDirFlags);
        const int error = errno;
        if (next < 0) {
            // ELOOP: a link that O_NOFOLLOW stopped at; ENOTDIR: a file or FIFO.
            kind = error == ENOENT || error == ENOTDIR ? Kind::Missing
                   : error == ELOOP                    ? Kind::NotRegular
                                                       : Kind::Error;
            if (error == ENOTDIR) {
                struct stat info;
                if (::fstatat(dir, part.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISLNK(info.st_mode))
                    kind = Kind::NotRegular;
            }
            ::close(dir);
            setWhy(why, QStringLiteral("%1: %2").arg(escapeControlCharacters(path), reason(error)));
            return -1;
        }
        ::close(dir);
        dir = next;
    }
    return dir;
}

GameFolder::Kind GameFolder::examine(const QString& path, struct stat* info, QString* why) const
{
    QByteArray leaf;
    Kind kind = Kind::Missing;
    const int dir = openParent(path, leaf, kind, why);
    if (dir < 0)
        return kind;
    struct stat st;
    const int result = ::fstatat(dir, leaf.constData(), &st, AT_SYMLINK_NOFOLLOW);
    const int error = errno;
    ::close(dir);
    if (result != 0) {
        if (error == ENOENT || error == ENOTDIR)
            return Kind::Missing;
        setWhy(why, QStringLiteral("%1: %2").arg(escapeControlCharacters(path), reason(error)));
        return Kind::Error;
    }
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? Kind::Directory : Kind::NotRegular;
    if (info)
        *info = st;
    return Kind::Regular;
}

int GameFolder::openRegular(const QString& path, struct stat* info, Kind* kind, QString* why) const
{
    QByteArray leaf;
    Kind found = Kind::Missing;
    int file = -1;
    const int dir = openParent(path, leaf, found, why);
    if (dir >= 0) {
        struct stat st;
        file = ::openat(dir, leaf.constData(), kFileFlags);
        const int error = errno;
        if (file < 0) {
            found = error == ENOENT || error == ENOTDIR ? Kind::Missing
                    : error == ELOOP                    ? Kind::NotRegular
                                                        : Kind::Error;
            // Opening a directory read-only succeeds; anything else refused is
            // looked at without following it.
            struct stat other;
            if (found == Kind::Error &&
                ::fstatat(dir, leaf.constData(), &other, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISREG(other.st_mode))
                found = Kind::NotRegular;
            setWhy(why, QStringLiteral("%1: %2").arg(escapeControlCharacters(path), reason(error)));
        } else if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
            // A FIFO or device opened without blocking, or a directory: never read.
            ::close(file);
            file = -1;
            found = Kind::NotRegular;
            setWhy(why,
                   QStringLiteral("%1 is not a regular file").arg(escapeControlCharacters(path)));
        } else {
            found = Kind::Regular;
            // Reads must block normally from here on.
            ::fcntl(file, F_SETFL, ::fcntl(file, F_GETFL) & ~O_NONBLOCK);
            if (info)
                *info = st;
        }
        ::close(dir);
    }
    if (kind)
        *kind = found;
    return file;
}

bool GameFolder::chunk(const QString& path, std::vector<IndexChunk>& chunks, struct stat* info,
                       qint64* bytesRead, QString* why,
                       const std::function<bool(qint64 read)>& onRead) const
{
    chunks.clear();
    struct stat st;
    Kind kind = Kind::Missing;
    const int file = openRegular(path, &st, &kind, why);
    if (file < 0)
        return false;
    qint64 total = 0;
    const int error = ContentChunks::chunkDescriptor(file, chunks, &total, onRead);
    ::close(file);
    if (bytesRead)
        *bytesRead += total;
    if (error == ECANCELED)
        return false;
    if (error) {
        setWhy(why, QStringLiteral("Could not read %1: %2")
                        .arg(escapeControlCharacters(path), reason(error)));
        return false;
    }
    st.st_size = total;
    if (info)
        *info = st;
    return true;
}
