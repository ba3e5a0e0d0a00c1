#pragma once

#include "Blake2b.h"
#include "Minisign.h"

#include <QString>

// Where signed updates are trusted from: one minisign public key, compiled in
// (-DUPDATER_PUBLIC_KEY) or read from a key file. No key at all means unsigned
// mode; a key that is there but unusable is Broken, never unsigned.
struct TrustAnchor
{
    enum class Mode
    {
        Unsigned,
        Signed,
        Broken,
    };
    Mode mode = Mode::Unsigned;
    minisign::PublicKey key;
    QString problem; // why it is Broken: a sentence for the log
    // The same for a person at a terminal: "ORIGIN: REASON", with the system's
    // reason where there is one ("update.pub: No such file or directory").
    QString detail;

    // The compiled-in key, else "update.pub" beside the running executable.
    static TrustAnchor forApplication();
    // A key file as `minisign -G` writes it; a missing file is Broken.
    static TrustAnchor fromFile(const QString& path);
    // A key line or key file contents; origin names it in problem.
    static TrustAnchor fromText(const QByteArray& text, const QString& origin);
};

// Checks a file against a minisign signature in minisign's order (key id, the
// signature over the file's BLAKE2b-512, the global signature over signature
// and trusted comment), then what the trusted comment binds: the file's name
// and a timestamp. Memory does not depend on the file's size. Every refusal is
// logged once (Error, "Signature") and kept in failure().
class SignatureCheck
{
public:
    enum class Status
    {
        Pending,
        Valid,
        Refused,
    };

    // Where the signature file is: the update's own, in the game folder, where
    // only a regular file is read; or one the user named, which may be a
    // symbolic link, a pipe or standard input.
    enum class SignatureFile
    {
        Downloaded,
        Named,
    };

    // expectedName: the name the trusted comment's "file:" must give.
    SignatureCheck(const minisign::PublicKey& key, const QString& filePath,
                   const QString& signaturePath, const QString& expectedName,
                   SignatureFile signatureFile = SignatureFile::Downloaded);

    // Hashes the file, in bounded steps, and checks it.
    Status run();
    // Checks digest, the BLAKE2b-512 of the file's bytes as the caller hashed
    // them while they arrived, instead of reading the file again.
    Status checkDigest(const QByteArray& digest);

    Status status() const { return state; }
    // The refusal as logged.
    QString failure() const { return reason; }
    // The refusal for a person at a terminal: where a file could not be read or
    // parsed, "PATH: WHAT: REASON" with the system's reason; else failure().
    QString failureDetail() const { return detail.isEmpty() ? reason : detail; }
    // The signed timestamp; meaningful once Valid.
    quint64 timestamp() const { return signedAt; }

private:
    Status refuse(const QString& why, const QString& shown = QString());
    // Reads the signature and checks its form and key id; Pending when it passes.
    Status readSignature();
    Status finish(const QByteArray& digest);

    minisign::PublicKey key;
    QString filePath;
    QString signaturePath;
    QString expectedName;
    SignatureFile signatureFile;
    minisign::Signature signature;
    Status state = Status::Pending;
    bool begun = false;
    QString reason;
    QString detail;
    quint64 signedAt = 0;
};

// A signed timestamp as people read it: "2026-12-07 08:14:09 UTC".
QString utcDateText(quint64 seconds);

// The timestamp of the last signed update applied, kept in stampPath.
// Refuses (and logs) a timestamp older than the stored one; equal passes.
bool isNotOlderThanInstalled(quint64 timestamp, const QString& stampPath, QString* why = nullptr);
// The check of a downloaded update whose archive hashed to digest: its signature
// is valid and it is not older than the update installed per stampPath. On
// refusal (logged) neither file stays: no untrusted bytes are left behind.
// timestamp: the signed one, once valid.
bool acceptDownloadedUpdate(const minisign::PublicKey& key, const QByteArray& digest,
                            const QString& archivePath, const QString& signaturePath,
                            const QString& expectedName, const QString& stampPath,
                            quint64& timestamp);
// Stores timestamp, replacing the file whole; false (and logged) on failure.
bool storeInstalledStamp(quint64 timestamp, const QString& stampPath);

// The one entry for a signature that could not be fetched from url.
void logMissingSignature(const QString& url);
// The one entry for a Broken trust anchor.
void logBrokenKey(const TrustAnchor& anchor);

// "update.stamp", the signed update's timestamp next to the game.
inline const QString installedStampName = QStringLiteral("update.stamp");
