#pragma once

#include <QtGlobal>

// Whole-buffer reads and writes on a descriptor, for every layer that writes
// files itself. Interrupted and short transfers are resumed; on failure errno
// says why.
namespace FileIo {

// Writes all size bytes at offset, or at the current position when offset is
// -1. A write that makes no progress counts as a full disk (ENOSPC).
bool writeAll(int fd, const char* data, qint64 size, qint64 offset = -1);
// Reads exactly size bytes from offset, or from the current position when
// offset is -1; a file that ends first fails with EIO.
bool readAll(int fd, char* data, qint64 size, qint64 offset = -1);

} // namespace FileIo
