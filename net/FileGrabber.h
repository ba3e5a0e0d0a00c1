#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class GETServerMessage;

// Downloads one URL into one local file and reports the outcome with the
// creator's request id.
class FileGrabber : public QObject
{
    Q_OBJECT

public:
    FileGrabber(const QUrl& url, const QString& fileName, int requestId);
    ~FileGrabber() override;

    // Sends the request; does nothing while a download runs.
    void start();
    // Drops the download in flight; a cancelled download never reports finished.
    void cancel();
    bool isRunning() const;
    // Fraction of the body received; 0.0 when idle or when no length is announced.
    float progress() const;
    // Bytes received and announced (-1 when unknown) of the download in flight.
    qint64 bytesReceived() const;
    qint64 bytesTotal() const;
    // Largest body accepted by the downloads started afterwards; 0 keeps the
    // default, half of the space free beside the file when the download starts,
    // less the room of a signature: the archive's contents go beside it next.
    void setMaxBodySize(qint64 bytes);
    // What the log calls the body when it is too large ("The signature is too
    // large: ..."); "update" unless set.
    void setBodyName(const QString& name);
    // Downloads started afterwards hash their body as it arrives.
    void setHashBody(bool hash);
    // Downloads started afterwards write in place into the file, which stays after a failure,
    // and ask for the bytes from `from` on while the server's file still has validator: the
    // file's first `from` bytes are then kept (and hashed, with setHashBody). A server that
    // sends the whole file instead has it written from the start. See HTTPMessage.
    void setStaging(qint64 from, const QByteArray& validator);
    // Handed to every worker started afterwards; see HTTPMessage::setQuietNotFound.
    void setQuietNotFound(bool quiet) { quietNotFound = quiet; }
    // Body bytes received by every download this grabber started, cancelled ones included.
    qint64 bytesFetched() const;
    // BLAKE2b-512 of exactly the bytes written by the last successful download
    // with hashing on; empty otherwise.
    QByteArray bodyDigest() const;

signals:
    // error is false exactly when the file holds the whole body.
    void finished(bool error, int requestId);
    // A staged download's answer has begun; see HTTPMessage::responseStarted.
    void responseStarted(int requestId, const QByteArray& validator, qint64 total, bool continued);

protected slots:
    void serverResponse(const QByteArray& data, bool error);

private:
    QUrl url;
    QString fileName;
    qint32 requestId;
    bool running = false;
    GETServerMessage* message = nullptr;
    qint64 maxBodySize = 0;
    bool hashBody = false;
    QString bodyName;
    QByteArray digest;
    qint64 fetched = 0; // by the downloads that have ended
    bool staged = false;
    qint64 stagedFrom = 0;
    QByteArray stagedValidator;
    bool quietNotFound = false;
};
