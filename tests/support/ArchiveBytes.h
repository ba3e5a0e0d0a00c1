#pragma once

// Archives built byte by byte, independent of the writer under test.
#include <QByteArray>
#include <QtEndian>
#include <QtGlobal>

namespace ArchiveBytes {

inline QByteArray le32(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// An entry whose declared length may differ from its payload (for broken archives).
inline QByteArray entry(qint32 type, qint32 length, const QByteArray& payload)
{
    return le32(type) + le32(length) + payload;
}

inline QByteArray entry(qint32 type, const QByteArray& payload)
{
    return entry(type, qint32(payload.size()), payload);
}

inline QByteArray version(const QByteArray& text)
{
    return entry(0, text);
}
inline QByteArray directory(const QByteArray& path)
{
    return entry(1, path);
}
inline QByteArray file(const QByteArray& path, const QByteArray& data)
{
    return entry(3, path) + entry(2, data);
}

} // namespace ArchiveBytes
