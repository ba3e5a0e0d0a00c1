#pragma once

#include "Signature.h"

#include <QCommandLineOption>

class QCommandLineParser;

namespace vt {

// -p PUBKEYFILE and -P KEY, shared by the commands that check signatures.
struct KeyOptions
{
    QCommandLineOption file{QStringLiteral("p"), QString(), QStringLiteral("PUBKEYFILE")};
    QCommandLineOption line{QStringLiteral("P"), QString(), QStringLiteral("KEY")};

    void addTo(QCommandLineParser& parser) const;
    // The key the options name, else the program's own (built in, or update.pub
    // beside vt). False, with the error printed, when both options are given.
    bool resolve(const QCommandLineParser& parser, const char* command, TrustAnchor& anchor) const;
};

} // namespace vt
