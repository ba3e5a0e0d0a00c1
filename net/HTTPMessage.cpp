#include "HTTPMessage.h"

#include "Log.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(Q_OS_UNIX)
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace {

constexpr qint64 readBufferSize = qint64(4) << 20;
// Smaller bodies simply grow; see readBody().
constexpr qint64 wholeReserveMinimum = qint64(32) << 20;

// Asks for huge pages over the buffer's whole capacity: faulting in a large body
// 4 KiB at a time cost more than the transfer itself (bench/download_vs_curl.sh).
// Only for a buffer that never moves: advised pages that a growing buffer
// carried along through realloc made the same download ten times slower and
// twice as large in that benchmark.
void adviseHugePages(QByteArray& buffer)
{
#ifdef Q_OS_LINUX
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const auto begin = (quintptr(buffer.data()) + page - 1) & ~(page - 1);
    const auto end = (quintptr(buffer.data()) + quintptr(buffer.capacity())) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(buffer);
#endif
}

// Faults in the buffer ahead of the bytes about to arrive, a bounded step at a
// time, in one call instead of one page fault per page: page faults dominated
// the transfer of large bodies (bench/download_vs_curl.sh). Best effort: older
// kernels refuse the advice and the pages fault in as they are written.
void populateAhead(QByteArray& buffer, qint64 needed, qint64& populated)
{
#ifdef Q_OS_LINUX
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23; // Linux 5.14
#endif
    if (needed <= populated)
        return;
    constexpr qint64 step = qint64(8) << 20;
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const auto base = quintptr(buffer.data());
    const quintptr begin = (base + quintptr(populated) + page - 1) & ~(page - 1);
    const quintptr end =
        (base + quintptr(qMin(qint64(buffer.capacity()), needed + step))) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    populated = qint64(end - base);
#else
    Q_UNUSED(buffer);
    Q_UNUSED(needed);
    Q_UNUSED(populated);
#endif
}

// Why the URL cannot be fetched at all; empty when it can. A URL that QUrl could
// not parse (a port out of range, say) has lost its port, and would otherwise be
// fetched from the default one.
QString urlProblem(const QUrl& url)
{
    if (!url.isValid())
        return url.errorString();
    if (url.host().isEmpty())
        return QStringLiteral("The URL names no host");
    return QString();
}

// Qt reports answers such as 404 as errors of its own. With a status line in hand
// those are a clean exchange with a bad status, not a failure of the transport.
bool isStatusError(QNetworkReply::NetworkError code)
{
    return (code >= QNetworkReply::ContentAccessDenied &&
            code <= QNetworkReply::UnknownContentError) ||
           (code >= QNetworkReply::InternalServerError &&
            code <= QNetworkReply::UnknownServerError);
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

HTTPMessage::HTTPMessage(const QUrl& url, const QNetworkRequest& header,
                         const QByteArray& requestBody)
    : QThread(nullptr), url(url), header(header), requestBody(requestBody)
{
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
        readFraction = 0.0f;
        statusCode = 0;
        timeout = stallTimeout;
        bodyLimit = maxBodySize;
    }

    const QString problem = urlProblem(url);
    QNetworkAccessManager* manager = nullptr;
    if (!problem.isEmpty()) {
        settle(true, true, problem);
    } else {
        manager = new QNetworkAccessManager;
        QNetworkRequest request(header);
        // Redirects are answers like any other status: not followed.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        request.setTransferTimeout(timeout);
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
    }

    exec();

    if (reply)
        disconnect(reply, nullptr, this, nullptr);
    delete reply;
    reply = nullptr;
    delete manager;
    // Under the lock, which the destructor also takes: the buffer's last use on
    // this thread comes before its destruction on the creating one.
    std::lock_guard<std::mutex> lock(mutex);
    received = QByteArray();
}

void HTTPMessage::responseHeaderReceived()
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const qint32 code = status.isValid() ? status.toInt() : 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        statusCode = code;
    }
    contentLength = length.isValid() ? length.toLongLong() : -1;
    // Only a 200 body is kept; any other is read and dropped.
    keepBody = code == 200;
    if (keepBody && contentLength > bodyLimit)
        fail(QStringLiteral("The update is too large: more than %1 bytes").arg(bodyLimit));
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
    const qint64 available = reply->bytesAvailable();
    if (settled || available <= 0)
        return;
    if (!keepBody) {
        const qint64 skipped = reply->skip(available);
        if (skipped > 0)
            bytesSeen += skipped;
        readProgress(bytesSeen, contentLength);
        return;
    }
    const qint64 held = received.size();
    if (held + available > bodyLimit) {
        fail(QStringLiteral("The update is too large: more than %1 bytes").arg(bodyLimit));
        return;
    }
    // The buffer grows with what has arrived: QByteArray grows geometrically,
    // through realloc, which glibc carries out on large blocks by remapping
    // pages rather than copying them. Only once an eighth of an announced length
    // has arrived does the buffer take the whole of it, in huge pages and
    // without moving again: 0.9 s instead of 2.7 s for 512 MiB in
    // bench/download_vs_curl.sh. A server that announces more than it sends
    // thus never gets more than eight times what it sent set aside.
    if (!wholeReserved && contentLength >= wholeReserveMinimum && contentLength <= bodyLimit &&
        held + available >= contentLength / 8) {
        QByteArray whole;
        whole.reserve(qsizetype(contentLength));
        adviseHugePages(whole);
        whole.append(received);
        received = std::move(whole);
        wholeReserved = true;
    }
    received.resize(qsizetype(held + available));
    if (!wholeReserved)
        populateAhead(received, held + available, populated);
    const qint64 got = reply->read(received.data() + held, available);
    received.truncate(qsizetype(held + qMax(qint64(0), got)));
    if (got > 0)
        bytesSeen += got;
    // Counted here rather than taken from the reply's downloadProgress, which is
    // throttled to one per 100 ms and stays silent about the first chunk. The
    // total is the announced Content-Length (unknown gives 0.0), never the
    // signal's total: a close-delimited body would end up claiming 1.0.
    readProgress(bytesSeen, contentLength);
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
    if (!clientError && status == 200 && contentLength >= 0 && bytesSeen != contentLength) {
        settle(true, true, QStringLiteral("Connection closed"));
        return;
    }
    settle(clientError, clientError && !(status != 0 && isStatusError(code)), reply->errorString());
}

void HTTPMessage::fail(const QString& reason)
{
    // Quiet first, so that the abort reports nothing back here.
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    settle(true, true, reason);
}

void HTTPMessage::settle(bool error, bool transport, const QString& reason)
{
    settled = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (aborted)
            return;
        transportFailure = transport;
        clientErrorString = reason;
        if (!error && statusCode == 200)
            responseBody = std::move(received);
        else
            responseBody.clear();
    }
    received = QByteArray();
    emit settledOnWorker(error, QPrivateSignal());
}

void HTTPMessage::done(bool error)
{
    qint32 status = 0;
    bool transport = false;
    QString reason;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (aborted)
            return;
        status = statusCode;
        if (status != 200)
            error = true;
        if (error)
            responseBody.clear();
        transport = error && transportFailure;
        reason = clientErrorString;
    }
    if (status != 200) {
        LOG(Debug, QStringLiteral("HTTPMessage failed with status code %1.  The URL was %2")
                       .arg(QString::number(status), url.toString()));
    }
    if (transport) {
        LOG(Info, QStringLiteral("HTTPMessage failed with the following error: %1.  The URL was %2")
                      .arg(reason, url.toString()));
    }
    emit finished(error);
    quit();
}
