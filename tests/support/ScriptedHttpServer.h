#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A tiny HTTP server for exact protocol cases: it records the raw bytes of each
// request head and then plays a script on the connection (send bytes, pause,
// close, reset, hold the connection open without a word, or repeat bytes for as
// long as the client reads). Listens on 127.0.0.1 and
// runs on the thread that created it.
class ScriptedHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Step
    {
        bool operator==(const Step& o) const
        {
            return kind == o.kind && data == o.data && msecs == o.msecs;
        }
        enum Kind
        {
            Send,
            Pause,
            Close,
            Reset,
            Hold,
            Endless
        };
        Kind kind;
        QByteArray data;
        int msecs = 0;
    };
    static Step send(const QByteArray& data) { return {Step::Send, data, 0}; }
    static Step pause(int msecs) { return {Step::Pause, QByteArray(), msecs}; }
    static Step close() { return {Step::Close, QByteArray(), 0}; }
    static Step hold() { return {Step::Hold, QByteArray(), 0}; }
    // Closes with a TCP reset rather than an orderly close.
    static Step reset() { return {Step::Reset, QByteArray(), 0}; }
    // Sends data again and again while the client keeps reading; ends the script.
    static Step endless(const QByteArray& data) { return {Step::Endless, data, 0}; }

    // A whole response: status line, Content-Length unless withLength is false,
    // extra header lines ("Name: value"), blank line, body.
    static QByteArray response(int status, const QByteArray& body, bool withLength = true,
                               const QList<QByteArray>& extraHeaders = {});
    // The usual script: the response with its length, the connection left open.
    static QList<Step> answer(int status, const QByteArray& body);

    explicit ScriptedHttpServer(QObject* parent = nullptr);
    ~ScriptedHttpServer() override;

    // Listens on a free 127.0.0.1 port.
    bool listen();
    quint16 port() const { return server.serverPort(); }
    QUrl url(const QString& path) const;

    // Played on every connection once its request head is complete.
    void setScript(const QList<Step>& steps) { script = steps; }

    // Raw request heads, up to and including the blank line, in arrival order.
    QList<QByteArray> requests() const { return heads; }
    // Connections that the client has closed or that the script closed.
    int closedCount() const { return closed; }
    // Waits (running the event loop) until count requests have arrived.
    bool waitForRequests(int count, int msecs = 5000);

    // A loopback port that nothing listens on (it was free a moment ago).
    static quint16 refusedPort();

private:
    void accept();
    void play(QTcpSocket* socket, int step);

    QTcpServer server;
    QList<Step> script;
    QList<QByteArray> heads;
    QList<QPointer<QTcpSocket>> sockets;
    int closed = 0;
};
