#pragma once

#include <QByteArray>
#include <sodium.h>

// Streaming unkeyed BLAKE2b-512, the prehash minisign signs.
// libsodium, which the signature check needs anyway, rather than a second
// implementation from QCryptographicHash.
class Blake2b
{
public:
    static constexpr int digestSize = 64;

    Blake2b();
    void addData(const char* data, qint64 size);
    QByteArray result();

private:
    crypto_generichash_state state;
};
