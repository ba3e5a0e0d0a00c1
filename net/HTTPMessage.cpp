#include "HTTPMessage.h"

#include "Blake2b.h"
#include "HttpRules.h"
#include "Log.h"
#include "ReplacingFile.h"
#include "StagingFile.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QTimer>
#include <algorithm>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(Q_OS_UNIX)
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr qint64 readBufferSize = qint64(4) << 20;

// The client reads the body in blocks of up to 8 MiB on a thread of its own, and
// they are freed on the worker. With glibc's defaults those blocks go back to the
// kernel as they are freed and the next ones fault in afresh, a page fault per
// 4 KiB received. Fixed limits keep them in the heap for reuse: 512 MiB in 0.45 s
// instead of 0.71 s at the median, against 0.61 s for `curl -o`
// (bench/download_vs_curl.sh). What stays reserved is bounded by the blocks in
// flight at once.
void keepTransferBlocks()
{
#ifdef __GLIBC__
    static const bool once = [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
        return true;
    }();
    Q_UNUSED(once);
#endif
}

// Workers still alive when the application object goes away: they are stopped and
// joined then, so that no thread runs into the process's static destructors and
// no worker object is left behind. Touched on the GUI thread only.
QSet<HTTPMessage*>& liveWorkers()
{
    static QSet<HTTPMessage*> workers;
    return workers;
}

void reapWorkers()
{
    const QSet<HTTPMessage*> workers = liveWorkers();
    for (HTTPMessage* worker : workers) {
        worker->abort();
        worker->wait();
        delete worker;
    }
}

} // namespace

using namespace httprules;

void httprules::logFailure(const QUrl& url, qint32 status, bool quietStatus, bool transport,
                           const QString& reason)
{
    if (!quietStatus) {
        LOG(Debug, QStringLiteral("HTTPMessage failed with status code %1.  The URL was %2")
                       .arg(QString::number(status), url.toString()));
    }
    if (transport) {
        LOG(Info, QStringLiteral("HTTPMessage failed with the following error: %1.  The URL was %2")
                      .arg(reason, url.toString()));
    }
}

HTTPMessage::HTTPMessage(const QUrl& url, const QNetworkRequest& header,
                         const QByteArray& requestBody)
    : QThread(nullptr), url(url), header(header), requestBody(requestBody)
{
    keepTransferBlocks();
    // QThread's own destructor waits for a thread still inside its finishing
    // steps, so deleting on this notification never destroys a running thread.
    // Direct: the request to delete is posted from the worker thread itself,
    // after the run's last use of this object's fields.
    connect(this, &QThread::finished, this, &QObject::deleteLater, Qt::DirectConnection);
    // done() runs on the creating thread, where this object lives. A queued
    // connection rather than a posted functor: Qt itself then hands the argument
    // over between the threads, which the race detector can follow.
    connect(this, &HTTPMessage::settledOnWorker, this, &HTTPMessage::done, Qt::QueuedConnection);
    if (liveWorkers().isEmpty())
        qAddPostRoutine(reapWorkers);
    liveWorkers().insert(this);
}

HTTPMessage::~HTTPMessage()
{
    abort();
    wait();
    liveWorkers().remove(this);
    if (liveWorkers().isEmpty())
        qRemovePostRoutine(reapWorkers);
}

void HTTPMessage::setQuietNotFound(bool quiet)
{
    std::lock_guard<std::mutex> lock(mutex);
    quietNotFound = quiet;
}

int HTTPMessage::liveWorkerCount()
{
    return int(liveWorkers().size());
}

float HTTPMessage::progress() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return readFraction;
}

qint64 HTTPMessage::bytesReceived() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return readBytes;
}

qint64 HTTPMessage::bytesExpected() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return expectedBytes;
}

QByteArray HTTPMessage::responseData() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return responseBody;
}

QByteArray HTTPMessage::responseDigest() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return responseHash;
}

