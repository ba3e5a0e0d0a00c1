#include "FileGrabber.h"

#include "GETServerMessage.h"
#include "Minisign.h"

#include <QFileInfo>
#include <QStorageInfo>

FileGrabber::FileGrabber(const QUrl& url, const QString& fileName, int requestId)
    : QObject(nullptr), url(url), fileName(fileName), requestId(requestId)
{
}

FileGrabber::~FileGrabber()
{
    cancel();
}

void FileGrabber::start()
{
    if (running)
        return;
    auto* get = new GETServerMessage(url);
    if (maxBodySize > 0) {
        get->setMaxBodySize(maxBodySize);
    } else {
        // A signature may be written beside it meanwhile: its room comes first.
        const QStorageInfo disk(QFileInfo(fileName).absolutePath());
        if (disk.isValid())
            get->setMaxBodySize(
                qMax(qint64(0), disk.bytesAvailable() - minisign::maxSignatureFileSize) / 2);
    }
    get->setHashBody(hashBody);
    get->setQuietNotFound(quietNotFound);
    if (!bodyName.isEmpty())
        get->setBodyName(bodyName);
    // The body goes beside the file as it arrives, and takes the file's name once
    // whole: an earlier file stays until then, and one planted under that name
    // (a link, a FIFO) is replaced rather than written through.
    if (staged) {
        get->setStagingFile(fileName);
        get->setRange(stagedFrom, stagedValidator);
        connect(get, &GETServerMessage::responseStarted, this,
                [this](const QByteArray& validator, qint64 total, bool continued) {
                    emit responseStarted(requestId, validator, total, continued);
                });
    } else {
        get->setBodyFile(fileName);
    }
    message = get;
    digest.clear();
    connect(message, &ServerMessage::response, this, &FileGrabber::serverResponse);
    message->send();
    running = true;
}

void FileGrabber::cancel()
{
    if (message) {
        message->abort();
        fetched += message->bytesReceived();
        delete message;
        message = nullptr;
    }
    running = false;
}

bool FileGrabber::isRunning() const
{
    return running;
}

qint64 FileGrabber::bytesReceived() const
{
    return message ? message->transferred().received : 0;
}

qint64 FileGrabber::bytesTotal() const
{
    return message ? message->transferred().total : -1;
}

void FileGrabber::setMaxBodySize(qint64 bytes)
{
    maxBodySize = bytes;
}

void FileGrabber::setBodyName(const QString& name)
{
    bodyName = name;
}

void FileGrabber::setHashBody(bool hash)
{
    hashBody = hash;
}

qint64 FileGrabber::bytesFetched() const
{
    return fetched + (message ? message->bytesReceived() : 0);
}

void FileGrabber::setStaging(qint64 from, const QByteArray& validator)
{
    staged = true;
    stagedFrom = from;
    stagedValidator = validator;
}

QByteArray FileGrabber::bodyDigest() const
{
    return digest;
}

float FileGrabber::progress() const
{
    return message ? message->progress() : 0.0f;
}

void FileGrabber::serverResponse(const QByteArray&, bool error)
{
    if (sender() != message)
        return;
    if (!error)
        digest = message->bodyDigest();
    fetched += message->bytesReceived();
    // The message is still emitting; it goes once control is back in the loop.
    message->deleteLater();
    message = nullptr;
    running = false;
    emit finished(error, requestId);
}
