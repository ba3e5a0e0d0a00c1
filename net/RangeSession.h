#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

class RangeThread;
class RangeWorker;

// Many range requests of one URL, sent by one network client on one worker thread of its own, so
// that its connections are kept alive and reused from request to request instead of each request
// opening one and starting slow. Only a 206 with exactly the Content-Range asked for is written,
// at its own offsets into the file; a 200 fails at once, unread, and its status tells the caller to
// fetch the whole file instead. The first failure ends the session: every request still in flight
// is dropped, and nothing but that failure is reported. The object lives on the thread that made
// it, which receives every report.
class RangeSession : public QObject
{
    Q_OBJECT

public:
    // Requests in flight at once unless set. Each has a connection of its own: a network client
    // opens at most six to a host, so the session makes one client per six.
    static constexpr int defaultInFlight = 6;

    // Bytes of url, a file of total bytes, go into fd at their own offsets; a duplicate of fd is
    // kept, so the caller may close its own at once.
    RangeSession(const QUrl& url, int fd, qint64 total, QObject* parent = nullptr);
    // As cancel().
    ~RangeSession() override;

    // Both take effect when set before the first fetch(). The stall window is HTTPMessage's,
    // per request; 0 never gives up.
    void setMaxInFlight(int requests);
    void setStallTimeout(int msecs);
    // If-Range for the requests sent from now on (a weak or empty one sends none).
    void setValidator(const QByteArray& validator);
    // Queues bytes first..last; requests go out in the order queued.
    void fetch(qint64 first, qint64 last);
    // Drops every request and stops the worker: once it returns nothing more is written into the
    // file, and nothing is reported. The session is of no further use.
    void cancel();

    // Requests sent (written to the connection) and body bytes received by all of them, failed
    // and dropped ones included.
    int requestsSent() const;
    qint64 bytesReceived() const;
    // The session has failed or was cancelled: fetch() does nothing more.
    bool isOver() const;

    // Shared with the worker thread, under mutex.
    struct Shared
    {
        std::mutex mutex;
        std::deque<std::pair<qint64, qint64>> queue;
        QByteArray validator;
        RangeWorker* worker = nullptr; // while its thread runs
        bool aborted = false;
        bool failed = false;
        int sent = 0;
        qint64 received = 0;
    };

signals:
    // Bytes first..last are in the file; validator is the answer's strong validator (empty when
    // it had none).
    void rangeDone(qint64 first, qint64 last, const QByteArray& validator);
    // Once, the first failure, already logged as HTTPMessage logs its failures: the status of
    // the answer (200: the server sent the whole file; 0: none came) and why.
    void failed(qint32 status, const QString& reason);

private slots:
    // Queued from the worker thread.
    void workerDone(qint64 first, qint64 last, const QByteArray& validator);
    void workerFailed(qint32 status, const QString& reason, bool transport);

private:
    friend class RangeThread;
    void startWorker();

    QUrl url;
    int fd = -1;
    qint64 total = 0;
    int inFlight = defaultInFlight;
    int stallTimeout;
    mutable Shared shared;
    std::unique_ptr<RangeThread> thread;
};
