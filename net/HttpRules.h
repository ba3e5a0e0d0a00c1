#pragma once

// Internal to net/: the rules every request of the transfer code keeps, shared by HTTPMessage
// and RangeSession so that both ask and judge answers the same way.

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

namespace httprules {

// Why the URL cannot be fetched at all; empty when it can.
QString urlProblem(const QUrl& url);

// The request for url as every download sends it: scheme, host, port and path only, and fixed
// header fields (no compression, no cached copy).
QNetworkRequest requestFor(const QUrl& url);

// Adds "Range: bytes=FIRST-LAST" and, with a strong validator, If-Range.
void askForRange(QNetworkRequest& request, qint64 first, qint64 last, const QByteArray& validator);

// The body's length as every Content-Length field gives it: -1 when there is none, -2 when they
// disagree, -3 when one is no number.
qint64 announcedLength(const QNetworkReply* reply);

// Qt reports answers such as 404 as errors of its own; with a status line in hand those are a
// clean exchange with a bad status, not a failure of the transport.
bool isStatusError(QNetworkReply::NetworkError code);

// The strong validator of a response, as If-Range may send it back; a weak ETag has none.
QByteArray strongValidator(const QNetworkReply* reply);

// "bytes FIRST-LAST/TOTAL"; false for anything else.
bool parseContentRange(const QByteArray& field, qint64& first, qint64& last, qint64& total);

// The log's reason for fewer than minimumBytes in a window of msecs.
QString stallReason(qint64 minimumBytes, int msecs);

// Writes all of data at offset; the reason on failure.
bool writeAt(int fd, const char* data, qint64 size, qint64 offset, QString* why);

// The log entries of a failed exchange: its status unless it was the answer asked for (status
// 0 when none came), and the transport's reason when it failed on its own. Defined beside
// HTTPMessage, whose name the entries carry as their source.
void logFailure(const QUrl& url, qint32 status, bool quietStatus, bool transport,
                const QString& reason);

} // namespace httprules
