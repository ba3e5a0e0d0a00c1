#include "UpdateSource.h"

QString normalizedBaseUrl(const QString& baseUrl)
{
    if (baseUrl.endsWith(QLatin1Char('/')))
        return baseUrl;
    return baseUrl + QLatin1Char('/');
}

QUrl updateArchiveUrl(const QString& baseUrl)
{
    return QUrl(normalizedBaseUrl(baseUrl) + updateArchiveName);
}

QUrl updateSignatureUrl(const QString& baseUrl)
{
    return QUrl(normalizedBaseUrl(baseUrl) + updateSignatureName);
}
