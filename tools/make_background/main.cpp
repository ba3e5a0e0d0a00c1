// Draws the updater dialog's background picture and writes it as an 8-bit indexed PNG.

#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRawFont>
#include <QtMath>
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

namespace {

constexpr int Width = 390;
constexpr int Height = 232;
const QColor HeaderTop(231, 199, 139), HeaderBottom(223, 187, 124);
const QColor Rule(189, 157, 96), Footer(229, 197, 138), Caption(255, 110, 0);
// Rows 39-43, fading into the white body.
const QRgb Shadow[] = {0xffdedede, 0xffeaeaea, 0xfff3f3f3, 0xfff9f9f9, 0xfffdfdfd};
const QColor PublisherInk(96, 63, 28), PublisherSoft(150, 110, 58);
const QColor GameInk(24, 58, 98), GameInkLight(44, 98, 146);
const QColor Gold(222, 164, 48), GoldLight(246, 210, 120);

// Rounded to nearest, so that rows 0 and 37 are exactly the two end colours.
QColor headerColor(int row)
{
    const auto mix = [row](int from, int to) { return from + qRound((to - from) * row / 37.0); };
    return QColor(mix(HeaderTop.red(), HeaderBottom.red()),
                  mix(HeaderTop.green(), HeaderBottom.green()),
                  mix(HeaderTop.blue(), HeaderBottom.blue()));
}

// Outline of a line of text with its ink's top left at (left, top), unhinted so that the shapes do
// not depend on the font engine's settings; scaled to the given ink width when one is given.
QPainterPath text(const QByteArray& font, qreal size, const QString& s, qreal left, qreal top,
                  qreal tracking = 0, qreal width = 0)
{
    const QRawFont raw(font, size, QFont::PreferNoHinting);
    const QList<quint32> glyphs = raw.glyphIndexesForString(s);
    const QList<QPointF> advances =
        raw.advancesForGlyphIndexes(glyphs, QRawFont::KernedAdvances | QRawFont::UseDesignMetrics);
    QPainterPath path;
    qreal x = 0;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        path.addPath(raw.pathForGlyph(glyphs[i]).translated(x, 0));
        x += advances[i].x() + tracking;
    }
    if (width > 0) {
        const qreal scale = width / path.boundingRect().width();
        path = QTransform::fromScale(scale, scale).map(path);
    }
    const QRectF ink = path.boundingRect();
    return path.translated(left - ink.left(), top - ink.top());
}

QPolygonF star(QPointF centre, int points, qreal outer, qreal inner, qreal turn)
{
    QPolygonF polygon;
    for (int i = 0; i < points * 2; ++i) {
        const qreal r = i % 2 == 0 ? outer : inner;
        const qreal a = turn + i * M_PI / points - M_PI / 2;
        polygon << QPointF(centre.x() + r * qCos(a), centre.y() + r * qSin(a));
    }
    return polygon;
}

// Two thin gold rules from left to right with a gap of 2 * gap around cx, on pixel row y.
void rules(QPainter& p, qreal left, qreal right, qreal cx, qreal gap, qreal y)
{
    p.setBrush(Gold);
    p.drawRect(QRectF(left, y - 0.5, cx - gap - left, 1));
    p.drawRect(QRectF(cx + gap, y - 0.5, right - cx - gap, 1));
}

