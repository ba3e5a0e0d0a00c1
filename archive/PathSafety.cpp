#include "PathSafety.h"

#include <QStringView>
#include <algorithm>

namespace {

bool isReservedWindowsName(QStringView component)
{
    // A device name is reserved with any extension too ("NUL.txt"), and Windows
    // strips trailing spaces before comparing.
    QStringView base = component.left(component.indexOf(QLatin1Char('.')));
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const char* const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : names) {
        if (base.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    }
    if (base.size() == 4 && (base.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) ||
                             base.startsWith(QLatin1String("LPT"), Qt::CaseInsensitive))) {
        const QChar digit = base.at(3);
        // Windows also treats the superscript digits 1-3 as port numbers.
        return (digit >= QLatin1Char('0') && digit <= QLatin1Char('9')) || digit == QChar(0xB9) ||
               digit == QChar(0xB2) || digit == QChar(0xB3);
    }
    return false;
}

bool isControl(QChar c)
{
    return (c.unicode() >= 0x01 && c.unicode() <= 0x1F) || c.unicode() == 0x7F;
}

bool isSafeComponent(QStringView component, bool first, PathRules rules)
{
    if (component == QLatin1String(".."))
        return false;
    // A line break or escape sequence in a name could forge log lines or drive a
    // terminal that shows it.
    if (std::any_of(component.begin(), component.end(), isControl))
        return false;
    // "C:x", "c:/x" and the like name another drive or a stream.
    if (first && component.contains(QLatin1Char(':')))
        return false;
    if (rules != PathRules::Windows || component.isEmpty() || component == QLatin1String("."))
        return true;
    return !component.contains(QLatin1Char(':')) && !component.endsWith(QLatin1Char('.')) &&
           !component.endsWith(QLatin1Char(' ')) && !isReservedWindowsName(component);
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

} // namespace

PathRules hostPathRules()
{
#ifdef Q_OS_WIN
    return PathRules::Windows;
#else
    return PathRules::Portable;
#endif
}

bool isSafeEntryPath(const QString& path, PathRules rules)
{
    if (path.isEmpty() || isSeparator(path.front()))
        return false;
    // Walked in place: this runs once per entry, and archives may hold many.
    qsizetype start = 0;
    bool first = true;
    while (start <= path.size()) {
        qsizetype end = start;
        while (end < path.size() && !isSeparator(path.at(end)))
            ++end;
        if (!isSafeComponent(QStringView(path).mid(start, end - start), first, rules))
            return false;
        first = false;
        start = end + 1;
    }
    return true;
}
