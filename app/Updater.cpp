#include "Updater.h"

#include "FileGrabber.h"
#include "Signature.h"
#include "StagedUpdate.h"
#include "TimeRemaining.h"
#include "UpdateSource.h"
#include "VessariTar.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

Updater::Updater(QWidget* parent) : QDialog(parent)
{
    form.setupForm(this);
    // The buttons act when the mouse button goes down, not on a completed click.
    connect(form.cancelButton, &QPushButton::pressed, this, &Updater::cancelClicked);
    connect(form.playButton, &QPushButton::pressed, this, &Updater::playGame);
}

Updater::~Updater()
{
    dropDownloads();
    updateTimer.stop();
}

void Updater::setBaseUrl(const QString& url)
{
    baseUrl = normalizedBaseUrl(url);
}

void Updater::setGamePath(const QString& path)
{
    gamePath = path;
}

void Updater::startUpdating()
{
    // An update killed while it was put in place is completed before the game can
    // start from a mixed tree (a No to the error question starts it).
    StagedUpdate::finishInterrupted(QStringLiteral("./"));
    connect(&updateTimer, &QTimer::timeout, this, &Updater::update);
    updateTimer.start(0);
    refreshClock.start();
}

void Updater::update()
{
    QString timeText;

    // Each stage sets its flag before its work: a question box runs a nested event
    // loop in which this timer slot is called again, and must not repeat a stage.
    if (errorOccurred && !errorPrompted) {
        errorPrompted = true;
        const bool retry = askQuestion(QStringLiteral("Update error"),
                                       QStringLiteral("An error has occurred while updating\n"
                                                      "Would you like to try again?"));
        if (!retry) {
            if (!gamePath.isEmpty()) {
                startGame();
                endRun();
            }
        } else {
            dropDownloads();
            downloadStarted = downloadComplete = extractionStarted = false;
            updateSucceeded = errorOccurred = errorPrompted = false;
            archiveArrived = signatureArrived = signatureVerified = false;
        }
    }

    if (!downloadStarted) {
        downloadStarted = true;
        downloadStartTime = currentTimeSeconds();
        form.statusLabel->setText(QStringLiteral("Downloading update..."));
        startDownloads();
    }

    if (isSigned() && downloadComplete && !signatureVerified && !errorOccurred)
        verifyStep();

    if (downloadComplete && !extractionStarted && (!isSigned() || signatureVerified)) {
        extractionStarted = true;
        VessariTar reader;
        if (reader.extract(updateArchiveName, QStringLiteral("./"))) {
            updateSucceeded = true;
            QDir::current().remove(updateArchiveName);
            if (isSigned()) {
                storeInstalledStamp(signedAt, installedStampName);
                QDir::current().remove(updateSignatureName);
            }
            form.progressBar->setValue(100);
            form.statusLabel->setText(QStringLiteral("Update complete"));
            form.playButton->setEnabled(true);
            form.cancelButton->setEnabled(false);
        } else {
            // The bar and buttons keep the download's state, so a retry starts
            // from a consistent dialog and Play cannot start a half-applied tree.
            errorOccurred = true;
            form.statusLabel->setText(QStringLiteral("Update error"));
        }
    }

    if (downloadStarted && !downloadComplete && grabber && refreshClock.elapsed() > 50) {
        refreshClock.restart();
        const float progress = grabber->progress();
        const quint32 elapsed = currentTimeSeconds() - downloadStartTime;
        if (!nearlyEqual(progress, 0.0))
            timeText = timeRemainingText(elapsed, progress);
        form.timeLabel->setText(timeText);
        form.progressBar->setValue(int(double(progress) * 100.0));
    }
}

void Updater::startDownloads()
{
    if (anchor.mode == TrustAnchor::Mode::Broken) {
        // Never unsigned instead: the publisher meant every update to be signed.
        logBrokenKey(anchor);
        errorOccurred = true;
        return;
    }
    grabber = new FileGrabber(updateArchiveUrl(baseUrl), updateArchiveName, 0);
    grabber->setHashBody(isSigned());
    connect(grabber, &FileGrabber::finished, this, &Updater::downloadFinished);
    if (isSigned()) {
        signatureGrabber = new FileGrabber(updateSignatureUrl(baseUrl), updateSignatureName, 1);
        connect(signatureGrabber, &FileGrabber::finished, this, &Updater::downloadFinished);
    }
    grabber->start();
    if (signatureGrabber)
        signatureGrabber->start();
}

void Updater::downloadFinished(bool error, int requestId)
{
    if (!isSigned()) {
        if (error)
            errorOccurred = true;
        else
            downloadComplete = true;
        return;
    }
    if (errorOccurred)
        return;
    if (error) {
        if (requestId == 1)
            logMissingSignature(updateSignatureUrl(baseUrl).toString());
        // The other download is stopped here; the grabber that reported stays
        // until the retry, as it is still emitting.
        FileGrabber* other = requestId == 1 ? grabber : signatureGrabber;
        if (other)
            other->cancel();
        discardDownloadedFiles();
        errorOccurred = true;
        return;
    }
    (requestId == 1 ? signatureArrived : archiveArrived) = true;
    downloadComplete = archiveArrived && signatureArrived;
}

// The archive was hashed as it arrived, on the download's thread: nothing here
// keeps the window from painting.
void Updater::verifyStep()
{
    signatureVerified = acceptDownloadedUpdate(anchor.key, grabber->bodyDigest(), updateArchiveName,
                                               updateSignatureName, updateArchiveName,
                                               installedStampName, signedAt);
    errorOccurred = !signatureVerified;
}

void Updater::dropDownloads()
{
    for (FileGrabber** download : {&grabber, &signatureGrabber}) {
        if (*download) {
            (*download)->cancel();
            delete *download;
            *download = nullptr;
        }
    }
}

void Updater::discardDownloadedFiles()
{
    QDir::current().remove(updateArchiveName);
    QDir::current().remove(updateSignatureName);
}

bool Updater::cancelClicked()
{
    if (isUpdateSuccessful())
        return false;
    if (!askQuestion(QStringLiteral("Cancel Update?"),
                     QStringLiteral("Are you sure you want to cancel the update?")))
        return false;
    if (!gamePath.isEmpty())
        startGame();
    endRun();
    return true;
}

void Updater::playGame()
{
    if (gamePath.isEmpty())
        return;
    startGame();
    endRun();
}

void Updater::closeEvent(QCloseEvent* e)
{
    if (isUpdateSuccessful()) {
        if (askQuestion(
                QStringLiteral("Play Game?"),
                QStringLiteral("The update has finished.\nDo you want to play the game?")) &&
            !gamePath.isEmpty()) {
            startGame();
            endRun();
        }
        return; // accepted whatever the answer: the dialog closes
    }
    if (!cancelClicked())
        e->ignore();
}

// Yes is the only answer that counts as yes: No, Escape and the close button
// all come back as No.
bool Updater::askQuestion(const QString& title, const QString& text)
{
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

// exit(0) rather than quit(): quit() first tries to close every window, which
// would ask the close question once more over a run that is already ending.
void Updater::endRun()
{
    QCoreApplication::exit(0);
}

// Detached and never waited for; a game that cannot start is not reported.
void Updater::startGame()
{
    QStringList arguments = QProcess::splitCommand(gamePath);
    if (arguments.isEmpty())
        return;
    const QString program = arguments.takeFirst();
    QProcess::startDetached(program, arguments);
}
