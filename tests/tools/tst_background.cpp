#include "Artwork.h"
#include "Check.h"
#include "Layout.h"
#include "Quantize.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QImage gradientImage(int colours)
{
    // colours distinct pixels running through hue and lightness.
    QImage image(colours, 4, QImage::Format_RGB32);
    for (int x = 0; x < colours; ++x) {
        const QColor c = QColor::fromHsv(x * 359 / colours, 200, 80 + (x * 7) % 170);
        for (int y = 0; y < 4; ++y)
            image.setPixel(x, y, c.rgb());
    }
    return image;
}

int worstChannelError(const QImage& original, const QImage& indexed)
{
    int worst = 0;
    for (int y = 0; y < original.height(); ++y) {
        for (int x = 0; x < original.width(); ++x) {
            const QRgb a = original.pixel(x, y);
            const QRgb b = indexed.pixel(x, y);
            worst = std::max({worst, qAbs(qRed(a) - qRed(b)), qAbs(qGreen(a) - qGreen(b)),
                              qAbs(qBlue(a) - qBlue(b))});
        }
    }
    return worst;
}

// The bands with something in the caption and both logo boxes: what a sound picture looks like.
QImage conformingArtwork()
{
    using namespace Layout;
    QImage image(Width, Height, QImage::Format_RGB32);
    QPainter p(&image);
    for (int y = 0; y <= HeaderLast; ++y)
        p.fillRect(0, y, Width, 1, headerColor(y));
    p.fillRect(0, UpperRule, Width, 1, rule());
    for (int y = ShadowFirst; y <= ShadowLast; ++y)
        p.fillRect(0, y, Width, 1, shadowColor(y));
    p.fillRect(0, BodyFirst, Width, BodyLast - BodyFirst + 1, body());
    p.fillRect(0, LowerRule, Width, 1, rule());
    p.fillRect(0, FooterFirst, Width, Height - FooterFirst, footer());
    p.fillRect(publisherLogoBox().adjusted(2, 2, -2, -2), QColor(96, 63, 28));
    p.fillRect(captionBox().adjusted(0, 2, 0, -2), caption());
    p.fillRect(gameLogoBox(), QColor(24, 58, 98));
    return image;
}

QByteArray pngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.write(image);
    return bytes;
}

QImage indexedWithColours(int count)
{
    QList<QRgb> table;
    for (int i = 0; i < count; ++i)
        table << qRgb(i, 255 - i, 7);
    QImage image(Layout::Width, Layout::Height, QImage::Format_Indexed8);
    image.setColorTable(table);
    image.fill(1);
    return image;
}

} // namespace

class BackgroundTest : public QObject
{
    Q_OBJECT

private slots:
    void tableKeepsReservedColoursFirstAndExact();
    void tableSize_data();
    void tableSize();
    void fewColoursSurviveExactly();
    void manyColoursStayClose();
    void tableIsDeterministic();

    void pngFormat_data();
    void pngFormat();
    void artworkFaults_data();
    void artworkFaults();

    void missingFontsAreReported();
    void generatedPictureConforms();
    void committedPictureConforms();
    void commandLine_data();
    void commandLine();
};

void BackgroundTest::tableKeepsReservedColoursFirstAndExact()
{
    // Reserved colours that the image barely uses must still survive exactly, even though the
    // image has far more colours than the table; a duplicate takes one entry only.
    QImage image = gradientImage(2000);
    const QList<QRgb> reserved{qRgb(231, 199, 139), qRgb(189, 157, 96), qRgb(231, 199, 139),
                               qRgb(255, 110, 0)};
    image.setPixel(0, 0, reserved[0]);
    image.setPixel(1, 0, reserved[1]);
    image.setPixel(2, 0, reserved[3]);

    const QList<QRgb> table = buildColorTable(image, reserved);
    QCOMPARE(table.size(), 256);
    QCOMPARE(table.mid(0, 3), (QList<QRgb>{reserved[0], reserved[1], reserved[3]}));
    QVERIFY(!table.mid(3).contains(reserved[0]) || table.indexOf(reserved[0]) == 0);

    const QImage indexed = toIndexed(image, table);
    QCOMPARE(indexed.format(), QImage::Format_Indexed8);
    QCOMPARE(indexed.pixel(0, 0), reserved[0]);
    QCOMPARE(indexed.pixel(1, 0), reserved[1]);
    QCOMPARE(indexed.pixel(2, 0), reserved[3]);
}

