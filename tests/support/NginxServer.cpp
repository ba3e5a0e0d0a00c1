#include "NginxServer.h"

#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTcpServer>
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
    directives +=
        QStringLiteral("location %1 { limit_rate %2; }\n").arg(location).arg(bytesPerSecond);
}

bool NginxServer::start(const QString& docRoot)
{
    stop();
    dir = std::make_unique<QTemporaryDir>();
    QString extra = directives;
    if (tls) {
        QTcpServer probe;
        tlsPort = probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
        extra +=
            QStringLiteral("listen 127.0.0.1:%1 ssl; ssl_certificate %2; ssl_certificate_key %3;")
                .arg(QString::number(tlsPort), caCertificatePath(),
                     file(QStringLiteral("key.pem")));
    }
    // The shell makes the certificate, writes the configuration and then becomes nginx, so
    // stopping the child stops the server; setpriv takes it down with a test that crashes or is
    // killed on a timeout.
    const QString script = QStringLiteral(
        "source \"$0\" && nginx_config \"$1\" \"$2\" \"$3\" && echo $NGINX_PORT >\"$1/port\" && "
        "{ [ -z \"$4\" ] || [ -e \"$1/key.pem\" ] || openssl req -x509 -newkey ec -pkeyopt "
        "ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
        "subjectAltName=IP:127.0.0.1,DNS:localhost -keyout \"$1/key.pem\" -out \"$1/cert.pem\"; } "
        "&& "
        "exec setpriv --pdeathsig TERM /usr/sbin/nginx -p \"$1/\" -c \"$1/nginx.conf\" "
        "-e \"$1/logs/error.log\"");
    // A port probed free can be taken before nginx binds it; try a few times.
    for (int attempt = 0; attempt < 5 && dir->isValid(); ++attempt) {
        QFile::remove(file(QStringLiteral("port")));
        process = std::make_unique<ChildProcess>();
        if (!process->start(QStringLiteral("bash"),
                            {QStringLiteral("-c"), script,
                             QStringLiteral(UPDATER_SOURCE_DIR "/scripts/lib/nginx.sh"),
                             dir->path(), QDir(docRoot).absolutePath(), extra,
                             tls ? QStringLiteral("tls") : QString()},
                            file(QStringLiteral("nginx.out")))) {
            lastError = process->errorString();
            return false;
        }
        const QDeadlineTimer deadline(10000);
        while (process->isRunning() && !deadline.hasExpired()) {
            plainPort = readFile(file(QStringLiteral("port"))).trimmed().toUShort();
            if (plainPort != 0 && accepts(plainPort) && (!tls || accepts(tlsPort)))
                return true;
            QThread::msleep(20);
        }
        lastError = dir->errorString() + QStringLiteral("nginx did not come up: ") +
                    QString::fromLocal8Bit(readFile(file(QStringLiteral("nginx.out"))) +
                                           readFile(file(QStringLiteral("logs/error.log"))));
        stop();
    }
    return false;
}
