#pragma once

class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;

// The updater dialog's widgets, laid out at fixed positions over the background
// picture. The pointers do not own: every widget is a child of the dialog.
class UpdaterForm
{
public:
    QLabel* image = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* statusLabel = nullptr;
    QLabel* timeLabel = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* playButton = nullptr;

    // Builds the widgets on dialog; called once, from the dialog's constructor.
    void setupForm(QDialog* dialog);
    void retranslateForm(QDialog* dialog);
};
