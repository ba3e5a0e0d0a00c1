#include "VessariTar.h"

#include "Log.h"
#include "PathSafety.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

using VessariFormat::EntryType;
using VessariFormat::isType;
using VessariFormat::kHeaderSize;
using VessariFormat::kMaxNameLength;

namespace {

// File data is copied through one buffer of this size, allocated once per reader.
constexpr qint64 kDataChunk = 16384;
// Progress is reported at least this often while one large file is copied.
constexpr qint64 kProgressStep = 8 * 1024 * 1024;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

bool isWithin(const QString& path, const QString& root)
{
    if (path.compare(root, kPathCase) == 0)
        return true;
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return path.startsWith(prefix, kPathCase);
}

qsizetype lastSeparator(const QString& path)
{
#ifdef Q_OS_WIN
    return qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
#else
    return path.lastIndexOf(QLatin1Char('/'));
#endif
}

QStringList pathComponents(const QString& path)
{
    QString separated = path;
#ifdef Q_OS_WIN
    separated.replace(QLatin1Char('\\'), QLatin1Char('/'));
#endif
    QStringList parts = separated.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    return parts;
}

} // namespace

// One extracted file being written. On POSIX systems the descriptor of the
// no-follow open is written directly: for archives of many small files the extra
// calls a QFile wrapper makes on every open are measurable against tar. Elsewhere,
// and for links that stay inside the target, it is a QFile.
class VessariTar::OutputFile
{
public:
    ~OutputFile() { close(); }

#ifdef Q_OS_UNIX
    void adopt(int descriptor)
    {
        fd = descriptor;
    }
#endif
    QFile& qfile()
    {
        return file;
    }

    bool write(const char* data, qint64 size)
    {
#ifdef Q_OS_UNIX
        if (fd >= 0) {
            while (size > 0) {
                const ssize_t written = ::write(fd, data, size_t(size));
                if (written < 0 && errno == EINTR)
                    continue;
                if (written <= 0)
                    return false;
                data += written;
                size -= written;
            }
            return true;
        }
#endif
        return file.write(data, size) == size;
    }

    void close()
    {
#ifdef Q_OS_UNIX
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
#endif
        file.close();
    }

private:
#ifdef Q_OS_UNIX
    int fd = -1;
#endif
    QFile file;
};

VessariTar::VessariTar() : state(STATE_IDLE) {}

bool VessariTar::extract(const QString& archiveName, const QString& archivePath)
{
    if (archiveName.isEmpty()) {
        LOG(Error, QStringLiteral("archiveName is not valid"));
        return false;
    }
    if (archivePath.isEmpty()) {
        LOG(Error, QStringLiteral("archivePath is not valid"));
        return false;
    }
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
    if (archiveName.isEmpty()) {
        LOG(Error, QStringLiteral("archiveName is not valid"));
        return false;
    }
    if (state != STATE_IDLE)
        return false;
    state = STATE_EXTRACTING;
    this->archiveName = archiveName;
    this->visitor = &visitor;
    const bool ok = run();
    this->visitor = nullptr;
    return ok;
}

bool VessariTar::run()
{
    archive.setFileName(archiveName);
    if (!archive.open(QIODevice::ReadOnly)) {
        LOG(Error, QStringLiteral("Could not open file ") + archiveName);
        state = STATE_IDLE;
        return false;
    }
    archiveSize = archive.size();
    if (!visitor) {
        // Entry paths are taken relative to the target, which itself may be
        // relative to the current directory.
        targetRoot = QDir::cleanPath(QDir(archivePath).absolutePath());
        canonicalTargetRoot = QFileInfo(targetRoot).canonicalFilePath();
        checkedParent = QString();
        archiveCanonical = QFileInfo(archiveName).canonicalFilePath();
        archiveFileName = QFileInfo(archiveName).fileName();
    }
    if (nameBuffer.size() < kMaxNameLength + 1)
        nameBuffer.resize(kMaxNameLength + 1);

    bool ok = true;
    for (;;) {
        // Reading, rather than asking for the end, also works for pipes, where the
        // end is only known once the writer has closed its side.
        EntryHeader header;
        const qint64 got = readHeader(header);
        if (got == 0)
            break;
        if (got != kHeaderSize) {
            LOG(Error, QStringLiteral("Error reading from archive"));
            ok = false;
            break;
        }
        bool entryOk = false;
        if (isType(header, EntryType::Version)) {
            entryOk = readVersion(header);
        } else if (isType(header, EntryType::Directory)) {
            entryOk = readDirectory(header);
        } else if (isType(header, EntryType::File)) {
            entryOk = readFile(header);
        } else {
            LOG(Error, QStringLiteral("Uknown entry type in archive: %1").arg(header.type));
            ok = false;
            break;
        }
        if (!entryOk) {
            LOG(Error, QStringLiteral("Error reading from archive"));
            ok = false;
            break;
        }
        reportProgress();
    }
    archive.close();
    state = STATE_IDLE;
    return ok;
}

