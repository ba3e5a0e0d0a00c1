#include "UpdateEngine.h"

#include "FileGrabber.h"
#include "Minisign.h"
#include "StagingFile.h"
#include "UpdateSource.h"
#include "VessariTar.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum : int
{
    ArchiveRequest = 0,
    SignatureRequest = 1,
};

// What a later run needs to go on from the staged bytes.
struct ResumeRecord
{
    QString url;
    QByteArray validator;
    qint64 length = -1;
};

// A few lines; a planted link, FIFO or device is no record.
ResumeRecord readRecord(const QString& file)
{
    ResumeRecord record;
    const QByteArray name = QFile::encodeName(file);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > 4096)
        return record;
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return record;
    QByteArray text(4097, Qt::Uninitialized);
    const ssize_t n = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
                          ? ::read(fd, text.data(), size_t(text.size()))
                          : -1;
    ::close(fd);
    const QList<QByteArray> lines = text.left(qMax<ssize_t>(n, 0)).split('\n');
    bool ok = false;
    if (n <= 0 || n > 4096 || lines.size() != 4 || !lines[3].isEmpty())
        return record;
    const qint64 length = lines[2].toLongLong(&ok);
    if (ok && length > 0)
        record = {QString::fromUtf8(lines[0]), lines[1], length};
    return record;
}

} // namespace

UpdateEngine::UpdateEngine(QObject* parent) : QObject(parent) {}

UpdateEngine::~UpdateEngine()
{
    cancel();
}

void UpdateEngine::setBaseUrl(const QString& url)
{
    baseUrl = normalizedBaseUrl(url);
}

void UpdateEngine::setDirectory(const QString& dir)
{
    directory = dir;
}

QString UpdateEngine::path(const QString& name) const
{
    return directory.isEmpty() ? name : QDir(directory).filePath(name);
}

QUrl UpdateEngine::archiveUrl() const
{
    return updateArchiveUrl(baseUrl);
}

QString UpdateEngine::archivePath() const
{
    return path(isSigned() ? stagedArchiveName : updateArchiveName);
}

bool UpdateEngine::start()
{
    cancel();
    failed = Failure::None;
    fetchedAgain = false;
    if (anchor.mode == TrustAnchor::Mode::Broken) {
        // Never unsigned instead: the publisher meant every update to be signed.
        logBrokenKey(anchor);
        failed = Failure::Key;
        return false;
    }
    startFetch(false);
    return true;
}

bool UpdateEngine::resumable() const
{
    const ResumeRecord record = readRecord(path(stagedResumeName));
    return record.url == archiveUrl().toString() && !record.validator.isEmpty() &&
           !record.validator.startsWith("W/");
}

void UpdateEngine::startFetch(bool whole)
{
    dropGrabbers();
    archiveArrived = signatureArrived = resumed = false;
    digest.clear();
    if (!isSigned()) {
        archive =
            std::make_unique<FileGrabber>(archiveUrl(), path(updateArchiveName), ArchiveRequest);
    } else {
        // Goes on from the staged bytes only while they are the same URL's, with a validator the
        // server can confirm; one byte is always fetched again, so that the server confirms it
        // and the digest is completed on the download's thread.
        const ResumeRecord record = readRecord(path(stagedResumeName));
        const qint64 kept = StagingFile::keptSize(path(stagedArchiveName));
        qint64 from = 0;
        if (!whole && resumable() && kept > 0 && kept <= record.length)
            from = qMin(kept, record.length - 1);
        if (from == 0)
            discardStaging();
        archive =
            std::make_unique<FileGrabber>(archiveUrl(), path(stagedArchiveName), ArchiveRequest);
        archive->setStaging(from, from > 0 ? record.validator : QByteArray());
        connect(archive.get(), &FileGrabber::responseStarted, this,
                [this](int, const QByteArray& validator, qint64 total, bool continued) {
                    resumed = continued;
                    responseStarted(validator, total);
                });
        signature = std::make_unique<FileGrabber>(updateSignatureUrl(baseUrl),
                                                  path(updateSignatureName), SignatureRequest);
        signature->setMaxBodySize(minisign::maxSignatureFileSize);
        signature->setBodyName(QStringLiteral("signature"));
        connect(signature.get(), &FileGrabber::finished, this, &UpdateEngine::grabberFinished);
    }
    archive->setMaxBodySize(maxSize);
    archive->setHashBody(isSigned());
    connect(archive.get(), &FileGrabber::finished, this, &UpdateEngine::grabberFinished);
    fetching = true;
    archive->start();
    ++requests;
    if (signature) {
        signature->start();
        ++requests;
    }
}

