#include "ReplacingFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

ReplacingFile::ReplacingFile(const QString& target)
    : target(target), name(QFile::encodeName(QFileInfo(target).fileName()))
{
}

ReplacingFile::~ReplacingFile()
{
    discard();
}

bool ReplacingFile::failed(const QString& what)
{
    error = QStringLiteral("Could not %1 %2: %3")
                .arg(what, target, QString::fromLocal8Bit(std::strerror(errno)));
    discard();
    return false;
}

void ReplacingFile::discard()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (dirFd >= 0) {
        if (!tempName.isEmpty())
            ::unlinkat(dirFd, tempName.constData(), 0);
        ::close(dirFd);
        dirFd = -1;
    }
    tempName.clear();
}

// A name beside the target that nothing has: the file is created under it, or,
// when it is open but nameless, linked to it.
bool ReplacingFile::takeTempName()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray temp = "." + name.left(200) + "." +
                                QByteArray::number(QRandomGenerator::global()->generate(), 36) +
                                ".part";
        bool made = false;
        if (fd < 0) {
            fd = ::openat(dirFd, temp.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            made = fd >= 0;
        } else {
            // The first form needs a privilege, the second a mounted /proc.
            made = ::linkat(fd, "", dirFd, temp.constData(), AT_EMPTY_PATH) == 0 ||
                   (errno != EEXIST &&
                    ::linkat(AT_FDCWD, ("/proc/self/fd/" + QByteArray::number(fd)).constData(),
                             dirFd, temp.constData(), AT_SYMLINK_FOLLOW) == 0);
        }
        if (made) {
            tempName = temp;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool ReplacingFile::open()
{
    discard();
    dirFd = ::open(QFile::encodeName(QFileInfo(target).absolutePath()).constData(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return failed(QStringLiteral("open the folder of"));
#ifdef O_TMPFILE
    // Nameless until whole: a process killed in mid-download leaves nothing
    // behind, however much it had written.
    fd = ::openat(dirFd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
    if (fd >= 0)
        return true;
#endif
    return takeTempName() || failed(QStringLiteral("create a file beside"));
}

bool ReplacingFile::write(const char* data, qint64 size)
{
    if (fd < 0)
        return false;
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return failed(QStringLiteral("write"));
        }
        data += n;
        size -= n;
    }
    return true;
}

bool ReplacingFile::close()
{
    if (fd < 0)
        return !tempName.isEmpty();
    if (tempName.isEmpty() && !takeTempName())
        return failed(QStringLiteral("name a file beside"));
    const int closed = ::close(fd);
    fd = -1;
    return closed == 0 || failed(QStringLiteral("write"));
}

bool ReplacingFile::commit()
{
    if (!close())
        return false;
    if (::renameat(dirFd, tempName.constData(), dirFd, name.constData()) != 0)
        return failed(QStringLiteral("replace"));
    tempName.clear();
    discard();
    return true;
}
