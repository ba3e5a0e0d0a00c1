#include "Check.h"

#include "Layout.h"

#include <QFile>
#include <QtEndian>

namespace {

QString rgbText(QRgb rgb)
{
    return QStringLiteral("(%1,%2,%3)").arg(qRed(rgb)).arg(qGreen(rgb)).arg(qBlue(rgb));
}

// Reports the first pixel of the row span that is not the expected colour.
void expectSpan(const QImage& image, int y, int fromX, int toX, QColor expected, const char* what,
                QStringList* problems)
{
    for (int x = fromX; x <= toX; ++x) {
        const QRgb pixel = image.pixel(x, y) | 0xff000000u;
        if (pixel != expected.rgb()) {
            problems->append(QStringLiteral("%1: pixel (%2,%3) is %4, expected %5")
                                 .arg(QLatin1String(what))
                                 .arg(x)
                                 .arg(y)
                                 .arg(rgbText(pixel), rgbText(expected.rgb())));
            return;
        }
    }
}

// Whether anything but the band's own colour lies in the box.
template <typename Background>
bool hasInk(const QImage& image, const QRect& box, Background backgroundOfRow)
{
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            if ((image.pixel(x, y) | 0xff000000u) != backgroundOfRow(y).rgb())
                return true;
    return false;
}

} // namespace

QStringList checkPngFormat(const QByteArray& png)
{
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (!png.startsWith(QByteArray(signature, 8)))
        return {QStringLiteral("not a PNG file")};

    QStringList problems;
    bool seenHeader = false;
    bool seenPalette = false;
    bool seenEnd = false;
    qsizetype at = 8;
    while (at + 12 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        const QByteArray type = png.mid(at + 4, 4);
        if (length > quint32(png.size() - at - 12))
            return problems << QStringLiteral("chunk %1 runs past the end of the file")
                                   .arg(QString::fromLatin1(type));
        const char* data = png.constData() + at + 8;
        if (type == "IHDR" && length == 13) {
            seenHeader = true;
            const quint32 width = qFromBigEndian<quint32>(data);
            const quint32 height = qFromBigEndian<quint32>(data + 4);
            const int depth = quint8(data[8]);
            const int colourType = quint8(data[9]);
            const int interlace = quint8(data[12]);
            if (width != Layout::Width || height != Layout::Height)
                problems << QStringLiteral("size is %1 x %2, expected %3 x %4")
                                .arg(width)
                                .arg(height)
                                .arg(Layout::Width)
                                .arg(Layout::Height);
            if (colourType != 3 || depth != 8)
                problems << QStringLiteral("colour type %1 at depth %2, expected 8-bit indexed "
                                           "colour (type 3)")
                                .arg(colourType)
                                .arg(depth);
            if (interlace != 0)
                problems << QStringLiteral("the image is interlaced");
        } else if (type == "PLTE") {
            seenPalette = true;
            if (length != 256 * 3)
                problems
                    << QStringLiteral("palette has %1 entries, expected 256").arg(length / 3.0);
        } else if (type == "tRNS") {
            problems << QStringLiteral("palette has transparent entries");
        } else if (type == "IEND") {
            seenEnd = true;
            break;
        }
        at += 12 + qsizetype(length);
    }
    if (!seenEnd)
        problems << QStringLiteral("the file ends before its end chunk");
    if (!seenHeader)
        problems << QStringLiteral("no image header");
    if (!seenPalette)
        problems << QStringLiteral("no palette");
    return problems;
}

QStringList checkArtwork(const QImage& source)
{
    using namespace Layout;
    if (source.width() != Width || source.height() != Height)
        return {QStringLiteral("size is %1 x %2, expected %3 x %4")
                    .arg(source.width())
                    .arg(source.height())
                    .arg(Width)
                    .arg(Height)};
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    QStringList problems;

    const QRect publisher = publisherLogoBox();
    for (int y = 0; y <= HeaderLast; ++y) {
        if (y < publisher.top() || y > publisher.bottom()) {
            expectSpan(image, y, 0, Width - 1, headerColor(y), "header", &problems);
        } else {
            expectSpan(image, y, 0, publisher.left() - 1, headerColor(y), "header", &problems);
            expectSpan(image, y, publisher.right() + 1, Width - 1, headerColor(y), "header",
                       &problems);
        }
    }
    expectSpan(image, UpperRule, 0, Width - 1, rule(), "upper rule", &problems);
    for (int y = ShadowFirst; y <= ShadowLast; ++y)
        expectSpan(image, y, 0, Width - 1, shadowColor(y), "shadow", &problems);

    // Outside the caption and the game logo the body is plain white, which keeps the time line,
    // the status line and the progress bar on a clean background.
    const QRect caption = captionBox();
    const QRect logo = gameLogoBox();
    for (int y = BodyFirst; y <= BodyLast; ++y) {
        int x = 0;
        for (const QRect& box : {caption, logo}) {
            if (y >= box.top() && y <= box.bottom()) {
                expectSpan(image, y, x, box.left() - 1, body(), "body", &problems);
                x = box.right() + 1;
            }
        }
        expectSpan(image, y, x, Width - 1, body(), "body", &problems);
    }

    expectSpan(image, LowerRule, 0, Width - 1, rule(), "lower rule", &problems);
    // The footer is flat all over, the buttons' areas included.
    for (int y = FooterFirst; y < Height; ++y)
        expectSpan(image, y, 0, Width - 1, footer(), "footer", &problems);

    bool orange = false;
    for (int y = caption.top(); y <= caption.bottom() && !orange; ++y)
        for (int x = caption.left(); x <= caption.right() && !orange; ++x)
            orange = (image.pixel(x, y) | 0xff000000u) == Layout::caption().rgb();
    if (!orange)
        problems << QStringLiteral("the caption has no pixel in %1")
                        .arg(rgbText(Layout::caption().rgb()));
    if (!hasInk(image, logo, [](int) { return body(); }))
        problems << QStringLiteral("the game logo is missing");
    if (!hasInk(image, publisher.intersected(QRect(0, 0, Width, HeaderLast + 1)), headerColor))
        problems << QStringLiteral("the publisher logo is missing");
    return problems;
}

QStringList checkBackgroundFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    const QByteArray png = file.readAll();
    QStringList problems = checkPngFormat(png);
    QImage image;
    if (!image.loadFromData(png, "PNG"))
        return problems << QStringLiteral("the PNG data cannot be decoded");
    return problems + checkArtwork(image);
}
