#include "TimeRemaining.h"

#include <QDateTime>

bool nearlyEqual(double a, double b)
{
    return a >= b - 1e-10 && a <= b + 1e-10;
}

quint32 currentTimeSeconds()
{
    return quint32(QDateTime::currentDateTime().toSecsSinceEpoch());
}

QString timeRemainingText(quint32 elapsed, float progress)
{
    // The double-to-unsigned conversion is done through 64 bits so that an
    // estimate too large for 32 bits wraps instead of being undefined.
    const double total = double(elapsed) / double(progress);
    const quint32 totalSeconds =
        total < 18446744073709551615.0 && total >= 0.0 ? quint32(quint64(total)) : 0xffffffffu;
    return remainingText(totalSeconds - elapsed);
}

QString remainingText(quint32 remaining)
{
    QString text;
    if (remaining >= 3600)
        text += QString::number(remaining / 3600) + QLatin1Char(':');
    if (remaining < 60)
        text += QLatin1String("00:");
    else
        text += QString::number((remaining % 3600) / 60) + QLatin1Char(':');
    const quint32 seconds = remaining % 60;
    if (seconds < 10)
        text += QLatin1Char('0');
    text += QString::number(seconds) + QLatin1String(" remaining");
    return text;
}
