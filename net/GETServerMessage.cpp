#include "GETServerMessage.h"

#include "HttpRules.h"
#include "Log.h"

GETServerMessage::GETServerMessage(const QUrl& url) : ServerMessage(url) {}

GETServerMessage::~GETServerMessage()
{
    abort();
}

float GETServerMessage::progress() const
{
    return worker ? worker->progress() : 0.0f;
}

ServerMessage::Transferred GETServerMessage::transferred() const
{
    if (!worker)
        return {};
    return {worker->bytesReceived(), worker->bytesExpected()};
}

qint64 GETServerMessage::bytesReceived() const
{
    return worker ? worker->bytesReceived() : lastReceived;
}

void GETServerMessage::abort()
{
    if (!worker)
        return;
    lastReceived = worker->bytesReceived();
    // Whatever the worker still emits must not reach this message.
    disconnect(worker, nullptr, this, nullptr);
    worker->abort();
    worker = nullptr;
    state = STATE_IDLE;
}

bool GETServerMessage::send()
{
    if (state != STATE_IDLE)
        return false;
    state = STATE_COMMUNICATING;
    lastReceived = 0;

    // A scheme other than http or https fails in the worker, before any request.
    QNetworkRequest header = httprules::requestFor(url);
    // Only against a strong validator: a range of another version of the file would be
    // appended to this one's start.
    const bool ranged =
        rangeFrom > 0 && !rangeValidator.isEmpty() && !rangeValidator.startsWith("W/");
    if (ranged) {
        header.setRawHeader("Range", "bytes=" + QByteArray::number(rangeFrom) + '-');
        header.setRawHeader("If-Range", rangeValidator);
    }

    worker = new HTTPMessage(url, header, QByteArray());
    worker->setStallTimeout(stallTimeout);
    worker->setMaxBodySize(maxBodySize);
    if (!bodyName.isEmpty())
        worker->setBodyName(bodyName);
    worker->setHashBody(hashBody);
    worker->setBodyFile(bodyFile);
    worker->setQuietNotFound(quietNotFound);
    if (!stagingFile.isEmpty()) {
        worker->setStagingFile(stagingFile, ranged ? rangeFrom : 0);
        connect(worker, &HTTPMessage::responseStarted, this, &GETServerMessage::responseStarted);
    }
    connect(worker, &HTTPMessage::finished, this, &GETServerMessage::finished);
    worker->start(QThread::InheritPriority);
    return true;
}

void GETServerMessage::setStallTimeout(int msecs)
{
    stallTimeout = msecs;
}

void GETServerMessage::setMaxBodySize(qint64 bytes)
{
    maxBodySize = bytes;
}

void GETServerMessage::setBodyName(const QString& name)
{
    bodyName = name;
}

void GETServerMessage::setHashBody(bool hash)
{
    hashBody = hash;
}

void GETServerMessage::setBodyFile(const QString& fileName)
{
    bodyFile = fileName;
}

void GETServerMessage::setStagingFile(const QString& fileName)
{
    stagingFile = fileName;
}

void GETServerMessage::setRange(qint64 from, const QByteArray& validator)
{
    rangeFrom = from;
    rangeValidator = validator;
}

void GETServerMessage::finished(bool error)
{
    if (!worker)
        return;
    if (state != STATE_COMMUNICATING) {
        LOG(Debug, QStringLiteral("State should be STATE_COMMUNICATING, but it is: %1").arg(state));
        return;
    }
    const QByteArray data = error ? QByteArray() : worker->responseData();
    digest = error ? QByteArray() : worker->responseDigest();
    lastReceived = worker->bytesReceived();
    worker = nullptr;
    emit response(data, error);
    state = STATE_IDLE;
}
