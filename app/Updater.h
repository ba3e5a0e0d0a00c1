#pragma once

#include "Signature.h"
#include "UpdaterForm.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <memory>

class FileGrabber;
class QCloseEvent;

// The updater's only window and the controller of the update: a zero-interval
// timer drives update(), a step function over the flags below, for the whole run.
class Updater : public QDialog
{
    Q_OBJECT

public:
    explicit Updater(QWidget* parent = nullptr);
    ~Updater() override;

    // Stores the server's base URL, ending it with "/".
    void setBaseUrl(const QString& url);
    void setGamePath(const QString& path);

    // The key updates must be signed with; by default TrustAnchor::forApplication().
    // Set before the update starts.
    void setTrustAnchor(const TrustAnchor& trusted) { anchor = trusted; }

    // Wires the timer to update(), starts it at 0 ms and starts the refresh clock.
    void startUpdating();

protected slots:
    void update();
    void downloadFinished(bool error, int requestId);
    bool cancelClicked();
    void playGame();
    void closeEvent(QCloseEvent* e) override;

private:
    bool isUpdateSuccessful() const { return downloadComplete && updateSucceeded; }
    bool askQuestion(const QString& title, const QString& text);
    void startGame();
    void endRun();
    bool isSigned() const { return anchor.mode == TrustAnchor::Mode::Signed; }
    void startDownloads();
    void verifyStep();
    void dropDownloads();
    void discardDownloadedFiles();

    QTimer updateTimer;
    QElapsedTimer refreshClock;
    UpdaterForm form;
    QString baseUrl;
    QString gamePath;
    FileGrabber* grabber = nullptr;
    quint32 downloadStartTime = 0;
    bool downloadStarted = false;
    bool downloadComplete = false;
    bool extractionStarted = false;
    bool updateSucceeded = false;
    bool errorOccurred = false;
    bool errorPrompted = false;

    // Signed mode: the signature's download beside the archive's, and the check
    // that must pass before extraction.
    TrustAnchor anchor = TrustAnchor::forApplication();
    FileGrabber* signatureGrabber = nullptr;
    std::unique_ptr<SignatureCheck> signatureCheck;
    bool archiveArrived = false;
    bool signatureArrived = false;
    bool signatureVerified = false;
};
