#include "Layout.h"

namespace Layout {

static int mix(int from, int to, int step, int steps)
{
    // Rounded to nearest so both ends of the gradient come out exactly.
    return from + ((to - from) * step * 2 + (to > from ? steps : -steps)) / (2 * steps);
}

QColor headerColor(int row)
{
    const QColor a = headerTop();
    const QColor b = headerBottom();
    return QColor(mix(a.red(), b.red(), row, HeaderLast),
                  mix(a.green(), b.green(), row, HeaderLast),
                  mix(a.blue(), b.blue(), row, HeaderLast));
}

QColor shadowColor(int row)
{
    const int grey = ShadowGrey[row - ShadowFirst];
    return QColor(grey, grey, grey);
}

QList<QRgb> exactColours()
{
    QList<QRgb> colours;
    for (int y = 0; y <= HeaderLast; ++y)
        colours << headerColor(y).rgb();
    colours << rule().rgb();
    for (int y = ShadowFirst; y <= ShadowLast; ++y)
        colours << shadowColor(y).rgb();
    colours << body().rgb() << footer().rgb() << caption().rgb();
    return colours;
}

} // namespace Layout
