#include "NginxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <unistd.h>

namespace {

const char* const nginxBinary = "/usr/sbin/nginx";

QString quoted(const QString& path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

} // namespace

NginxServer::NginxServer() = default;

NginxServer::~NginxServer()
{
    stop();
}

void NginxServer::addRedirect(const QString& path, const QString& target, int status)
{
    redirects.append({path, target, status});
}

void NginxServer::addRateLimit(const QString& location, qint64 bytesPerSecond)
{
    rateLimits.append({location, bytesPerSecond});
}

void NginxServer::setTlsEnabled(bool enabled)
{
    tls = enabled;
}

quint16 NginxServer::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QUrl NginxServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(plainPort));
}

QUrl NginxServer::tlsBaseUrl() const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(securePort));
}

QString NginxServer::caCertificatePath() const
{
    return dir && tls ? dir->filePath(QStringLiteral("cert.pem")) : QString();
}

QString NginxServer::errorLogPath() const
{
    return dir ? dir->filePath(QStringLiteral("logs/error.log")) : QString();
}

QString NginxServer::accessLogPath() const
{
    return dir ? dir->filePath(QStringLiteral("logs/access.log")) : QString();
}

bool NginxServer::isRunning() const
{
    return process && process->isRunning();
}

bool NginxServer::makeCertificate()
{
    const QString output = dir->filePath(QStringLiteral("openssl.out"));
    ChildProcess openssl;
    const bool started =
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                       QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                       QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"),
                       QStringLiteral("-keyout"), dir->filePath(QStringLiteral("key.pem")),
                       QStringLiteral("-out"), dir->filePath(QStringLiteral("cert.pem"))},
                      output);
    if (!started || !openssl.waitForFinished(30000) || !openssl.exitedNormally() ||
        openssl.exitCode() != 0) {
        QFile out(output);
        out.open(QIODevice::ReadOnly);
        lastError = QStringLiteral("openssl failed: ") + openssl.errorString() +
                    QString::fromLocal8Bit(out.readAll());
        return false;
    }
    return true;
}

bool NginxServer::writeConfig(const QString& docRoot)
{
    const QString root = QDir(docRoot).absolutePath();
    QString locations;
    for (const Redirect& r : std::as_const(redirects)) {
        locations += QStringLiteral("        location = %1 { return %2 %3; }\n")
                         .arg(r.path, QString::number(r.status), r.target);
    }
    for (const RateLimit& r : std::as_const(rateLimits)) {
        locations += QStringLiteral("        location %1 { limit_rate %2; }\n")
                         .arg(r.location, QString::number(r.bytesPerSecond));
    }
    QString listeners = QStringLiteral("        listen 127.0.0.1:%1;\n").arg(plainPort);
    if (tls) {
        listeners +=
            QStringLiteral("        listen 127.0.0.1:%1 ssl;\n"
                           "        ssl_certificate %2;\n"
                           "        ssl_certificate_key %3;\n")
                .arg(QString::number(securePort), quoted(dir->filePath(QStringLiteral("cert.pem"))),
                     quoted(dir->filePath(QStringLiteral("key.pem"))));
    }
    const QString temp = dir->filePath(QStringLiteral("temp"));
    // The user directive only matters as root: keep the worker able to read a
    // document root under a private temporary directory.
    const QString user = geteuid() == 0 ? QStringLiteral("user root;\n") : QString();
    const QString config =
        QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\n") + user +
        QStringLiteral("pid %1;\nerror_log %2 info;\n"
                       "events { worker_connections 128; }\n"
                       "http {\n"
                       "    access_log %3;\n"
                       "    client_body_temp_path %4/body;\n"
                       "    proxy_temp_path %4/proxy;\n"
                       "    fastcgi_temp_path %4/fastcgi;\n"
                       "    uwsgi_temp_path %4/uwsgi;\n"
                       "    scgi_temp_path %4/scgi;\n"
                       "    types { text/html html; }\n"
                       "    default_type application/octet-stream;\n"
                       "    sendfile on;\n"
                       "    keepalive_timeout 5;\n"
                       "    server {\n%5"
                       "        server_name localhost;\n"
                       "        root %6;\n%7"
                       "    }\n"
                       "}\n")
            .arg(quoted(dir->filePath(QStringLiteral("nginx.pid"))), quoted(errorLogPath()),
                 quoted(accessLogPath()), temp, listeners, quoted(root), locations);
    QFile file(dir->filePath(QStringLiteral("nginx.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) {
        lastError = QStringLiteral("cannot write nginx.conf: ") + file.errorString();
        return false;
    }
    return true;
}

bool NginxServer::waitUntilListening(quint16 port, int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (!deadline.hasExpired()) {
        if (!process->isRunning())
            return false;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(20);
    }
    return false;
}

bool NginxServer::start(const QString& docRoot)
{
    stop();
    lastError.clear();
    dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid()) {
        lastError = QStringLiteral("no temporary directory: ") + dir->errorString();
        return false;
    }
    QDir(dir->path()).mkpath(QStringLiteral("logs"));
    QDir(dir->path()).mkpath(QStringLiteral("temp"));
    if (tls && !makeCertificate())
        return false;

    // A port probed free can be taken before nginx binds it; try a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        plainPort = freePort();
        securePort = tls ? freePort() : 0;
        if (plainPort == 0 || (tls && (securePort == 0 || securePort == plainPort)))
            continue;
        if (!writeConfig(docRoot))
            return false;
        process = std::make_unique<ChildProcess>();
        QString program = QString::fromLatin1(nginxBinary);
        QStringList args = {QStringLiteral("-p"), dir->path() + QLatin1Char('/'),
                            QStringLiteral("-c"), dir->filePath(QStringLiteral("nginx.conf")),
                            QStringLiteral("-e"), errorLogPath()};
        // A test that crashes or is killed on a timeout takes its server along.
        if (QFile::exists(QStringLiteral("/usr/bin/setpriv"))) {
            args =
                QStringList{QStringLiteral("--pdeathsig"), QStringLiteral("TERM"), program} + args;
            program = QStringLiteral("/usr/bin/setpriv");
        }
        if (!process->start(program, args, dir->filePath(QStringLiteral("logs/nginx.out")))) {
            lastError = process->errorString();
            process.reset();
            return false;
        }
        if (waitUntilListening(plainPort, 10000) && (!tls || waitUntilListening(securePort, 10000)))
            return true;
        QFile log(errorLogPath());
        log.open(QIODevice::ReadOnly);
        lastError =
            QStringLiteral("nginx did not come up: ") + QString::fromLocal8Bit(log.readAll());
        stop();
    }
    plainPort = securePort = 0;
    return false;
}

void NginxServer::stop()
{
    if (!process)
        return;
    process->stop();
    process.reset();
}
