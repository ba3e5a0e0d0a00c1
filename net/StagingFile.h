#pragma once

#include <QByteArray>
#include <QString>

class Blake2b;

// A download's body written in place into a hidden file that outlives the run, so that a later
// run can go on from its end. Only a regular file with a single link is ever written: a link,
// FIFO or device planted under the name is removed and a new file made, never written through
// or read; a directory there is refused.
class StagingFile
{
public:
    explicit StagingFile(const QString& path);
    ~StagingFile();
    StagingFile(const StagingFile&) = delete;
    StagingFile& operator=(const StagingFile&) = delete;

    // Bytes of the regular file at path that a download may go on from; 0 when there is
    // none, or something else is there.
    static qint64 keptSize(const QString& path);

    // Opens (or makes) the file; false, with errorString(), when it cannot.
    bool open();
    // Keeps the file's first bytes and drops the rest; the kept bytes go through hasher first,
    // when given, so that a digest of the whole file needs no second pass. False when the
    // file is shorter.
    bool keep(qint64 bytes, Blake2b* hasher);
    bool write(const char* data, qint64 size);
    bool close();
    QString errorString() const { return error; }

private:
    bool failed(const QString& what);

    QString path;
    int fd = -1;
    QString error;
};
