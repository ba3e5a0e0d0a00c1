#pragma once

#include "UpdateIndex.h"

#include <QString>
#include <functional>
#include <sys/stat.h>
#include <vector>

// Read access to the files of a game folder that treats the folder as hostile:
// no symbolic link is followed (not even for a parent directory), and only
// regular files are ever opened, without blocking, so a planted FIFO or device
// cannot stall or feed a reader. Paths are relative, "/"-separated, and checked
// to stay inside the folder.
class GameFolder
{
public:
    enum class Kind
    {
        Missing,    // nothing there, or a parent is missing or not a directory
        Regular,    // a regular file
        Directory,  // a real directory (examine only; openRegular says NotRegular)
        NotRegular, // a symbolic link (at the path or above it), FIFO, device...
        Error       // could not be examined; why says
    };

    GameFolder() = default;
    ~GameFolder();
    GameFolder(const GameFolder&) = delete;
    GameFolder& operator=(const GameFolder&) = delete;

    // Opens the folder itself (which may be reached through links: the player chose it).
    bool open(const QString& root, QString* why = nullptr);
    QString root() const { return rootPath; }
    int rootFd() const { return fd; }

    // What is at path, without following anything; info is filled for Regular.
    Kind examine(const QString& path, struct stat* info = nullptr, QString* why = nullptr) const;
    // A read-only descriptor of the regular file at path (O_NOFOLLOW | O_NONBLOCK,
    // then checked with fstat), or -1 with kind saying why. The caller closes it.
    int openRegular(const QString& path, struct stat* info, Kind* kind,
                    QString* why = nullptr) const;
    // Reads the regular file at path once and cuts it as the archive's files are
    // cut; bytesRead counts what was read. False (why set) when it is not a
    // regular file or cannot be read. onRead, when set, is told the file's bytes
    // read so far after every block; false from it stops reading (false, why not
    // set), so that a caller can give up on a large file part way.
    bool chunk(const QString& path, std::vector<IndexChunk>& chunks, struct stat* info,
               qint64* bytesRead = nullptr, QString* why = nullptr,
               const std::function<bool(qint64 read)>& onRead = {}) const;

    // The modification time of a stat result in nanoseconds.
    static qint64 mtimeNs(const struct stat& info);

private:
    // The directory holding path's last component, opened without following
    // links; -1 with kind set otherwise.
    int openParent(const QString& path, QByteArray& leaf, Kind& kind, QString* why) const;

    QString rootPath;
    int fd = -1;
};

namespace EngineIo {
// strerror as a QString.
QString reason(int error);
} // namespace EngineIo
