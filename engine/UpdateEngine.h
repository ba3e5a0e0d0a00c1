#pragma once

#include "Signature.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <vector>

class ChunkStore;
class FileGrabber;
class FolderPlanner;
class GameFolder;
class QEventLoop;
class RangeSession;
struct ByteRange;
struct UpdateIndex;
struct UpdatePlan;

// One update as the dialog and `vt update` run it: fetch (asynchronous, on the event loop, the
// transfer itself on net/'s worker threads), verify and apply (both synchronous, where the
// caller's flow has them). Each caller only shows progress its own way.
//
// Without a key: one request, the body written beside update.vt and renamed when whole, then
// extracted and removed. With one: the archive is fetched into hidden staging,
// ".update.vt.partial" beside ".update.vt.resume" (its URL, strong validator and length), and
// never has a usable name; a later run goes on from the staged bytes with a range request,
// hashing them from disk first, so that the signature covers every byte. The signature goes to
// update.vt.minisig. Extraction reads the verified staging, removed once applied.
//
// Signed, the archive's index and its signature are asked for first. With a valid one (key, file
// name, not older than the stamp: checked before anything else is fetched) and an archive
// signature that covers the digest it names, only the ranges of the archive that the folder
// lacks are fetched, into the chunk store, and the new files are assembled from verified chunks
// and committed at once. Without an index, or when the server cannot serve ranges of the same
// file, the archive is fetched whole as above; after which the installed state is recorded
// either way, so the next update reads only the files that changed.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    enum class Verdict
    {
        Verified,
        Refused,
        FetchingAgain, // a resumed archive did not verify: fetched once more whole
    };
    enum class Failure
    {
        None,
        Key,       // the trust anchor is Broken
        Download,  // the archive's download
        Signature, // the signature's download
        Verification,
        Extraction,
    };
    using ProgressHandler = std::function<void(qint64 done, qint64 total)>;

    explicit UpdateEngine(QObject* parent = nullptr);
    // Stops any fetch; what stays on disk is only what a later run goes on from.
    ~UpdateEngine() override;

    // Set before start(). The base URL is normalized (ending in "/"). The directory holds the
    // downloads and is updated; empty: the current directory, with bare file names.
    void setBaseUrl(const QString& url);
    void setDirectory(const QString& directory);
    void setTrustAnchor(const TrustAnchor& trusted) { anchor = trusted; }
    // Largest archive accepted; 0: half of the free space in the directory.
    void setMaxSize(qint64 bytes) { maxSize = bytes; }
    // Rehash every file instead of trusting the installed state's sizes and times.
    void setRepair(bool on) { repair = on; }
    // The current fetch goes by ranges into the chunk store (signed mode with an index).
    bool isIncremental() const { return phase == Phase::Ranges || phase == Phase::Fetched; }

    bool isSigned() const { return anchor.mode == TrustAnchor::Mode::Signed; }
    QUrl archiveUrl() const;
    // The file apply() extracts: update.vt, or the hidden staging when signed.
    QString archivePath() const;

    // Starts fetching; fetchFinished() follows once. False when it fails at once (a Broken key,
    // logged), and nothing follows. Drops any fetch in flight first.
    bool start();
    // Drops the fetch in flight; fetchFinished() does not follow. Neither this nor start() may be
    // called from a slot of fetchFinished().
    void cancel();
    bool isFetching() const { return fetching; }

    // Signed with an index, the game folder is read and hashed (the files that changed, or all
    // of them for a repair) on a thread of its own before any range is fetched; meanwhile the
    // event loop goes on, and cancel() stops it. The bytes hashed so far (read them first) and
    // the bytes to hash, known before the first is read.
    bool isPlanning() const;
    qint64 bytesHashed() const;
    qint64 bytesToHash() const;

    // The archive's download in flight: its share received (0.0 without a length), the bytes it
    // is to fetch (-1 unknown) and has fetched.
    float progress() const;
    qint64 bytesToFetch() const;
    qint64 bytesFetched() const;
    // Since construction: requests sent, body bytes received by all of them; and the size of
    // the last archive fetched whole (0 before).
    int requestsMade() const;
    qint64 totalFetched() const;
    qint64 archiveSize() const { return archiveBytes; }

    // After a successful fetch: checks the signature (Verified at once without a key). A refused
    // update leaves nothing of itself behind.
    Verdict verify();
    // After verification: extracts the archive into the directory, stores the signed timestamp
    // and removes the downloads; reason is the reader's "PATH: REASON" on failure.
    bool apply(QString* reason = nullptr, const ProgressHandler& progress = {});
    Failure failure() const { return failed; }

