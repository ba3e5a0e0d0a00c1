#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// The font files the artwork is drawn with, read straight from disk so that the picture does not
// depend on the machine's font configuration.
struct ArtFonts
{
    QByteArray sansBold;
    QByteArray serifBold;
};

// Directory of the Debian package fonts-dejavu-core.
QString defaultFontDir();

// Reads the fonts from fontDir; on failure returns false and says why in *error.
bool loadArtFonts(const QString& fontDir, ArtFonts* fonts, QString* error);

// Draws the full-colour picture (Format_RGB32, Layout::Width x Layout::Height).
QImage drawBackground(const ArtFonts& fonts);

// The picture as it is shipped: drawn, then reduced to 256 colours with the band colours exact.
QImage renderBackground(const ArtFonts& fonts);

// Writes an image as PNG, compressed as far as the writer goes; on failure says why in *error.
bool savePng(const QImage& image, const QString& path, QString* error);
