#include "FileIo.h"

#include <cerrno>
#include <unistd.h>

namespace {

// Calls step(data, size, offset) until all size bytes have moved, again after an
// interruption; a call that moves nothing fails with stalled as errno.
template <typename Byte, typename Step>
bool moveAll(Byte* data, qint64 size, qint64 offset, int stalled, Step step)
{
    while (size > 0) {
        const ssize_t moved = step(data, size_t(size), offset);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0) {
            if (moved == 0)
                errno = stalled;
            return false;
        }
        data += moved;
        size -= moved;
        if (offset >= 0)
            offset += moved;
    }
    return true;
}

} // namespace

namespace FileIo {

bool writeAll(int fd, const char* data, qint64 size, qint64 offset)
{
    return moveAll(data, size, offset, ENOSPC, [fd](const char* from, size_t n, qint64 at) {
        return at < 0 ? ::write(fd, from, n) : ::pwrite(fd, from, n, off_t(at));
    });
}

bool readAll(int fd, char* data, qint64 size, qint64 offset)
{
    return moveAll(data, size, offset, EIO, [fd](char* to, size_t n, qint64 at) {
        return at < 0 ? ::read(fd, to, n) : ::pread(fd, to, n, off_t(at));
    });
}

} // namespace FileIo
