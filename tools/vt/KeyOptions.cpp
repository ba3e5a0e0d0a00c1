#include "KeyOptions.h"

#include "Command.h"

#include <QCommandLineParser>

namespace vt {

void KeyOptions::addTo(QCommandLineParser& parser) const
{
    parser.addOption(file);
    parser.addOption(line);
}

bool KeyOptions::resolve(const QCommandLineParser& parser, const char* command,
                         TrustAnchor& anchor) const
{
    if (parser.isSet(file) && parser.isSet(line)) {
        printError(QStringLiteral("%1: give -p or -P, not both; see 'vt help %1'")
                       .arg(QLatin1String(command)));
        return false;
    }
    if (parser.isSet(file))
        anchor = TrustAnchor::fromFile(parser.value(file));
    else if (parser.isSet(line))
        anchor = TrustAnchor::fromText(parser.value(line).toLatin1(), QStringLiteral("-P"));
    else
        anchor = TrustAnchor::forApplication();
    return true;
}

} // namespace vt
