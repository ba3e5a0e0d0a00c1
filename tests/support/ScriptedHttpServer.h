#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A tiny HTTP server for exact protocol cases: it records the raw bytes of each request head and
// then plays a script on the connection. Listens on 127.0.0.1, runs on the creating thread.
class ScriptedHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Step
    {
        enum Kind
        {
            Send,
            Close,
            Hold,
            Endless
        } kind;
        QByteArray data;
        bool operator==(const Step& o) const { return kind == o.kind && data == o.data; }
    };
    static Step send(const QByteArray& data) { return {Step::Send, data}; }
    static Step close() { return {Step::Close, {}}; }
    // Leaves the connection open without a word.
    static Step hold() { return {Step::Hold, {}}; }
    // Sends data again and again while the client keeps reading; ends the script.
    static Step endless(const QByteArray& data) { return {Step::Endless, data}; }

    // Status line, Content-Length unless withLength is false, extra header lines, blank line, body.
    static QByteArray response(int status, const QByteArray& body, bool withLength = true,
                               const QList<QByteArray>& extraHeaders = {});
    // The response with its length, the connection left open.
    static QList<Step> answer(int status, const QByteArray& body)
    {
        return {send(response(status, body)), hold()};
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
    }
    // Played on every connection once its request head is complete.
    void setScript(const QList<Step>& steps) { script = steps; }
    // Raw request heads, up to and including the blank line, in arrival order.
    QList<QByteArray> requests() const { return heads; }
    // Connections that the client has closed or that the script closed.
    int closedCount() const { return closed; }
    // A loopback port that nothing listens on (it was free a moment ago).
    static quint16 refusedPort();

    ScriptedHttpServer();

private:
    QTcpServer server;
    QList<Step> script;
    QList<QByteArray> heads;
    int closed = 0;
};
