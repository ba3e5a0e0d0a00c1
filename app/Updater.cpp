#include "Updater.h"

#include "StagedUpdate.h"
#include "TimeRemaining.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>

Updater::Updater(QWidget* parent) : QDialog(parent)
{
    form.setupForm(this);
    // The buttons act when the mouse button goes down, not on a completed click.
    connect(form.cancelButton, &QPushButton::pressed, this, &Updater::cancelClicked);
    connect(form.playButton, &QPushButton::pressed, this, &Updater::playGame);
    connect(&engine, &UpdateEngine::fetchFinished, this, &Updater::downloadFinished);
    engine.setTrustAnchor(TrustAnchor::forApplication());
}

Updater::~Updater()
{
    engine.cancel();
    updateTimer.stop();
}

void Updater::setBaseUrl(const QString& url)
{
    engine.setBaseUrl(url);
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

void Updater::stop()
{
    stopped = true;
    updateTimer.stop();
    engine.cancel();
    // Every loop ends, a question box's too; what the answer would start is skipped.
    QCoreApplication::exit(1);
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
        if (stopped)
            return;
        if (!retry) {
            if (!gamePath.isEmpty()) {
                startGame();
                endRun();
            }
        } else {
            engine.cancel();
            checking = false;
            downloadStarted = downloadComplete = extractionStarted = false;
            updateSucceeded = errorOccurred = errorPrompted = verified = false;
        }
    }

    if (!downloadStarted) {
        downloadStarted = true;
        downloadStartTime = currentTimeSeconds();
        form.statusLabel->setText(QStringLiteral("Downloading update..."));
        // A key that cannot be used: refused before anything is fetched.
        if (!engine.start()) {
            errorOccurred = true;
            form.statusLabel->setText(QStringLiteral("Update error"));
        }
    }

    if (downloadComplete && !verified && !errorOccurred)
        verifyStep();

    if (downloadComplete && !extractionStarted && verified) {
        extractionStarted = true;
        if (engine.apply()) {
            updateSucceeded = true;
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

    // Also once a download has failed: the bar and the time go back to nothing.
    if (downloadStarted && !downloadComplete && engine.failure() != UpdateEngine::Failure::Key &&
        refreshClock.elapsed() > 50) {
        refreshClock.restart();
        // Before an incremental download, the files that changed are read: for a repair or a
        // first one, the whole game.
        if (engine.isPlanning()) {
            const qint64 hashed = engine.bytesHashed(), toHash = engine.bytesToHash();
            checking = true;
            form.statusLabel->setText(QStringLiteral("Checking game files..."));
            form.timeLabel->setText(QString());
            form.progressBar->setValue(
                toHash > 0 ? int(qBound(0.0, double(hashed) / double(toHash), 1.0) * 100.0) : 0);
            return;
        }
        if (checking) {
            // The estimate is of the download alone.
            checking = false;
            downloadStartTime = currentTimeSeconds();
            form.statusLabel->setText(QStringLiteral("Downloading update..."));
        }
        // Of the bytes this fetch asks for: what a resumed download still lacks.
        const float progress = engine.progress();
        const quint32 elapsed = currentTimeSeconds() - downloadStartTime;
        if (!nearlyEqual(progress, 0.0))
            timeText = timeRemainingText(elapsed, progress);
        form.timeLabel->setText(timeText);
        form.progressBar->setValue(int(double(progress) * 100.0));
    }
}

void Updater::downloadFinished(bool ok)
{
    if (checking) {
        // Every range was already in the chunk store: no refresh saw the download.
        checking = false;
        form.statusLabel->setText(QStringLiteral("Downloading update..."));
    }
    if (ok)
        downloadComplete = true;
    else
        errorOccurred = true;
}

void Updater::verifyStep()
{
    switch (engine.verify()) {
    case UpdateEngine::Verdict::Verified:
        verified = true;
        break;
    case UpdateEngine::Verdict::Refused:
        // Said as an extraction failure is, over the whole download: a refusal behind the
        // retry question must not read as a download still running.
        errorOccurred = true;
        form.progressBar->setValue(100);
        form.statusLabel->setText(QStringLiteral("Update error"));
        break;
    case UpdateEngine::Verdict::FetchingAgain:
        downloadComplete = false;
        break;
    }
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
    if (stopped)
        return;
    QCoreApplication::exit(0);
}

// Detached and never waited for; a game that cannot start is not reported.
void Updater::startGame()
{
    if (stopped)
        return;
    QStringList arguments = QProcess::splitCommand(gamePath);
    if (arguments.isEmpty())
        return;
    const QString program = arguments.takeFirst();
    QProcess::startDetached(program, arguments);
}