qint64 VessariTar::readHeader(EntryHeader& header)
{
    char bytes[kHeaderSize];
    const qint64 got = readFully(bytes, kHeaderSize);
    if (got == kHeaderSize)
        header = VessariFormat::decodeHeader(bytes);
    return got;
}

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

bool VessariTar::readName(qint32 length, QString& name)
{
    // Callers have bounded length to 0..kMaxNameLength.
    if (nameBuffer.size() < kMaxNameLength + 1)
        nameBuffer.resize(kMaxNameLength + 1);
    char* buffer = nameBuffer.data();
    qint64 have = 0;
    while (have < length) {
        const qint64 got = archive.read(buffer + have, length - have);
        if (got <= 0) {
            LOG(Error, QStringLiteral("Error reading from archive"));
            return false;
        }
        have += got;
    }
    buffer[length] = '\0';
    // The name ends at its first zero byte; the rest of the payload is skipped.
    name = QString::fromLatin1(buffer, qsizetype(std::strlen(buffer)));
    return true;
}

bool VessariTar::readVersion(EntryHeader& header)
{
    if (!isType(header, EntryType::Version)) {
        LOG(Error, QStringLiteral("invalid entry type"));
        return false;
    }
    if (header.length > kMaxNameLength) {
        LOG(Error, QStringLiteral("version is too long"));
        return false;
    }
    QString text;
    if (header.length > 0 && !readName(header.length, text))
        return false;
    if (visitor)
        (*visitor)(EntryInfo{EntryType::Version, qMax<qint64>(header.length, 0), text});
    return true;
}

bool VessariTar::readDirectory(EntryHeader& header)
{
    if (!isType(header, EntryType::Directory)) {
        LOG(Error, QStringLiteral("invalid entry type"));
        return false;
    }
    if (header.length > kMaxNameLength) {
        LOG(Error, QStringLiteral("Directory name is too long"));
        return false;
    }
    if (header.length < 0) {
        LOG(Error, QStringLiteral("Directory name has a negative length: %1").arg(header.length));
        return false;
    }
    QString path;
    if (!readName(header.length, path))
        return false;
    // An empty name cannot be created; the failure is reported by the caller.
    if (path.isEmpty())
        return false;
    if (refuseUnsafe(path))
        return false;
    if (visitor) {
        (*visitor)(EntryInfo{EntryType::Directory, 0, path});
        return true;
    }
    const QString full = resolve(path);
    if (!passesOnlySafeLinks(path, true)) {
        LOG(Error, QStringLiteral("Refusing to extract through a symbolic link that leads outside "
                                  "the target directory: ") +
                       path);
        return false;
    }
    if (!QDir().mkpath(full))
        return false;
    if (canonicalTargetRoot.isEmpty())
        canonicalTargetRoot = QFileInfo(targetRoot).canonicalFilePath();
    // Everything on the way was checked or has just been made a real directory.
    checkedParent = path;
    if (extracted)
        extracted(EntryInfo{EntryType::Directory, 0, path});
    return true;
}

bool VessariTar::readFile(EntryHeader& header)
{
    if (!isType(header, EntryType::File)) {
        LOG(Error, QStringLiteral("invalid entry type"));
        return false;
    }
    if (header.length > kMaxNameLength) {
        LOG(Error, QStringLiteral("File name is too long"));
        return false;
    }
    if (header.length < 0) {
        LOG(Error, QStringLiteral("File name has a negative length: %1").arg(header.length));
        return false;
    }
    QString path;
    if (!readName(header.length, path))
        return false;

    EntryHeader dataHeader;
    if (readHeader(dataHeader) != kHeaderSize) {
        LOG(Error, QStringLiteral("Error reading from archive"));
        return false;
    }
    if (!isType(dataHeader, EntryType::FileData)) {
        LOG(Warning, QStringLiteral("Expecting a file data entry.  Read this type instead: %1")
                         .arg(dataHeader.type));
        return false;
    }
    if (path.isEmpty()) {
        LOG(Error, QStringLiteral("Could not create file ") + path);
        return false;
    }
    if (refuseUnsafe(path))
        return false;

    if (visitor) {
        qint64 size = 0;
        if (!skipFileData(dataHeader.length, size))
            return false;
        (*visitor)(EntryInfo{EntryType::File, size, path});
        return true;
    }

    const QString full = resolve(path);
    // Truncating the archive while it is read would lose its data and end the
    // extraction early as if it had succeeded.
    if (!archiveCanonical.isEmpty() && path.endsWith(archiveFileName, kPathCase) &&
        QFileInfo(full).canonicalFilePath().compare(archiveCanonical, kPathCase) == 0) {
        LOG(Error, QStringLiteral("Refusing to overwrite the archive being read: ") + path);
        return false;
    }
    OutputFile out;
    const OpenResult opened =
        passesOnlySafeLinks(path, false) ? openOutput(out, full) : OpenResult::Escapes;
    if (opened == OpenResult::Escapes) {
        LOG(Error, QStringLiteral("Refusing to extract through a symbolic link that leads outside "
                                  "the target directory: ") +
                       path);
        return false;
    }
    if (opened == OpenResult::Failed) {
        LOG(Error, QStringLiteral("Could not create file ") + path);
        return false;
    }
    qint64 written = 0;
    const bool ok = copyFileData(out, dataHeader.length, path, written);
    out.close();
    if (ok && extracted)
        extracted(EntryInfo{EntryType::File, written, path});
    return ok;
}

