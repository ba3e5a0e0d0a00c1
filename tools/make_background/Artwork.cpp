#include "Artwork.h"

#include "Layout.h"
#include "Quantize.h"

#include <QFile>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRawFont>
#include <QtMath>

namespace {

const char* const SansBoldFile = "DejaVuSans-Bold.ttf";
const char* const SerifBoldFile = "DejaVuSerif-Bold.ttf";

// Colours of the two logos.
const QColor PublisherInk(96, 63, 28);
const QColor PublisherSoft(150, 110, 58);
const QColor GameInk(24, 58, 98);
const QColor GameInkLight(44, 98, 146);
const QColor Gold(222, 164, 48);
const QColor GoldLight(246, 210, 120);

bool readFont(const QString& path, QByteArray* data, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read font %1 (%2); install the Debian package "
                                "fonts-dejavu-core or name its directory with --fonts")
                     .arg(path, file.errorString());
        return false;
    }
    *data = file.readAll();
    if (!QRawFont(*data, 12).isValid()) {
        *error = QStringLiteral("%1 is not a usable font file").arg(path);
        return false;
    }
    return true;
}

// Outline of a line of text with its baseline at y = 0, unhinted so that the shapes do not depend
// on the font engine's settings. tracking adds space between letters.
QPainterPath textPath(const QByteArray& font, qreal pixelSize, const QString& text,
                      qreal tracking = 0)
{
    const QRawFont raw(font, pixelSize, QFont::PreferNoHinting);
    const QList<quint32> glyphs = raw.glyphIndexesForString(text);
    const QList<QPointF> advances =
        raw.advancesForGlyphIndexes(glyphs, QRawFont::KernedAdvances | QRawFont::UseDesignMetrics);
    QPainterPath path;
    qreal x = 0;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        path.addPath(raw.pathForGlyph(glyphs[i]).translated(x, 0));
        x += advances[i].x() + tracking;
    }
    return path;
}

// Moves a path so that its ink starts at the given point.
QPainterPath placed(const QPainterPath& path, qreal left, qreal top)
{
    const QRectF ink = path.boundingRect();
    return path.translated(left - ink.left(), top - ink.top());
}

// Scales a path so that its ink is exactly width wide, keeping the proportions.
QPainterPath fittedToWidth(const QPainterPath& path, qreal width)
{
    const qreal scale = width / path.boundingRect().width();
    return QTransform::fromScale(scale, scale).map(path);
}

void drawBands(QPainter& p)
{
    using namespace Layout;
    for (int y = 0; y <= HeaderLast; ++y)
        p.fillRect(0, y, Width, 1, headerColor(y));
    p.fillRect(0, UpperRule, Width, 1, rule());
    for (int y = ShadowFirst; y <= ShadowLast; ++y)
        p.fillRect(0, y, Width, 1, shadowColor(y));
    p.fillRect(0, BodyFirst, Width, BodyLast - BodyFirst + 1, body());
    p.fillRect(0, LowerRule, Width, 1, rule());
    p.fillRect(0, FooterFirst, Width, Height - FooterFirst, footer());
}

// Kestrelwick Games: a roundel with a hovering bird, and the name set in two lines.
void drawPublisherLogo(QPainter& p, const ArtFonts& fonts)
{
    const QPointF centre(22.5, 19);
    const qreal radius = 14;
    p.setPen(Qt::NoPen);
    p.setBrush(PublisherInk);
    p.drawEllipse(centre, radius, radius);
    p.setPen(QPen(Layout::headerColor(19), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, radius - 2.5, radius - 2.5);

    // Swept wings around a small body: the bird seen from below, hovering.
    QPainterPath bird;
    bird.moveTo(-10.5, -1.5);
    bird.quadTo(-5, -7.5, 0, -1.5);
    bird.quadTo(5, -7.5, 10.5, -1.5);
    bird.quadTo(5, -4, 0, 4.5);
    bird.quadTo(-5, -4, -10.5, -1.5);
    bird.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Layout::headerTop());
    p.drawPath(bird.translated(centre.x(), centre.y() + 1));

    const QPainterPath name = textPath(fonts.sansBold, 14, QStringLiteral("KESTRELWICK"), 0.9);
    p.setBrush(PublisherInk);
    p.drawPath(placed(name, 44, 9));
    const qreal nameWidth = name.boundingRect().width();

    // "GAMES" centred under the name between two thin rules.
    const QPainterPath games = textPath(fonts.sansBold, 7.5, QStringLiteral("GAMES"), 2.2);
    const qreal gamesWidth = games.boundingRect().width();
    const qreal gamesLeft = qRound(44 + (nameWidth - gamesWidth) / 2);
    p.setBrush(PublisherSoft);
    p.drawPath(placed(games, gamesLeft, 24));
    const qreal ruleY = qFloor(24 + games.boundingRect().height() / 2);
    p.drawRect(QRectF(44, ruleY, gamesLeft - 44 - 4, 1));
    p.drawRect(QRectF(gamesLeft + gamesWidth + 4, ruleY,
                      44 + nameWidth - (gamesLeft + gamesWidth + 4), 1));
}

