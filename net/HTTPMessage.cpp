#include "HTTPMessage.h"

#include "Log.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <cstdlib>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// A Content-Length beyond this is not trusted for an up-front allocation; such a
// body grows as it arrives instead.
constexpr qint64 maxPreallocation = qint64(4) << 30;

constexpr qint64 readBufferSize = qint64(4) << 20;

// Faulting in a fresh buffer page by page costs more than the transfer itself on
// large bodies; huge pages cut that cost several times over.
void adviseHugePages(QByteArray& buffer)
{
#ifdef Q_OS_LINUX
    constexpr qsizetype worthIt = qsizetype(4) << 20;
    if (buffer.size() < worthIt)
        return;
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const auto begin = (quintptr(buffer.data()) + page - 1) & ~(page - 1);
    const auto end = (quintptr(buffer.data()) + quintptr(buffer.size())) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(buffer);
#endif
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

void HTTPMessage::run()
{
    int timeout = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state == 1 || aborted)
            return;
        responseBody.clear();
        readFraction = 0.0f;
        statusCode = 0;
        state = 1;
        timeout = stallTimeout;
    }

    auto* manager = new QNetworkAccessManager;
    QNetworkRequest request(header);
    // Redirects are answers like any other status: not followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(timeout);
    {
        std::lock_guard<std::mutex> lock(mutex);
        client = manager;
    }
    reply = requestBody.isEmpty() ? manager->get(request)
                                  : manager->sendCustomRequest(request, "GET", requestBody);
    // Bounded, so that a worker thread that falls behind the socket makes the
    // client wait instead of piling the body up a second time.
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QNetworkReply::metaDataChanged, this, &HTTPMessage::responseHeaderReceived,
            Qt::DirectConnection);
    connect(reply, &QNetworkReply::readyRead, this, &HTTPMessage::readBody, Qt::DirectConnection);
    connect(reply, &QNetworkReply::finished, this, &HTTPMessage::replyFinished,
            Qt::DirectConnection);

    exec();

    disconnect(reply, nullptr, this, nullptr);
    delete reply;
    reply = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        client = nullptr;
        state = 0;
        received = QByteArray();
        receivedSize = 0;
    }
    delete manager;
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
    if (keepBody && receivedSize == 0 && contentLength > 0 && contentLength <= maxPreallocation) {
        // A length the system cannot grant must not bring the process down; the
        // body then grows as it arrives and the transfer fails on its own terms.
        if (void* probe = std::malloc(size_t(contentLength) + 64)) {
            std::free(probe);
            received = QByteArray(qsizetype(contentLength), Qt::Uninitialized);
            adviseHugePages(received);
        }
    }
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
    if (available <= 0)
        return;
    if (!keepBody) {
        const qint64 skipped = reply->skip(available);
        if (skipped > 0)
            bytesSeen += skipped;
        readProgress(bytesSeen, contentLength);
        return;
    }
    const qint64 needed = receivedSize + available;
    if (needed > received.size()) {
        // Unknown or exceeded length: grow geometrically.
        received.resize(qsizetype(qMax(needed, qMax(qint64(received.size()) * 2, qint64(65536)))));
    }
    const qint64 got = reply->read(received.data() + receivedSize, available);
    if (got > 0) {
        receivedSize += got;
        bytesSeen += got;
    }
    // Counted here rather than taken from the reply's downloadProgress, which is
    // throttled to one per 100 ms and stays silent about the first chunk. The
    // total is the announced Content-Length (unknown gives 0.0), never the
    // signal's total: a close-delimited body would end up claiming 1.0.
    readProgress(bytesSeen, contentLength);
}

void HTTPMessage::replyFinished()
{
    readBody();
    const QNetworkReply::NetworkError code = reply->error();
    bool clientError = code != QNetworkReply::NoError;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (aborted)
            return;
        transportFailure = clientError && !(statusCode != 0 && isStatusError(code));
        clientErrorString = reply->errorString();
        // Qt can take a connection closed in mid-body for the end of a body
        // without length; the announced length says otherwise.
        if (!clientError && statusCode == 200 && contentLength >= 0 && bytesSeen != contentLength) {
            clientError = true;
            transportFailure = true;
            clientErrorString = QStringLiteral("Connection closed");
        }
        if (!clientError && statusCode == 200) {
            received.truncate(qsizetype(receivedSize));
            responseBody = std::move(received);
        } else {
            responseBody.clear();
        }
        received = QByteArray();
        receivedSize = 0;
    }
    // This object lives on the creating thread, so the call is queued there.
    QMetaObject::invokeMethod(this, "done", Qt::QueuedConnection, Q_ARG(bool, clientError));
}

void HTTPMessage::done(bool error)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!client || aborted)
        return;
    if (statusCode != 200)
        error = true;
    if (error)
        responseBody.clear();
    if (statusCode != 200) {
        LOG(Debug, QStringLiteral("HTTPMessage failed with status code %1.  The URL was %2")
                       .arg(QString::number(statusCode), url.toString()));
    }
    if (error && transportFailure) {
        LOG(Info, QStringLiteral("HTTPMessage failed with the following error: %1.  The URL was %2")
                      .arg(clientErrorString, url.toString()));
    }
    state = 2;
    lock.unlock();
    emit finished(error);
    quit();
}
