#include "ReplacingFile.h"

#include "FileIo.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<bool> namedPartsForced{false};

// ".NAME.RANDOM.part", NAME cut as takeTempName() cuts it, RANDOM in base 36.
QByteArray partPrefix(const QByteArray& name)
{
    return "." + name.left(200) + ".";
}

bool isPartName(const QByteArray& entry, const QByteArray& prefix)
{
    static const QByteArray suffix = ".part";
    if (!entry.startsWith(prefix) || !entry.endsWith(suffix) ||
        entry.size() <= prefix.size() + suffix.size())
        return false;
    const QByteArray random =
        entry.mid(prefix.size(), entry.size() - prefix.size() - suffix.size());
    return std::all_of(random.cbegin(), random.cend(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); });
}

// Whether name in dir is still the file open as fd.
bool sameFile(int dir, const char* name, int fd)
{
    struct stat byName = {};
    struct stat byFd = {};
    return ::fstatat(dir, name, &byName, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &byFd) == 0 &&
           byName.st_dev == byFd.st_dev && byName.st_ino == byFd.st_ino;
}

} // namespace

void ReplacingFile::setNamedPartsForced(bool forced)
{
    namedPartsForced = forced;
}

void ReplacingFile::removeStaleParts(const QString& target)
{
    const QByteArray prefix = partPrefix(QFile::encodeName(QFileInfo(target).fileName()));
    const int dir = ::open(QFile::encodeName(QFileInfo(target).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    const int listFd = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR* list = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!list) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(dir);
        return;
    }
    while (const dirent* entry = ::readdir(list)) {
        const QByteArray name(entry->d_name);
        if (!isPartName(name, prefix))
            continue;
        const int part = ::openat(dir, name.constData(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (part < 0)
            continue;
        struct stat st = {};
        // The lock is free only once its writer has gone; held until the name is
        // gone, so that a writer that loses the race to its own new file sees it.
        if (::fstat(part, &st) == 0 && S_ISREG(st.st_mode) &&
            ::flock(part, LOCK_EX | LOCK_NB) == 0 && sameFile(dir, name.constData(), part))
            ::unlinkat(dir, name.constData(), 0);
        ::close(part);
    }
    ::closedir(list);
    ::close(dir);
}

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
    // Unlocked only once the name is gone.
    if (lockFd >= 0) {
        ::close(lockFd);
        lockFd = -1;
    }
    tempName.clear();
}

// Locks the part open as fd, through a descriptor of its own that outlives fd's
// close. Where the filesystem has no locks the part goes unlocked; removeStaleParts
// then never takes it for stale.
bool ReplacingFile::lockPart()
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        return errno != EWOULDBLOCK;
    }
    lockFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return lockFd >= 0;
}

// A name beside the target that nothing has: the file is created under it, or,
// when it is open but nameless, linked to it.
bool ReplacingFile::takeTempName()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray temp = partPrefix(name) +
                                QByteArray::number(QRandomGenerator::global()->generate(), 36) +
                                ".part";
        bool made = false;
        if (fd < 0) {
            fd = ::openat(dirFd, temp.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST)
                return false;
            // Named before it is locked: another run's removeStaleParts() may take
            // it in between. Then its name is gone, or going, and another is tried.
            if (fd >= 0 && !(lockPart() && sameFile(dirFd, temp.constData(), fd))) {
                if (sameFile(dirFd, temp.constData(), fd))
                    ::unlinkat(dirFd, temp.constData(), 0);
                if (lockFd >= 0)
                    ::close(lockFd);
                lockFd = -1;
                ::close(fd);
                fd = -1;
                continue;
            }
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
    // behind, however much it had written. Locked now, for the name it takes once
    // whole.
    if (!namedPartsForced) {
        fd = ::openat(dirFd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
        if (fd >= 0 && lockPart())
            return true;
        if (fd >= 0)
            return failed(QStringLiteral("lock a file beside"));
    }
#endif
    return takeTempName() || failed(QStringLiteral("create a file beside"));
}

bool ReplacingFile::write(const char* data, qint64 size)
{
    if (fd < 0)
        return false;
    return FileIo::writeAll(fd, data, size) || failed(QStringLiteral("write"));
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