void HTTPMessage::abort()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        aborted = true;
    }
    // Ending the event loop is enough: the run's clean-up deletes the reply and
    // the client on the worker thread.
    quit();
}

void HTTPMessage::setStallTimeout(int msecs)
{
    std::lock_guard<std::mutex> lock(mutex);
    stallTimeout = qMax(0, msecs);
}

void HTTPMessage::setMaxBodySize(qint64 bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    maxBodySize = qMax(qint64(0), bytes);
}

void HTTPMessage::setBodyName(const QString& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    bodyName = name;
}

void HTTPMessage::setHashBody(bool hash)
{
    std::lock_guard<std::mutex> lock(mutex);
    hashBody = hash;
}

void HTTPMessage::setBodyFile(const QString& fileName)
{
    std::lock_guard<std::mutex> lock(mutex);
    bodyFileName = fileName;
}

void HTTPMessage::setStagingFile(const QString& fileName, qint64 from)
{
    std::lock_guard<std::mutex> lock(mutex);
    stagingFileName = fileName;
    rangeFrom = qMax(qint64(0), from);
}

qint64 HTTPMessage::defaultMaxBodySize()
{
#if defined(Q_OS_WIN)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    if (GlobalMemoryStatusEx(&status))
        return qint64(status.ullTotalPhys / 2);
#elif defined(_SC_PHYS_PAGES)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        return qint64(pages) * pageSize / 2;
#endif
    return qint64(1) << 30;
}

void HTTPMessage::run()
{
    int timeout = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (aborted)
            return;
        responseBody.clear();
        responseHash.clear();
        responseFile.reset();
        readFraction = 0.0f;
        statusCode = 0;
        timeout = stallTimeout;
        bodyLimit = maxBodySize;
        tooLarge =
            QStringLiteral("The %1 is too large: more than %2 bytes").arg(bodyName).arg(bodyLimit);
        if (hashBody)
            hasher = std::make_unique<Blake2b>();
        partialAccepted = false;
        // Opened here, under the lock that abort() takes: once an abort has returned, no
        // worker creates the file any more, so the owner's clean-up after it is final.
        if (!stagingFileName.isEmpty()) {
            staging = std::make_unique<StagingFile>(stagingFileName);
            stagingOpen = staging->open();
        } else if (!bodyFileName.isEmpty())
            sink = std::make_unique<ReplacingFile>(bodyFileName);
    }

    const QString problem = urlProblem(url);
    QNetworkAccessManager* manager = nullptr;
    QTimer stallTimer;
    if (sink && problem.isEmpty())
        ReplacingFile::removeStaleParts(bodyFileName);
    if (!problem.isEmpty()) {
        settle(true, true, problem);
    } else {
        manager = new QNetworkAccessManager;
        QNetworkRequest request(header);
        // Redirects are answers like any other status: not followed.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        reply = requestBody.isEmpty() ? manager->get(request)
                                      : manager->sendCustomRequest(request, "GET", requestBody);
        // Bounded, so that a worker thread that falls behind the socket makes the
        // client wait instead of piling the body up a second time.
        reply->setReadBufferSize(readBufferSize);
        connect(reply, &QNetworkReply::metaDataChanged, this, &HTTPMessage::responseHeaderReceived,
                Qt::DirectConnection);
        connect(reply, &QNetworkReply::readyRead, this, &HTTPMessage::readBody,
                Qt::DirectConnection);
        connect(reply, &QNetworkReply::finished, this, &HTTPMessage::replyFinished,
                Qt::DirectConnection);
        // Rather than the client's own transfer timeout, which any byte resets:
        // a trickle would keep it alive for ever. Checked in slices of the window,
        // so that any window's worth of time is looked at, not only whole ones.
        if (timeout > 0) {
            stallWindow = timeout;
            connect(&stallTimer, &QTimer::timeout, this, &HTTPMessage::checkStall,
                    Qt::DirectConnection);
            stallTimer.start(qMax(1, timeout / stallSlices));
        }
    }

    exec();

    stallTimer.stop();
    if (reply)
        disconnect(reply, nullptr, this, nullptr);
    delete reply;
    reply = nullptr;
    delete manager;
    // Under the lock, which the destructor also takes: the buffer's last use on
    // this thread comes before its destruction on the creating one.
    std::lock_guard<std::mutex> lock(mutex);
    received = QByteArray();
    hasher.reset();
    sink.reset();
    staging.reset();
}