void BackgroundTest::tableSize_data()
{
    QTest::addColumn<int>("colours");
    QTest::addColumn<int>("reserved");
    QTest::newRow("one colour") << 1 << 0;
    QTest::newRow("exactly fills the table") << 256 << 0;
    QTest::newRow("one too many") << 257 << 0;
    QTest::newRow("many, with reserved") << 5000 << 47;
    QTest::newRow("reserved fill the table") << 300 << 256;
}

void BackgroundTest::tableSize()
{
    QFETCH(int, colours);
    QFETCH(int, reserved);
    QList<QRgb> reservedColours;
    for (int i = 0; i < reserved; ++i)
        reservedColours << qRgb(i, i, 255 - i);
    const QList<QRgb> table = buildColorTable(gradientImage(colours), reservedColours);
    QCOMPARE(table.size(), 256);
    for (QRgb rgb : table)
        QCOMPARE(qAlpha(rgb), 255);
}

void BackgroundTest::fewColoursSurviveExactly()
{
    const QImage image = gradientImage(200);
    const QList<QRgb> table = buildColorTable(image, {qRgb(1, 2, 3)});
    // 1 reserved + 200 from the image, then black padding.
    QCOMPARE(table[0], qRgb(1, 2, 3));
    QCOMPARE(QSet<QRgb>(table.begin() + 201, table.end()), QSet<QRgb>{qRgb(0, 0, 0)});
    QCOMPARE(worstChannelError(image, toIndexed(image, table)), 0);
}

void BackgroundTest::manyColoursStayClose()
{
    // 4096 colours spread over the cube cannot all be kept; median cut should still land every
    // pixel near a table entry. A cut that stops splitting early leaves errors of 100 and more.
    QImage image(64, 64, QImage::Format_RGB32);
    for (int i = 0; i < 4096; ++i)
        image.setPixel(i % 64, i / 64, qRgb((i & 15) * 17, ((i >> 4) & 15) * 17, (i >> 8) * 17));
    const QImage indexed = toIndexed(image, buildColorTable(image, {}));
    QVERIFY2(worstChannelError(image, indexed) <= 40,
             qPrintable(QString::number(worstChannelError(image, indexed))));
}

void BackgroundTest::tableIsDeterministic()
{
    const QImage image = gradientImage(3000);
    QCOMPARE(buildColorTable(image, {qRgb(9, 9, 9)}), buildColorTable(image, {qRgb(9, 9, 9)}));
}

void BackgroundTest::pngFormat_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<QString>("problem"); // empty: none expected

    const QByteArray good = pngBytes(indexedWithColours(256));
    QTest::newRow("indexed, 256 entries") << good << QString();
    QTest::newRow("palette too short") << pngBytes(indexedWithColours(200)) << "palette has";
    QTest::newRow("true colour") << pngBytes(
                                        QImage(Layout::Width, Layout::Height, QImage::Format_RGB32))
                                 << "colour type 2";
    QImage small = indexedWithColours(256).copy(0, 0, 100, 100);
    QTest::newRow("wrong size") << pngBytes(small) << "size is 100 x 100";

    QByteArray interlaced = good;
    interlaced[8 + 8 + 12] = 1; // IHDR interlace method
    QTest::newRow("interlaced") << interlaced << "interlaced";
    QImage withAlpha = indexedWithColours(256);
    withAlpha.setColor(5, qRgba(1, 2, 3, 0));
    QTest::newRow("transparent entry") << pngBytes(withAlpha) << "transparent";
    QTest::newRow("truncated") << good.left(40) << "ends before";
    QByteArray overlong = good;
    overlong[8 + 25] = char(0x7f); // PLTE length far beyond the file
    QTest::newRow("chunk past the end") << overlong << "runs past the end";
    QTest::newRow("not a png") << QByteArray("GIF89a....") << "not a PNG";
}

void BackgroundTest::pngFormat()
{
    QFETCH(QByteArray, png);
    QFETCH(QString, problem);
    const QStringList problems = checkPngFormat(png);
    if (problem.isEmpty()) {
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    } else {
        QVERIFY2(problems.join(QLatin1Char('\n')).contains(problem),
                 qPrintable(problems.join(QLatin1Char('\n'))));
    }
}

