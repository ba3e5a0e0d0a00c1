#include "UpdateEngine.h"

#include "ChunkAssembly.h"
#include "FileGrabber.h"
#include "FolderPlanner.h"
#include "GameFolder.h"
#include "InstalledState.h"
#include "Log.h"
#include "Minisign.h"
#include "PlanApply.h"
#include "RangeSession.h"
#include "StagedUpdate.h"
#include "StagingFile.h"
#include "UpdateSource.h"
#include "VessariTar.h"

#include <QDir>
#include <QEventLoop>
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
    IndexRequest = 2,
    IndexSignatureRequest = 3,
};

// Ranges in flight at once. Each request costs a round trip before its first byte; side by side
// they keep the link busy through those. Twelve, each on a connection of its own kept alive: one
// version behind 2.4-2.6 s against 3.0-3.1 s with six and 2.2-2.6 s with eighteen, five behind
// 4.9-5.0 s against 6.6-7.1 s and 5.2 s (bench/incremental.sh, full size, two rounds).
constexpr int kRangesInFlight = 12;

QUrl siblingUrl(const QString& baseUrl, const QString& name)
{
    return QUrl(normalizedBaseUrl(baseUrl) + name);
}

// What a later run needs to go on from the staged bytes.
struct ResumeRecord
{
    QString url;
    QByteArray validator;
    qint64 length = -1;
};

// A few lines; a planted link, FIFO or device is no record.
// A small file of the folder's own (at most 4096 bytes); a planted link, FIFO or device, or
// anything larger, reads as nothing.
QByteArray readSmallFile(const QString& file)
{
    const QByteArray name = QFile::encodeName(file);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > 4096)
        return QByteArray();
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    QByteArray text(4097, Qt::Uninitialized);
    const ssize_t n = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
                          ? ::read(fd, text.data(), size_t(text.size()))
                          : -1;
    ::close(fd);
    return n > 0 && n <= 4096 ? text.left(n) : QByteArray();
}

ResumeRecord readRecord(const QString& file)
{
    ResumeRecord record;
    const QList<QByteArray> lines = readSmallFile(file).split('\n');
    bool ok = false;
    if (lines.size() != 4 || !lines[3].isEmpty())
        return record;
    const qint64 length = lines[2].toLongLong(&ok);
    if (ok && length > 0)
        record = {QString::fromUtf8(lines[0]), lines[1], length};
    return record;
}

} // namespace

UpdateEngine::UpdateEngine(QObject* parent)
    : QObject(parent), planner(std::make_unique<FolderPlanner>())
{
    connect(planner.get(), &FolderPlanner::finished, this, &UpdateEngine::planningFinished);
}

UpdateEngine::~UpdateEngine()
{
    *alive = false;
    cancel();
}

QString UpdateEngine::folderPath() const
{
    return directory.isEmpty() ? QStringLiteral(".") : directory;
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
    wholeAfterIndex = indexRefused = false;
    updateIndex.reset();
    plan.reset();
    store.reset();
    if (isSigned())
        startIndex();
    else
        startFetch(false);
    return true;
}

void UpdateEngine::startIndex()
{
    dropGrabbers();
    phase = Phase::Index;
    indexArrived = indexSignatureArrived = indexMissing = false;
    // An interrupted run keeps the index it was working from. When the server still signs the
    // very same one, only its signature is fetched again: an index grows with the game.
    keptIndexSignature.clear();
    struct stat info;
    if (::lstat(QFile::encodeName(path(stagedIndexName)).constData(), &info) == 0 &&
        S_ISREG(info.st_mode))
        keptIndexSignature = readSmallFile(path(stagedIndexSignatureName));
    indexSignature =
        std::make_unique<FileGrabber>(siblingUrl(baseUrl, updateIndexSignatureName),
                                      path(stagedIndexSignatureName), IndexSignatureRequest);
    indexSignature->setMaxBodySize(minisign::maxSignatureFileSize);
    indexSignature->setBodyName(QStringLiteral("signature"));
    startIndexPart(*indexSignature);
    if (keptIndexSignature.isEmpty())
        fetchIndex();
    fetching = true;
}

void UpdateEngine::fetchIndex()
{
    index = std::make_unique<FileGrabber>(siblingUrl(baseUrl, updateIndexName),
                                          path(stagedIndexName), IndexRequest);
    index->setMaxBodySize(maxIndexSize);
    index->setBodyName(QStringLiteral("index"));
    startIndexPart(*index);
}

void UpdateEngine::startIndexPart(FileGrabber& grabber)
{
    // Optional: without them the archive comes whole, as it always did.
    grabber.setQuietNotFound(true);
    connect(&grabber, &FileGrabber::finished, this, &UpdateEngine::indexPartFinished);
    grabber.start();
    ++requests;
}

