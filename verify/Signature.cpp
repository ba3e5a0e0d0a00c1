#include "Signature.h"

#include "ControlCharacters.h"
#include "Log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Key and stamp files are a few dozen bytes, signatures a few hundred.
constexpr qint64 maxKeySize = 4096;
constexpr qint64 maxSignatureSize = 16384;
constexpr qint64 maxStampSize = 64;
constexpr qint64 readPiece = qint64(1) << 20;

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

enum class ReadResult
{
    Read,
    Missing,
    Failed,
};

// Where a small file is read from, and so what may stand under its name.
enum class Source
{
    // The game folder: a link, FIFO or device planted under the name must
    // neither redirect us, block us nor feed us endlessly. Regular files only.
    Planted,
    // A place the installer decides (the key beside the program): links are
    // followed, regular files only.
    Installed,
    // A path the user named: links are followed and pipes, devices and standard
    // input read as well, as far as the limit allows.
    Named,
};

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Reads a small file whole, refusing more than maxSize bytes without reading
// further than one byte past them. why: on failure, the reason for a person.
ReadResult readSmallFile(const QString& path, qint64 maxSize, QByteArray& contents,
                         Source source = Source::Planted, QString* why = nullptr)
{
    QString ignored;
    QString& reason = why ? *why : ignored;
    const int flags = source == Source::Planted     ? O_NOFOLLOW | O_NONBLOCK
                      : source == Source::Installed ? O_NONBLOCK
                                                    : 0;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) {
        const int error = errno;
        reason = systemReason(error);
        return error == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    }
    const QString tooLarge = QStringLiteral("larger than %1 bytes").arg(maxSize);
    struct stat info;
    ReadResult result = ReadResult::Failed;
    bool readable = false;
    if (::fstat(fd, &info) != 0)
        reason = systemReason(errno);
    else if (S_ISDIR(info.st_mode))
        reason = systemReason(EISDIR);
    else if (S_ISREG(info.st_mode) && info.st_size > maxSize)
        reason = tooLarge;
    else if (!S_ISREG(info.st_mode) && source != Source::Named)
        reason = QStringLiteral("not a regular file");
    else
        readable = true;
    if (readable) {
        contents.resize(maxSize + 1);
        qint64 total = 0;
        ssize_t n = 0;
        while (total <= maxSize) {
            n = ::read(fd, contents.data() + total, size_t(maxSize + 1 - total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            total += n;
        }
        if (n == 0 && total <= maxSize) {
            contents.resize(total);
            result = ReadResult::Read;
        } else {
            reason = n < 0 ? systemReason(errno) : tooLarge;
        }
    }
    ::close(fd);
    return result;
}

// Names from a signed comment are the publisher's, but still shown escaped.
QString printable(const QByteArray& bytes)
{
    return escapeControlCharacters(QString::fromUtf8(bytes));
}

} // namespace

TrustAnchor TrustAnchor::forApplication()
{
#ifdef UPDATER_PUBLIC_KEY
    return fromText(QByteArrayLiteral(UPDATER_PUBLIC_KEY),
                    QStringLiteral("the key built into the program"));
#else
    const QString path =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("update.pub"));
    const QFileInfo info(path);
    // A dangling link is a key that is there but unreadable, not an absent one.
    if (!info.exists() && !info.isSymLink())
        return {};
    return fromFile(path);
#endif
}

namespace {

TrustAnchor brokenAnchor(const QString& origin, const QString& reason)
{
    TrustAnchor anchor;
    anchor.mode = TrustAnchor::Mode::Broken;
    anchor.problem = QStringLiteral("Could not read a minisign public key from ") + origin;
    anchor.detail = origin + QStringLiteral(": ") + reason;
    return anchor;
}

} // namespace

TrustAnchor TrustAnchor::fromFile(const QString& path)
{
    QByteArray text;
    QString why;
    if (readSmallFile(path, maxKeySize, text, Source::Installed, &why) != ReadResult::Read)
        return brokenAnchor(path, why);
    return fromText(text, path);
}

