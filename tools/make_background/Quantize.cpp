#include "Quantize.h"

#include <QHash>
#include <QSet>
#include <algorithm>

namespace {

struct Colour
{
    QRgb rgb;
    qint64 count;
};

int channel(QRgb rgb, int c)
{
    return c == 0 ? qRed(rgb) : c == 1 ? qGreen(rgb) : qBlue(rgb);
}

// A run of the colour list; split until there are as many boxes as free table entries.
struct Box
{
    qsizetype begin;
    qsizetype end;
    double error; // count-weighted squared distance from the box's mean
    int widest;   // channel with the largest weighted variance
    QRgb mean;
};

Box measure(const QList<Colour>& colours, qsizetype begin, qsizetype end)
{
    double n = 0;
    double sum[3] = {0, 0, 0};
    double sq[3] = {0, 0, 0};
    for (qsizetype i = begin; i < end; ++i) {
        const double w = double(colours[i].count);
        n += w;
        for (int c = 0; c < 3; ++c) {
            const double v = channel(colours[i].rgb, c);
            sum[c] += w * v;
            sq[c] += w * v * v;
        }
    }
    Box box{begin, end, 0, 0, 0};
    double widestVariance = -1;
    int mean[3];
    for (int c = 0; c < 3; ++c) {
        const double m = sum[c] / n;
        const double variance = sq[c] - sum[c] * m; // n times the variance
        box.error += variance;
        if (variance > widestVariance) {
            widestVariance = variance;
            box.widest = c;
        }
        mean[c] = std::clamp(int(m + 0.5), 0, 255);
    }
    box.mean = qRgb(mean[0], mean[1], mean[2]);
    return box;
}

QList<QRgb> medianCut(QList<Colour> colours, int boxCount)
{
    QList<Box> boxes{measure(colours, 0, colours.size())};
    while (boxes.size() < boxCount) {
        auto worst = std::max_element(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) {
            return (a.end - a.begin > 1 ? a.error : -1) < (b.end - b.begin > 1 ? b.error : -1);
        });
        if (worst->end - worst->begin < 2)
            break;
        const Box box = *worst;
        const int c = box.widest;
        std::sort(colours.begin() + box.begin, colours.begin() + box.end,
                  [c](const Colour& a, const Colour& b) {
                      return channel(a.rgb, c) != channel(b.rgb, c)
                                 ? channel(a.rgb, c) < channel(b.rgb, c)
                                 : a.rgb < b.rgb;
                  });
        qint64 total = 0;
        for (qsizetype i = box.begin; i < box.end; ++i)
            total += colours[i].count;
        // Split where half the pixels lie on each side, leaving at least one colour per side.
        qint64 seen = 0;
        qsizetype split = box.begin + 1;
        for (qsizetype i = box.begin; i < box.end - 1; ++i) {
            seen += colours[i].count;
            split = i + 1;
            if (2 * seen >= total)
                break;
        }
        *worst = measure(colours, box.begin, split);
        boxes.append(measure(colours, split, box.end));
    }
    QList<QRgb> result;
    for (const Box& box : boxes)
        result.append(box.mean);
    return result;
}

} // namespace

QList<QRgb> buildColorTable(const QImage& image, const QList<QRgb>& reserved, int tableSize)
{
    QList<QRgb> table;
    QSet<QRgb> taken;
    for (QRgb rgb : reserved) {
        rgb |= 0xff000000u;
        if (!taken.contains(rgb) && table.size() < tableSize) {
            taken.insert(rgb);
            table.append(rgb);
        }
    }

    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    QHash<QRgb, qint64> histogram;
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb pixel = line[x] | 0xff000000u;
            if (!taken.contains(pixel))
                ++histogram[pixel];
        }
    }

    QList<Colour> rest;
    rest.reserve(histogram.size());
    for (auto it = histogram.cbegin(); it != histogram.cend(); ++it)
        rest.append({it.key(), it.value()});
    // The hash order varies between runs; sort so that the same picture gives the same table.
    std::sort(rest.begin(), rest.end(),
              [](const Colour& a, const Colour& b) { return a.rgb < b.rgb; });

    const int free = tableSize - int(table.size());
    if (rest.size() <= free) {
        for (const Colour& c : rest)
            table.append(c.rgb);
    } else if (free > 0) {
        table.append(medianCut(rest, free));
    }
    while (table.size() < tableSize)
        table.append(qRgb(0, 0, 0));
    return table;
}

QImage toIndexed(const QImage& image, const QList<QRgb>& table)
{
    // Qt maps each colour to the nearest table entry by squared RGB distance, without dithering.
    return image.convertToFormat(QImage::Format_ARGB32)
        .convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither);
}
