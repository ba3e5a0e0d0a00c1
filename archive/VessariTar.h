#pragma once

#include "ArchiveFormat.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <functional>

// Reads an update archive and recreates its directories and files under a target
// directory. Every problem is written to the process-wide log; callers only see
// the boolean result. What was created before a failure stays on disk.
class VessariTar
{
public:
    using EntryHeader = VessariFormat::EntryHeader;

    // One entry as seen by list(): `size` is the payload length for Version, 0 for
    // Directory and the number of data bytes an extraction would write for File.
    struct EntryInfo
    {
        VessariFormat::EntryType type;
        qint64 size;
        QString name;
    };
    using EntryVisitor = std::function<void(const EntryInfo&)>;
    // Bytes of the archive consumed so far and its size, after each entry and
    // during long file data.
    using ProgressHandler = std::function<void(qint64 done, qint64 total)>;

    VessariTar();

    // Extracts archiveName (relative to the current directory or absolute) into
    // archivePath (likewise). True when the archive was read to its end and every
    // entry was extracted.
    bool extract(const QString& archiveName, const QString& archivePath);

    // Walks archiveName with the same checks and log entries as extract, but
    // writes nothing: each valid entry is handed to visitor instead.
    bool list(const QString& archiveName, const EntryVisitor& visitor);

    void setProgressHandler(ProgressHandler handler) { progress = std::move(handler); }
    // Called by extract after each directory is made and each file is written.
    void setExtractedHandler(EntryVisitor handler) { extracted = std::move(handler); }

    // Entry readers, called by extract after each header; each reads the rest of
    // its entry from the open archive.
    bool readVersion(EntryHeader& header);
    bool readDirectory(EntryHeader& header);
    bool readFile(EntryHeader& header);

private:
    enum : qint32
    {
        STATE_IDLE = 0,
        STATE_EXTRACTING = 2
    };

    bool run();
    // Bytes read: kHeaderSize when a whole header arrived, 0 at the end, -1 on error.
    qint64 readHeader(EntryHeader& header);
    qint64 readFully(char* buffer, qint64 size);
    bool readName(qint32 length, QString& name);
    bool skipFileData(qint32 length, qint64& written);
    class OutputFile;
    bool copyFileData(OutputFile& out, qint32 length, const QString& path, qint64& written);
    QString resolve(const QString& path) const;
    bool refuseUnsafe(const QString& path);
    enum class OpenResult
    {
        Opened,
        Failed,
        Escapes
    };
    bool passesOnlySafeLinks(const QString& path, bool includeLast);
    OpenResult openOutput(OutputFile& out, const QString& full);
    bool linkStaysInside(const QFileInfo& info);
    void reportProgress();

    qint32 state;
    QFile archive;
    QString archiveName;
    QString archivePath;

    // Absolute target directory, its canonical form, and the entry path of the
    // last directory found free of links leading outside (null when none).
    QString targetRoot;
    QString canonicalTargetRoot;
    QString checkedParent;
    // The archive itself, which no entry may overwrite.
    QString archiveCanonical;
    QString archiveFileName;
    const EntryVisitor* visitor = nullptr;
    ProgressHandler progress;
    EntryVisitor extracted;
    qint64 archiveSize = 0;
    QByteArray nameBuffer;
    QByteArray dataBuffer;
};
