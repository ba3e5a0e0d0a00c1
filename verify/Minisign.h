#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The minisign file formats: a public key and a detached signature. Parsing only
// checks the form; nothing here is trusted until it has been verified.
namespace minisign {

constexpr int keyIdSize = 8;
constexpr int publicKeySize = 32;
constexpr int signatureSize = 64;
// The largest signature file taken: minisign's comments are bounded (1024 bytes
// each), and its signatures stay under 1 KiB.
constexpr qint64 maxSignatureFileSize = 4096;

struct PublicKey
{
    QByteArray keyId; // as stored: little-endian
    QByteArray key;   // Ed25519
};

enum class Algorithm
{
    Prehashed, // "ED": signs BLAKE2b-512 of the file
    Legacy,    // "Ed": signs the file itself
};

struct Signature
{
    Algorithm algorithm = Algorithm::Prehashed;
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment;  // without its prefix and line break
    QByteArray globalSignature; // over signature + trustedComment
};

// A public key file as `minisign -G` writes it (an untrusted comment line, then
// the key line), or the key line alone. Surrounding white space is ignored.
// On failure, why (when given) says what is wrong, e.g. "not a minisign public
// key (wrong length)".
std::optional<PublicKey> parsePublicKey(const QByteArray& text, QString* why = nullptr);

// A signature file as `minisign -S` writes it, read as minisign reads it: lines
// ending in LF or CRLF (more carriage returns too), the last line break optional,
// blank lines after the four lines, minisign's limits on the line lengths.
std::optional<Signature> parseSignature(const QByteArray& text);

// The key id as minisign prints it: upper-case hex without leading zeros.
QString keyIdText(const QByteArray& keyId);

// What the trusted comment says, when it has the fields a signed update needs:
// one "timestamp:" of decimal seconds and one "file:", tab-separated.
struct TrustedFields
{
    quint64 timestamp = 0;
    QByteArray file;
};
std::optional<TrustedFields> parseTrustedComment(const QByteArray& comment);

} // namespace minisign
