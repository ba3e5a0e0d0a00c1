#pragma once

#include <QtGlobal>

// The on-disk layout of an update archive: entries back to back, each an 8-byte
// header (type, length; signed 32-bit little-endian) followed by `length` bytes.
namespace VessariFormat {

enum class EntryType : qint32
{
    Version = 0,
    Directory = 1,
    FileData = 2,
    File = 3
};

// Kept as raw codes: unknown types must be reported with the value as read.
struct EntryHeader
{
    qint32 type = 0;
    qint32 length = 0;
};

constexpr int kHeaderSize = 8;
// Largest Version, Directory or File payload the reader accepts.
constexpr int kMaxNameLength = 16384;

inline bool isType(const EntryHeader& header, EntryType type)
{
    return header.type == static_cast<qint32>(type);
}

// Decoded byte by byte so the result does not depend on host byte order or alignment.
inline qint32 decodeInt32(const char* bytes)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    const quint32 value =
        quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24);
    return static_cast<qint32>(value);
}

inline void encodeInt32(qint32 value, char* bytes)
{
    const auto v = static_cast<quint32>(value);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline EntryHeader decodeHeader(const char* bytes)
{
    return EntryHeader{decodeInt32(bytes), decodeInt32(bytes + 4)};
}

inline void encodeHeader(const EntryHeader& header, char* bytes)
{
    encodeInt32(header.type, bytes);
    encodeInt32(header.length, bytes + 4);
}

} // namespace VessariFormat
