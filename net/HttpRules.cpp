#include "HttpRules.h"

#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace httprules {

namespace {

const QByteArray userAgent = QByteArrayLiteral("TovoliaUpdater/" UPDATER_VERSION);

} // namespace

QString urlProblem(const QUrl& url)
{
    // A URL that QUrl could not parse (a port out of range, say) has lost its port, and would
    // otherwise be fetched from the default one.
    if (!url.isValid())
        return url.errorString();
    // Anything else fetched as plain HTTP would turn a typo of https into a
    // download without TLS. QUrl keeps schemes in lower case.
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QStringLiteral("Unsupported URL scheme '%1': only http and https are fetched")
            .arg(scheme);
    if (url.host().isEmpty())
        return QStringLiteral("The URL names no host");
    return QString();
}

QNetworkRequest requestFor(const QUrl& url)
{
    // Only scheme, host, port and path: neither query nor fragment is requested.
    QUrl target;
    target.setScheme(url.scheme());
    target.setHost(url.host());
    target.setPort(url.port());
    target.setPath(url.path(QUrl::FullyEncoded), QUrl::TolerantMode);

    QNetworkRequest header(target);
    QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    if (host.contains(':'))
        host = '[' + host + ']'; // an IPv6 literal needs its brackets in a Host field
    header.setRawHeader("Host", host);
    header.setRawHeader("Cache-Control", "no-cache");
    header.setRawHeader("Accept", "*/*");
    // Without this the client asks for compression and unpacks the body itself,
    // so the bytes on disk and the progress would no longer match Content-Length.
    header.setRawHeader("Accept-Encoding", "identity");
    header.setRawHeader("User-Agent", userAgent);
    return header;
}

void askForRange(QNetworkRequest& request, qint64 first, qint64 last, const QByteArray& validator)
{
    // One range per request: many servers and caches answer no multipart.
    request.setRawHeader("Range",
                         "bytes=" + QByteArray::number(first) + '-' + QByteArray::number(last));
    // Only against a strong validator: bytes of another version of the file would be mixed in.
    if (!validator.isEmpty() && !validator.startsWith("W/"))
        request.setRawHeader("If-Range", validator);
}

qint64 announcedLength(const QNetworkReply* reply)
{
    // The client joins repeated fields with ", " and itself goes by the first, so a second one
    // that differs would leave the length in doubt.
    if (!reply->hasRawHeader("Content-Length"))
        return -1;
    qint64 length = -1;
    for (const QByteArray& field : reply->rawHeader("Content-Length").split(',')) {
        const QByteArray digits = field.trimmed();
        const bool digitsOnly =
            !digits.isEmpty() && std::all_of(digits.cbegin(), digits.cend(),
                                             [](char c) { return c >= '0' && c <= '9'; });
        bool ok = false;
        const qint64 value = digits.toLongLong(&ok);
        if (!digitsOnly || !ok)
            return -3;
        if (length >= 0 && value != length)
            return -2;
        length = value;
    }
    return length;
}

bool isStatusError(QNetworkReply::NetworkError code)
{
    return (code >= QNetworkReply::ContentAccessDenied &&
            code <= QNetworkReply::UnknownContentError) ||
           (code >= QNetworkReply::InternalServerError &&
            code <= QNetworkReply::UnknownServerError);
}

QByteArray strongValidator(const QNetworkReply* reply)
{
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    const QByteArray validator = etag.isEmpty() ? reply->rawHeader("Last-Modified").trimmed()
                                 : etag.startsWith("W/") ? QByteArray()
                                                         : etag;
    for (const char c : validator)
        if (c < 0x20 || c > 0x7e)
            return QByteArray();
    return validator;
}

bool parseContentRange(const QByteArray& field, qint64& first, qint64& last, qint64& total)
{
    static const QRegularExpression form(
        QStringLiteral("^bytes (\\d{1,18})-(\\d{1,18})/(\\d{1,18})$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(field.trimmed()));
    if (!match.hasMatch())
        return false;
    first = match.captured(1).toLongLong();
    last = match.captured(2).toLongLong();
    total = match.captured(3).toLongLong();
    return true;
}

QString stallReason(qint64 minimumBytes, int msecs)
{
    const QString window = msecs % 1000 == 0 ? QStringLiteral("%1 seconds").arg(msecs / 1000)
                                             : QStringLiteral("%1 milliseconds").arg(msecs);
    return QStringLiteral("The transfer stalled: less than %1 bytes in %2")
        .arg(minimumBytes)
        .arg(window);
}

bool writeAt(int fd, const char* data, qint64 size, qint64 offset, QString* why)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *why = QStringLiteral("Could not store the fetched range: %1")
                       .arg(QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO)));
            return false;
        }
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

} // namespace httprules
