#pragma once

#include "Blake2b.h"
#include "Minisign.h"

#include <QFile>
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
// and a timestamp. Hashes in bounded steps so a caller can keep its window
// painted; memory does not depend on the file's size. Every refusal is logged
// once (Error, "Signature") and kept in failure().
class SignatureCheck
{
public:
    enum class Status
    {
        Pending,
        Valid,
        Refused,
    };

    // expectedName: the name the trusted comment's "file:" must give.
    SignatureCheck(const minisign::PublicKey& key, const QString& filePath,
                   const QString& signaturePath, const QString& expectedName);

    // Reads the signature and opens the file; Refused when that already fails.
    Status begin();
    // Hashes up to about `bytes` more of the file, finishing when it is all read.
    Status step(qint64 bytes);
    // begin() and every step().
    Status run();

    Status status() const { return state; }
    QString failure() const { return reason; }
    // The signed timestamp; meaningful once Valid.
    quint64 timestamp() const { return signedAt; }

private:
    Status refuse(const QString& why);
    Status finish();

    minisign::PublicKey key;
    QString filePath;
    QString signaturePath;
    QString expectedName;
    minisign::Signature signature;
    QFile file;
    Blake2b hash;
    QByteArray buffer;
    Status state = Status::Pending;
    bool begun = false;
    QString reason;
    quint64 signedAt = 0;
};

// The timestamp of the last signed update applied, kept in stampPath.
// Refuses (and logs) a timestamp older than the stored one; equal passes.
bool isNotOlderThanInstalled(quint64 timestamp, const QString& stampPath, QString* why = nullptr);
// Stores timestamp, replacing the file whole; false (and logged) on failure.
bool storeInstalledStamp(quint64 timestamp, const QString& stampPath);

// The one entry for a signature that could not be fetched from url.
void logMissingSignature(const QString& url);
// The one entry for a Broken trust anchor.
void logBrokenKey(const TrustAnchor& anchor);

// "update.stamp", the signed update's timestamp next to the game.
inline const QString installedStampName = QStringLiteral("update.stamp");
