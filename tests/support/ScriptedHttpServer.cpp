#include "ScriptedHttpServer.h"

#include <QTcpSocket>

QByteArray ScriptedHttpServer::response(int status, const QByteArray& body, bool withLength,
                                        const QList<QByteArray>& extraHeaders)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\n";
    if (withLength)
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const QByteArray& line : extraHeaders)
        out += line + "\r\n";
    return out + "\r\n" + body;
}

quint16 ScriptedHttpServer::refusedPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Sockets are children: their destruction with the server aborts them.
ScriptedHttpServer::ScriptedHttpServer()
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            socket->setParent(this);
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
                        heads.append(head);
                        for (const Step& s : std::as_const(script)) {
                            if (s.kind == Step::Send) {
                                socket->write(s.data);
                                socket->flush();
                            } else if (s.kind == Step::Close) {
                                socket->disconnectFromHost();
                            } else if (s.kind == Step::Endless) {
                                // Refilled only as the client drains it, so the server's memory
                                // stays small.
                                auto refill = [socket, data = s.data] {
                                    while (socket->state() == QAbstractSocket::ConnectedState &&
                                           socket->bytesToWrite() < (qint64(1) << 20))
                                        socket->write(data);
                                };
                                connect(socket, &QTcpSocket::bytesWritten, socket, refill);
                                refill();
                            }
                            if (s.kind != Step::Send)
                                return;
                        }
                    });
        }
    });
}