void HTTPMessage::responseHeaderReceived()
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const qint32 code = status.isValid() ? status.toInt() : 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        statusCode = code;
    }
    contentLength = announcedLength(reply);
    // Only a 200 body is kept; any other is read and dropped.
    keepBody = code == 200;
    if (contentLength == -2)
        fail(QStringLiteral("Conflicting Content-Length headers"));
    else if (contentLength == -3)
        fail(QStringLiteral("Invalid Content-Length header"));
    else if (staging)
        startStaging(code);
    else if (keepBody && contentLength > bodyLimit)
        fail(tooLarge);
    else if (keepBody && sink && !sink->open())
        fail(sink->errorString());
}

void HTTPMessage::startStaging(qint32 code)
{
    qint64 total = contentLength;
    continued = false;
    if (code == 206 && rangeFrom > 0) {
        // Only the rest of the file, to its end, continues what is kept.
        const QByteArray range = reply->rawHeader("Content-Range");
        qint64 first = -1, last = -1;
        if (!parseContentRange(range, first, last, total) || first != rangeFrom ||
            last != total - 1 || (contentLength >= 0 && contentLength != total - first)) {
            // What is kept cannot be continued from this server: the next try starts over.
            if (stagingOpen)
                staging->keep(0, nullptr);
            fail(QStringLiteral("The partial answer does not go on at byte %1: Content-Range: %2")
                     .arg(rangeFrom)
                     .arg(QString::fromLatin1(range)));
            return;
        }
        keepBody = continued = true;
        bodyLimit -= qMin(bodyLimit, rangeFrom);
        // Known from the range even without a Content-Length: a body cut short then fails.
        contentLength = total - first;
    }
    if (!keepBody)
        return;
    if ((continued ? contentLength : total) > bodyLimit) {
        fail(tooLarge);
        return;
    }
    if (!stagingOpen || !staging->keep(continued ? rangeFrom : 0, hasher.get())) {
        fail(staging->errorString());
        return;
    }
    emit responseStarted(strongValidator(reply), total, continued);
}

void HTTPMessage::readProgress(qint64 bytesDone, qint64 total)
{
    float fraction = 0.0f;
    if (total > 0)
        fraction = float(qBound(0.0, double(bytesDone) / double(total), 1.0));
    std::lock_guard<std::mutex> lock(mutex);
    readFraction = fraction;
    readBytes = bytesDone;
    expectedBytes = total;
}

void HTTPMessage::readBody()
{
    if (settled)
        return;
    if (!keepBody) {
        // A reply the client has already closed (its own abort) has nothing left,
        // and a skip on it would put Qt's warning on stderr.
        const qint64 skipped = reply->isOpen() && reply->bytesAvailable() > 0
                                   ? reply->skip(reply->bytesAvailable())
                                   : 0;
        if (skipped > 0)
            bytesSeen += skipped;
        readProgress(bytesSeen, contentLength);
        return;
    }
    while (reply->bytesAvailable() > 0) {
        if (bytesSeen + reply->bytesAvailable() > bodyLimit) {
            fail(tooLarge);
            return;
        }
        // Hands over the client's own buffers where it can, without a copy.
        const QByteArray data = reply->readAll();
        if (data.isEmpty())
            break;
        // While the client's own thread reads on from the socket: the signature
        // check after the download then costs next to nothing
        // (bench/signed_vs_unsigned.sh).
        if (hasher)
            hasher->addData(data.constData(), data.size());
        // Straight to the file, as it arrives: memory stays flat whatever the size,
        // and the write overlaps the transfer (bench/download_vs_curl.sh).
        if (sink) {
            if (!sink->write(data.constData(), data.size())) {
                fail(sink->errorString());
                return;
            }
        } else if (staging) {
            if (!staging->write(data.constData(), data.size())) {
                fail(staging->errorString());
                return;
            }
        } else {
            received.append(data);
        }
        bytesSeen += data.size();
    }
    // Counted here rather than taken from the reply's downloadProgress, which is
    // throttled to one per 100 ms and stays silent about the first chunk. The
    // total is the announced Content-Length (unknown gives 0.0), never the
    // signal's total: a close-delimited body would end up claiming 1.0.
    readProgress(bytesSeen, contentLength);
}

