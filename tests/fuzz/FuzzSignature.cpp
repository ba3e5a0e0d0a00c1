// libFuzzer target for the minisign parsers: every input is read as a public key, a signature
// file and a trusted comment (the signature's own when it reads as one), and what they accept has
// the sizes the signature check relies on.
#include "Minisign.h"

#include <cstdint>
#include <cstdlib>

using namespace minisign;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto key = parsePublicKey(input);
    const auto sig = parseSignature(input);
    if ((key && (key->keyId.size() != keyIdSize || key->key.size() != publicKeySize ||
                 keyIdText(key->keyId).isEmpty())) ||
        (sig && (sig->keyId.size() != keyIdSize || sig->signature.size() != signatureSize ||
                 sig->globalSignature.size() != signatureSize)))
        std::abort();
    parseTrustedComment(sig ? sig->trustedComment : input);
    return 0;
}