signals:
    void fetchFinished(bool ok);

private:
    enum class Phase
    {
        Whole,            // the archive and its signature (today's download)
        Index,            // the index and its signature
        Planning,         // the folder read on the planner's thread: what it has, what to fetch,
                          // while the archive's signature comes
        ArchiveSignature, // planned; the archive's signature, checked against the index's digest
        Ranges,           // the plan's ranges into the chunk store
        Fetched,          // the ranges are in, every chunk verified
    };
    QString path(const QString& name) const;
    QString folderPath() const;
    void startIndex();
    void fetchIndex();
    void startIndexPart(FileGrabber& grabber);
    void indexPartFinished(bool error, int requestId);
    void archiveSignatureFinished(bool error);
    void planRanges();
    void planningFinished(bool ok);
    // Once the plan and the archive's checked signature are both in.
    void startRanges();
    void stopPlanning();
    void sendRanges();
    void rangeFinished(qint64 length, const QByteArray& validator);
    void rangeFailed(qint32 status);
    // The session all ranges of this update go through, made anew when the last one failed.
    RangeSession* rangeSession();
    // Stops the session, its requests and bytes counted.
    void retireRanges();
    bool fetchedChunksVerify() const;
    // Abandons the index and the chunk store and fetches the archive whole, once.
    void fetchWhole(const QString& why);
    bool fetchRangeNow(const ByteRange& range);
    bool applyIncremental(QString* reason);
    void recordInstalledState();
    void removeIndexFiles();
    void retire(std::unique_ptr<FileGrabber>& grabber);
    // known: the archive's signature asked for beside the plan, taken over.
    void startFetch(bool whole, std::unique_ptr<FileGrabber> known = {});
    void grabberFinished(bool error, int requestId);
    void responseStarted(const QByteArray& validator, qint64 total);
    void dropGrabbers();
    void fail(Failure why);
    // Removes the signature and any staging that no later run could go on from.
    void tidy();
    void discardStaging();
    bool resumable() const;

    QString baseUrl = QStringLiteral("/");
    QString directory;
    TrustAnchor anchor;
    qint64 maxSize = 0;
    std::unique_ptr<FileGrabber> archive, signature;
    bool fetching = false;
    bool archiveArrived = false, signatureArrived = false;
    bool resumed = false;      // this fetch went on from staged bytes
    bool fetchedAgain = false; // the one whole download after a refused resumed one
    QByteArray digest;
    QByteArray indexedDigest; // the archive's, as the index names it
    enum class SignatureState
    {
        Coming,
        Arrived,
        Failed,
        Checked // against indexedDigest
    } signatureState = SignatureState::Coming;
    quint64 signedAt = 0;
    int requests = 0;
    qint64 fetchedBefore = 0;
    qint64 archiveBytes = 0;
    Failure failed = Failure::None;

    Phase phase = Phase::Whole;
    bool repair = false;
    bool indexRefused = false;
    bool wholeAfterIndex = false; // the one fall-back from ranges to the whole archive
    std::unique_ptr<FileGrabber> index, indexSignature;
    bool indexArrived = false, indexSignatureArrived = false, indexMissing = false;
    QByteArray keptIndexSignature;  // an interrupted run's, while its successor is asked for
    RangeSession* ranges = nullptr; // a child
    size_t rangesDone = 0;
    QEventLoop* rangeLoop = nullptr; // fetchRangeNow()'s, while it waits
    // False once the engine is gone: a nested event loop returns into a destroyed engine.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    std::unique_ptr<UpdateIndex> updateIndex;
    std::unique_ptr<GameFolder> folder;
    std::unique_ptr<ChunkStore> store;
    std::unique_ptr<UpdatePlan> plan;
    // Holds the index, the folder, the store and the plan while planning.
    std::unique_ptr<FolderPlanner> planner;
    size_t nextRange = 0;
    qint64 rangeBytesDone = 0;
    bool validatorKnown = false;
    QByteArray archiveValidator;
};

// Turns SIGTERM and SIGINT into stopRequested() on the event loop of the thread that made it, so
// that a program ends through its own clean-up rather than in the middle of a write. The
// previous handlers come back when it goes.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;
    // The signal's name, "SIGTERM" or "SIGINT".
    static QString name(int signalNumber);

signals:
    void stopRequested(int signalNumber);
};
