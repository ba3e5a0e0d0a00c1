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

bool ReplacingFile::open()
{
    discard();
    dirFd = ::open(QFile::encodeName(QFileInfo(target).absolutePath()).constData(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return failed(QStringLiteral("open the folder of"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray temp = "." + name.left(200) + "." +
                                QByteArray::number(QRandomGenerator::global()->generate(), 36) +
                                ".part";
        fd = ::openat(dirFd, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0666);
        if (fd >= 0) {
            tempName = temp;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    return failed(QStringLiteral("create a file beside"));
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
