#include "Minisign.h"

#include <QList>
#include <algorithm>

namespace minisign {

namespace {

// minisign's own limits on a comment line (1024 bytes) with room for the prefix.
constexpr int maxLineLength = 2048;

std::optional<QByteArray> decodeBase64(const QByteArray& line, int expectedSize)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        line, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != expectedSize)
        return std::nullopt;
    return decoded.decoded;
}

QByteArray withoutCarriageReturn(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

std::optional<PublicKey> parsePublicKey(const QByteArray& text)
{
    QList<QByteArray> lines = text.trimmed().split('\n');
    if (lines.size() == 2 && lines[0].startsWith("untrusted comment: "))
        lines.removeFirst();
    if (lines.size() != 1 || lines[0].size() > maxLineLength)
        return std::nullopt;
    const auto bytes = decodeBase64(lines[0].trimmed(), 2 + keyIdSize + publicKeySize);
    if (!bytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    return PublicKey{bytes->mid(2, keyIdSize), bytes->mid(2 + keyIdSize)};
}

std::optional<Signature> parseSignature(const QByteArray& text)
{
    static const QByteArray untrustedPrefix("untrusted comment: ");
    static const QByteArray trustedPrefix("trusted comment: ");
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() == 5 && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != 4)
        return std::nullopt;
    for (QByteArray& line : lines) {
        line = withoutCarriageReturn(line);
        if (line.size() > maxLineLength)
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