void BackgroundTest::artworkFaults_data()
{
    QTest::addColumn<QPoint>("pixel"); // set to a stray colour; (-1,-1) leaves the image as is
    QTest::addColumn<QString>("problem");

    QTest::newRow("sound") << QPoint(-1, -1) << QString();
    // The time line may cross the game logo's lower edge: that is inside the logo box.
    QTest::newRow("logo under the time line") << QPoint(300, 125) << QString();
    QTest::newRow("time line, left part") << QPoint(60, 120) << "body";
    QTest::newRow("status line") << QPoint(200, 140) << "body";
    QTest::newRow("progress bar") << QPoint(362, 177) << "body";
    QTest::newRow("Cancel button") << QPoint(45, 203) << "footer";
    QTest::newRow("Play button") << QPoint(344, 228) << "footer";
    QTest::newRow("upper rule") << QPoint(389, 38) << "upper rule";
    QTest::newRow("lower rule") << QPoint(0, 197) << "lower rule";
    QTest::newRow("shadow") << QPoint(100, 41) << "shadow";
    QTest::newRow("header right of the publisher") << QPoint(300, 0) << "header";
    QTest::newRow("body left of the caption") << QPoint(13, 60) << "body";
}

void BackgroundTest::artworkFaults()
{
    QFETCH(QPoint, pixel);
    QFETCH(QString, problem);
    QImage image = conformingArtwork();
    if (pixel.x() >= 0)
        image.setPixel(pixel, qRgb(250, 250, 250));
    const QStringList problems = checkArtwork(image);
    if (problem.isEmpty()) {
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].startsWith(problem), qPrintable(problems[0]));
        QVERIFY2(problems[0].contains(QStringLiteral("(%1,%2)").arg(pixel.x()).arg(pixel.y())),
                 qPrintable(problems[0]));
    }
}

void BackgroundTest::missingFontsAreReported()
{
    QTemporaryDir empty;
    ArtFonts fonts;
    QString error;
    QVERIFY(!loadArtFonts(empty.path(), &fonts, &error));
    QVERIFY2(error.contains(QLatin1String("fonts-dejavu-core")), qPrintable(error));
}

void BackgroundTest::generatedPictureConforms()
{
    ArtFonts fonts;
    QString error;
    QVERIFY2(loadArtFonts(defaultFontDir(), &fonts, &error), qPrintable(error));
    const QImage picture = renderBackground(fonts);
    QCOMPARE(picture.format(), QImage::Format_Indexed8);
    QCOMPARE(picture.colorCount(), 256);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("background.png"));
    QVERIFY2(savePng(picture, path, &error), qPrintable(error));
    const QStringList problems = checkBackgroundFile(path);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    QVERIFY(QFileInfo(path).size() < 30 * 1024);
}

void BackgroundTest::committedPictureConforms()
{
    const QStringList problems =
        checkBackgroundFile(QStringLiteral(UPDATER_SOURCE_DIR "/ui/background.png"));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
}

void BackgroundTest::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrPart");

    const QString committed = QStringLiteral(UPDATER_SOURCE_DIR "/ui/background.png");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QString();
    QTest::newRow("check the committed picture")
        << QStringList{"--check", committed} << 0 << QString();
    QTest::newRow("check a missing file")
        << QStringList{"--check", "/nonexistent/background.png"} << 1 << "cannot read";
    QTest::newRow("two files") << QStringList{"a.png", "b.png"} << 2 << "at most one";
    QTest::newRow("no fonts") << QStringList{"--fonts", "/nonexistent", "out.png"} << 1
                              << "fonts-dejavu-core";
}

void BackgroundTest::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrPart);
    QTemporaryDir work;
    QProcess process;
    process.setWorkingDirectory(work.path());
    process.start(QStringLiteral(UPDATER_BUILD_DIR "/make_background"), arguments);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(process.exitCode() == exitCode, qPrintable(errors));
    if (!stderrPart.isEmpty())
        QVERIFY2(errors.contains(stderrPart), qPrintable(errors));
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("out.png"))));
}

QTEST_MAIN(BackgroundTest)
#include "tst_background.moc"