void UpdateEngine::indexPartFinished(bool error, int requestId)
{
    if (phase != Phase::Index)
        return;
    (requestId == IndexRequest ? indexArrived : indexSignatureArrived) = true;
    indexMissing = indexMissing || error;
    if (requestId == IndexSignatureRequest && !index) {
        // The kept index serves when the server signs it with the same signature, still checked
        // below like a fetched one; anything else has it fetched anew.
        const bool same =
            !error && readSmallFile(path(stagedIndexSignatureName)) == keptIndexSignature;
        if (same)
            indexArrived = true;
        else if (!error)
            fetchIndex();
        keptIndexSignature.clear();
    }
    // Both answered, so that every request counted was made and the next fetch starts clean.
    if (indexMissing && !index)
        indexArrived = true;
    if (!indexArrived || !indexSignatureArrived)
        return;
    if (indexMissing) {
        // No index published (or none to be had): the archive whole, as without one.
        fetchWhole(QString());
        return;
    }
    // Before anything else moves: a wrong key, another file's signature or an older update is
    // refused here, logged as the archive's refusals are.
    SignatureCheck check(anchor.key, path(stagedIndexName), path(stagedIndexSignatureName),
                         updateIndexName);
    const bool valid = check.run() == SignatureCheck::Status::Valid;
    if (!valid && !index) {
        // The kept index was damaged since: fetched anew, and checked again.
        QFile::remove(path(stagedIndexName));
        indexArrived = false;
        fetchIndex();
        return;
    }
    if (!valid || !isNotOlderThanInstalled(check.timestamp(), path(installedStampName))) {
        removeIndexFiles();
        indexRefused = true;
        fetching = false;
        phase = Phase::Whole;
        emit fetchFinished(true);
        return;
    }
    QFile file(path(stagedIndexName));
    auto parsed = std::make_unique<UpdateIndex>();
    QString why;
    if (!file.open(QIODevice::ReadOnly) || !UpdateIndex::parse(file.readAll(), *parsed, &why)) {
        fetchWhole(QStringLiteral("The update's index cannot be used: ") + why);
        return;
    }
    updateIndex = std::move(parsed);
    archiveBytes = updateIndex->archiveSize;
    indexedDigest = updateIndex->archiveDigest;
    // The archive's own signature over the digest the index names: the index describes this
    // signed archive, and the stamp gets the archive's timestamp however it was reached.
    signatureState = SignatureState::Coming;
    signature = std::make_unique<FileGrabber>(updateSignatureUrl(baseUrl),
                                              path(updateSignatureName), SignatureRequest);
    signature->setMaxBodySize(minisign::maxSignatureFileSize);
    signature->setBodyName(QStringLiteral("signature"));
    connect(signature.get(), &FileGrabber::finished, this,
            [this](bool failedNow, int) { archiveSignatureFinished(failedNow); });
    signature->start();
    ++requests;
    // Meanwhile the folder is read: a fresh install then starts the archive a round trip
    // sooner. Fresh 20.84 s (worst 20.91) against 20.92 s (20.97), the whole download 20.51 s;
    // one behind 2.35 s (2.36) against 2.45 s (2.56) (bench/incremental.sh, three rounds).
    planRanges();
}

void UpdateEngine::archiveSignatureFinished(bool error)
{
    signatureState = error ? SignatureState::Failed : SignatureState::Arrived;
    if (phase == Phase::Whole && fetching) {
        // Taken over by the whole download.
        grabberFinished(error, SignatureRequest);
        return;
    }
    if (phase != Phase::Planning && phase != Phase::ArchiveSignature)
        return;
    if (error) {
        logMissingSignature(updateSignatureUrl(baseUrl).toString());
        fail(Failure::Signature);
        return;
    }
    SignatureCheck check(anchor.key, path(stagedArchiveName), path(updateSignatureName),
                         updateArchiveName);
    if (check.checkDigest(indexedDigest) != SignatureCheck::Status::Valid ||
        !isNotOlderThanInstalled(check.timestamp(), path(installedStampName))) {
        // A stale index (another archive's) or a refused archive: the whole download decides.
        fetchWhole(QStringLiteral("The update's index does not describe its signed archive"));
        return;
    }
    signedAt = check.timestamp();
    signatureState = SignatureState::Checked;
    // The plan came first and waits for it.
    if (phase == Phase::ArchiveSignature)
        startRanges();
}

