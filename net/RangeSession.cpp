#include "RangeSession.h"

#include "HTTPMessage.h"
#include "HttpRules.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <vector>

using namespace httprules;

namespace {

// Bounded, so that a worker thread that falls behind the socket makes the client wait instead
// of piling the body up a second time.
constexpr qint64 readBufferSize = qint64(4) << 20;

} // namespace

// Lives and works on the session's worker thread only; made and destroyed there.
class RangeWorker : public QObject
{
    Q_OBJECT

public:
    RangeWorker(RangeSession::Shared& shared, const QUrl& url, int fd, qint64 total, int inFlight,
                int stallTimeout)
        : shared(shared), url(url), fd(fd), total(total), inFlight(qMax(1, inFlight)),
          stallWindow(stallTimeout)
    {
    }

    ~RangeWorker() override
    {
        stallTimer.stop();
        for (auto& [reply, transfer] : transfers) {
            disconnect(reply, nullptr, this, nullptr);
            delete reply;
        }
        transfers.clear();
        for (QNetworkAccessManager* manager : managers)
            delete manager;
    }

    // Sends what is queued, up to the requests allowed in flight.
    void pump()
    {
        if (over)
            return;
        const QString problem = urlProblem(url);
        if (!problem.isEmpty()) {
            fail(0, problem, true);
            return;
        }
        while (int(transfers.size()) < inFlight) {
            qint64 first = 0, last = -1;
            QByteArray validator;
            {
                std::lock_guard<std::mutex> lock(shared.mutex);
                if (shared.aborted || shared.queue.empty())
                    return;
                std::tie(first, last) = shared.queue.front();
                shared.queue.pop_front();
                validator = shared.validator;
            }
            send(first, last, validator);
        }
    }

signals:
    void rangeDone(qint64 first, qint64 last, const QByteArray& validator);
    void failed(qint32 status, const QString& reason, bool transport);

private:
    static constexpr int stallSlices = 10;
    struct Transfer
    {
        qint64 first = 0, last = -1;
        qint32 status = 0;
        bool accepted = false;
        bool sent = false;
        int client = 0; // of managers
        qint64 seen = 0;
        QByteArray validator;
        // seen at the last stallSlices checks, the oldest one a window ago.
        qint64 seenAtCheck[stallSlices] = {};
        qint64 checks = 0;
    };

