#include "VessariTar.h"

#include "ControlCharacters.h"
#include "FileIo.h"
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

const QString kReadError = QStringLiteral("Error reading from archive");
const QString kLinkEscape = QStringLiteral(
    "Refusing to extract through a symbolic link that leads outside the target directory: ");

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The format stores no permissions: a script or an ELF program must stay runnable.
bool looksExecutable(const char* data, qint64 size)
{
    return (size >= 2 && data[0] == '#' && data[1] == '!') || (size >= 4 && std::memcmp(data,
                                                                                        "\x7F"
                                                                                        "ELF",
                                                                                        4) == 0);
}

} // namespace

VessariTar::VessariTar() : state(STATE_IDLE) {}

VessariTar::~VessariTar() = default;

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
    if (nameBuffer.size() < kMaxNameLength + 1)
        nameBuffer.resize(kMaxNameLength + 1);
    if (dataBuffer.size() < kDataChunk)
        dataBuffer.resize(kDataChunk);

    // Entry paths are taken relative to the target, which itself may be relative to
    // the current directory. Opening it first completes or discards what an
    // interrupted run left there.
    StagedUpdate update;
    bool ok = true;
    streamedBytes = 0;
    spaceFree = -1;
    if (!visitor) {
        ok = update.open(QDir::cleanPath(QDir(archivePath).absolutePath()), true);
        if (!ok)
            lastError = update.errorString();
        staged = &update;
        spaceBlock = update.blockSize();
        // Checked before anything is written. A stream cannot be read twice: its
        // files are counted as they come, each checked before it is written.
        const qint64 available = ok ? update.freeSpace() : -1;
        if (available >= 0 && archive.isSequential())
            spaceFree = available;
        else if (available >= 0 && dataBytes(spaceBlock) > available)
            ok = failSpace(dataBytes(spaceBlock), available);
    }

    while (ok) {
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
    if (!visitor && ok && !update.commit()) {
        ok = false;
        lastError = update.errorString();
    }
    // A failure leaves the target as it was.
    update.abort();
    staged = nullptr;
    state = STATE_IDLE;
    return ok;
}

qint64 VessariTar::dataBytes(qint64 blockSize) const
{
    // Headers are read through a window, and data that does not fit in it is seeked
    // over: cheap for many small files and for a few large ones alike.
    constexpr qint64 kWindow = 65536;
    QByteArray window(kWindow, Qt::Uninitialized);
    qint64 windowAt = 0, windowSize = 0;
    qint64 at = 0, total = 0;
    while (at + kHeaderSize <= archiveSize) {
        if (at < windowAt || at + kHeaderSize > windowAt + windowSize) {
            windowAt = at;
            windowSize = ::pread(archive.handle(), window.data(), size_t(kWindow), at);
            if (windowSize < kHeaderSize)
                break;
        }
        const EntryHeader header = VessariFormat::decodeHeader(window.constData() + at - windowAt);
        at += kHeaderSize;
        const qint64 length = qMax<qint32>(header.length, 0);
        if (isType(header, EntryType::FileData))
            total += (qMin(length, archiveSize - at) + blockSize - 1) / blockSize * blockSize;
        else if (!isType(header, EntryType::Version) && !isType(header, EntryType::Directory) &&
                 !isType(header, EntryType::File))
            break;
        at += length;
    }
    return total;
}

bool VessariTar::failSpace(qint64 needed, qint64 available)
{
    const QString where = QDir::cleanPath(QDir(archivePath).absolutePath());
    LOG(Error, QStringLiteral("Not enough free space in %1: %2 bytes needed, %3 bytes free")
                   .arg(where)
                   .arg(needed)
                   .arg(available));
    lastError = QStringLiteral("%1: not enough free space (%2 bytes needed, %3 bytes free)")
                    .arg(where)
                    .arg(needed)
                    .arg(available);
    return false;
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
    int error = 0;
    const StagedUpdate::Outcome made = staged->makeDirectory(path, error);
    if (made == StagedUpdate::Outcome::Escapes)
        return fail(kLinkEscape + escapeControlCharacters(path), escapeControlCharacters(path));
    if (made != StagedUpdate::Outcome::Done) {
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

    StagedUpdate::File file;
    const StagedUpdate::Outcome opened = staged->resolveFile(path, file, error);
    if (opened != StagedUpdate::Outcome::Done)
        return failOpen(opened, shown, "Could not create file ", error);
    const struct stat& old = file.existing();
    if (file.exists() && S_ISDIR(old.st_mode))
        return fail(QStringLiteral("Could not create file ") + shown, shown, systemReason(EISDIR));
    // Replacing the archive while it is read is harmless to this run, but the
    // caller deletes the archive after a success.
    if (file.exists() && old.st_dev == archiveDev && old.st_ino == archiveIno)
        return fail(QStringLiteral("Refusing to overwrite the archive being read: ") + shown,
                    shown);
    // A stream's size is unknown at the start: each file must fit what is left.
    if (spaceFree >= 0) {
        const qint64 length = qMax<qint32>(dataHeader.length, 0);
        streamedBytes += (length + spaceBlock - 1) / spaceBlock * spaceBlock;
        if (streamedBytes > spaceFree)
            return failSpace(streamedBytes, spaceFree);
    }

    // Written under a temporary name in its final directory and put in place with
    // every other file once the whole archive has been read: a failure leaves the
    // old file as it was, and a hard link, FIFO, device node or running program in
    // its place is replaced rather than written through.
    bool createFailed = false;
    const auto sink = [&](const char* data, qint64 size) {
        if (file.fd() < 0 &&
            !staged->createFile(file, looksExecutable(data, size) ? 0777 : 0666, error)) {
            createFailed = true;
            errno = error;
            return false;
        }
        return FileIo::writeAll(file.fd(), data, size);
    };
    bool ok = readData(dataHeader.length, sink, size, error);
    if (ok && file.fd() < 0 && !sink(nullptr, 0)) {
        ok = false;
        error = errno;
    }
    if (ok && !staged->finishFile(file, error))
        ok = false;
    if (!ok && error != 0)
        fail(QLatin1String(createFailed ? "Could not create file " : "Could not write to file ") +
                 shown,
             shown, systemReason(error));
    if (!ok)
        staged->discardFile(file);
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

bool VessariTar::failOpen(StagedUpdate::Outcome result, const QString& path, const char* message,
                          int error)
{
    if (result == StagedUpdate::Outcome::Escapes)
        return fail(kLinkEscape + path, path);
    return fail(QLatin1String(message) + path, path, systemReason(error));
}

void VessariTar::reportProgress()
{
    if (progress)
        progress(archive.pos(), archiveSize);
}
