#include "ScriptedHttpServer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <sys/socket.h>

QByteArray ScriptedHttpServer::response(int status, const QByteArray& body, bool withLength,
                                        const QList<QByteArray>& extraHeaders)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\n";
    if (withLength)
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const QByteArray& line : extraHeaders)
        out += line + "\r\n";
    out += "\r\n";
    return out + body;
}

QList<ScriptedHttpServer::Step> ScriptedHttpServer::answer(int status, const QByteArray& body)
{
    return {send(response(status, body)), hold()};
}

ScriptedHttpServer::ScriptedHttpServer(QObject* parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &ScriptedHttpServer::accept);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    for (const QPointer<QTcpSocket>& socket : std::as_const(sockets)) {
        if (socket)
            socket->abort();
    }
}

bool ScriptedHttpServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QUrl ScriptedHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

bool ScriptedHttpServer::waitForRequests(int count, int msecs)
{
    return QTest::qWaitFor([&] { return heads.size() >= count; }, msecs);
}

quint16 ScriptedHttpServer::refusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void ScriptedHttpServer::accept()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        socket->setParent(this);
        sockets.append(socket);
        auto* head = new QByteArray;
        connect(socket, &QObject::destroyed, [head] { delete head; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, head] {
            if (head->endsWith("\r\n\r\n"))
                return; // the request is complete; anything more is ignored
            *head += socket->readAll();
            const qsizetype end = head->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            head->truncate(end + 4);
            heads.append(*head);
            play(socket, 0);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            ++closed;
            socket->deleteLater();
        });
    }
}

void ScriptedHttpServer::play(QTcpSocket* socket, int step)
{
    for (; step < script.size(); ++step) {
        const Step& s = script.at(step);
        switch (s.kind) {
        case Step::Send:
            socket->write(s.data);
            socket->flush();
            break;
        case Step::Pause: {
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(s.msecs, this, [this, guard, step] {
                if (guard)
                    play(guard, step + 1);
            });
            return;
        }
        case Step::Close:
            socket->disconnectFromHost();
            return;
        case Step::Reset: {
            // No lingering: the close then sends RST instead of FIN.
            const linger hard{1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                         sizeof(hard));
            socket->abort();
            return;
        }
        case Step::Hold:
            return;
        case Step::Endless: {
            // Refilled only as the client drains it, so the server's own memory
            // stays small however long this runs.
            const QByteArray data = s.data;
            auto refill = [socket, data] {
                while (socket->state() == QAbstractSocket::ConnectedState &&
                       socket->bytesToWrite() < (qint64(1) << 20))
                    socket->write(data);
            };
            connect(socket, &QTcpSocket::bytesWritten, socket, refill);
            refill();
            return;
        }
        }
    }
}
