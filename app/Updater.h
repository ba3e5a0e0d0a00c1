#pragma once

#include "UpdaterForm.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

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
};
