#pragma once

// Archives built byte by byte, independent of the writer under test.
#include <QByteArray>
#include <QtEndian>
#include <optional>

namespace ArchiveBytes {

// length, when given, is declared instead of the payload's (for broken archives).
inline QByteArray entry(qint32 type, const QByteArray& payload,
                        std::optional<qint32> length = std::nullopt)
{
    const qint32 header[2] = {qToLittleEndian(type),
                              qToLittleEndian(length.value_or(qint32(payload.size())))};
    return QByteArray(reinterpret_cast<const char*>(header), sizeof header) + payload;
}

inline const auto version = [](const QByteArray& text) { return entry(0, text); };
inline const auto directory = [](const QByteArray& path) { return entry(1, path); };
inline const auto file = [](const QByteArray& path, const QByteArray& data) {
    return entry(3, path) + entry(2, data);
};

} // namespace ArchiveBytes