// Recorded as soon as the answer begins, so that a run killed from here on can be continued.
void UpdateEngine::responseStarted(const QByteArray& validator, qint64 total)
{
    const QString record = path(stagedResumeName);
    if (validator.isEmpty() || total <= 0) {
        QFile::remove(record);
        return;
    }
    // In place through the same guard as the staging: never written through a planted link.
    StagingFile file(record);
    const QByteArray text = archiveUrl().toString().toUtf8() + '\n' + validator + '\n' +
                            QByteArray::number(total) + '\n';
    if (!file.open() || !file.keep(0, nullptr) || !file.write(text.constData(), text.size()) ||
        !file.close())
        QFile::remove(record);
}

void UpdateEngine::grabberFinished(bool error, int requestId)
{
    if (error) {
        if (requestId == SignatureRequest)
            logMissingSignature(updateSignatureUrl(baseUrl).toString());
        fail(requestId == SignatureRequest ? Failure::Signature : Failure::Download);
        return;
    }
    if (requestId == ArchiveRequest) {
        archiveArrived = true;
        digest = archive->bodyDigest();
        archiveBytes = QFileInfo(archivePath()).size();
    } else {
        signatureArrived = true;
    }
    if (archiveArrived && (signatureArrived || !isSigned())) {
        fetching = false;
        emit fetchFinished(true);
    }
}

void UpdateEngine::fail(Failure why)
{
    // The grabber that reported stays until the next start: it is still emitting.
    for (FileGrabber* grabber : {archive.get(), signature.get()})
        if (grabber)
            grabber->cancel();
    fetching = false;
    failed = why;
    tidy();
    emit fetchFinished(false);
}

void UpdateEngine::dropGrabbers()
{
    for (std::unique_ptr<FileGrabber>* grabber : {&archive, &signature}) {
        if (*grabber) {
            (*grabber)->cancel();
            fetchedBefore += (*grabber)->bytesFetched();
            grabber->reset();
        }
    }
}

// Also after a fetch that has arrived but is not yet checked: its signature goes too.
void UpdateEngine::cancel()
{
    fetching = false;
    dropGrabbers();
    tidy();
}

void UpdateEngine::tidy()
{
    if (!isSigned())
        return;
    QFile::remove(path(updateSignatureName));
    if (!resumable())
        discardStaging();
}

void UpdateEngine::discardStaging()
{
    QFile::remove(path(stagedResumeName));
    QFile::remove(path(stagedArchiveName));
}

float UpdateEngine::progress() const
{
    return archive ? archive->progress() : 0.0f;
}

qint64 UpdateEngine::bytesToFetch() const
{
    return archive ? archive->bytesTotal() : -1;
}

qint64 UpdateEngine::bytesFetched() const
{
    return archive ? archive->bytesReceived() : 0;
}

qint64 UpdateEngine::totalFetched() const
{
    return fetchedBefore + (archive ? archive->bytesFetched() : 0) +
           (signature ? signature->bytesFetched() : 0);
}

UpdateEngine::Verdict UpdateEngine::verify()
{
    if (!isSigned())
        return Verdict::Verified;
    // The archive was hashed as it arrived, on the download's thread, the kept bytes first:
    // nothing here keeps a window from painting.
    if (acceptDownloadedUpdate(anchor.key, digest, archivePath(), path(updateSignatureName),
                               updateArchiveName, path(installedStampName), signedAt))
        return Verdict::Verified;
    discardStaging();
    // Staged bytes may have been damaged, or come from another file with the same validator:
    // once more whole, and then the answer stands.
    if (resumed && !fetchedAgain) {
        fetchedAgain = true;
        startFetch(true);
        return Verdict::FetchingAgain;
    }
    failed = Failure::Verification;
    return Verdict::Refused;
}

bool UpdateEngine::apply(QString* reason, const ProgressHandler& progress)
{
    VessariTar reader;
    if (progress)
        reader.setProgressHandler(progress);
    const bool ok =
        reader.extract(archivePath(), directory.isEmpty() ? QStringLiteral("./") : directory);
    if (reason)
        *reason = reader.errorString();
    if (!ok) {
        failed = Failure::Extraction;
        // Verified and whole, the staging stays for the next run; the signature is fetched anew.
        if (isSigned())
            QFile::remove(path(updateSignatureName));
        return false;
    }
    if (isSigned()) {
        discardStaging();
        storeInstalledStamp(signedAt, path(installedStampName));
        QFile::remove(path(updateSignatureName));
    } else {
        QFile::remove(archivePath());
    }
    return true;
}

namespace {

int stopPipe[2] = {-1, -1};
struct sigaction previousTerm, previousInt;

void onStopSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent)
{
    if (stopPipe[0] < 0 && ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(stopPipe[0], &byte, 1) == 1)
            emit stopRequested(int(byte));
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &previousTerm);
    ::sigaction(SIGINT, &action, &previousInt);
}

StopSignals::~StopSignals()
{
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigaction(SIGINT, &previousInt, nullptr);
}

QString StopSignals::name(int signalNumber)
{
    return signalNumber == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
}
