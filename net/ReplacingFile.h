#pragma once

#include <QByteArray>
#include <QString>

// A new file beside a target that takes the target's name only once it is whole:
// a failed download leaves the previous file as it was, and a link, FIFO or device
// planted under that name is replaced rather than written through. Anything not
// committed is removed when the object goes. A part that has a name is locked
// (flock) for as long as it exists, so that a later run can tell the part of a
// killed run, which it removes, from one still being written.
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

    // Removes the partial files that earlier runs left beside target when they
    // were killed: those named as this class names them whose lock nobody holds.
    // A part still being written is locked by its writer and stays.
    static void removeStaleParts(const QString& target);
    // Tests only: every part is written under a name from the start, as on a
    // filesystem that refuses nameless files.
    static void setNamedPartsForced(bool forced);

private:
    bool failed(const QString& what);
    bool takeTempName();
    bool lockPart();
    void discard();

    QString target;
    QByteArray name;
    QByteArray tempName;
    int dirFd = -1;
    int fd = -1;
    int lockFd = -1; // holds the part's lock once fd is closed, until commit or discard
    QString error;
};
