#include "Command.h"
#include "KeyOptions.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <cstdio>

namespace vt {

namespace {

int runVerify(const QStringList& args);

} // namespace

extern const Command verifyCommand = {
    "verify", "check an archive against its minisign signature",
    "Usage: vt verify FILE [-p PUBKEYFILE | -P KEY] [-x SIGFILE]\n"
    "Checks FILE against the minisign signature SIGFILE (default FILE.minisig)\n"
    "as the updater does before it applies an update: the key id, the signature\n"
    "of FILE (prehashed; legacy signatures are refused), the signature of the\n"
    "trusted comment, and that the trusted comment has a timestamp and names\n"
    "FILE's own name as \"file:\". Without -p or -P the key built into vt, or\n"
    "update.pub beside vt, is used. A valid signature is shown with its key id\n"
    "and the time it was made, in UTC.\n"
    "\n"
    "  -p PUBKEYFILE   the public key file, as minisign -G writes it\n"
    "  -P KEY          the public key's base64 line\n"
    "  -x SIGFILE      the signature file; a pipe or /dev/stdin will do\n"
    "\n"
    "Exit status: 0 when the signature is valid, 1 when it is not (the reason is\n"
    "printed on stderr), 2 on a usage error.\n",
    runVerify};

namespace {

int runVerify(const QStringList& args)
{
    QCommandLineParser parser;
    KeyOptions keys;
    const QCommandLineOption signatureOption(QStringLiteral("x"), QString(),
                                             QStringLiteral("SIGFILE"));
    keys.addTo(parser);
    parser.addOption(signatureOption);
    QString file;
    if (!parseOneArgument(parser, verifyCommand, args, QStringLiteral("expected one FILE"), file))
        return ExitUsage;
    TrustAnchor anchor;
    if (!keys.resolve(parser, "verify", anchor))
        return ExitUsage;
    if (anchor.mode == TrustAnchor::Mode::Unsigned) {
        printUsageError(verifyCommand,
                        QStringLiteral("no public key; give -p PUBKEYFILE or -P KEY"));
        return ExitUsage;
    }
    if (anchor.mode == TrustAnchor::Mode::Broken) {
        printError(QStringLiteral("verify: ") + anchor.detail);
        return ExitFailure;
    }

    const QString signature = parser.isSet(signatureOption) ? parser.value(signatureOption)
                                                            : file + QStringLiteral(".minisig");
    SignatureCheck check(anchor.key, file, signature, QFileInfo(file).fileName(),
                         SignatureCheck::SignatureFile::Named);
    if (check.run() != SignatureCheck::Status::Valid) {
        printError(QStringLiteral("verify: ") + check.failureDetail());
        return ExitFailure;
    }
    std::printf("%s: valid signature by key %s, signed at %s\n", qPrintable(file),
                qPrintable(minisign::keyIdText(anchor.key.keyId)),
                qPrintable(utcDateText(check.timestamp())));
    return ExitSuccess;
}

} // namespace
} // namespace vt