TrustAnchor TrustAnchor::fromText(const QByteArray& text, const QString& origin)
{
    TrustAnchor anchor;
    QString why;
    if (const auto key = minisign::parsePublicKey(text, &why)) {
        anchor.mode = Mode::Signed;
        anchor.key = *key;
        return anchor;
    }
    return brokenAnchor(origin, why);
}

SignatureCheck::SignatureCheck(const minisign::PublicKey& key, const QString& filePath,
                               const QString& signaturePath, const QString& expectedName,
                               SignatureFile signatureFile)
    : key(key), filePath(filePath), signaturePath(signaturePath), expectedName(expectedName),
      signatureFile(signatureFile)
{
}

SignatureCheck::Status SignatureCheck::refuse(const QString& why, const QString& shown)
{
    reason = why;
    detail = shown;
    state = Status::Refused;
    LOG(Error, why);
    return state;
}

SignatureCheck::Status SignatureCheck::readSignature()
{
    if (begun)
        return state;
    begun = true;
    if (!sodiumReady())
        return refuse(QStringLiteral("The signature library could not be initialised"));

    QByteArray text;
    QString why;
    const Source source = signatureFile == SignatureFile::Named ? Source::Named : Source::Planted;
    if (readSmallFile(signaturePath, maxSignatureSize, text, source, &why) != ReadResult::Read)
        return refuse(QStringLiteral("Could not read the update's signature from ") + signaturePath,
                      QStringLiteral("%1: cannot read the signature: %2").arg(signaturePath, why));
    const auto parsed = minisign::parseSignature(text);
    if (!parsed)
        return refuse(QStringLiteral("Could not read a minisign signature from ") + signaturePath,
                      signaturePath + QStringLiteral(": not a minisign signature"));
    signature = *parsed;
    // Refused before the key id, as minisign itself does.
    if (signature.algorithm == minisign::Algorithm::Legacy)
        return refuse(QStringLiteral("The update is signed in the legacy minisign format "
                                     "(signed with -l), which is refused"));
    if (signature.keyId != key.keyId)
        return refuse(
            QStringLiteral("The update is signed with another key: key id %1, "
                           "expected %2")
                .arg(minisign::keyIdText(signature.keyId), minisign::keyIdText(key.keyId)));
    return state;
}

SignatureCheck::Status SignatureCheck::run()
{
    const QString unreadable =
        QStringLiteral("Could not read the update to verify it: ") + filePath;
    // A missing file is the likelier slip than its missing signature: named first.
    struct stat info;
    if (!begun) {
        QString why;
        if (::stat(QFile::encodeName(filePath).constData(), &info) != 0)
            why = systemReason(errno);
        else if (S_ISDIR(info.st_mode))
            why = systemReason(EISDIR);
        else if (!S_ISREG(info.st_mode))
            why = QStringLiteral("not a regular file");
        if (!why.isEmpty()) {
            begun = true;
            return refuse(unreadable, filePath + QStringLiteral(": ") + why);
        }
    }
    if (readSignature() != Status::Pending)
        return state;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(unreadable, QStringLiteral("%1: %2").arg(filePath, file.errorString()));
    Blake2b hash;
    QByteArray buffer(readPiece, Qt::Uninitialized);
    qint64 n = 0;
    while ((n = file.read(buffer.data(), buffer.size())) > 0)
        hash.addData(buffer.constData(), n);
    if (n < 0)
        return refuse(unreadable, QStringLiteral("%1: %2").arg(filePath, file.errorString()));
    return finish(hash.result());
}

SignatureCheck::Status SignatureCheck::checkDigest(const QByteArray& digest)
{
    if (readSignature() != Status::Pending)
        return state;
    return finish(digest);
}

