#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QThread>
#include <QUrl>
#include <mutex>

class QNetworkAccessManager;
class QNetworkReply;

// One HTTP exchange carried out on a thread of its own. The object lives on the
// thread that created it; the network client and its reply live on the worker
// thread and are only ever touched there. Ends with one finished(bool) on the
// creating thread, then deletes itself once its thread has ended.
class HTTPMessage : public QThread
{
    Q_OBJECT

public:
    static constexpr int defaultStallTimeout = 60000;

    // header carries the request's URL and raw header fields, sent as given.
    HTTPMessage(const QUrl& url, const QNetworkRequest& header, const QByteArray& requestBody);
    ~HTTPMessage() override;

    // Fraction of the announced body received so far; 0.0 without a Content-Length.
    float progress() const;
    // Body bytes received so far, and the announced Content-Length (-1 when none).
    qint64 bytesReceived() const;
    qint64 bytesExpected() const;
    // The body of a successful exchange. The worker never touches it again once it
    // has been handed over, so sharing the buffer is safe and saves a copy.
    QByteArray responseData() const;
    // Drops the transfer and ends the run; nothing is reported for it afterwards.
    void abort();
    // Milliseconds without a byte after which the transfer fails; 0 never gives up.
    // Takes effect when set before start().
    void setStallTimeout(int msecs);

signals:
    void finished(bool error);

protected slots:
    // Worker thread: records the status code and sizes the body buffer.
    void responseHeaderReceived();
    // Worker thread: stores bytesDone / total, 0.0 when total is unknown.
    void readProgress(qint64 bytesDone, qint64 total);
    // Creating thread, queued from the worker once the reply has ended.
    void done(bool error);

protected:
    void run() override;

private:
    void readBody();
    void replyFinished();

    QUrl url;
    QNetworkRequest header;
    QByteArray requestBody;
    QByteArray responseBody;
    // A pthread mutex rather than QMutex, so that the race detector sees the
    // hand-over between the threads.
    mutable std::mutex mutex;
    qint32 state = 0;
    qint32 statusCode = 0;
    QNetworkAccessManager* client = nullptr;
    float readFraction = 0.0f;
    qint64 readBytes = 0;
    qint64 expectedBytes = -1;
    bool aborted = false;
    bool transportFailure = false;
    QString clientErrorString;
    int stallTimeout = defaultStallTimeout;

    // Worker thread only.
    QNetworkReply* reply = nullptr;
    qint64 contentLength = -1;
    bool keepBody = false;
    QByteArray received;
    qint64 receivedSize = 0;
    qint64 bytesSeen = 0;
};