    void send(qint64 first, qint64 last, const QByteArray& validator)
    {
        if (managers.empty()) {
            // A client opens at most six connections to a host and queues what goes beyond
            // them: one client per six requests in flight gives each its own connection.
            for (int i = 0; i < (inFlight + 5) / 6; ++i)
                managers.push_back(new QNetworkAccessManager);
            // Rather than the client's own transfer timeout, which any byte resets: a trickle
            // would keep it alive for ever. Checked in slices of the window, so that any
            // window's worth of time is looked at, not only whole ones.
            if (stallWindow > 0) {
                connect(&stallTimer, &QTimer::timeout, this, &RangeWorker::checkStalls);
                stallTimer.start(qMax(1, stallWindow / stallSlices));
            }
        }
        QNetworkRequest request = requestFor(url);
        askForRange(request, first, last, validator);
        // Redirects are answers like any other status: not followed.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        // HTTP/2 would multiplex every range over one connection, but only over https, and
        // bench/incremental.sh serves plain http: without a benchmark showing a gain it stays
        // off, as for every other download.
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        // Not pipelined either: with HttpPipeliningAllowedAttribute one version behind took 5.9 s
        // instead of 4.1 s, five behind 11.8 s instead of 9.8 s (bench/incremental.sh, full
        // size): a request queued behind a long answer waits for all of it.
        std::vector<int> busy(managers.size(), 0);
        for (const auto& [sent, inProgress] : transfers)
            ++busy[size_t(inProgress.client)];
        const int client = int(std::min_element(busy.begin(), busy.end()) - busy.begin());
        QNetworkReply* reply = managers[size_t(client)]->get(request);
        reply->setReadBufferSize(readBufferSize);
        Transfer& transfer = transfers[reply];
        transfer.client = client;
        transfer.first = first;
        transfer.last = last;
        connect(reply, &QNetworkReply::requestSent, this, [this, reply] { counted(reply); });
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
            counted(reply);
            head(reply);
        });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { read(reply); });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { finished(reply); });
    }

    // Requests are counted once they are out: one dropped before it left never reached the
    // server.
    void counted(QNetworkReply* reply)
    {
        const auto it = transfers.find(reply);
        if (it == transfers.end() || it->second.sent)
            return;
        it->second.sent = true;
        std::lock_guard<std::mutex> lock(shared.mutex);
        ++shared.sent;
    }

    void head(QNetworkReply* reply)
    {
        const auto it = transfers.find(reply);
        if (over || it == transfers.end())
            return;
        Transfer& transfer = it->second;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const qint32 code = status.isValid() ? status.toInt() : 0;
        transfer.status = code;
        const qint64 contentLength = announcedLength(reply);
        const qint64 length = transfer.last - transfer.first + 1;
        if (contentLength == -2) {
            fail(code, QStringLiteral("Conflicting Content-Length headers"), true);
        } else if (contentLength == -3) {
            fail(code, QStringLiteral("Invalid Content-Length header"), true);
        } else if (code == 200) {
            // Not read: the caller fetches the whole file its own way.
            fail(code,
                 QStringLiteral("The server sent the whole file instead of bytes %1-%2")
                     .arg(transfer.first)
                     .arg(transfer.last),
                 true);
        } else if (code != 206) {
            // Any other answer ends the session as a clean exchange with a bad status.
            fail(code, QString(), false);
        } else {
            const QByteArray range = reply->rawHeader("Content-Range");
            qint64 first = -1, last = -1, size = -1;
            if (!parseContentRange(range, first, last, size) || first != transfer.first ||
                last != transfer.last || size != total ||
                (contentLength >= 0 && contentLength != length)) {
                fail(code,
                     QStringLiteral("The partial answer is not the range asked for: "
                                    "Content-Range: %1")
                         .arg(QString::fromLatin1(range)),
                     true);
                return;
            }
            transfer.accepted = true;
            transfer.validator = strongValidator(reply);
        }
    }

    void read(QNetworkReply* reply)
    {
        const auto it = transfers.find(reply);
        if (over || it == transfers.end() || !it->second.accepted)
            return;
        Transfer& transfer = it->second;
        const qint64 length = transfer.last - transfer.first + 1;
        while (reply->bytesAvailable() > 0) {
            if (transfer.seen + reply->bytesAvailable() > length) {
                fail(transfer.status,
                     QStringLiteral("The update is too large: more than %1 bytes").arg(length),
                     true);
                return;
            }
            // Hands over the client's own buffers where it can, without a copy.
            const QByteArray data = reply->readAll();
            if (data.isEmpty())
                break;
            QString why;
            {
                // Under the lock that cancel() takes first: a write that has begun ends before
                // it returns, and none begins after.
                std::lock_guard<std::mutex> lock(shared.mutex);
                if (shared.aborted)
                    return;
                if (!writeAt(fd, data.constData(), data.size(), transfer.first + transfer.seen,
                             &why)) {
                    why = why.isEmpty() ? QStringLiteral("write failed") : why;
                } else {
                    shared.received += data.size();
                }
            }
            if (!why.isEmpty()) {
                fail(transfer.status, why, true);
                return;
            }
            transfer.seen += data.size();
        }
    }

    void finished(QNetworkReply* reply)
    {
        read(reply);
        const auto it = transfers.find(reply);
        if (over || it == transfers.end())
            return;
        const Transfer transfer = it->second;
        const QNetworkReply::NetworkError code = reply->error();
        if (code != QNetworkReply::NoError) {
            fail(transfer.status, reply->errorString(),
                 !(transfer.status != 0 && isStatusError(code)));
            return;
        }
        // Qt can take a connection closed in mid-body for the end of a body without length;
        // the range says otherwise.
        if (!transfer.accepted || transfer.seen != transfer.last - transfer.first + 1) {
            fail(transfer.status, QStringLiteral("Connection closed"), true);
            return;
        }
        disconnect(reply, nullptr, this, nullptr);
        transfers.erase(it);
        reply->deleteLater();
        emit rangeDone(transfer.first, transfer.last, transfer.validator);
        pump();
    }

    void checkStalls()
    {
        for (auto& [reply, transfer] : transfers) {
            // The slot that held the count of a window ago takes the current one.
            qint64& windowStart = transfer.seenAtCheck[transfer.checks % stallSlices];
            ++transfer.checks;
            // One check more than HTTPMessage makes: the first came up to a slice after the
            // request, not with it.
            if (transfer.checks > stallSlices &&
                transfer.seen - windowStart < HTTPMessage::stallMinimumBytes) {
                fail(transfer.status, stallReason(HTTPMessage::stallMinimumBytes, stallWindow),
                     true);
                return;
            }
            windowStart = transfer.seen;
        }
    }

    // Ends every request at once; the first failure is the one reported.
    void fail(qint32 status, const QString& reason, bool transport)
    {
        if (over)
            return;
        over = true;
        stallTimer.stop();
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.failed = true;
            shared.queue.clear();
        }
        for (auto& [reply, transfer] : transfers) {
            // Quiet first, so that the abort reports nothing back here.
            disconnect(reply, nullptr, this, nullptr);
            // The client takes a status such as 404 for an error of its own and reports it even
            // after an abort, with a warning on stderr; deleting the reply drops the connection
            // all the same.
            if (transfer.status < 400)
                reply->abort();
            reply->deleteLater();
        }
        transfers.clear();
        emit failed(status, reason, transport);
    }

    RangeSession::Shared& shared;
    const QUrl url;
    const int fd;
    const qint64 total;
    const int inFlight;
    const int stallWindow;
    std::vector<QNetworkAccessManager*> managers;
    QTimer stallTimer;
    std::map<QNetworkReply*, Transfer> transfers;
    bool over = false;
};