SignatureCheck::Status SignatureCheck::finish(const QByteArray& digest)
{
    const auto* pk = reinterpret_cast<const unsigned char*>(key.key.constData());
    if (crypto_sign_verify_detached(
            reinterpret_cast<const unsigned char*>(signature.signature.constData()),
            reinterpret_cast<const unsigned char*>(digest.constData()), quint64(digest.size()),
            pk) != 0)
        return refuse(QStringLiteral("The update does not match its signature: it was altered, "
                                     "cut short or signed by another key"));

    const QByteArray signedComment = signature.signature + signature.trustedComment;
    if (crypto_sign_verify_detached(
            reinterpret_cast<const unsigned char*>(signature.globalSignature.constData()),
            reinterpret_cast<const unsigned char*>(signedComment.constData()),
            quint64(signedComment.size()), pk) != 0)
        return refuse(QStringLiteral("The trusted comment of the update's signature was altered"));

    // Only now is the trusted comment trusted.
    const auto fields = minisign::parseTrustedComment(signature.trustedComment);
    if (!fields)
        return refuse(QStringLiteral("The trusted comment of the update's signature lacks a "
                                     "timestamp or a file name: ") +
                      printable(signature.trustedComment));
    if (fields->file != expectedName.toUtf8())
        return refuse(QStringLiteral("The update's signature is for another file: ") +
                      printable(fields->file));
    signedAt = fields->timestamp;
    state = Status::Valid;
    return state;
}

QString utcDateText(quint64 seconds)
{
    // QDateTime covers years up to about 292 million; a signed comment may hold
    // any number of digits.
    constexpr quint64 lastSecondOf9999 = 253402300799;
    if (seconds > lastSecondOf9999)
        return QStringLiteral("%1 seconds after 1970").arg(seconds);
    return QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC)
               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" UTC");
}

bool isNotOlderThanInstalled(quint64 timestamp, const QString& stampPath, QString* why)
{
    QByteArray text;
    QString problem;
    switch (readSmallFile(stampPath, maxStampSize, text)) {
    case ReadResult::Missing:
        return true;
    case ReadResult::Read: {
        bool ok = false;
        const quint64 installed = text.trimmed().toULongLong(&ok);
        if (ok && timestamp >= installed)
            return true;
        // The numbers stay, as update.stamp holds them; the dates are for people.
        if (ok)
            problem = QStringLiteral("The update is older than the installed update: signed at "
                                     "%1 (%2), the installed one at %3 (%4)")
                          .arg(timestamp)
                          .arg(utcDateText(timestamp))
                          .arg(installed)
                          .arg(utcDateText(installed));
        break;
    }
    case ReadResult::Failed:
        break;
    }
    // An unreadable stamp could hide a newer installed update: refuse rather than
    // guess.
    if (problem.isEmpty())
        problem =
            QStringLiteral("Could not read the installed update's timestamp from ") + stampPath;
    if (why)
        *why = problem;
    LOG(Error, problem);
    return false;
}

bool acceptDownloadedUpdate(const minisign::PublicKey& key, const QByteArray& digest,
                            const QString& archivePath, const QString& signaturePath,
                            const QString& expectedName, const QString& stampPath,
                            quint64& timestamp)
{
    SignatureCheck check(key, archivePath, signaturePath, expectedName);
    if (check.checkDigest(digest) == SignatureCheck::Status::Valid &&
        isNotOlderThanInstalled(check.timestamp(), stampPath)) {
        timestamp = check.timestamp();
        return true;
    }
    QFile::remove(archivePath);
    QFile::remove(signaturePath);
    return false;
}

bool storeInstalledStamp(quint64 timestamp, const QString& stampPath)
{
    // A new file renamed over the old name: a link planted there is replaced,
    // never written through, and a crash leaves the old stamp whole.
    QTemporaryFile temporary(stampPath + QStringLiteral(".XXXXXX"));
    const QByteArray text = QByteArray::number(timestamp) + '\n';
    if (temporary.open() && temporary.write(text) == text.size() && temporary.flush() &&
        ::fsync(temporary.handle()) == 0 &&
        std::rename(QFile::encodeName(temporary.fileName()).constData(),
                    QFile::encodeName(stampPath).constData()) == 0) {
        temporary.setAutoRemove(false);
        return true;
    }
    LOG(Warning, QStringLiteral("Could not store the update's timestamp in ") + stampPath);
    return false;
}

void logMissingSignature(const QString& url)
{
    LOG(Error, QStringLiteral("Could not download the update's signature from ") + url);
}

void logBrokenKey(const TrustAnchor& anchor)
{
    LOG(Error, anchor.problem);
}
