#include "StagingFile.h"

#include "Blake2b.h"
#include "FileIo.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isPlainFile(const struct stat& info)
{
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

} // namespace

StagingFile::StagingFile(const QString& path) : path(path) {}

StagingFile::~StagingFile()
{
    close();
}

qint64 StagingFile::keptSize(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !isPlainFile(info))
        return 0;
    return qint64(info.st_size);
}

bool StagingFile::failed(const QString& what)
{
    error = QStringLiteral("Could not %1 %2: %3")
                .arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
    close();
    return false;
}

bool StagingFile::open()
{
    close();
    const QByteArray name = QFile::encodeName(path);
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat info;
        if (::lstat(name.constData(), &info) == 0 && !isPlainFile(info)) {
            if (S_ISDIR(info.st_mode)) {
                errno = EISDIR;
                return failed(QStringLiteral("write"));
            }
            // Unlinking removes the name only: a link's target stays as it was.
            if (::unlink(name.constData()) != 0 && errno != ENOENT)
                return failed(QStringLiteral("replace"));
        }
        // Non-blocking, so that a FIFO slipped in after the look above cannot hang the open.
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0 && errno != ELOOP)
            return failed(QStringLiteral("write"));
        if (fd >= 0 && ::fstat(fd, &info) == 0 && isPlainFile(info)) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return true;
        }
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    errno = EEXIST;
    return failed(QStringLiteral("replace"));
}

bool StagingFile::keep(qint64 bytes, Blake2b* hasher)
{
    if (fd < 0)
        return false;
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return failed(QStringLiteral("read"));
    if (info.st_size < bytes) {
        error = QStringLiteral("Could not go on with %1: it is shorter than before").arg(path);
        close();
        return false;
    }
    if (::ftruncate(fd, off_t(bytes)) != 0)
        return failed(QStringLiteral("write"));
    if (hasher) {
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        for (qint64 at = 0; at < bytes;) {
            const qint64 n = qMin<qint64>(buffer.size(), bytes - at);
            if (!FileIo::readAll(fd, buffer.data(), n, at))
                return failed(QStringLiteral("read"));
            hasher->addData(buffer.constData(), n);
            at += n;
        }
    }
    if (::lseek(fd, off_t(bytes), SEEK_SET) < 0)
        return failed(QStringLiteral("write"));
    return true;
}

bool StagingFile::write(const char* data, qint64 size)
{
    if (fd < 0)
        return false;
    return FileIo::writeAll(fd, data, size) || failed(QStringLiteral("write"));
}

bool StagingFile::close()
{
    if (fd < 0)
        return true;
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) {
        error = QStringLiteral("Could not write %1: %2")
                    .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}
