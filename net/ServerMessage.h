#pragma once

#include <QByteArray>
#include <QObject>
#include <QUrl>

// One request to the update server and its answer, announced through response().
class ServerMessage : public QObject
{
    Q_OBJECT

public:
    // An http or https URL without a port gets the scheme's default one here (80
    // or 443), so that from now on it always names the port it connects to.
    explicit ServerMessage(const QUrl& url);

    // Fraction of the answer's body received, 0.0 to 1.0.
    virtual float progress() const = 0;
    // Drops the request in flight; an aborted request never emits response().
    virtual void abort() = 0;
    // Issues the request; false when one is already in flight.
    virtual bool send() = 0;

    // Bytes of the body received so far and the announced length (-1 when none),
    // for displays that show sizes and speed; nothing in flight gives {0, -1}.
    struct Transferred
    {
        qint64 received = 0;
        qint64 total = -1;
    };
    virtual Transferred transferred() const { return {}; }

signals:
    // Once per sent request that is not aborted. data is empty when error is true.
    void response(const QByteArray& data, bool error);

protected:
    QUrl url;
};
