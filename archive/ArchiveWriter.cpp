#include "ArchiveWriter.h"

#include "OutputFile.h"
#include "PathSafety.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

using VessariFormat::EntryHeader;
using VessariFormat::EntryType;
using VessariFormat::kHeaderSize;
using VessariFormat::kMaxNameLength;

namespace {

constexpr qint64 kCopyChunk = 256 * 1024;
constexpr qint64 kMaxFileSize = 0x7FFFFFFF;

bool isLatin1(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() <= 0xFF; });
}

// A name or text as quoted in a message: one line of modest length, so that a
// 16 KB path or a multi-line version text cannot flood the terminal.
QString shown(const QString& text)
{
    constexpr qsizetype kShownLength = 80;
    qsizetype end = text.indexOf(QLatin1Char('\n'));
    if (end < 0)
        end = text.size();
    if (end > kShownLength)
        end = kShownLength;
    return end == text.size() ? text : text.left(end) + QStringLiteral("...");
}

// Empty when path is a directory; else the system's reason, e.g. "No such file or directory".
QString directoryProblem(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return S_ISDIR(st.st_mode) ? QString() : QString::fromLocal8Bit(std::strerror(ENOTDIR));
}

struct TreeItem
{
    QString name; // relative, "/"-separated
    QString absolutePath;
    bool isDirectory = false;
    qint64 size = 0;
};

class TreeCollector
{
public:
    std::vector<TreeItem> items;
    qint64 totalBytes = 0;
    QString error;
    bool dereference = false;

    bool collect(const QString& absoluteDir, const QString& prefix)
    {
        const QFileInfo dirInfo(absoluteDir);
        if (!dirInfo.isReadable() || !dirInfo.isExecutable()) {
            error = QStringLiteral("cannot read directory %1").arg(shown(displayed(prefix)));
            return false;
        }
        // Followed links may lead back up the tree; a directory already being
        // walked would be walked without end.
        const QString canonical = dirInfo.canonicalFilePath();
        if (ancestors.contains(canonical)) {
            error = QStringLiteral("symbolic link loop: %1").arg(shown(displayed(prefix)));
            return false;
        }
        ancestors.append(canonical);
        const bool ok = collectEntries(absoluteDir, prefix);
        ancestors.removeLast();
        return ok;
    }

private:
    QStringList ancestors;

    bool collectEntries(const QString& absoluteDir, const QString& prefix)
    {
        QFileInfoList entries = QDir(absoluteDir)
                                    .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                       QDir::NoDotAndDotDot,
                                                   QDir::Unsorted);
        for (const QFileInfo& entry : entries) {
            if (!isLatin1(entry.fileName())) {
                error = QStringLiteral("name not representable in Latin-1: %1")
                            .arg(shown(displayed(prefix + entry.fileName())));
                return false;
            }
        }
        // Byte order of the stored names, whatever the locale.
        std::sort(entries.begin(), entries.end(), [](const QFileInfo& a, const QFileInfo& b) {
            return a.fileName().toLatin1() < b.fileName().toLatin1();
        });
        for (const QFileInfo& entry : entries) {
            const QString name = prefix + entry.fileName();
            if (!checkName(name))
                return false;
            if (entry.isSymLink() && !dereference) {
                error = QStringLiteral("symbolic links are not supported: %1").arg(shown(name));
                return false;
            }
            struct stat st;
            if (entry.isSymLink() &&
                ::stat(QFile::encodeName(entry.absoluteFilePath()).constData(), &st) != 0) {
                error = QStringLiteral("%1: %2").arg(shown(name),
                                                     QString::fromLocal8Bit(std::strerror(errno)));
                return false;
            }
            if (entry.isDir()) {
                items.push_back(TreeItem{name, entry.absoluteFilePath(), true, 0});
                if (!collect(entry.absoluteFilePath(), name + QLatin1Char('/')))
                    return false;
            } else if (entry.isFile()) {
                if (entry.size() > kMaxFileSize) {
                    error = QStringLiteral("file too large (2 GiB or more): %1").arg(shown(name));
                    return false;
                }
                if (!entry.isReadable()) {
                    error = QStringLiteral("cannot read file %1").arg(shown(name));
                    return false;
                }
                items.push_back(TreeItem{name, entry.absoluteFilePath(), false, entry.size()});
                totalBytes += entry.size();
            } else {
                error = QStringLiteral("not a regular file or directory: %1").arg(shown(name));
                return false;
            }
        }
        return true;
    }

    static QString displayed(const QString& name)
    {
        if (name.isEmpty())
            return QStringLiteral(".");
        return name.endsWith(QLatin1Char('/')) ? name.chopped(1) : name;
    }

    bool checkName(const QString& name)
    {
        if (name.toLatin1().size() > kMaxNameLength) {
            error = QStringLiteral("path longer than %1 bytes: %2")
                        .arg(kMaxNameLength)
                        .arg(shown(name));
            return false;
        }
        if (!isSafeEntryPath(name, hostPathRules())) {
            error = QStringLiteral("name that extraction would refuse: %1").arg(shown(name));
            return false;
        }
        return true;
    }
};

} // namespace

bool ArchiveWriter::writeBytes(const char* data, qint64 size)
{
    if (device->write(data, size) != size) {
        error = QStringLiteral("write failed: %1").arg(device->errorString());
        return false;
    }
    return true;
}

