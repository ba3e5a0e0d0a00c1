#pragma once

#include "HTTPMessage.h"
#include "ServerMessage.h"

#include <QPointer>

// An HTTP/1.1 GET of the URL's path, carried out by an HTTPMessage worker.
class GETServerMessage : public ServerMessage
{
    Q_OBJECT

public:
    enum : qint32
    {
        STATE_IDLE = 0,
        STATE_COMMUNICATING = 1
    };

    explicit GETServerMessage(const QUrl& url);
    ~GETServerMessage() override;

    float progress() const override;
    void abort() override;
    bool send() override;
    Transferred transferred() const override;
    // Body bytes of the exchange in flight or, once it has ended or been aborted, of the last.
    qint64 bytesReceived() const;

    // Handed to every worker this message starts; see HTTPMessage::setStallTimeout.
    void setStallTimeout(int msecs);
    // Handed to every worker this message starts; see HTTPMessage::setMaxBodySize.
    void setMaxBodySize(qint64 bytes);
    // Handed to every worker this message starts; see HTTPMessage::setBodyName.
    void setBodyName(const QString& name);
    // Handed to every worker this message starts; see HTTPMessage::setHashBody.
    void setHashBody(bool hash);
    // Handed to every worker this message starts; see HTTPMessage::setBodyFile.
    // The body then goes to the file, and response() carries none.
    void setBodyFile(const QString& fileName);
    // Handed to every worker this message starts; see HTTPMessage::setStagingFile.
    void setStagingFile(const QString& fileName);
    // The request asks for the bytes from `from` on, if the file still has validator (a
    // strong one: an empty or weak validator asks for the whole file).
    void setRange(qint64 from, const QByteArray& validator);
    // Handed to every worker started afterwards; see HTTPMessage::setQuietNotFound.
    void setQuietNotFound(bool quiet) { quietNotFound = quiet; }
    // HTTPMessage::responseDigest() of the last response, valid while it is emitted.
    QByteArray bodyDigest() const { return digest; }

signals:
    // See HTTPMessage::responseStarted.
    void responseStarted(const QByteArray& validator, qint64 total, bool continued);

protected slots:
    void finished(bool error);

private:
    qint32 state = STATE_IDLE;
    // Not owned: the worker deletes itself when its run ends.
    QPointer<HTTPMessage> worker;
    int stallTimeout = HTTPMessage::defaultStallTimeout;
    qint64 maxBodySize = HTTPMessage::defaultMaxBodySize();
    bool hashBody = false;
    QString bodyName; // empty: the worker's own
    QString bodyFile;
    QByteArray digest;
    qint64 lastReceived = 0;
    QString stagingFile;
    qint64 rangeFrom = 0;
    QByteArray rangeValidator;
    bool quietNotFound = false;
};
