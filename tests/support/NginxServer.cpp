#include "NginxServer.h"

#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTcpSocket>
#include <QThread>

namespace {

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

void NginxServer::addRateLimit(const QString& location, qint64 bytesPerSecond)
{
    addLocation(location, QStringLiteral("limit_rate %1;").arg(bytesPerSecond));
}

void NginxServer::addLocation(const QString& location, const QString& text)
{
    directives += QStringLiteral("location %1 { %2 }\n").arg(location, text);
}

bool NginxServer::start(const QString& docRoot)
{
    stop();
    dir = std::make_unique<QTemporaryDir>();
    // A port probed free can be taken before nginx binds it; try a few times.
    for (int attempt = 0; attempt < 5 && dir->isValid(); ++attempt) {
        QFile::remove(file(QStringLiteral("ports")));
        process = std::make_unique<ChildProcess>();
        process->start(QStringLiteral("bash"),
                       {QStringLiteral("-c"), QStringLiteral("source \"$0\" && nginx_exec \"$@\""),
                        QStringLiteral(UPDATER_SOURCE_DIR "/scripts/lib/nginx.sh"), dir->path(),
                        QDir(docRoot).absolutePath(), directives,
                        tls ? QStringLiteral("tls") : QString()},
                       file(QStringLiteral("nginx.out")));
        const QDeadlineTimer deadline(10000);
        while (process->isRunning() && !deadline.hasExpired()) {
            const QList<QByteArray> ports = readFile(file(QStringLiteral("ports"))).split(' ');
            plainPort = ports.value(0).toUShort();
            tlsPort = ports.value(1).trimmed().toUShort();
            if (plainPort != 0 && accepts(plainPort) && (!tls || accepts(tlsPort)))
                return true;
            QThread::msleep(20);
        }
        lastError = dir->errorString() + process->errorString() +
                    QStringLiteral(" nginx did not come up: ") +
                    QString::fromLocal8Bit(readFile(file(QStringLiteral("nginx.out"))) +
                                           readFile(file(QStringLiteral("logs/error.log"))));
        stop();
    }
    return false;
}
