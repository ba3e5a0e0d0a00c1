#include "ControlCharacters.h"

#include <algorithm>

QString escapeControlCharacters(const QString& text, bool escapeBackslash)
{
    // C1 controls (0x80-0x9F) too: some terminals act on them as on ESC sequences.
    const auto needsEscape = [escapeBackslash](QChar c) {
        const char16_t u = c.unicode();
        return u <= 0x1F || (u >= 0x7F && u <= 0x9F) || (escapeBackslash && u == u'\\');
    };
    if (std::none_of(text.begin(), text.end(), needsEscape))
        return text;
    static const char named[] = "abtnvfr"; // \a (7) to \r (13)
    QString escaped;
    escaped.reserve(text.size() + 16);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!needsEscape(c))
            escaped += c;
        else if (u == u'\\')
            escaped += QLatin1String("\\\\");
        else if (u >= 7 && u <= 13)
            escaped.append(QLatin1Char('\\')).append(QLatin1Char(named[u - 7]));
        else
            escaped += QStringLiteral("\\%1").arg(u, 3, 8, QLatin1Char('0'));
    }
    return escaped;
}
