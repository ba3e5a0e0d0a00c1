#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QThread>
#include <QUrl>
#include <memory>
#include <mutex>

class Blake2b;
class QNetworkReply;
class ReplacingFile;
class StagingFile;

// One HTTP exchange carried out on a thread of its own. The object lives on the
// thread that created it; the network client and its reply live on the worker
// thread and are only ever touched there. Ends with one finished(bool) on the
// creating thread, then deletes itself once its thread has ended.
class HTTPMessage : public QThread
{
    Q_OBJECT

public:
    // A transfer that receives fewer body bytes than this in any stall window fails.
    static constexpr int defaultStallTimeout = 60000;
    static constexpr qint64 stallMinimumBytes = 1024;
    // Half of the machine's physical memory: a body held in memory any larger
    // would push the machine into swapping or the out-of-memory killer.
    static qint64 defaultMaxBodySize();
    // Workers created and not yet deleted; read on the thread that creates them.
    static int liveWorkerCount();

    // header carries the request's URL and raw header fields, sent as given.
    HTTPMessage(const QUrl& url, const QNetworkRequest& header, const QByteArray& requestBody);
    ~HTTPMessage() override;

    // Fraction of the announced body received so far; 0.0 without a Content-Length.
    float progress() const;
    // Body bytes received so far, and the announced Content-Length (-1 when none).
    qint64 bytesReceived() const;
    qint64 bytesExpected() const;
    // The body of a successful exchange, unless it went to a file (setBodyFile()).
    // The worker never touches it again once it has been handed over, so sharing
    // the buffer is safe and saves a copy.
    QByteArray responseData() const;
    // BLAKE2b-512 of exactly the body, when asked for with setHashBody(); empty
    // otherwise.
    QByteArray responseDigest() const;
    // Drops the transfer and ends the run; nothing is reported for it afterwards.
    void abort();
    // Both take effect when set before start().
    // The window, in milliseconds, in which fewer than stallMinimumBytes fail the
    // transfer as stalled; from the request on, so a server that never answers
    // stalls too. 0 never gives up.
    void setStallTimeout(int msecs);
    // A body announced or grown past this many bytes fails the transfer.
    void setMaxBodySize(qint64 bytes);
    // What the log calls the body when it is too large: "update" unless set.
    void setBodyName(const QString& name);
    // Hashes the body as it arrives, on the worker thread, so that a signature
    // check needs no second pass over it.
    void setHashBody(bool hash);
    // Writes the body, as it arrives, to a new file beside fileName that takes its
    // name once the exchange has succeeded; see ReplacingFile.
    void setBodyFile(const QString& fileName);
    // Writes the body in place into fileName instead (see StagingFile), which stays after a
    // failure. With from > 0 the request asked for the bytes from there on: a 206 whose
    // Content-Range goes on at from and ends at the file's end is appended after the file's
    // first from bytes (hashed first, with setHashBody); a 200 rewrites the file from byte 0;
    // any other 206 fails the transfer.
    void setStagingFile(const QString& fileName, qint64 from);
    // A 404 is then an answer the caller expects (an optional file), not logged as a failure.
    void setQuietNotFound(bool quiet);

signals:
    void finished(bool error);
    // Once the head of a body that is kept has arrived: its strong validator (the ETag unless
    // weak, else Last-Modified when there is no ETag; empty when there is none), the whole
    // file's length (-1 when unknown), and whether the body goes on from the kept bytes.
    void responseStarted(const QByteArray& validator, qint64 total, bool continued);
    // Worker thread, connected queued to done(): the exchange has ended.
    void settledOnWorker(bool error, QPrivateSignal);

protected slots:
    // Worker thread: records the status code and the announced length.
    void responseHeaderReceived();
    // Worker thread: stores bytesDone / total, 0.0 when total is unknown.
    void readProgress(qint64 bytesDone, qint64 total);
    // Creating thread, queued from the worker once the exchange has ended.
    void done(bool error);

protected:
    void run() override;

private:
    void readBody();
    void replyFinished();
    // Worker thread, every tenth of the stall window.
    void checkStall();
    // Worker thread: ends the exchange at once as a failure of the transport.
    void fail(const QString& reason);
    // Worker thread: hands the outcome over and posts done() to the creating thread.
    void settle(bool error, bool transport, const QString& reason);
    // Worker thread: takes the head of a response to a staged download.
    void startStaging(qint32 code);

    QUrl url;
    QNetworkRequest header;
    QByteArray requestBody;
    QByteArray responseBody;
    QByteArray responseHash;
    std::unique_ptr<ReplacingFile> responseFile; // the written body, until renamed
    // A pthread mutex rather than QMutex, so that the race detector sees the
    // hand-over between the threads.
    mutable std::mutex mutex;
    qint32 statusCode = 0;
    float readFraction = 0.0f;
    qint64 readBytes = 0;
    qint64 expectedBytes = -1;
    bool aborted = false;
    bool transportFailure = false;
    QString clientErrorString;
    int stallTimeout = defaultStallTimeout;
    qint64 maxBodySize = defaultMaxBodySize();
    QString bodyName = QStringLiteral("update");
    bool hashBody = false;
    QString bodyFileName;

    // Worker thread only.
    QNetworkReply* reply = nullptr;
    qint64 bodyLimit = 0;
    qint64 contentLength = -1;
    bool keepBody = false;
    bool settled = false;
    QByteArray received;
    std::unique_ptr<ReplacingFile> sink; // instead of received, with a body file
    std::unique_ptr<Blake2b> hasher;
    qint64 bytesSeen = 0;
    QString tooLarge; // the reason given for a body past bodyLimit
    int stallWindow = 0;
    // bytesSeen at the last stallSlices checks, the oldest one a window ago.
    static constexpr int stallSlices = 10;
    qint64 seenAtCheck[stallSlices] = {};
    qint64 checks = 0;

    // A staged download (setStagingFile): set before start(), and the accepted 206.
    QString stagingFileName;
    qint64 rangeFrom = 0;
    bool partialAccepted = false;
    // Worker thread only.
    std::unique_ptr<StagingFile> staging;
    bool stagingOpen = false;
    bool continued = false;

    bool quietNotFound = false;
};
