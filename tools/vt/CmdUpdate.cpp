#include "Command.h"
#include "FileGrabber.h"
#include "KeyOptions.h"
#include "Log.h"
#include "Progress.h"
#include "StagedUpdate.h"
#include "TimeRemaining.h"
#include "UpdateSource.h"
#include "VessariTar.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace vt {

namespace {

int runUpdate(const QStringList& args);

} // namespace

extern const Command updateCommand = {
    "update", "download and apply an update, as the updater does, without a screen",
    "Usage: vt update BASEURL [-C DIR] [--retries N] [--max-size BYTES]\n"
    "                 [-p PUBKEYFILE | -P KEY]\n"
    "Downloads BASEURL followed by update.vt (a \"/\" is put in between when\n"
    "BASEURL does not end in one) into DIR, extracts it there and removes it:\n"
    "what the updater dialog does, for servers, scripts and CI. The log is\n"
    "written to DIR/log.txt, emptied first, and echoed on stderr. A failed\n"
    "download or extraction is tried again N more times, a second apart; the\n"
    "archive is kept after a failed extraction.\n"
    "With a public key (-p, -P, built in, or update.pub beside vt) the update\n"
    "must be signed: update.vt.minisig is fetched beside it and checked as\n"
    "'vt verify' does, and an update older than the one applied last (its\n"
    "timestamp is kept in DIR/update.stamp) is refused; a refused update is\n"
    "removed, never extracted.\n"
    "\n"
    "  -C, --directory DIR   update DIR (default: the current directory)\n"
    "  --retries N           tries after the first failure (default 0)\n"
    "  --max-size BYTES      largest update accepted; a larger one fails the\n"
    "                        download (default: half of the free space in DIR)\n"
    "  -p PUBKEYFILE         the public key file, as minisign -G writes it\n"
    "  -P KEY                the public key's base64 line\n"
    "\n"
    "Exit status: 0 when the update was applied, 1 when it failed, 2 on a usage\n"
    "error.\n",
    runUpdate};

namespace {

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

// Downloads url into file; true when the file holds the whole body. With
// digest, the body is hashed as it arrives and its BLAKE2b-512 stored there.
bool download(const QUrl& url, const QString& file, qint64 maxSize, QByteArray* digest = nullptr)
{
    FileGrabber grabber(url, file, 0);
    grabber.setMaxBodySize(maxSize);
    grabber.setHashBody(digest != nullptr);
    QEventLoop loop;
    bool failed = true;
    QObject::connect(&grabber, &FileGrabber::finished, &loop, [&](bool error, int) {
        failed = error;
        loop.quit();
    });

    Progress progress(QStringLiteral("downloading"));
    QElapsedTimer clock;
    clock.start();
    const quint32 startSeconds = currentTimeSeconds();
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, &loop, [&] {
        if (!progress.due())
            return;
        const qint64 done = grabber.bytesReceived();
        const qint64 total = grabber.bytesTotal();
        const float fraction = grabber.progress();
        QString line = QStringLiteral("downloading");
        if (total > 0)
            line += QStringLiteral(" %1% (%2 of %3 MiB)")
                        .arg(int(done * 100 / total), 3)
                        .arg(mib(done), mib(total));
        else
            line += QStringLiteral(" (%1 MiB)").arg(mib(done));
        if (clock.elapsed() > 0)
            line += QStringLiteral(", %1 MiB/s").arg(mib(done * 1000 / clock.elapsed()));
        // The dialog's own estimate, in whole seconds of wall-clock time.
        if (!nearlyEqual(fraction, 0.0))
            line += QStringLiteral(", ") +
                    timeRemainingText(currentTimeSeconds() - startSeconds, fraction);
        progress.draw(line);
    });
    refresh.start(100);
    grabber.start();
    loop.exec();
    progress.finish();
    if (digest)
        *digest = grabber.bodyDigest();
    return !failed;
}

// On failure, reason is the reader's "PATH: REASON".
bool extract(const QString& archive, const QString& target, QString& reason)
{
    VessariTar reader;
    Progress progress(QStringLiteral("extracting"));
    reader.setProgressHandler(
        [&progress](qint64 done, qint64 total) { progress.update(done, total); });
    const bool ok = reader.extract(archive, target);
    progress.finish();
    reason = reader.errorString();
    return ok;
}

// Fetches the signature beside the archive and checks the archive's digest
// against it; on refusal neither file stays. timestamp: the signed one, once valid.
bool checkSignature(const TrustAnchor& anchor, const QString& baseUrl, const QDir& dir,
                    qint64 maxSize, const QByteArray& digest, quint64& timestamp)
{
    const QString archive = dir.filePath(updateArchiveName);
    const QString signature = dir.filePath(updateSignatureName);
    if (download(updateSignatureUrl(baseUrl), signature, maxSize))
        return acceptDownloadedUpdate(anchor.key, digest, archive, signature, updateArchiveName,
                                      dir.filePath(installedStampName), timestamp);
    logMissingSignature(updateSignatureUrl(baseUrl).toString());
    QFile::remove(archive);
    QFile::remove(signature);
    return false;
}