void HTTPMessage::checkStall()
{
    if (settled)
        return;
    // The slot that held the count of a window ago takes the current one.
    qint64& windowStart = seenAtCheck[checks % stallSlices];
    ++checks;
    if (checks >= stallSlices && bytesSeen - windowStart < stallMinimumBytes) {
        fail(stallReason(stallMinimumBytes, stallWindow));
        return;
    }
    windowStart = bytesSeen;
}

void HTTPMessage::replyFinished()
{
    readBody();
    if (settled)
        return;
    const QNetworkReply::NetworkError code = reply->error();
    const bool clientError = code != QNetworkReply::NoError;
    qint32 status = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        status = statusCode;
    }
    // Qt can take a connection closed in mid-body for the end of a body
    // without length; the announced length says otherwise.
    if (!clientError && (status == 200 || continued) && contentLength >= 0 &&
        bytesSeen != contentLength) {
        settle(true, true, QStringLiteral("Connection closed"));
        return;
    }
    settle(clientError, clientError && !(status != 0 && isStatusError(code)), reply->errorString());
}

void HTTPMessage::fail(const QString& reason)
{
    // Quiet first, so that the abort reports nothing back here.
    disconnect(reply, nullptr, this, nullptr);
    // The client takes a status such as 404 for an error of its own and reports it
    // even after an abort, with a warning about a second error on stderr. Deleting
    // the reply at the end of the run drops the connection all the same.
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 400)
        reply->abort();
    settle(true, true, reason);
}

void HTTPMessage::settle(bool error, bool transport, const QString& reason)
{
    settled = true;
    QString why = reason;
    if (!error && sink && keepBody && !sink->close()) {
        error = transport = true;
        why = sink->errorString();
    }
    if (!error && staging && keepBody && !staging->close()) {
        error = transport = true;
        why = staging->errorString();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (aborted)
            return;
        transportFailure = transport;
        clientErrorString = why;
        partialAccepted = continued;
        if (!error && (statusCode == 200 || continued)) {
            responseBody = std::move(received);
            responseFile = std::move(sink);
            if (hasher)
                responseHash = hasher->result();
        } else {
            responseBody.clear();
        }
    }
    received = QByteArray();
    sink.reset();
    staging.reset();
    emit settledOnWorker(error, QPrivateSignal());
}

void HTTPMessage::done(bool error)
{
    qint32 status = 0;
    bool transport = false;
    bool quiet = false;
    QString reason;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (aborted)
            return;
        status = statusCode;
        if (partialAccepted)
            status = 200; // the 206 that goes on with the kept bytes is the answer asked for
        if (status != 200)
            error = true;
        // A rename, so cheap enough here; here, so that an abort that comes
        // before it leaves the previous file in place.
        if (!error && responseFile && !responseFile->commit()) {
            error = transportFailure = true;
            clientErrorString = responseFile->errorString();
        }
        responseFile.reset();
        if (error) {
            responseBody.clear();
            responseHash.clear();
        }
        transport = error && transportFailure;
        reason = clientErrorString;
        quiet = quietNotFound && status == 404;
    }
    if (status != 200 || transport)
        logFailure(url, status, status == 200 || quiet, transport, reason);
    emit finished(error);
    quit();
}