// Runs the worker's event loop; the worker and its client are made and destroyed on it.
class RangeThread : public QThread
{
public:
    explicit RangeThread(RangeSession* session) : session(session) {}

protected:
    void run() override
    {
        RangeSession::Shared& shared = session->shared;
        work(shared);
        // The thread's last step under the lock that cancel() takes after joining it: the
        // race detector does not see the join itself.
        std::lock_guard<std::mutex> lock(shared.mutex);
    }

private:
    void work(RangeSession::Shared& shared)
    {
        RangeWorker worker(shared, session->url, session->fd, session->total, session->inFlight,
                           session->stallTimeout);
        // Queued: Qt hands the arguments over between the threads, which the race detector can
        // follow.
        connect(&worker, &RangeWorker::rangeDone, session, &RangeSession::workerDone,
                Qt::QueuedConnection);
        connect(&worker, &RangeWorker::failed, session, &RangeSession::workerFailed,
                Qt::QueuedConnection);
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            if (shared.aborted)
                return;
            shared.worker = &worker;
        }
        worker.pump();
        exec();
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.worker = nullptr;
    }

    RangeSession* session;
};

RangeSession::RangeSession(const QUrl& url, int fd, qint64 total, QObject* parent)
    : QObject(parent), url(url), fd(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1), total(total),
      stallTimeout(HTTPMessage::defaultStallTimeout)
{
}

RangeSession::~RangeSession()
{
    cancel();
    if (fd >= 0)
        ::close(fd);
}

void RangeSession::setMaxInFlight(int requests)
{
    inFlight = qMax(1, requests);
}

void RangeSession::setStallTimeout(int msecs)
{
    stallTimeout = qMax(0, msecs);
}

void RangeSession::setValidator(const QByteArray& validator)
{
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.validator = validator;
}

void RangeSession::fetch(qint64 first, qint64 last)
{
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (shared.aborted || shared.failed)
            return;
        shared.queue.emplace_back(first, last);
        // The worker takes what was queued before it came up when it does.
        if (shared.worker)
            QMetaObject::invokeMethod(shared.worker, &RangeWorker::pump, Qt::QueuedConnection);
    }
    startWorker();
}

void RangeSession::startWorker()
{
    if (thread)
        return;
    thread = std::make_unique<RangeThread>(this);
    thread->start();
}

void RangeSession::cancel()
{
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.aborted = true;
        shared.queue.clear();
    }
    if (!thread)
        return;
    // Joined: its client and replies go on its own thread, and nothing is left to report.
    thread->quit();
    thread->wait();
    std::lock_guard<std::mutex> lock(shared.mutex);
}

int RangeSession::requestsSent() const
{
    std::lock_guard<std::mutex> lock(shared.mutex);
    return shared.sent;
}

qint64 RangeSession::bytesReceived() const
{
    std::lock_guard<std::mutex> lock(shared.mutex);
    return shared.received;
}

bool RangeSession::isOver() const
{
    std::lock_guard<std::mutex> lock(shared.mutex);
    return shared.aborted || shared.failed;
}

void RangeSession::workerDone(qint64 first, qint64 last, const QByteArray& validator)
{
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (shared.aborted)
            return;
    }
    emit rangeDone(first, last, validator);
}

void RangeSession::workerFailed(qint32 status, const QString& reason, bool transport)
{
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (shared.aborted)
            return;
    }
    logFailure(url, status, status == 200, transport, reason);
    emit failed(status, reason);
}

#include "RangeSession.moc"
