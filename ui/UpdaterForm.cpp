#include "UpdaterForm.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>

namespace {

enum class PaletteKind
{
    Bar,
    Label,
    Button
};

struct Rgb
{
    int r, g, b;
};

// Colours that differ between the three palettes.
struct PaletteVariant
{
    Rgb button;
    Rgb window;
    Rgb disabledBase;
    Rgb highlight;
    Rgb disabledHighlight;
};

PaletteVariant variantOf(PaletteKind kind)
{
    switch (kind) {
    case PaletteKind::Bar:
        return {{221, 223, 228}, {239, 239, 239}, {239, 239, 239}, {166, 120, 80}, {138, 100, 66}};
    case PaletteKind::Label:
        return {{221, 223, 228}, {255, 255, 255}, {255, 255, 255}, {103, 141, 178}, {86, 117, 148}};
    case PaletteKind::Button:
        break;
    }
    return {{244, 233, 205}, {239, 239, 239}, {239, 239, 239}, {103, 141, 178}, {86, 117, 148}};
}

// All seventeen classic colour roles in every group, set group by group in role
// order; the roles Qt added later keep the default palette's values.
QPalette makePalette(PaletteKind kind)
{
    const PaletteVariant v = variantOf(kind);
    const QPalette::ColorGroup groups[] = {QPalette::Active, QPalette::Inactive,
                                           QPalette::Disabled};

    QPalette palette;
    for (QPalette::ColorGroup group : groups) {
        const bool disabled = group == QPalette::Disabled;
        const Rgb colours[] = {
            disabled ? Rgb{128, 128, 128} : Rgb{0, 0, 0},   // WindowText
            v.button,                                       // Button
            {255, 255, 255},                                // Light
            {255, 255, 255},                                // Midlight
            {85, 85, 85},                                   // Dark
            {199, 199, 199},                                // Mid
            disabled ? Rgb{199, 199, 199} : Rgb{0, 0, 0},   // Text
            {255, 255, 255},                                // BrightText
            disabled ? Rgb{128, 128, 128} : Rgb{0, 0, 0},   // ButtonText
            disabled ? v.disabledBase : Rgb{255, 255, 255}, // Base
            v.window,                                       // Window
            {0, 0, 0},                                      // Shadow
            disabled ? v.disabledHighlight : v.highlight,   // Highlight
            {255, 255, 255},                                // HighlightedText
            {0, 0, 238},                                    // Link
            {82, 24, 139},                                  // LinkVisited
            {232, 232, 232},                                // AlternateBase
        };
        static_assert(sizeof(colours) / sizeof(colours[0]) == QPalette::AlternateBase + 1);
        for (int role = 0; role <= QPalette::AlternateBase; ++role) {
            const Rgb& c = colours[role];
            palette.setBrush(group, QPalette::ColorRole(role),
                             QBrush(QColor(c.r, c.g, c.b, 255), Qt::SolidPattern));
        }
    }
    return palette;
}

} // namespace

void UpdaterForm::setupForm(QDialog* dialog)
{
    dialog->setObjectName(QStringLiteral("updaterDialog"));
    dialog->resize(QSize(390, 233).expandedTo(dialog->minimumSizeHint()));

    image = new QLabel(dialog);
    image->setObjectName(QStringLiteral("image"));
    image->setGeometry(QRect(0, 0, 390, 232));
    image->setPixmap(QPixmap(QStringLiteral(":/background.png")));

    progressBar = new QProgressBar(dialog);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setGeometry(QRect(27, 150, 336, 28));
    progressBar->setPalette(makePalette(PaletteKind::Bar));
    progressBar->setAutoFillBackground(false);
    progressBar->setValue(0);
    progressBar->setOrientation(Qt::Horizontal);

    statusLabel = new QLabel(dialog);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setGeometry(QRect(27, 135, 331, 17));
    statusLabel->setPalette(makePalette(PaletteKind::Label));

    timeLabel = new QLabel(dialog);
    timeLabel->setObjectName(QStringLiteral("timeLabel"));
    timeLabel->setGeometry(QRect(27, 115, 331, 17));
    timeLabel->setPalette(makePalette(PaletteKind::Label));

    cancelButton = new QPushButton(dialog);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    cancelButton->setGeometry(QRect(45, 203, 78, 26));
    cancelButton->setPalette(makePalette(PaletteKind::Button));

    playButton = new QPushButton(dialog);
    playButton->setObjectName(QStringLiteral("playButton"));
    playButton->setEnabled(false);
    playButton->setGeometry(QRect(267, 203, 78, 26));
    playButton->setPalette(makePalette(PaletteKind::Button));

    retranslateForm(dialog);

    QMetaObject::connectSlotsByName(dialog);
}

void UpdaterForm::retranslateForm(QDialog* dialog)
{
    // Setting the image label's empty text again is harmless: QLabel ignores an
    // unchanged text, so the picture stays.
    const auto tr = [](const char* text) {
        return QCoreApplication::translate("updaterDialog", text, nullptr);
    };
    dialog->setWindowTitle(tr("Tovolia Updater"));
    image->setText(tr(""));
    statusLabel->setText(tr(""));
    timeLabel->setText(tr(""));
    cancelButton->setText(tr("Cancel"));
    playButton->setText(tr("Play"));
}
