#pragma once

#include <QColor>
#include <QList>
#include <QRect>

// Where the dialog's widgets sit over the picture and which colours the bands use. The widget
// rectangles must stay clean so the labels and the bar read well on top of the artwork.
namespace Layout {

constexpr int Width = 390;
constexpr int Height = 232;

constexpr int HeaderLast = 37;
constexpr int UpperRule = 38;
constexpr int ShadowFirst = 39;
constexpr int ShadowLast = 43;
constexpr int BodyFirst = 44;
constexpr int BodyLast = 196;
constexpr int LowerRule = 197;
constexpr int FooterFirst = 198;

inline QColor headerTop()
{
    return QColor(231, 199, 139);
}
inline QColor headerBottom()
{
    return QColor(223, 187, 124);
}
inline QColor rule()
{
    return QColor(189, 157, 96);
}
inline QColor body()
{
    return QColor(255, 255, 255);
}
inline QColor footer()
{
    return QColor(229, 197, 138);
}
inline QColor caption()
{
    return QColor(255, 110, 0);
}

// Grey levels of the shadow rows under the upper rule, darkest first.
constexpr int ShadowGrey[ShadowLast - ShadowFirst + 1] = {222, 234, 243, 249, 253};

QColor headerColor(int row);
QColor shadowColor(int row);

// Every colour that must come out exactly in the indexed picture: the bands and the caption.
QList<QRgb> exactColours();

// Boxes the artwork has to stay inside.
inline QRect captionBox()
{
    return QRect(QPoint(14, 48), QPoint(124, 70));
}
inline QRect gameLogoBox()
{
    return QRect(QPoint(199, 45), QPoint(360, 130));
}
inline QRect publisherLogoBox()
{
    return QRect(QPoint(6, 3), QPoint(190, 34));
}

// The widgets laid over the picture.
inline QRect timeLine()
{
    return QRect(27, 115, 331, 17);
}
inline QRect statusLine()
{
    return QRect(27, 135, 331, 17);
}
inline QRect progressBar()
{
    return QRect(27, 150, 336, 28);
}
inline QRect cancelButton()
{
    return QRect(45, 203, 78, 26);
}
inline QRect playButton()
{
    return QRect(267, 203, 78, 26);
}

} // namespace Layout
