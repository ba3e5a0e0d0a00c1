#pragma once

#include "ChildProcess.h"

#include <QTemporaryDir>
#include <QUrl>
#include <memory>

// A real nginx on a free 127.0.0.1 port, configured and started by scripts/lib/nginx.sh (as for
// the demo and the benchmarks) in a directory of its own. It runs in the foreground as one process,
// started with posix_spawn (see ChildProcess), and dies with stop(), the destructor, or the test.
//
//   NginxServer nginx;
//   nginx.addRateLimit("/slow/", 64 * 1024);
//   QVERIFY2(nginx.start(docRoot), qPrintable(nginx.errorString()));
class NginxServer
{
public:
    ~NginxServer() { stop(); }

    // Configuration, taken at the next start(). Everything under location is served at
    // bytesPerSecond; TLS adds an HTTPS listener with a self-signed certificate for 127.0.0.1
    // and localhost.
    void addRateLimit(const QString& location, qint64 bytesPerSecond);
    // Any directives for everything under location, e.g. "max_ranges 0;" for a server that
    // answers every range request with the whole file.
    void addLocation(const QString& location, const QString& directives);
    void setTlsEnabled(bool enabled) { tls = enabled; }

    // Serves docRoot; true once it accepts connections, else errorString() says why.
    bool start(const QString& docRoot);
    void stop() { process.reset(); }

    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(plainPort)); }
    QUrl tlsBaseUrl() const { return QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(tlsPort)); }
    QString caCertificatePath() const { return file(QStringLiteral("cert.pem")); }
    QString accessLogPath() const { return file(QStringLiteral("logs/access.log")); }
    QString errorString() const { return lastError; }

private:
    QString file(const QString& name) const { return dir ? dir->filePath(name) : QString(); }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ChildProcess> process;
    QString directives;
    bool tls = false;
    quint16 plainPort = 0;
    quint16 tlsPort = 0;
    QString lastError;
};
