#include "VessariTar.h"

#include "ControlCharacters.h"
#include "Log.h"
#include "PathSafety.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using VessariFormat::EntryType;
using VessariFormat::isType;
using VessariFormat::kHeaderSize;
using VessariFormat::kMaxNameLength;

namespace {

// File data is copied through one buffer of this size, allocated once per reader.
constexpr qint64 kDataChunk = 16384;
// Progress is reported at least this often while one large file is copied.
constexpr qint64 kProgressStep = 8 * 1024 * 1024;
// Directories of the current path kept open below every checkpoint level: with
// names of up to 16384 bytes a path can be thousands of levels deep, more than the
// usual limit of 1024 descriptors, and reopening at most this many levels from the
// nearest checkpoint keeps a walk back up linear.
constexpr qsizetype kOpenWindow = 64;
// Symbolic links followed for one entry, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

const QString kReadError = QStringLiteral("Error reading from archive");
const QString kLinkEscape = QStringLiteral(
    "Refusing to extract through a symbolic link that leads outside the target directory: ");

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QList<QByteArray> components(const QByteArray& path)
{
    QList<QByteArray> parts = path.split('/');
    parts.removeIf([](const QByteArray& part) { return part.isEmpty() || part == "."; });
    return parts;
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The format stores no permissions: a script or an ELF program must stay runnable.
bool looksExecutable(const char* data, qint64 size)
{
    return (size >= 2 && data[0] == '#' && data[1] == '!') || (size >= 4 && std::memcmp(data,
                                                                                        "\x7F"
                                                                                        "ELF",
                                                                                        4) == 0);
}

QByteArray readLinkAt(int dirFd, const QByteArray& name)
{
    QByteArray text(4096, Qt::Uninitialized);
    const ssize_t got = ::readlinkat(dirFd, name.constData(), text.data(), size_t(text.size()));
    if (got < 0 || got >= text.size())
        return QByteArray();
    text.truncate(got);
    return text;
}

} // namespace

VessariTar::VessariTar() : state(STATE_IDLE) {}

VessariTar::~VessariTar()
{
    closeChain(0);
    if (rootFd >= 0)
        ::close(rootFd);
}

bool VessariTar::extract(const QString& archiveName, const QString& archivePath)
{
    if (archiveName.isEmpty())
        return fail(QStringLiteral("archiveName is not valid"), QStringLiteral("extract"));
    if (archivePath.isEmpty())
        return fail(QStringLiteral("archivePath is not valid"), QStringLiteral("extract"));
    if (state != STATE_IDLE)
        return false;
    state = STATE_EXTRACTING;
    this->archiveName = archiveName;
    this->archivePath = archivePath;
    visitor = nullptr;
    return run();
}

bool VessariTar::list(const QString& archiveName, const EntryVisitor& visitor)
{
    if (archiveName.isEmpty())
        return fail(QStringLiteral("archiveName is not valid"), QStringLiteral("list"));
    if (state != STATE_IDLE)
        return false;
    state = STATE_EXTRACTING;
    this->archiveName = archiveName;
    this->visitor = &visitor;
    const bool ok = run();
    this->visitor = nullptr;
    return ok;
}

bool VessariTar::fail(const QString& message, const QString& path, const QString& reason,
                      bool warning)
{
    LOG(warning ? Warning : Error, message);
    QString why = reason;
    if (why.isEmpty()) {
        // "Refusing ...: PATH" names the path once, in front.
        why = message.endsWith(path) ? message.chopped(path.size()) : message;
        while (why.endsWith(QLatin1Char(' ')) || why.endsWith(QLatin1Char(':')))
            why.chop(1);
    }
    lastError = path + QStringLiteral(": ") + why;
    return false;
}

bool VessariTar::run()
{
    lastError.clear();
    entryCount = 0;
    noHeaderAtStart = false;
    const bool fromStdin = archiveName == QLatin1String("-");
    if (!fromStdin)
        archive.setFileName(archiveName);
    if (!(fromStdin ? archive.open(STDIN_FILENO, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
                    : archive.open(QIODevice::ReadOnly))) {
        fail(QStringLiteral("Could not open file ") + archiveName, archiveName,
             archive.errorString());
        state = STATE_IDLE;
        return false;
    }
    archiveSize = archive.isSequential() ? 0 : archive.size();
    struct stat archiveStat;
    if (::fstat(archive.handle(), &archiveStat) == 0) {
        archiveDev = archiveStat.st_dev;
        archiveIno = archiveStat.st_ino;
    }
    // Entry paths are taken relative to the target, which itself may be relative
    // to the current directory; it is opened when the first entry needs it.
    targetRoot = visitor ? QString() : QDir::cleanPath(QDir(archivePath).absolutePath());
    if (nameBuffer.size() < kMaxNameLength + 1)
        nameBuffer.resize(kMaxNameLength + 1);
    if (dataBuffer.size() < kDataChunk)
        dataBuffer.resize(kDataChunk);

    bool ok = true;
    for (;;) {
        // Reading, rather than asking for the end, also works for pipes, where the
        // end is only known once the writer has closed its side.
        char bytes[kHeaderSize];
        const qint64 got = readFully(bytes, kHeaderSize);
        if (got == 0)
            break;
        EntryHeader header = VessariFormat::decodeHeader(bytes);
        bool entryOk = false;
        if (got != kHeaderSize) {
            noHeaderAtStart = entryCount == 0 && got > 0;
            entryOk = false;
        } else if (isType(header, EntryType::Version)) {
            entryOk = readVersion(header);
        } else if (isType(header, EntryType::Directory)) {
            entryOk = readDirectory(header);
        } else if (isType(header, EntryType::File)) {
            entryOk = readFile(header);
        } else {
            fail(QStringLiteral("Uknown entry type in archive: %1").arg(header.type), archiveName);
            noHeaderAtStart = entryCount == 0;
            ok = false;
            break;
        }
        if (!entryOk) {
            LOG(Error, kReadError);
            if (lastError.isEmpty())
                lastError = archiveName + QStringLiteral(": ") + kReadError;
            ok = false;
            break;
        }
        ++entryCount;
        reportProgress();
    }
    archive.close();
    closeChain(0);
    if (rootFd >= 0)
        ::close(rootFd);
    rootFd = -1;
    state = STATE_IDLE;
    return ok;
}

// The one read loop: short only at the end of the archive, -1 on a read error.
qint64 VessariTar::readFully(char* buffer, qint64 size)
{
    qint64 have = 0;
    while (have < size) {
        const qint64 got = archive.read(buffer + have, size - have);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        have += got;
    }
    return have;
}

bool VessariTar::readEntryHeader(EntryHeader& header)
{
    char bytes[kHeaderSize];
    if (readFully(bytes, kHeaderSize) != kHeaderSize)
        return fail(kReadError, archiveName);
    header = VessariFormat::decodeHeader(bytes);
    return true;
}

bool VessariTar::readName(const EntryHeader& header, const char* tooLong, const char* negative,
                          QString& name)
{
    if (header.length > kMaxNameLength)
        return fail(QLatin1String(tooLong), archiveName);
    if (negative && header.length < 0)
        return fail(QString::fromLatin1(negative).arg(header.length), archiveName);
    const qint64 length = qMax<qint32>(header.length, 0);
    char* buffer = nameBuffer.data();
    if (readFully(buffer, length) != length)
        return fail(kReadError, archiveName);
    buffer[length] = '\0';
    // The name ends at its first zero byte; the rest of the payload is skipped.
    name = QString::fromLatin1(buffer, qsizetype(std::strlen(buffer)));
    return true;
}

bool VessariTar::readVersion(EntryHeader& header)
{
    if (!isType(header, EntryType::Version))
        return fail(QStringLiteral("invalid entry type"), archiveName);
    QString text;
    if (!readName(header, "version is too long", nullptr, text))
        return false;
    if (visitor)
        (*visitor)(EntryInfo{EntryType::Version, qMax<qint64>(header.length, 0), text});
    return true;
}

bool VessariTar::readDirectory(EntryHeader& header)
{
    if (!isType(header, EntryType::Directory))
        return fail(QStringLiteral("invalid entry type"), archiveName);
    QString path;
    if (!readName(header, "Directory name is too long", "Directory name has a negative length: %1",
                  path))
        return false;
    // An empty name cannot be created; the failure is reported by the caller.
    if (path.isEmpty() || refuseUnsafe(path))
        return false;
    if (visitor) {
        (*visitor)(EntryInfo{EntryType::Directory, 0, path});
        return true;
    }
    const QList<QByteArray> parts = components(QFile::encodeName(path));
    int fd = -1;
    int error = 0;
    const Open opened = openParent(parts, parts.size(), true, fd, error);
    if (opened == Open::Escapes)
        return fail(kLinkEscape + escapeControlCharacters(path), escapeControlCharacters(path));
    if (opened != Open::Done) {
        // Only the generic entry is logged here, as always; the reason is kept.
        lastError = escapeControlCharacters(path) + QStringLiteral(": ") + systemReason(error);
        return false;
    }
    if (extracted)
        extracted(EntryInfo{EntryType::Directory, 0, path});
    return true;
}

bool VessariTar::readFile(EntryHeader& header)
{
    if (!isType(header, EntryType::File))
        return fail(QStringLiteral("invalid entry type"), archiveName);
    QString path;
    if (!readName(header, "File name is too long", "File name has a negative length: %1", path))
        return false;
    EntryHeader dataHeader;
    if (!readEntryHeader(dataHeader))
        return false;
    if (!isType(dataHeader, EntryType::FileData))
        return fail(QStringLiteral("Expecting a file data entry.  Read this type instead: %1")
                        .arg(dataHeader.type),
                    archiveName, QString(), true);
    const QString shown = escapeControlCharacters(path);
    if (path.isEmpty())
        return fail(QStringLiteral("Could not create file "), shown, systemReason(ENOENT));
    if (refuseUnsafe(path))
        return false;

    qint64 size = 0;
    int error = 0;
    if (visitor) {
        if (!readData(dataHeader.length, nullptr, size, error))
            return false;
        (*visitor)(EntryInfo{EntryType::File, size, path});
        return true;
    }

    QList<QByteArray> parts = components(QFile::encodeName(path));
    if (parts.isEmpty())
        return fail(QStringLiteral("Could not create file ") + shown, shown, systemReason(EISDIR));
    QByteArray leaf = parts.takeLast();
    int dirFd = -1;
    Open opened = openParent(parts, parts.size(), false, dirFd, error);

    // A link as the last component is followed only to a place inside the target.
    int ownedDir = -1;
    struct stat old;
    bool exists = false;
    int hops = 0;
    while (opened == Open::Done) {
        if (::fstatat(dirFd, leaf.constData(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
            error = errno;
            opened = error == ENOENT ? Open::Done : Open::Failed;
            break;
        }
        if (!S_ISLNK(old.st_mode)) {
            exists = true;
            break;
        }
        int linkedDir = -1;
        QByteArray linkedLeaf;
        opened =
            followInside(dirFd, readLinkAt(dirFd, leaf), false, linkedDir, linkedLeaf, error, hops);
        if (ownedDir >= 0)
            ::close(ownedDir);
        ownedDir = dirFd = linkedDir;
        leaf = linkedLeaf;
    }
    const auto closeOwned = [&ownedDir] {
        if (ownedDir >= 0)
            ::close(ownedDir);
        ownedDir = -1;
    };
    if (opened != Open::Done) {
        closeOwned();
        return failOpen(opened, shown, "Could not create file ", error);
    }
    if (exists && S_ISDIR(old.st_mode)) {
        closeOwned();
        return fail(QStringLiteral("Could not create file ") + shown, shown, systemReason(EISDIR));
    }
    // Replacing the archive while it is read is harmless to this run, but the
    // caller deletes the archive after a success.
    if (exists && old.st_dev == archiveDev && old.st_ino == archiveIno) {
        closeOwned();
        return fail(QStringLiteral("Refusing to overwrite the archive being read: ") + shown,
                    shown);
    }

    // Written under a new name and renamed over the old file only when complete:
    // a failure leaves the old file as it was, and a hard link, FIFO, device node
    // or running program in its place is replaced rather than written through.
    // With no old file the final name is created exclusively and written
    // directly, removed again on failure: the rename costs about a tenth of an
    // extraction of small files (bench/extract_vs_tar.sh, "per-file rename").
    int out = -1;
    QByteArray tempName;
    bool inPlace = false;
    bool createFailed = false;
    const auto sink = [&](const char* data, qint64 size) {
        if (out < 0) {
            const bool keepBits = exists && S_ISREG(old.st_mode);
            const mode_t mode = keepBits ? 0600 : looksExecutable(data, size) ? 0777 : 0666;
            constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
            if (!exists) {
                out = ::openat(dirFd, leaf.constData(), flags, mode);
                inPlace = out >= 0;
            }
            for (int attempt = 0; out < 0 && attempt < 100; ++attempt) {
                tempName = ".vt-" + QByteArray::number(QRandomGenerator::global()->generate(), 36) +
                           "-" + QByteArray::number(++tempCounter) + ".tmp";
                out = ::openat(dirFd, tempName.constData(), flags, mode);
                if (out < 0 && errno != EEXIST)
                    break;
            }
            // Set-id bits stay with the old content: they are not the file's to keep.
            if (out < 0 || (keepBits && ::fchmod(out, old.st_mode & 0777) != 0)) {
                createFailed = true;
                return false;
            }
        }
        return writeAll(out, data, size);
    };
    bool ok = readData(dataHeader.length, sink, size, error);
    if (ok && out < 0 && !sink(nullptr, 0)) {
        ok = false;
        error = errno;
    }
    if (out >= 0 && ::close(out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && !inPlace && ::renameat(dirFd, tempName.constData(), dirFd, leaf.constData()) != 0) {
        ok = false;
        error = errno;
        createFailed = true;
    }
    if (!ok && error != 0)
        fail(QLatin1String(createFailed ? "Could not create file " : "Could not write to file ") +
                 shown,
             shown, systemReason(error));
    if (!ok && out >= 0)
        ::unlinkat(dirFd, (inPlace ? leaf : tempName).constData(), 0);
    closeOwned();
    if (ok && extracted)
        extracted(EntryInfo{EntryType::File, size, path});
    return ok;
}

bool VessariTar::readData(qint32 length, const DataSink& sink, qint64& copied, int& sinkError)
{
    sinkError = 0;
    const qint64 wanted = qMax<qint32>(length, 0);
    copied = 0;
    if (!sink && !archive.isSequential()) {
        if (archive.pos() + wanted > archiveSize || !archive.seek(archive.pos() + wanted))
            return fail(kReadError, archiveName);
        copied = wanted;
        return true;
    }
    char* buffer = dataBuffer.data();
    qint64 sinceProgress = 0;
    while (copied < wanted) {
        const qint64 chunk = qMin(kDataChunk, wanted - copied);
        const qint64 got = readFully(buffer, chunk);
        // Data cut short by the end of the archive is a failure, like a read error.
        if (got != chunk)
            return fail(kReadError, archiveName);
        if (sink && !sink(buffer, got)) {
            sinkError = errno;
            return false;
        }
        copied += got;
        sinceProgress += got;
        if (sinceProgress >= kProgressStep) {
            sinceProgress = 0;
            reportProgress();
        }
    }
    return true;
}

bool VessariTar::refuseUnsafe(const QString& path)
{
    if (isSafeEntryPath(path, hostPathRules()))
        return false;
    const QString shown = escapeControlCharacters(path);
    fail(QStringLiteral("Refusing a path that leads outside the target directory: ") + shown,
         shown);
    return true;
}

bool VessariTar::failOpen(Open result, const QString& path, const char* message, int error)
{
    if (result == Open::Escapes)
        return fail(kLinkEscape + path, path);
    return fail(QLatin1String(message) + path, path, systemReason(error));
}

VessariTar::Open VessariTar::openRoot(bool create, int& error)
{
    if (rootFd >= 0)
        return Open::Done;
    const QByteArray root = QFile::encodeName(targetRoot);
    rootFd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0 && errno == ENOENT && create && QDir().mkpath(targetRoot))
        rootFd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (rootFd < 0 || ::fstat(rootFd, &info) != 0) {
        error = errno;
        return error == ENOENT ? Open::Missing : Open::Failed;
    }
    rootDev = info.st_dev;
    rootIno = info.st_ino;
    canonicalTargetRoot = QFile::encodeName(QFileInfo(targetRoot).canonicalFilePath());
    return Open::Done;
}

VessariTar::Open VessariTar::openParent(const QList<QByteArray>& parts, qsizetype count,
                                        bool create, int& fd, int& error)
{
    Open result = openRoot(create, error);
    if (result != Open::Done)
        return result;
    // Consecutive entries mostly share their directories: keep the common part
    // of the chain, reopen closed levels from the nearest open one, then descend.
    qsizetype common = 0;
    const qsizetype kept = qsizetype(chain.size());
    while (common < kept && common < count && chain[size_t(common)].name == parts[common])
        ++common;
    closeChain(common);
    qsizetype start = common;
    while (start > 0 && chain[size_t(start - 1)].fd < 0)
        --start;
    int hops = 0;
    for (qsizetype i = start; i < count; ++i) {
        const int parent = i == 0 ? rootFd : chain[size_t(i - 1)].fd;
        int child = -1;
        result = openDir(parent, parts[i], create, child, error, hops);
        if (result != Open::Done) {
            closeChain(i);
            return result;
        }
        if (i < qsizetype(chain.size()))
            chain[size_t(i)].fd = child;
        else
            chain.push_back(Level{parts[i], child});
    }
    fd = count == 0 ? rootFd : chain[size_t(count - 1)].fd;
    for (qsizetype i = 0; i < count - kOpenWindow; ++i) {
        Level& level = chain[size_t(i)];
        if ((i + 1) % kOpenWindow != 0 && level.fd >= 0) {
            ::close(level.fd);
            level.fd = -1;
        }
    }
    return Open::Done;
}

VessariTar::Open VessariTar::openDir(int dirFd, const QByteArray& name, bool create, int& fd,
                                     int& error, int& hops)
{
    for (;;) {
        fd = ::openat(dirFd, name.constData(), kDirFlags);
        if (fd >= 0)
            return Open::Done;
        error = errno;
        if (error == ENOENT && create) {
            create = false;
            if (::mkdirat(dirFd, name.constData(), 0777) == 0 || errno == EEXIST)
                continue;
            error = errno;
            return Open::Failed;
        }
        if (error == ENOENT)
            return Open::Missing;
        if (error != ELOOP && error != ENOTDIR)
            return Open::Failed;
        // Not a directory, or a symbolic link that O_NOFOLLOW stopped at.
        const QByteArray text = readLinkAt(dirFd, name);
        if (text.isEmpty()) {
            error = ENOTDIR;
            return Open::Failed;
        }
        QByteArray unused;
        return followInside(dirFd, text, true, fd, unused, error, hops);
    }
}

VessariTar::Open VessariTar::followInside(int dirFd, const QByteArray& text, bool lastIsDir,
                                          int& fd, QByteArray& leaf, int& error, int& hops)
{
    // Resolved component by component from descriptors known to be inside: ".."
    // at the target itself and an absolute path elsewhere both lead outside.
    if (text.isEmpty() || ++hops > kMaxLinkHops)
        return Open::Escapes;
    QByteArray rest = text;
    int current = -1;
    if (text.startsWith('/')) {
        if (canonicalTargetRoot.isEmpty() ||
            !(text == canonicalTargetRoot || text.startsWith(canonicalTargetRoot + '/')))
            return Open::Escapes;
        rest = text.mid(canonicalTargetRoot.size());
        current = ::dup(rootFd);
    } else {
        current = ::dup(dirFd);
    }
    if (current < 0) {
        error = errno;
        return Open::Failed;
    }
    QList<QByteArray> parts = components(rest);
    if (!lastIsDir) {
        if (parts.isEmpty() || parts.last() == "..") {
            ::close(current);
            error = EISDIR;
            return Open::Failed;
        }
        leaf = parts.takeLast();
    }
    for (const QByteArray& part : parts) {
        int next = -1;
        Open result = Open::Done;
        if (part == ".." && isRoot(current)) {
            result = Open::Escapes;
        } else if (part == "..") {
            next = ::openat(current, "..", kDirFlags);
            error = errno;
            result = next >= 0 ? Open::Done : Open::Failed;
        } else {
            result = openDir(current, part, false, next, error, hops);
        }
        ::close(current);
        if (result != Open::Done)
            return result == Open::Missing ? Open::Escapes : result;
        current = next;
    }
    fd = current;
    return Open::Done;
}

bool VessariTar::isRoot(int fd) const
{
    struct stat info;
    return ::fstat(fd, &info) == 0 && info.st_dev == rootDev && info.st_ino == rootIno;
}

void VessariTar::closeChain(qsizetype from)
{
    while (qsizetype(chain.size()) > from) {
        if (chain.back().fd >= 0)
            ::close(chain.back().fd);
        chain.pop_back();
    }
}

void VessariTar::reportProgress()
{
    if (progress)
        progress(archive.pos(), archiveSize);
}
