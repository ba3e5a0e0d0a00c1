// Draws the updater dialog's background picture and writes it as an 8-bit indexed PNG.

#include "Artwork.h"
#include "Check.h"
#include "Layout.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <algorithm>
#include <cstdio>

namespace {

void fail(const QString& message)
{
    std::fprintf(stderr, "make_background: %s\n", qPrintable(message));
}

int reportProblems(const QString& path, const QStringList& problems)
{
    // A broken picture tends to fail on every row; the first few problems say enough.
    const qsizetype shown = std::min<qsizetype>(problems.size(), 10);
    for (qsizetype i = 0; i < shown; ++i)
        fail(QStringLiteral("%1: %2").arg(path, problems[i]));
    if (problems.size() > shown)
        fail(QStringLiteral("%1: and %2 more problems").arg(path).arg(problems.size() - shown));
    return problems.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    // Nothing is shown; the platform plugin is only needed for the font machinery.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("make_background"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws the updater dialog's background picture (%1 x %2, 8-bit indexed "
                       "PNG with a 256-entry palette) and checks the result.")
            .arg(Layout::Width)
            .arg(Layout::Height));
    parser.addHelpOption();
    const QCommandLineOption checkOption(
        QStringLiteral("check"), QStringLiteral("Only check an existing picture; write nothing."));
    const QCommandLineOption fontsOption(
        QStringLiteral("fonts"),
        QStringLiteral("Directory holding DejaVuSans-Bold.ttf and DejaVuSerif-Bold.ttf "
                       "(default: %1).")
            .arg(defaultFontDir()),
        QStringLiteral("dir"), defaultFontDir());
    parser.addOption(checkOption);
    parser.addOption(fontsOption);
    parser.addPositionalArgument(
        QStringLiteral("file"),
        QStringLiteral("PNG file to write, or to read with --check (default: ui/background.png)."));
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        fail(QStringLiteral("expected at most one file name; see --help"));
        return 2;
    }
    const QString path = positional.isEmpty() ? QStringLiteral("ui/background.png") : positional[0];

    if (parser.isSet(checkOption))
        return reportProblems(path, checkBackgroundFile(path));

    ArtFonts fonts;
    QString error;
    if (!loadArtFonts(parser.value(fontsOption), &fonts, &error)) {
        fail(error);
        return 1;
    }

    if (!savePng(renderBackground(fonts), path, &error)) {
        fail(error);
        return 1;
    }
    // Read back what was written, so a fault in the drawing or the palette cannot pass unnoticed.
    if (reportProblems(path, checkBackgroundFile(path)) != 0)
        return 1;
    std::printf("%s written\n", qPrintable(path));
    return 0;
}