// Reading a whole game takes minutes: off this thread, which may be the one that paints.
void UpdateEngine::planRanges()
{
    phase = Phase::Planning;
    folder.reset();
    store.reset();
    plan.reset();
    planner->start(std::move(updateIndex), folderPath(), repair);
}

void UpdateEngine::planningFinished(bool ok)
{
    if (phase != Phase::Planning)
        return;
    FolderPlanner::Result result = planner->takeResult();
    updateIndex = std::move(result.index);
    folder = std::move(result.folder);
    store = std::move(result.store);
    if (!ok) {
        fetchWhole(result.why);
        return;
    }
    plan = std::move(result.plan);
    if (plan->stats.bytesReused == 0 && plan->stats.bytesFromStore == 0 && plan->removals.empty()) {
        // Nothing of the new version here (a fresh install): one request for the whole archive
        // costs the same bytes as ranges of all of it, and resumes by itself.
        fetchWhole(QString());
        return;
    }
    if (signatureState != SignatureState::Checked) {
        phase = Phase::ArchiveSignature;
        return;
    }
    startRanges();
}

void UpdateEngine::startRanges()
{
    nextRange = 0;
    rangesDone = 0;
    rangeBytesDone = 0;
    validatorKnown = false;
    archiveValidator.clear();
    phase = Phase::Ranges;
    sendRanges();
}

void UpdateEngine::sendRanges()
{
    if (nextRange < plan->fetch.size()) {
        RangeSession* session = rangeSession();
        // The first alone: its answer gives the validator every later one is asked for under.
        const size_t upTo = validatorKnown ? plan->fetch.size() : nextRange + 1;
        for (; nextRange < upTo; ++nextRange)
            session->fetch(plan->fetch[nextRange].offset, plan->fetch[nextRange].end() - 1);
    }
    if (rangesDone < plan->fetch.size())
        return;
    QString why;
    if (!store->sync(&why) || !fetchedChunksVerify()) {
        // A stale or lying index, or an archive that changed under the same validator.
        fetchWhole(why.isEmpty()
                       ? QStringLiteral("A fetched chunk does not match the update's index")
                       : why);
        return;
    }
    phase = Phase::Fetched;
    fetching = false;
    emit fetchFinished(true);
}

void UpdateEngine::rangeFinished(qint64 length, const QByteArray& validator)
{
    if (phase != Phase::Ranges)
        return;
    if (!validatorKnown) {
        validatorKnown = true;
        archiveValidator = validator;
        ranges->setValidator(validator);
    }
    ++rangesDone;
    rangeBytesDone += length;
    sendRanges();
}

void UpdateEngine::rangeFailed(qint32 status)
{
    if (phase != Phase::Ranges)
        return;
    if (status == 200) {
        // No range support, a compressed answer, or another archive under If-Range.
        fetchWhole(QStringLiteral("The server does not serve ranges of the same archive"));
        return;
    }
    fail(Failure::Download);
}

RangeSession* UpdateEngine::rangeSession()
{
    if (ranges && !ranges->isOver())
        return ranges;
    retireRanges();
    ranges = new RangeSession(archiveUrl(), store->handle(), updateIndex->archiveSize, this);
    ranges->setMaxInFlight(kRangesInFlight);
    ranges->setValidator(archiveValidator);
    connect(ranges, &RangeSession::rangeDone, this,
            [this](qint64 first, qint64 last, const QByteArray& validator) {
                rangeFinished(last - first + 1, validator);
            });
    connect(ranges, &RangeSession::failed, this,
            [this](qint32 status, const QString&) { rangeFailed(status); });
    return ranges;
}

void UpdateEngine::retireRanges()
{
    if (!ranges)
        return;
    ranges->cancel();
    requests += ranges->requestsSent();
    fetchedBefore += ranges->bytesReceived();
    // It may be the one emitting now.
    ranges->deleteLater();
    ranges = nullptr;
}

bool UpdateEngine::fetchedChunksVerify() const
{
    for (const PlannedFile& file : plan->files)
        for (const PlannedChunk& chunk : file.chunks)
            if (chunk.from == PlannedChunk::From::Store &&
                !store->holds(chunk.storeOffset, chunk.length, chunk.hash))
                return false;
    return true;
}

void UpdateEngine::fetchWhole(const QString& why)
{
    if (!why.isEmpty())
        LOG(Warning, why + QStringLiteral("; fetching the whole update"));
    stopPlanning();
    // The archive's signature, asked for beside the plan, serves the whole download too; after
    // a failed range the archive may have changed since.
    std::unique_ptr<FileGrabber> known;
    if (phase != Phase::Ranges && phase != Phase::Fetched &&
        signatureState != SignatureState::Failed)
        known = std::move(signature);
    retireRanges();
    if (store) {
        store->close();
        if (folder)
            ChunkStore::remove(*folder);
    }
    store.reset();
    plan.reset();
    wholeAfterIndex = true;
    phase = Phase::Whole;
    startFetch(false, std::move(known));
}

