#pragma once

#include <QByteArray>
#include <QString>

// A new file beside a target that takes the target's name only once it is whole:
// a failed download leaves the previous file as it was, and a link, FIFO or device
// planted under that name is replaced rather than written through. Anything not
// committed is removed when the object goes.
class ReplacingFile
{
public:
    explicit ReplacingFile(const QString& target);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the new file; false, with errorString(), when it cannot.
    bool open();
    bool write(const char* data, qint64 size);
    // Closes the new file; false when not all of it may have reached the disk.
    bool close();
    // Closes the new file if still open and gives it the target's name.
    bool commit();
    // Why the last call failed.
    QString errorString() const { return error; }

private:
    bool failed(const QString& what);
    bool takeTempName();
    void discard();

    QString target;
    QByteArray name;
    QByteArray tempName;
    int dirFd = -1;
    int fd = -1;
    QString error;
};
