#pragma once

#include "ChildProcess.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <memory>

// A real nginx for tests, on free 127.0.0.1 ports, with its configuration, logs,
// pid and temporary files in a directory of its own. Runs in the foreground as a
// single process, so it works with or without root and dies with stop() or the
// destructor. Started with posix_spawn (see ChildProcess).
//
//   NginxServer nginx;
//   nginx.addRedirect("/old.vt", "/update.vt");
//   nginx.addRateLimit("/slow/", 64 * 1024);
//   nginx.setTlsEnabled(true);
//   QVERIFY2(nginx.start(docRoot), qPrintable(nginx.errorString()));
//   QUrl url = nginx.baseUrl().resolved(QUrl("update.vt"));
class NginxServer
{
public:
    NginxServer();
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Configuration; takes effect at the next start().
    // Answers a request for exactly path with status and a Location of target
    // (a path on this server or a full URL).
    void addRedirect(const QString& path, const QString& target, int status = 301);
    // Serves everything under location (a path prefix) at bytesPerSecond.
    void addRateLimit(const QString& location, qint64 bytesPerSecond);
    // Adds an HTTPS listener with a self-signed certificate for 127.0.0.1 and
    // localhost, made with openssl when the server starts.
    void setTlsEnabled(bool enabled);

    // Serves docRoot; true once the ports accept connections.
    bool start(const QString& docRoot);
    void stop();
    bool isRunning() const;

    quint16 port() const { return plainPort; }
    quint16 tlsPort() const { return securePort; }
    // "http://127.0.0.1:<port>/" and "https://127.0.0.1:<tlsPort>/".
    QUrl baseUrl() const;
    QUrl tlsBaseUrl() const;
    // PEM certificate to trust for the TLS listener (empty without TLS).
    QString caCertificatePath() const;
    QString errorLogPath() const;
    QString accessLogPath() const;
    // Why start() failed.
    QString errorString() const { return lastError; }

    // A loopback port that was free a moment ago.
    static quint16 freePort();

private:
    struct Redirect
    {
        QString path;
        QString target;
        int status;
    };
    struct RateLimit
    {
        QString location;
        qint64 bytesPerSecond;
    };

    bool makeCertificate();
    bool writeConfig(const QString& docRoot);
    bool waitUntilListening(quint16 port, int msecs);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ChildProcess> process;
    QList<Redirect> redirects;
    QList<RateLimit> rateLimits;
    bool tls = false;
    quint16 plainPort = 0;
    quint16 securePort = 0;
    QString lastError;
};
