#pragma once

#include "UpdateEngine.h"
#include "UpdaterForm.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

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
    void setTrustAnchor(const TrustAnchor& trusted) { engine.setTrustAnchor(trusted); }

    // Wires the timer to update(), starts it at 0 ms and starts the refresh clock.
    void startUpdating();
    // SIGTERM or SIGINT: the run ends at once, without the game; the engine's clean-up leaves
    // nothing unverified behind.
    void stop();

protected slots:
    void update();
    void downloadFinished(bool ok);
    bool cancelClicked();
    void playGame();
    void closeEvent(QCloseEvent* e) override;

private:
    bool isUpdateSuccessful() const { return downloadComplete && updateSucceeded; }
    bool askQuestion(const QString& title, const QString& text);
    void startGame();
    void endRun();
    void verifyStep();

    QTimer updateTimer;
    QElapsedTimer refreshClock;
    UpdaterForm form;
    QString gamePath;
    UpdateEngine engine;
    quint32 downloadStartTime = 0;
    bool downloadStarted = false;
    bool downloadComplete = false;
    bool extractionStarted = false;
    bool updateSucceeded = false;
    bool errorOccurred = false;
    bool errorPrompted = false;
    bool verified = false; // the signature's check, before extraction
    bool checking = false; // "Checking game files..." shown: the folder is being read
    bool stopped = false;
};