bool VessariTar::copyFileData(OutputFile& out, qint32 length, const QString& path, qint64& written)
{
    if (dataBuffer.size() < kDataChunk)
        dataBuffer.resize(kDataChunk);
    char* buffer = dataBuffer.data();
    qint64 remaining = qMax<qint32>(length, 0);
    qint64 sinceProgress = 0;
    while (remaining > 0) {
        const qint64 got = archive.read(buffer, qMin(kDataChunk, remaining));
        if (got < 0) {
            LOG(Error, QStringLiteral("Error reading from archive"));
            return false;
        }
        if (got == 0)
            break;
        // A short write means the disk is full or failing; the file is then
        // incomplete, so it counts as a failure.
        if (!out.write(buffer, got)) {
            LOG(Error, QStringLiteral("Could not write to file ") + path);
            return false;
        }
        remaining -= got;
        written += got;
        sinceProgress += got;
        if (sinceProgress >= kProgressStep) {
            sinceProgress = 0;
            reportProgress();
        }
    }
    return true;
}

bool VessariTar::skipFileData(qint32 length, qint64& written)
{
    // Like an extraction, data cut short by the end of the archive still counts,
    // as the bytes that are there.
    const qint64 wanted = qMax<qint32>(length, 0);
    if (!archive.isSequential()) {
        written = qMin(wanted, qMax<qint64>(archiveSize - archive.pos(), 0));
        if (archive.seek(archive.pos() + written))
            return true;
        LOG(Error, QStringLiteral("Error reading from archive"));
        return false;
    }
    if (dataBuffer.size() < kDataChunk)
        dataBuffer.resize(kDataChunk);
    written = 0;
    while (written < wanted) {
        const qint64 got = archive.read(dataBuffer.data(), qMin(kDataChunk, wanted - written));
        if (got < 0) {
            LOG(Error, QStringLiteral("Error reading from archive"));
            return false;
        }
        if (got == 0)
            break;
        written += got;
    }
    return true;
}

QString VessariTar::resolve(const QString& path) const
{
    QString full;
    full.reserve(targetRoot.size() + 1 + path.size());
    full.append(targetRoot).append(QLatin1Char('/')).append(path);
    return full;
}

VessariTar::OpenResult VessariTar::openOutput(OutputFile& out, const QString& full)
{
#ifdef Q_OS_UNIX
    // Not following a link at the last step also closes the gap between checking
    // the name and opening it.
    const int fd = ::open(QFile::encodeName(full).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
        out.adopt(fd);
        return OpenResult::Opened;
    }
    if (errno != ELOOP && errno != EMLINK)
        return OpenResult::Failed;
#endif
    // The name is a symbolic link (or may be): follow it only when it stays inside.
    if (!linkStaysInside(QFileInfo(full)))
        return OpenResult::Escapes;
    out.qfile().setFileName(full);
    // Unbuffered: data goes out in whole chunks, so a second copy buys nothing.
    return out.qfile().open(QIODevice::WriteOnly | QIODevice::Unbuffered) ? OpenResult::Opened
                                                                          : OpenResult::Failed;
}

bool VessariTar::refuseUnsafe(const QString& path)
{
    if (isSafeEntryPath(path, hostPathRules()))
        return false;
    LOG(Error, QStringLiteral("Refusing a path that leads outside the target directory: ") + path);
    return true;
}

bool VessariTar::linkStaysInside(const QFileInfo& info)
{
    if (!info.isSymLink())
        return true;
    const QString target = info.canonicalFilePath();
    return !target.isEmpty() && !canonicalTargetRoot.isEmpty() &&
           isWithin(target, canonicalTargetRoot);
}

bool VessariTar::passesOnlySafeLinks(const QString& path, bool includeLast)
{
    // A link planted under the target earlier (by a user or an older archive) must
    // not carry a write elsewhere; links that stay inside the target are followed.
    if (canonicalTargetRoot.isEmpty())
        canonicalTargetRoot = QFileInfo(targetRoot).canonicalFilePath();
    QString checked = path;
    if (!includeLast) {
        const qsizetype cut = lastSeparator(path);
        if (cut < 0)
            return true;
        checked.truncate(cut);
        // Files of one directory usually follow each other: their common parent
        // was checked with the first of them.
        if (checked == checkedParent)
            return true;
    }

    const QStringList parts = pathComponents(checked);
    QString current = targetRoot;
    for (const QString& part : parts) {
        current += QLatin1Char('/') + part;
        const QFileInfo info(current);
        if (!linkStaysInside(info))
            return false;
        if (!info.isSymLink() && !info.exists())
            return true; // nothing further down exists yet
    }
    checkedParent = checked;
    return true;
}

void VessariTar::reportProgress()
{
    if (progress)
        progress(archive.pos(), archiveSize);
}
