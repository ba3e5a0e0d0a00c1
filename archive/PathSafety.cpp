#include "PathSafety.h"

#include <QStringList>

namespace {

bool isReservedWindowsName(const QString& component)
{
    // A device name is reserved with any extension too ("NUL.txt"), and Windows
    // strips trailing dots and spaces before comparing.
    QString base = component.section(QLatin1Char('.'), 0, 0).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const char* const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : names) {
        if (base == QLatin1String(name))
            return true;
    }
    if (base.size() == 4 &&
        (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))) {
        const QChar digit = base.at(3);
        // Windows also treats the superscript digits 1-3 as port numbers.
        return (digit >= QLatin1Char('0') && digit <= QLatin1Char('9')) || digit == QChar(0xB9) ||
               digit == QChar(0xB2) || digit == QChar(0xB3);
    }
    return false;
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
    if (path.isEmpty())
        return false;
    if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
        return false;

    QString normalised = path;
    normalised.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList components = normalised.split(QLatin1Char('/'));
    if (components.first().contains(QLatin1Char(':')))
        return false;

    for (const QString& component : components) {
        if (component == QLatin1String(".."))
            return false;
        if (rules != PathRules::Windows || component.isEmpty() || component == QLatin1String("."))
            continue;
        if (component.contains(QLatin1Char(':')))
            return false;
        if (component.endsWith(QLatin1Char('.')) || component.endsWith(QLatin1Char(' ')))
            return false;
        if (isReservedWindowsName(component))
            return false;
    }
    return true;
}
