// libFuzzer target for the minisign parsers: every input is read as a public
// key, a signature file and a trusted comment. Nothing touches the disk.
#include "Minisign.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto key = minisign::parsePublicKey(input)) {
        if (key->keyId.size() != minisign::keyIdSize || key->key.size() != minisign::publicKeySize)
            std::abort();
        minisign::keyIdText(key->keyId);
    }
    if (const auto sig = minisign::parseSignature(input)) {
        if (sig->keyId.size() != minisign::keyIdSize ||
            sig->signature.size() != minisign::signatureSize ||
            sig->globalSignature.size() != minisign::signatureSize)
            std::abort();
        minisign::parseTrustedComment(sig->trustedComment);
    }
    minisign::parseTrustedComment(input);
    return 0;
}