QImage draw(const QByteArray& sans, const QByteArray& serif)
{
    QImage image(Width, Height, QImage::Format_RGB32);
    QPainter p(&image);
    for (int y = 0; y <= 37; ++y)
        p.fillRect(0, y, Width, 1, headerColor(y));
    for (int y = 39; y <= 43; ++y)
        p.fillRect(0, y, Width, 1, QColor(Shadow[y - 39]));
    p.fillRect(0, 44, Width, 153, Qt::white);
    p.fillRect(0, 38, Width, 1, Rule);
    p.fillRect(0, 197, Width, 1, Rule);
    p.fillRect(0, 198, Width, Height - 198, Footer);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);

    // Publisher: a roundel with a hovering bird seen from below, and the name in two lines.
    const QPointF roundel(22.5, 19);
    p.setBrush(PublisherInk);
    p.drawEllipse(roundel, 14, 14);
    p.setPen(QPen(headerColor(19), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(roundel, 11.5, 11.5);
    p.setPen(Qt::NoPen);
    QPainterPath bird;
    bird.moveTo(-10.5, -1.5);
    bird.quadTo(-5, -7.5, 0, -1.5);
    bird.quadTo(5, -7.5, 10.5, -1.5);
    bird.quadTo(5, -4, 0, 4.5);
    bird.quadTo(-5, -4, -10.5, -1.5);
    bird.closeSubpath();
    p.setBrush(HeaderTop);
    p.drawPath(bird.translated(roundel.x(), roundel.y() + 1));
    const QPainterPath name = text(sans, 14, QStringLiteral("KESTRELWICK"), 44, 9, 0.9);
    p.setBrush(PublisherInk);
    p.drawPath(name);
    const QRectF nameInk = name.boundingRect();
    QPainterPath games = text(sans, 7.5, QStringLiteral("GAMES"), 0, 24, 2.2);
    const qreal gamesWidth = games.boundingRect().width();
    const qreal gamesLeft = qRound(44 + (nameInk.width() - gamesWidth) / 2);
    games.translate(gamesLeft, 0);
    p.setBrush(PublisherSoft);
    p.drawPath(games);
    const qreal ruleY = qFloor(24 + games.boundingRect().height() / 2);
    p.drawRect(QRectF(44, ruleY, gamesLeft - 48, 1));
    p.drawRect(
        QRectF(gamesLeft + gamesWidth + 4, ruleY, nameInk.right() - gamesLeft - gamesWidth - 4, 1));

    // "Updating..." in the upper left of the body, x 14-124.
    p.setBrush(Caption);
    p.drawPath(text(sans, 20, QStringLiteral("Updating..."), 14, 49, 0, 110));

    // Tovolia, within x 199-360 and rows 45-130: a compass-star medallion over the serif wordmark.
    const qreal left = 199, right = 360, cx = (left + right + 1) / 2;
    const QPointF centre(cx, 66.5); // on a pixel row's middle, so the one-pixel rules stay crisp
    rules(p, left + 14, right - 13, cx, 24, centre.y());
    p.drawPolygon(star(QPointF(left + 12, centre.y()), 2, 2.5, 1.6, M_PI / 2));
    p.drawPolygon(star(QPointF(right - 11, centre.y()), 2, 2.5, 1.6, M_PI / 2));
    p.drawEllipse(centre, 20.5, 20.5);
    QRadialGradient disc(centre - QPointF(5, 6), 26);
    disc.setColorAt(0, GameInkLight);
    disc.setColorAt(1, GameInk);
    p.setBrush(disc);
    p.drawEllipse(centre, 18, 18);
    p.setBrush(Gold.darker(115));
    p.drawPolygon(star(centre, 4, 10, 3.2, M_PI / 4));
    p.setBrush(GoldLight);
    p.drawPolygon(star(centre, 4, 15.5, 3.6, 0));
    p.setBrush(GameInk);
    p.drawEllipse(centre, 2.2, 2.2);

    const QPainterPath word =
        text(serif, 30, QStringLiteral("TOVOLIA"), left + 3, 94, 1.5, right - left + 1 - 6);
    p.setBrush(QColor(206, 212, 222));
    p.drawPath(word.translated(1, 1));
    const QRectF ink = word.boundingRect();
    QLinearGradient fill(0, ink.top(), 0, ink.bottom());
    fill.setColorAt(0, GameInkLight);
    fill.setColorAt(1, GameInk);
    p.setBrush(fill);
    p.drawPath(word);
    const qreal y = qFloor(ink.bottom()) + 6.5;
    rules(p, left + 24, right - 23, cx, 8, y);
    p.drawPolygon(star(QPointF(cx, y), 2, 4, 2.6, M_PI / 2));
    return image;
}

// The band colours go into the 256-entry table as they are; the rest of the table is the mean
// colour of each of the busiest RGB555 buckets of the other pixels. Qt maps every pixel to its
// nearest table entry without dithering, so the flat bands stay exact.
QImage toIndexed(const QImage& art)
{
    QList<QRgb> table;
    for (int y = 0; y < Height; ++y) {
        const QRgb band = art.pixel(Width - 1, y); // the right edge holds only band colours
        if (!table.contains(band))
            table << band;
    }
    table << Caption.rgb();
    using Bucket = std::array<qint64, 4>; // red, green and blue sums, pixel count
    std::map<int, Bucket> buckets;        // ordered, so that every run makes the same table
    for (int y = 0; y < Height; ++y) {
        for (int x = 0; x < Width; ++x) {
            const QRgb c = art.pixel(x, y);
            if (table.contains(c))
                continue;
            Bucket& b = buckets[(qRed(c) >> 3) << 10 | (qGreen(c) >> 3) << 5 | qBlue(c) >> 3];
            b = {b[0] + qRed(c), b[1] + qGreen(c), b[2] + qBlue(c), b[3] + 1};
        }
    }
    std::vector<Bucket> busiest;
    for (const auto& entry : buckets)
        busiest.push_back(entry.second);
    std::stable_sort(busiest.begin(), busiest.end(), [](auto& a, auto& b) { return a[3] > b[3]; });
    for (const Bucket& b : busiest) {
        const auto mean = [&b](int i) { return int((b[i] + b[3] / 2) / b[3]); };
        if (table.size() < 256 && !table.contains(qRgb(mean(0), mean(1), mean(2))))
            table << qRgb(mean(0), mean(1), mean(2));
    }
    while (table.size() < 256)
        table << qRgb(0, 0, 0);
    return art.convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither);
}

} // namespace

