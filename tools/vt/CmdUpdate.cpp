#include "Command.h"
#include "KeyOptions.h"
#include "Log.h"
#include "Progress.h"
#include "StagedUpdate.h"
#include "TimeRemaining.h"
#include "UpdateEngine.h"
#include "UpdateSource.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>

namespace vt {

namespace {

int runUpdate(const QStringList& args);

} // namespace

extern const Command updateCommand = {
    "update", "download and apply an update, as the updater does, without a screen",
    "Usage: vt update BASEURL [-C DIR] [--retries N] [--max-size BYTES]\n"
    "                 [--repair] [-p PUBKEYFILE | -P KEY]\n"
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
    "removed, never extracted. Signed, the archive is fetched into the hidden\n"
    "DIR/.update.vt.partial, never named update.vt, and a run cut short is\n"
    "continued from there by the next one.\n"
    "Signed, update.vt.index and its signature are asked for first; with them\n"
    "only the parts of the archive that DIR lacks are fetched, with range\n"
    "requests, kept in DIR/.update.vt.chunks until applied. What was installed\n"
    "is recorded in DIR/.update.installed, so that the next update reads only\n"
    "the files whose size or time changed since (shown as 'checking game files'\n"
    "while they are read; SIGTERM or SIGINT stops that too).\n"
    "A successful run prints what it fetched (every body, the index and the\n"
    "signatures included) against the archive's size, and the requests made.\n"
    "\n"
    "  -C, --directory DIR   update DIR (default: the current directory)\n"
    "  --retries N           tries after the first failure (default 0)\n"
    "  --max-size BYTES      largest update accepted; a larger one fails the\n"
    "                        download (default: half of the free space in DIR);\n"
    "                        a signature is never taken past 4096 bytes\n"
    "  --repair              read and hash every file instead of trusting the\n"
    "                        sizes and times recorded at the last update, and\n"
    "                        fetch whatever is damaged or missing (signed, with\n"
    "                        an index)\n"
    "  -p PUBKEYFILE         the public key file, as minisign -G writes it\n"
    "  -P KEY                the public key's base64 line\n"
    "\n"
    "Exit status: 0 when the update was applied, 1 when it failed or was stopped\n"
    "by SIGTERM or SIGINT, 2 on a usage error.\n",
    runUpdate};

namespace {

QString mib(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

// Waits for the engine's fetch, showing its progress; false when it failed or a stop signal
// came (stoppedBy then names it).
bool fetch(UpdateEngine& engine, const StopSignals& stop, int& stoppedBy)
{
    QEventLoop loop;
    bool ok = false;
    QObject::connect(&engine, &UpdateEngine::fetchFinished, &loop, [&](bool done) {
        ok = done;
        loop.quit();
    });
    QObject::connect(&stop, &StopSignals::stopRequested, &loop, &QEventLoop::quit);

    Progress progress(QStringLiteral("downloading"));
    QElapsedTimer clock;
    clock.start();
    quint32 startSeconds = currentTimeSeconds();
    bool checking = false;
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, &loop, [&] {
        // Before an incremental download, the files that changed are read and hashed: for
        // --repair or a first one, the whole game.
        if (engine.isPlanning()) {
            if (!checking) {
                checking = true;
                clock.restart();
            }
            if (!progress.due())
                return;
            const qint64 done = engine.bytesHashed();
            const qint64 total = engine.bytesToHash();
            QString line = QStringLiteral("checking game files");
            if (total > 0)
                line += QStringLiteral(" %1% (%2 of %3 MiB)")
                            .arg(int(qMin(done, total) * 100 / total), 3)
                            .arg(mib(done), mib(total));
            if (clock.elapsed() > 0)
                line += QStringLiteral(", %1 MiB/s").arg(mib(done * 1000 / clock.elapsed()));
            progress.draw(line);
            return;
        }
        if (checking) {
            // The rate and the estimate are of the download alone.
            checking = false;
            clock.restart();
            startSeconds = currentTimeSeconds();
        }
        if (!progress.due())
            return;
        // Of the bytes this fetch asks for: what a resumed download still lacks.
        const qint64 done = engine.bytesFetched();
        const qint64 total = engine.bytesToFetch();
        const float fraction = engine.progress();
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
    if (stoppedBy == 0 && engine.isFetching())
        loop.exec();
    progress.finish();
    if (stoppedBy != 0)
        engine.cancel();
    return ok && stoppedBy == 0;
}

// On failure, reason is the reader's "PATH: REASON".
bool extract(UpdateEngine& engine, QString& reason)
{
    Progress progress(QStringLiteral("extracting"));
    return engine.apply(&reason,
                        [&progress](qint64 done, qint64 total) { progress.update(done, total); });
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
    const QCommandLineOption repairOption(QStringLiteral("repair"));
    parser.addOption(retriesOption);
    parser.addOption(maxSizeOption);
    parser.addOption(repairOption);
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
    // Without a scheme Qt takes "host:port" for a scheme or a relative path, and its own
    // words for that mean nothing to the user.
    if (!positional.first().contains(QLatin1String("://"))) {
        printUsageError(updateCommand,
                        QStringLiteral("BASEURL '%1' has no scheme: expected "
                                       "http://HOST[:PORT]/PATH or https://HOST[:PORT]/PATH")
                            .arg(positional.first()));
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
    if (!openLog(dir.filePath(QStringLiteral("log.txt")), true))
        printError(QStringLiteral("update: cannot write %1; going on without a log")
                       .arg(dir.filePath(QStringLiteral("log.txt"))));

    // Before anything else: a tree left half updated by a killed run is completed.
    StagedUpdate::finishInterrupted(target);

    UpdateEngine engine;
    engine.setBaseUrl(positional.first());
    engine.setDirectory(target);
    engine.setTrustAnchor(anchor);
    engine.setMaxSize(maxSize);
    engine.setRepair(parser.isSet(repairOption));
    // Stopped through the event loop: the engine's clean-up leaves nothing unverified behind.
    StopSignals stop;
    int stoppedBy = 0;
    QObject::connect(&stop, &StopSignals::stopRequested, [&](int number) { stoppedBy = number; });
    if (!engine.start()) {
        closeLog();
        printError(QStringLiteral("update: ") +
                   (anchor.detail.isEmpty() ? anchor.problem : anchor.detail));
        return ExitFailure;
    }

    QString failure;
    for (int attempt = 0; attempt <= retries && stoppedBy == 0; ++attempt) {
        if (attempt > 0) {
            printError(QStringLiteral("update: %1; trying again (%2 of %3)")
                           .arg(failure)
                           .arg(attempt + 1)
                           .arg(retries + 1));
            QEventLoop pause;
            QTimer::singleShot(1000, &pause, &QEventLoop::quit);
            QObject::connect(&stop, &StopSignals::stopRequested, &pause, &QEventLoop::quit);
            pause.exec();
            if (stoppedBy != 0)
                break;
            engine.start();
        }
        bool fetched = fetch(engine, stop, stoppedBy);
        // A resumed archive that did not verify is fetched once more, whole.
        UpdateEngine::Verdict verdict = UpdateEngine::Verdict::Refused;
        while (fetched && (verdict = engine.verify()) == UpdateEngine::Verdict::FetchingAgain)
            fetched = fetch(engine, stop, stoppedBy);
        if (stoppedBy != 0)
            break;
        if (!fetched) {
            failure = engine.failure() == UpdateEngine::Failure::Signature
                          ? QStringLiteral("the signature check of %1 failed").arg(url.toString())
                          : QStringLiteral("download of %1 failed")
                                .arg(url.isValid() ? url.toString()
                                                   : normalizedBaseUrl(positional.first()) +
                                                         updateArchiveName);
            continue;
        }
        if (verdict != UpdateEngine::Verdict::Verified) {
            failure = QStringLiteral("the signature check of %1 failed").arg(url.toString());
            continue;
        }
        QString reason;
        if (!extract(engine, reason)) {
            failure =
                QStringLiteral("extraction of %1 failed: %2").arg(engine.archivePath(), reason);
            continue;
        }
        closeLog();
        // What a resumed or repeated update cost against the archive, signature included.
        std::printf("fetched %s MiB of %s MiB in %d request%s\n",
                    qPrintable(mib(engine.totalFetched())), qPrintable(mib(engine.archiveSize())),
                    engine.requestsMade(), engine.requestsMade() == 1 ? "" : "s");
        return ExitSuccess;
    }
    engine.cancel();
    closeLog();
    if (stoppedBy != 0) {
        printError(QStringLiteral("update: stopped by %1").arg(StopSignals::name(stoppedBy)));
        return ExitFailure;
    }
    printError(QStringLiteral("update: %1 (see %2)")
                   .arg(failure, dir.filePath(QStringLiteral("log.txt"))));
    return ExitFailure;
}

} // namespace
} // namespace vt
