#include "ScriptedHttpServer.h"

#include <QTcpSocket>

QByteArray ScriptedHttpServer::response(int status, const QByteArray& body,
                                        const QByteArray& header)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\n" +
           (header.isEmpty() ? "Content-Length: " + QByteArray::number(body.size()) : header) +
           "\r\n\r\n" + body;
}

QUrl ScriptedHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
}

// Sockets are the server's children: its destruction aborts them.
ScriptedHttpServer::ScriptedHttpServer()
{
    listen(QHostAddress::LocalHost, 0);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                ++closed;
                socket->deleteLater();
            });
            connect(socket, &QTcpSocket::readyRead, this,
                    [this, socket, head = QByteArray()]() mutable {
                        if (head.endsWith("\r\n\r\n"))
                            return; // the request is complete; anything more is ignored
                        head += socket->readAll();
                        const qsizetype end = head.indexOf("\r\n\r\n");
                        if (end < 0)
                            return;
                        head.truncate(end + 4);
                        requests.append(head);
                        socket->write(script.reply);
                        if (script.then == Close)
                            socket->disconnectFromHost();
                        // Refilled only as the client drains it, so the server's memory stays
                        // small.
                        auto refill = [socket, data = script.repeat] {
                            while (socket->state() == QAbstractSocket::ConnectedState &&
                                   socket->bytesToWrite() < (1 << 20))
                                socket->write(data);
                        };
                        if (script.then == Repeat) {
                            connect(socket, &QTcpSocket::bytesWritten, socket, refill);
                            refill();
                        }
                    });
        }
    });
}