int runUpdate(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption directoryOption({QStringLiteral("C"), QStringLiteral("directory")},
                                             QString(), QStringLiteral("DIR"));
    const QCommandLineOption retriesOption(QStringLiteral("retries"), QString(),
                                           QStringLiteral("N"), QStringLiteral("0"));
    parser.addOption(directoryOption);
    const QCommandLineOption maxSizeOption(QStringLiteral("max-size"), QString(),
                                           QStringLiteral("BYTES"), QStringLiteral("0"));
    parser.addOption(retriesOption);
    parser.addOption(maxSizeOption);
    KeyOptions keys;
    keys.addTo(parser);
    TrustAnchor anchor;
    if (!parseArguments(parser, updateCommand, args) || !keys.resolve(parser, "update", anchor))
        return ExitUsage;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        printError(QStringLiteral("update: expected one BASEURL; see 'vt help update'"));
        return ExitUsage;
    }
    bool isNumber = false;
    const int retries = parser.value(retriesOption).toInt(&isNumber);
    if (!isNumber || retries < 0) {
        printError(QStringLiteral("update: --retries takes a whole number from 0 up, not '%1'")
                       .arg(parser.value(retriesOption)));
        return ExitUsage;
    }
    const qint64 maxSize = parser.value(maxSizeOption).toLongLong(&isNumber);
    if (!isNumber || maxSize < 0 || (parser.isSet(maxSizeOption) && maxSize == 0)) {
        printError(QStringLiteral("update: --max-size takes a whole number of bytes from 1 up, "
                                  "not '%1'")
                       .arg(parser.value(maxSizeOption)));
        return ExitUsage;
    }
    const QString target =
        parser.isSet(directoryOption) ? parser.value(directoryOption) : QStringLiteral(".");
    if (const QString problem = pathProblem(target, PathKind::Directory); !problem.isEmpty()) {
        printError(QStringLiteral("update: %1: %2").arg(target, problem));
        return ExitFailure;
    }

    const QDir dir(target);
    const QUrl url = updateArchiveUrl(positional.first());
    const QString archive = dir.filePath(updateArchiveName);
    if (!openLog(dir.filePath(QStringLiteral("log.txt")), true))
        printError(QStringLiteral("update: cannot write %1; going on without a log")
                       .arg(dir.filePath(QStringLiteral("log.txt"))));

    // Before anything else: a tree left half updated by a killed run is completed.
    StagedUpdate::finishInterrupted(target);

    if (anchor.mode == TrustAnchor::Mode::Broken) {
        logBrokenKey(anchor);
        closeLog();
        printError(QStringLiteral("update: ") + anchor.problem);
        return ExitFailure;
    }

    QString failure;
    quint64 signedAt = 0;
    const bool isSigned = anchor.mode == TrustAnchor::Mode::Signed;
    QByteArray digest;
    for (int attempt = 0; attempt <= retries; ++attempt) {
        if (attempt > 0) {
            printError(QStringLiteral("update: %1; trying again (%2 of %3)")
                           .arg(failure)
                           .arg(attempt + 1)
                           .arg(retries + 1));
            QEventLoop pause;
            QTimer::singleShot(1000, &pause, &QEventLoop::quit);
            pause.exec();
        }
        if (!download(url, archive, maxSize, isSigned ? &digest : nullptr)) {
            failure =
                QStringLiteral("download of %1 failed")
                    .arg(url.isValid() ? url.toString()
                                       : normalizedBaseUrl(positional.first()) + updateArchiveName);
            continue;
        }
        if (isSigned &&
            !checkSignature(anchor, positional.first(), dir, maxSize, digest, signedAt)) {
            failure = QStringLiteral("the signature check of %1 failed").arg(url.toString());
            continue;
        }
        QString reason;
        if (!extract(archive, target, reason)) {
            failure = QStringLiteral("extraction of %1 failed: %2").arg(archive, reason);
            continue;
        }
        QFile::remove(archive);
        if (isSigned) {
            storeInstalledStamp(signedAt, dir.filePath(installedStampName));
            QFile::remove(dir.filePath(updateSignatureName));
        }
        closeLog();
        return ExitSuccess;
    }
    closeLog();
    printError(QStringLiteral("update: %1 (see %2)")
                   .arg(failure, dir.filePath(QStringLiteral("log.txt"))));
    return ExitFailure;
}

} // namespace
} // namespace vt
