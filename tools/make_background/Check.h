#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

// Each function returns the problems it finds, one sentence each; an empty list means the
// picture is fit for the dialog.

// The PNG container: 8-bit indexed colour, a palette of exactly 256 opaque entries, not
// interlaced, Layout::Width x Layout::Height.
QStringList checkPngFormat(const QByteArray& png);

// The artwork: exact band colours, a clean body outside the caption and the game logo (so the
// widgets sit on plain white or plain tan), and something drawn where the logos belong.
QStringList checkArtwork(const QImage& image);

// Both of the above on a file.
QStringList checkBackgroundFile(const QString& path);