bool UpdateEngine::resumable() const
{
    const ResumeRecord record = readRecord(path(stagedResumeName));
    return record.url == archiveUrl().toString() && !record.validator.isEmpty() &&
           !record.validator.startsWith("W/");
}

void UpdateEngine::startFetch(bool whole, std::unique_ptr<FileGrabber> known)
{
    dropGrabbers();
    phase = Phase::Whole;
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
        if (known) {
            signature = std::move(known);
            signatureArrived = signatureState != SignatureState::Coming;
        } else {
            signature = std::make_unique<FileGrabber>(updateSignatureUrl(baseUrl),
                                                      path(updateSignatureName), SignatureRequest);
            signature->setMaxBodySize(minisign::maxSignatureFileSize);
            signature->setBodyName(QStringLiteral("signature"));
            connect(signature.get(), &FileGrabber::finished, this, &UpdateEngine::grabberFinished);
        }
    }
    archive->setMaxBodySize(maxSize);
    archive->setHashBody(isSigned());
    connect(archive.get(), &FileGrabber::finished, this, &UpdateEngine::grabberFinished);
    fetching = true;
    archive->start();
    ++requests;
    if (signature && !signature->isRunning() && !signatureArrived) {
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

void UpdateEngine::stopPlanning()
{
    // Joined: nothing reads the folder once this returns.
    planner->cancel();
    if (phase == Phase::Planning)
        phase = Phase::Whole;
}

void UpdateEngine::fail(Failure why)
{
    stopPlanning();
    // The grabber that reported stays until the next start: it is still emitting.
    for (FileGrabber* grabber : {archive.get(), signature.get(), index.get(), indexSignature.get()})
        if (grabber)
            grabber->cancel();
    retireRanges();
    // What the chunk store holds stays for the next run.
    if (store)
        store->close();
    fetching = false;
    failed = why;
    tidy();
    emit fetchFinished(false);
}

void UpdateEngine::retire(std::unique_ptr<FileGrabber>& grabber)
{
    if (!grabber)
        return;
    grabber->cancel();
    fetchedBefore += grabber->bytesFetched();
    // It may be the one emitting now.
    grabber.release()->deleteLater();
}

void UpdateEngine::dropGrabbers()
{
    for (std::unique_ptr<FileGrabber>* grabber : {&archive, &signature, &index, &indexSignature})
        retire(*grabber);
    retireRanges();
}

// Also after a fetch that has arrived but is not yet checked: its signature goes too.
void UpdateEngine::cancel()
{
    // An apply waiting for a range gives up, and fails.
    if (rangeLoop)
        rangeLoop->quit();
    fetching = false;
    stopPlanning();
    dropGrabbers();
    tidy();
}

void UpdateEngine::removeIndexFiles()
{
    QFile::remove(path(stagedIndexName));
    QFile::remove(path(stagedIndexSignatureName));
}

void UpdateEngine::tidy()
{
    if (!isSigned())
        return;
    QFile::remove(path(updateSignatureName));
    // Kept with the chunk store: the next run goes on from both when the server still signs the
    // same index.
    struct stat info;
    if (::lstat(QFile::encodeName(path(ChunkStore::fileName())).constData(), &info) != 0)
        removeIndexFiles();
    if (!resumable())
        discardStaging();
}

void UpdateEngine::discardStaging()
{
    QFile::remove(path(stagedResumeName));
    QFile::remove(path(stagedArchiveName));
}

bool UpdateEngine::isPlanning() const
{
    return phase == Phase::Planning && planner->isRunning();
}

qint64 UpdateEngine::bytesHashed() const
{
    return isPlanning() ? planner->bytesHashed() : 0;
}

qint64 UpdateEngine::bytesToHash() const
{
    return isPlanning() ? planner->bytesToHash() : 0;
}

float UpdateEngine::progress() const
{
    if (isIncremental()) {
        const qint64 total = bytesToFetch();
        return total > 0 ? float(qBound(0.0, double(bytesFetched()) / double(total), 1.0)) : 1.0f;
    }
    return archive ? archive->progress() : 0.0f;
}

qint64 UpdateEngine::bytesToFetch() const
{
    if (isIncremental())
        return plan->stats.bytesToFetch;
    return archive ? archive->bytesTotal() : -1;
}

qint64 UpdateEngine::bytesFetched() const
{
    if (isIncremental())
        return phase == Phase::Ranges && ranges ? ranges->bytesReceived() : rangeBytesDone;
    return archive ? archive->bytesReceived() : 0;
}

qint64 UpdateEngine::totalFetched() const
{
    qint64 total = fetchedBefore;
    for (const FileGrabber* grabber :
         {archive.get(), signature.get(), index.get(), indexSignature.get()})
        if (grabber)
            total += grabber->bytesFetched();
    if (ranges)
        total += ranges->bytesReceived();
    return total;
}

int UpdateEngine::requestsMade() const
{
    return requests + (ranges ? ranges->requestsSent() : 0);
}

UpdateEngine::Verdict UpdateEngine::verify()
{
    if (!isSigned())
        return Verdict::Verified;
    if (indexRefused) {
        failed = Failure::Verification;
        return Verdict::Refused;
    }
    // The index, the archive's signature over its digest and every fetched chunk are checked.
    if (phase == Phase::Fetched)
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

bool UpdateEngine::fetchRangeNow(const ByteRange& range)
{
    RangeSession* session = rangeSession();
    const qint64 first = range.offset, last = range.end() - 1;
    QEventLoop loop;
    bool ok = false;
    connect(session, &RangeSession::rangeDone, &loop,
            [&](qint64 from, qint64 to, const QByteArray&) {
                ok = from == first && to == last;
                loop.quit();
            });
    connect(session, &RangeSession::failed, &loop, &QEventLoop::quit);
    session->fetch(first, last);
    // cancel(), also the engine's destruction, ends the wait.
    const std::shared_ptr<bool> engineAlive = alive;
    rangeLoop = &loop;
    loop.exec();
    if (!*engineAlive)
        return false;
    rangeLoop = nullptr;
    return ok && store->sync();
}

bool UpdateEngine::applyIncremental(QString* reason)
{
    QString why;
    for (int attempt = 0; attempt < 2; ++attempt) {
        StagedUpdate staged;
        if (!staged.open(folderPath())) {
            why = staged.errorString();
            break;
        }
        InstalledState state;
        AssemblyFailure failure;
        why.clear();
        if (applyPlan(*plan, *updateIndex, *folder, *store, staged, state, &failure, &why)) {
            if (!why.isEmpty())
                LOG(Warning, why);
            retireRanges();
            store->close();
            ChunkStore::remove(*folder);
            storeInstalledStamp(signedAt, path(installedStampName));
            QFile::remove(path(updateSignatureName));
            removeIndexFiles();
            discardStaging();
            phase = Phase::Whole;
            return true;
        }
        if (failure.file < 0 || failure.chunk < 0 || attempt > 0)
            break;
        // A local file changed since planning: that chunk from the archive instead.
        PlannedChunk& chunk = plan->files[size_t(failure.file)].chunks[size_t(failure.chunk)];
        const std::shared_ptr<bool> engineAlive = alive;
        const bool fetched = fetchRangeNow(fetchInstead(chunk));
        if (!*engineAlive) {
            // Destroyed while it waited: nothing of the engine is touched; `staged` goes.
            if (reason)
                *reason = QStringLiteral("Cancelled");
            return false;
        }
        if (!fetched) {
            // cancel() retired the session it waited for.
            if (!ranges)
                why = QStringLiteral("Cancelled");
            break;
        }
    }
    if (reason)
        *reason = why;
    failed = Failure::Extraction;
    retireRanges();
    // Whatever the store holds is checked again by the next run, with the same index when the
    // server still signs it; the rest goes.
    store->close();
    QFile::remove(path(updateSignatureName));
    return false;
}

// The state the next update plans from: the index fetched with this archive, else one built
// from it while it is still here.
void UpdateEngine::recordInstalledState()
{
    GameFolder target;
    if (!target.open(folderPath()))
        return;
    UpdateIndex built;
    const UpdateIndex* source = nullptr;
    if (updateIndex && updateIndex->archiveDigest == digest)
        source = updateIndex.get();
    else if (UpdateIndex::build(archivePath(), built))
        source = &built;
    InstalledState state;
    QString why;
    if (source) {
        installedStateOf(*source, target, state);
        if (!state.save(target, &why))
            LOG(Warning, why);
    }
    ChunkStore::remove(target);
}

bool UpdateEngine::apply(QString* reason, const ProgressHandler& progress)
{
    if (isSigned() && phase == Phase::Fetched)
        return applyIncremental(reason);
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
        recordInstalledState();
        discardStaging();
        storeInstalledStamp(signedAt, path(installedStampName));
        QFile::remove(path(updateSignatureName));
        removeIndexFiles();
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
