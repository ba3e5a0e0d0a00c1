#pragma once

#include <QString>
#include <QUrl>

// Where an update comes from and goes to.

// The archive's name on the server and, while it is being applied, on disk.
inline const QString updateArchiveName = QStringLiteral("update.vt");

// The archive's detached minisign signature, fetched and stored beside it.
inline const QString updateSignatureName = QStringLiteral("update.vt.minisig");

// The base URL as stored: always ending in "/", so "" becomes "/".
QString normalizedBaseUrl(const QString& baseUrl);

// The archive's address: the normalized base URL followed by the archive's name,
// parsed as it stands (nothing such as a query is added).
QUrl updateArchiveUrl(const QString& baseUrl);

// The signature's address: the archive's, followed by ".minisig".
QUrl updateSignatureUrl(const QString& baseUrl);

// Signed mode's hidden staging: the archive as fetched so far, and what a later run needs to go
// on from it (URL, strong validator, length).
inline const QString stagedArchiveName = QStringLiteral(".update.vt.partial");
inline const QString stagedResumeName = QStringLiteral(".update.vt.resume");

// The archive's index ("vt pack" writes it beside the archive) and the index's signature, on the
// server and, while an update runs, hidden in the folder.
inline const QString updateIndexName = QStringLiteral("update.vt.index");
inline const QString updateIndexSignatureName = QStringLiteral("update.vt.index.minisig");
inline const QString stagedIndexName = QStringLiteral(".update.vt.index");
inline const QString stagedIndexSignatureName = QStringLiteral(".update.vt.index.minisig");
// Larger indexes are refused: about 0.06 % of the archive, so this covers archives of ~100 GB.
constexpr qint64 maxIndexSize = qint64(64) << 20;
