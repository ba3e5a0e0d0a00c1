#include "Minisign.h"

#include <QList>
#include <algorithm>
#include <limits>

namespace minisign {

namespace {

// A key line's length, with room for the untrusted comment line before it.
constexpr int maxLineLength = 2048;
// A secret key line: algorithms (6 bytes), KDF salt and limits (48), the key id,
// secret and public key and their checksum (104).
constexpr int secretKeySize = 6 + 48 + 104;

// minisign's own limits on the lines of a signature, carriage returns included:
// the untrusted comment, the signature and the trusted comment. The global
// signature has none beyond its base64 form.
constexpr int signatureLines = 4;
constexpr int maxSignatureLine[signatureLines] = {1022, 101, 8190, std::numeric_limits<int>::max()};

std::optional<QByteArray> decodeBase64(const QByteArray& line, int expectedSize)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        line, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != expectedSize)
        return std::nullopt;
    return decoded.decoded;
}

} // namespace

std::optional<PublicKey> parsePublicKey(const QByteArray& text, QString* why)
{
    const auto refuse = [why](const char* reason) -> std::optional<PublicKey> {
        if (why)
            *why = QString::fromLatin1(reason);
        return std::nullopt;
    };
    QList<QByteArray> lines = text.trimmed().split('\n');
    // A secret key given by mistake is the likely slip: say so rather than
    // that the length is wrong.
    if (lines[0].startsWith("untrusted comment: ") && lines[0].contains("secret key"))
        return refuse("a minisign secret key, not a public key");
    if (lines.size() == 2 && lines[0].startsWith("untrusted comment: "))
        lines.removeFirst();
    if (lines.size() != 1)
        return refuse("not a minisign public key (expected one key line)");
    if (lines[0].isEmpty())
        return refuse("not a minisign public key (empty)");
    if (lines[0].size() > maxLineLength)
        return refuse("not a minisign public key (wrong length)");
    const auto decoded = QByteArray::fromBase64Encoding(
        lines[0].trimmed(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return refuse("not a minisign public key (not base64)");
    const QByteArray& bytes = decoded.decoded;
    if (bytes.size() == secretKeySize && bytes.startsWith("Ed"))
        return refuse("a minisign secret key, not a public key");
    if (bytes.size() != 2 + keyIdSize + publicKeySize)
        return refuse("not a minisign public key (wrong length)");
    if (!bytes.startsWith("Ed"))
        return refuse("not a minisign public key (not an Ed25519 key)");
    return PublicKey{bytes.mid(2, keyIdSize), bytes.mid(2 + keyIdSize)};
}

std::optional<Signature> parseSignature(const QByteArray& text)
{
    static const QByteArray untrustedPrefix("untrusted comment: ");
    static const QByteArray trustedPrefix("trusted comment: ");
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < signatureLines)
        return std::nullopt;
    // Upload steps and editors add line breaks and blanks at the end; anything
    // else after the signature is refused, though minisign would ignore it.
    const auto isBlank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    for (qsizetype i = signatureLines; i < lines.size(); ++i) {
        if (!std::all_of(lines[i].cbegin(), lines[i].cend(), isBlank))
            return std::nullopt;
    }
    lines.resize(signatureLines);
    for (int i = 0; i < signatureLines; ++i) {
        QByteArray& line = lines[i];
        if (line.size() > maxSignatureLine[i])
            return std::nullopt;
        while (line.endsWith('\r'))
            line.chop(1);
        // minisign would read the line up to the carriage return and ignore the
        // rest, which a terminal would show over it.
        if (line.contains('\r'))
            return std::nullopt;
    }
    if (!lines[0].startsWith(untrustedPrefix) || !lines[2].startsWith(trustedPrefix))
        return std::nullopt;
    const auto body = decodeBase64(lines[1], 2 + keyIdSize + signatureSize);
    const auto global = decodeBase64(lines[3], signatureSize);
    if (!body || !global)
        return std::nullopt;

    Signature sig;
    const QByteArray algorithm = body->left(2);
    if (algorithm == "ED")
        sig.algorithm = Algorithm::Prehashed;
    else if (algorithm == "Ed")
        sig.algorithm = Algorithm::Legacy;
    else
        return std::nullopt;
    sig.keyId = body->mid(2, keyIdSize);
    sig.signature = body->mid(2 + keyIdSize);
    sig.trustedComment = lines[2].mid(trustedPrefix.size());
    sig.globalSignature = *global;
    return sig;
}

QString keyIdText(const QByteArray& keyId)
{
    QByteArray reversed(keyId.size(), '\0');
    std::copy(keyId.crbegin(), keyId.crend(), reversed.begin());
    // As minisign prints it: hexadecimal without leading zeros.
    QByteArray hex = reversed.toHex().toUpper();
    while (hex.size() > 1 && hex.startsWith('0'))
        hex.remove(0, 1);
    return QString::fromLatin1(hex);
}

std::optional<TrustedFields> parseTrustedComment(const QByteArray& comment)
{
    TrustedFields fields;
    bool haveTimestamp = false;
    bool haveFile = false;
    for (const QByteArray& field : comment.split('\t')) {
        if (field.startsWith("timestamp:")) {
            const QByteArray digits = field.mid(10);
            // Digits only: toULongLong alone would take a sign or spaces.
            bool ok = !haveTimestamp && !digits.isEmpty() &&
                      std::all_of(digits.cbegin(), digits.cend(),
                                  [](char c) { return c >= '0' && c <= '9'; });
            if (ok)
                fields.timestamp = digits.toULongLong(&ok);
            if (!ok)
                return std::nullopt;
            haveTimestamp = true;
        } else if (field.startsWith("file:")) {
            if (haveFile)
                return std::nullopt;
            fields.file = field.mid(5);
            haveFile = true;
        }
    }
    if (!haveTimestamp || !haveFile)
        return std::nullopt;
    return fields;
}

} // namespace minisign
