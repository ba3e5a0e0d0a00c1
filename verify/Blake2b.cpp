#include "Blake2b.h"

Blake2b::Blake2b()
{
    crypto_generichash_init(&state, nullptr, 0, digestSize);
}

void Blake2b::addData(const char* data, qint64 size)
{
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(data), quint64(size));
}

QByteArray Blake2b::result()
{
    QByteArray digest(digestSize, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(digest.data()), digestSize);
    return digest;
}
