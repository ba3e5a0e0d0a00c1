#pragma once

#include <QImage>
#include <QList>
#include <QRgb>

// Builds a colour table of exactly tableSize opaque entries for an opaque image: the reserved
// colours first, in order and unchanged, then colours chosen from the rest of the image by median
// cut, then black padding. Colours of the image that fit in the table are kept exactly.
QList<QRgb> buildColorTable(const QImage& image, const QList<QRgb>& reserved, int tableSize = 256);

// Converts an opaque image to Format_Indexed8 with the given table, each pixel mapped to its
// nearest table colour (no dithering, so flat bands stay flat).
QImage toIndexed(const QImage& image, const QList<QRgb>& table);
