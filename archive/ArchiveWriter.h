#pragma once

#include "ArchiveFormat.h"

#include <QString>
#include <functional>

class QIODevice;

// Writes entries in the reader's format to an open device. Each call writes one
// whole entry (a file is its File entry and its FileData entry) or reports why not.
class ArchiveWriter
{
public:
    explicit ArchiveWriter(QIODevice* device) : device(device) {}

    bool writeVersion(const QString& text);
    bool writeDirectory(const QString& path);
    // Copies exactly size bytes from source, which must be open for reading.
    bool writeFile(const QString& path, QIODevice& source, qint64 size);

    QString errorString() const { return error; }

private:
    bool writeHeader(VessariFormat::EntryType type, qint64 length);
    bool writeName(VessariFormat::EntryType type, const QString& name, const char* what);
    bool writeBytes(const char* data, qint64 size);

    QIODevice* device;
    QString error;
};

struct PackOptions
{
    // Written as the first entry when set.
    bool withVersion = false;
    QString version;
    // Store what symbolic links point to instead of refusing them.
    bool dereference = false;
    // Bytes of file data written so far and in all, called now and then.
    std::function<void(qint64 done, qint64 total)> progress;
};

// Writes the tree under dir to the archive file output: entries sorted by their
// Latin-1 bytes, every directory before its contents, "/" separators. The tree is
// checked in full before anything is written, and the archive is written through
// a temporary file, so on failure no output file is left behind and errorMessage
// tells why. output "-" is standard output; an existing FIFO, device or socket is
// written directly, never replaced.
bool packDirectory(const QString& dir, const QString& output, const PackOptions& options,
                   QString* errorMessage);