bool ArchiveWriter::writeHeader(EntryType type, qint64 length)
{
    char bytes[kHeaderSize];
    VessariFormat::encodeHeader(EntryHeader{static_cast<qint32>(type), static_cast<qint32>(length)},
                                bytes);
    return writeBytes(bytes, kHeaderSize);
}

bool ArchiveWriter::writeName(EntryType type, const QString& name, const char* what)
{
    if (!isLatin1(name)) {
        error = QStringLiteral("%1 not representable in Latin-1: %2")
                    .arg(QLatin1String(what), shown(name));
        return false;
    }
    const QByteArray bytes = name.toLatin1();
    if (bytes.contains('\0')) {
        error = QStringLiteral("%1 contains a zero character").arg(QLatin1String(what));
        return false;
    }
    if (bytes.size() > kMaxNameLength) {
        error = QStringLiteral("%1 longer than %2 bytes: %3")
                    .arg(QLatin1String(what))
                    .arg(kMaxNameLength)
                    .arg(shown(name));
        return false;
    }
    return writeHeader(type, bytes.size()) && writeBytes(bytes.constData(), bytes.size());
}

bool ArchiveWriter::writeVersion(const QString& text)
{
    return writeName(EntryType::Version, text, "version");
}

bool ArchiveWriter::writeDirectory(const QString& path)
{
    if (path.isEmpty()) {
        error = QStringLiteral("empty directory name");
        return false;
    }
    return writeName(EntryType::Directory, path, "path");
}

bool ArchiveWriter::writeFile(const QString& path, QIODevice& source, qint64 size)
{
    if (path.isEmpty()) {
        error = QStringLiteral("empty file name");
        return false;
    }
    if (size < 0 || size > kMaxFileSize) {
        error = QStringLiteral("file too large (2 GiB or more): %1").arg(path);
        return false;
    }
    if (!writeName(EntryType::File, path, "path") || !writeHeader(EntryType::FileData, size))
        return false;
    QByteArray buffer(int(qMin(kCopyChunk, qMax<qint64>(size, 1))), Qt::Uninitialized);
    qint64 remaining = size;
    while (remaining > 0) {
        const qint64 got = source.read(buffer.data(), qMin<qint64>(buffer.size(), remaining));
        if (got <= 0) {
            error =
                QStringLiteral("%1 could not be read in full (changed while packing?)").arg(path);
            return false;
        }
        if (!writeBytes(buffer.constData(), got))
            return false;
        remaining -= got;
    }
    // More bytes than were counted means the file grew: the archive would not match.
    char extra;
    if (source.read(&extra, 1) > 0) {
        error = QStringLiteral("%1 changed while packing").arg(path);
        return false;
    }
    return true;
}

bool packDirectory(const QString& dir, const QString& output, const PackOptions& options,
                   QString* errorMessage)
{
    auto fail = [errorMessage](const QString& message) {
        if (errorMessage)
            *errorMessage = message;
        return false;
    };

    const QString dirProblem = directoryProblem(dir);
    if (!dirProblem.isEmpty())
        return fail(QStringLiteral("%1: %2").arg(shown(dir), dirProblem));
    const QString root = QFileInfo(dir).canonicalFilePath();

    // "-" is standard output (see OutputFile).
    const bool toStdout = output == QLatin1String("-");
    const QFileInfo outInfo(output);
    if (!toStdout) {
        // The archive must not end up among the files it packs: compare where the
        // output would really land, links resolved.
        if (outInfo.isDir())
            return fail(QStringLiteral("output is a directory: %1").arg(output));
        const QString outParent = QFileInfo(outInfo.absolutePath()).canonicalFilePath();
        if (outParent.isEmpty())
            return fail(
                QStringLiteral("output directory does not exist: %1").arg(outInfo.absolutePath()));
        const QString outPath = outParent + QLatin1Char('/') + outInfo.fileName();
        if (outPath.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/')))
            return fail(
                QStringLiteral("output file %1 is inside the directory being packed").arg(output));
    }

    if (options.withVersion && !isLatin1(options.version))
        return fail(QStringLiteral("version text not representable in Latin-1"));
    if (options.withVersion && options.version.size() > kMaxNameLength)
        return fail(QStringLiteral("version text longer than %1 bytes").arg(kMaxNameLength));

    TreeCollector tree;
    tree.dereference = options.dereference;
    if (!tree.collect(root, QString()))
        return fail(tree.error);

    OutputFile out(output);
    if (!out.isOpen())
        return fail(QStringLiteral("cannot write %1: %2").arg(output, out.errorString()));
    ArchiveWriter writer(&out.device());
    if (options.withVersion && !writer.writeVersion(options.version))
        return fail(writer.errorString());

    qint64 done = 0;
    for (const TreeItem& item : tree.items) {
        if (item.isDirectory) {
            if (!writer.writeDirectory(item.name))
                return fail(writer.errorString());
            continue;
        }
        QFile source(item.absolutePath);
        if (!source.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot read file %1: %2").arg(item.name, source.errorString()));
        if (!writer.writeFile(item.name, source, item.size))
            return fail(writer.errorString());
        done += item.size;
        if (options.progress)
            options.progress(done, tree.totalBytes);
    }
    if (!out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(output, out.errorString()));
    return true;
}
