#pragma once

#include "ArchiveFormat.h"
#include "StagedUpdate.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <functional>
#include <sys/types.h>

// Reads an update archive and recreates its directories and files under a target
// directory, all or nothing: files are staged and put in place together only once
// every entry succeeded (StagedUpdate). Every problem is written to the
// process-wide log; errorString() then names the failing path and the reason.
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
    ~VessariTar();
    VessariTar(const VessariTar&) = delete;
    VessariTar& operator=(const VessariTar&) = delete;

    // Extracts archiveName (relative to the current directory or absolute; "-" is
    // standard input) into archivePath (likewise). True when the archive was read
    // to its end and every entry was extracted; otherwise archivePath is left as it
    // was.
    bool extract(const QString& archiveName, const QString& archivePath);

    // Walks archiveName with the same checks and log entries as extract, but
    // writes nothing: each valid entry is handed to visitor instead.
    bool list(const QString& archiveName, const EntryVisitor& visitor);

    void setProgressHandler(ProgressHandler handler) { progress = std::move(handler); }
    // Called by extract after each directory is made and each file is staged.
    void setExtractedHandler(EntryVisitor handler) { extracted = std::move(handler); }

    // "PATH: REASON" for the last failure, empty after a success.
    QString errorString() const { return lastError; }

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
    qint64 readFully(char* buffer, qint64 size);
    bool readEntryHeader(EntryHeader& header);
    bool readName(const EntryHeader& header, const char* tooLong, const char* negative,
                  QString& name);
    // Receives file data in chunks; false (errno set) when it cannot take them.
    using DataSink = std::function<bool(const char* data, qint64 size)>;
    // Reads (and hands to sink, when given) one file's data; a failure to read is
    // logged, one of the sink leaves sinkError set for the caller to report.
    bool readData(qint32 length, const DataSink& sink, qint64& copied, int& sinkError);
    bool fail(const QString& message, const QString& path, const QString& reason = QString(),
              bool warning = false);
    bool refuseUnsafe(const QString& path);
    bool failOpen(StagedUpdate::Outcome result, const QString& path, const char* message,
                  int error);
    // Space the archive's file data takes in blocks of blockSize, from its headers.
    qint64 dataBytes(qint64 blockSize) const;
    bool failSpace(qint64 needed, qint64 available);
    void reportProgress();

    qint32 state;
    QFile archive;
    QString archiveName;
    QString archivePath;
    QString lastError;

    // The target being updated, while an extraction runs.
    StagedUpdate* staged = nullptr;
    // The archive itself, which no entry may overwrite.
    dev_t archiveDev = 0;
    ino_t archiveIno = 0;
    // For an archive read as a stream: what its files take so far, and the free
    // space at the start (-1: not checked).
    qint64 streamedBytes = 0;
    qint64 spaceFree = -1;
    qint64 spaceBlock = 1;

    const EntryVisitor* visitor = nullptr;
    ProgressHandler progress;
    EntryVisitor extracted;
    qint64 archiveSize = 0;
    QByteArray nameBuffer;
    QByteArray dataBuffer;
};
