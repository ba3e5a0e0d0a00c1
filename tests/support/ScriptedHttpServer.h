#pragma once

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <QUrl>

// A tiny HTTP server for exact protocol cases, on 127.0.0.1 and the creating thread: it records
// the raw head of each request, sends `reply` on that connection, and then holds it open, closes
// it, or sends `repeat` again and again for as long as the client reads.
class ScriptedHttpServer : public QTcpServer
{
public:
    enum Then
    {
        Hold,
        Close,
        Repeat
    };
    struct Script
    {
        Script(const QByteArray& r = {}, Then t = Hold, const QByteArray& d = {})
            : reply(r), then(t), repeat(d)
        {
        }
        QByteArray reply;
        Then then;
        QByteArray repeat;
    };
    Script script;
    QList<QByteArray> requests; // up to and including the blank line, in arrival order
    int closed = 0;             // connections closed by either side

    // Status line, `header` (by default the body's Content-Length), blank line, body.
    static QByteArray response(int status, const QByteArray& body, const QByteArray& header = {});
    QUrl url(const QString& path) const;
    ScriptedHttpServer();
};
