#pragma once

// Archives built byte by byte, independent of the writer under test.
#include <QByteArray>
#include <QtEndian>

namespace ArchiveBytes {

// An entry whose declared length may differ from its payload (for broken archives).
inline QByteArray entry(qint32 type, qint32 length, const QByteArray& payload)
{
    const qint32 header[2] = {qToLittleEndian(type), qToLittleEndian(length)};
    return QByteArray(reinterpret_cast<const char*>(header), sizeof header) + payload;
}

inline QByteArray entry(qint32 type, const QByteArray& payload)
{
    return entry(type, qint32(payload.size()), payload);
}

inline const auto version = [](const QByteArray& text) { return entry(0, text); };
inline const auto directory = [](const QByteArray& path) { return entry(1, path); };
inline const auto file = [](const QByteArray& path, const QByteArray& data) {
    return entry(3, path) + entry(2, data);
};

} // namespace ArchiveBytes