// "Updating..." in the upper left of the body.
void drawCaption(QPainter& p, const ArtFonts& fonts)
{
    const QRect box = Layout::captionBox();
    const QPainterPath text =
        fittedToWidth(textPath(fonts.sansBold, 20, QStringLiteral("Updating...")), box.width() - 1);
    p.setPen(Qt::NoPen);
    p.setBrush(Layout::caption());
    p.drawPath(placed(text, box.left(), box.top() + 1));
}

QPainterPath star(QPointF centre, int points, qreal outer, qreal inner, qreal turn)
{
    QPainterPath path;
    for (int i = 0; i < points * 2; ++i) {
        const qreal r = i % 2 == 0 ? outer : inner;
        const qreal a = turn + i * M_PI / points - M_PI / 2;
        const QPointF pt(centre.x() + r * qCos(a), centre.y() + r * qSin(a));
        if (i == 0)
            path.moveTo(pt);
        else
            path.lineTo(pt);
    }
    path.closeSubpath();
    return path;
}

// Tovolia: a compass-star medallion over the serif wordmark and a small ornament.
void drawGameLogo(QPainter& p, const ArtFonts& fonts)
{
    const QRect box = Layout::gameLogoBox();
    const qreal cx = box.left() + box.width() / 2.0;
    // Centred on a pixel row so that the one-pixel rules stay crisp.
    const QPointF centre(cx, 66.5);

    // Thin lines reaching out from the medallion.
    p.setPen(Qt::NoPen);
    p.setBrush(Gold);
    p.drawRect(QRectF(box.left() + 14, centre.y() - 0.5, cx - 24 - box.left() - 14, 1));
    p.drawRect(QRectF(cx + 24, centre.y() - 0.5, box.right() - 13 - cx - 24, 1));
    p.drawPath(star(QPointF(box.left() + 12, centre.y()), 2, 2.5, 1.6, M_PI / 2));
    p.drawPath(star(QPointF(box.right() - 11, centre.y()), 2, 2.5, 1.6, M_PI / 2));

    QRadialGradient disc(centre - QPointF(5, 6), 26);
    disc.setColorAt(0, GameInkLight);
    disc.setColorAt(1, GameInk);
    p.setBrush(Gold);
    p.drawEllipse(centre, 20.5, 20.5);
    p.setBrush(disc);
    p.drawEllipse(centre, 18, 18);

    p.setBrush(QColor(Gold).darker(115));
    p.drawPath(star(centre, 4, 10, 3.2, M_PI / 4));
    p.setBrush(GoldLight);
    p.drawPath(star(centre, 4, 15.5, 3.6, 0));
    p.setBrush(GameInk);
    p.drawEllipse(centre, 2.2, 2.2);

    const QPainterPath word = fittedToWidth(
        textPath(fonts.serifBold, 30, QStringLiteral("TOVOLIA"), 1.5), box.width() - 6);
    const QPainterPath wordPlaced = placed(word, box.left() + 3, 94);
    p.setBrush(QColor(206, 212, 222));
    p.drawPath(wordPlaced.translated(1, 1));
    const QRectF ink = wordPlaced.boundingRect();
    QLinearGradient fill(0, ink.top(), 0, ink.bottom());
    fill.setColorAt(0, GameInkLight);
    fill.setColorAt(1, GameInk);
    p.setBrush(fill);
    p.drawPath(wordPlaced);

    // Ornament under the wordmark: two rules meeting at a diamond.
    const qreal y = qFloor(ink.bottom()) + 6.5;
    p.setBrush(Gold);
    p.drawRect(QRectF(box.left() + 24, y - 0.5, cx - 8 - box.left() - 24, 1));
    p.drawRect(QRectF(cx + 8, y - 0.5, box.right() - 23 - cx - 8, 1));
    p.drawPath(star(QPointF(cx, y), 2, 4, 2.6, M_PI / 2));
}

} // namespace

QString defaultFontDir()
{
    return QStringLiteral("/usr/share/fonts/truetype/dejavu");
}

bool loadArtFonts(const QString& fontDir, ArtFonts* fonts, QString* error)
{
    return readFont(fontDir + QLatin1Char('/') + QLatin1String(SansBoldFile), &fonts->sansBold,
                    error) &&
           readFont(fontDir + QLatin1Char('/') + QLatin1String(SerifBoldFile), &fonts->serifBold,
                    error);
}

QImage drawBackground(const ArtFonts& fonts)
{
    QImage image(Layout::Width, Layout::Height, QImage::Format_RGB32);
    QPainter p(&image);
    drawBands(p);
    p.setRenderHint(QPainter::Antialiasing);
    drawPublisherLogo(p, fonts);
    drawCaption(p, fonts);
    drawGameLogo(p, fonts);
    p.end();
    return image;
}

QImage renderBackground(const ArtFonts& fonts)
{
    const QImage art = drawBackground(fonts);
    return toIndexed(art, buildColorTable(art, Layout::exactColours()));
}

bool savePng(const QImage& image, const QString& path, QString* error)
{
    QImageWriter writer(path, "png");
    writer.setQuality(0); // strongest compression; PNG stays lossless
    if (!writer.write(image)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, writer.errorString());
        return false;
    }
    return true;
}