int main(int argc, char** argv)
{
    // Nothing is shown; the platform plugin is only needed for the font machinery.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() > 2 || args.value(0).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "usage: make_background [FILE [FONTDIR]]\n"
                             "Draws the updater dialog's 390 x 232 background picture as an 8-bit "
                             "indexed PNG into FILE (default: ui/background.png), with the DejaVu "
                             "fonts in FONTDIR (default: /usr/share/fonts/truetype/dejavu).\n");
        return 2;
    }
    const QString path = args.value(0, QStringLiteral("ui/background.png"));
    const QString fontDir = args.value(1, QStringLiteral("/usr/share/fonts/truetype/dejavu"));

    // Read straight from disk, so that the picture does not depend on the font configuration.
    QByteArray fonts[2];
    const char* names[2] = {"/DejaVuSans-Bold.ttf", "/DejaVuSerif-Bold.ttf"};
    for (int i = 0; i < 2; ++i) {
        QFile f(fontDir + QLatin1String(names[i]));
        if (f.open(QIODevice::ReadOnly))
            fonts[i] = f.readAll();
        if (!QRawFont(fonts[i], 12).isValid()) {
            std::fprintf(stderr, "make_background: no usable font %s (install fonts-dejavu-core)\n",
                         qPrintable(f.fileName()));
            return 1;
        }
    }
    QImageWriter writer(path, "png");
    writer.setQuality(0); // strongest compression; PNG stays lossless
    if (!writer.write(toIndexed(draw(fonts[0], fonts[1])))) {
        std::fprintf(stderr, "make_background: cannot write %s: %s\n", qPrintable(path),
                     qPrintable(writer.errorString()));
        return 1;
    }
    std::printf("%s written\n", qPrintable(path));
    return 0;
}
