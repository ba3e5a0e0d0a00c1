#include "Artwork.h"
#include "Check.h"
#include "Layout.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

namespace {

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

} // namespace

// The generator of the dialog's picture: its checker, its fonts, and its output.
class BackgroundTest : public QObject
{
    Q_OBJECT

private slots:
    void artworkFaults_data();
    void artworkFaults();
    void missingFontsAreReported();
    void generatedPictureConforms();
    void committedPictureConforms();
};

void BackgroundTest::artworkFaults_data()
{
    QTest::addColumn<QPoint>("pixel"); // set to a stray colour; (-1,-1) leaves the image as is
    QTest::addColumn<QString>("problem");

    QTest::newRow("sound") << QPoint(-1, -1) << QString();
    // The time line may cross the game logo's lower edge: that is inside the logo box.
    QTest::newRow("logo under the time line") << QPoint(300, 125) << QString();
    QTest::newRow("status line") << QPoint(200, 140) << "body";
    QTest::newRow("progress bar") << QPoint(362, 177) << "body";
    QTest::newRow("Play button") << QPoint(344, 228) << "footer";
    QTest::newRow("lower rule") << QPoint(0, 197) << "lower rule";
    QTest::newRow("shadow") << QPoint(100, 41) << "shadow";
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

    // The committed picture is exactly what the generator makes today.
    QFile generated(path), committed(QStringLiteral(UPDATER_SOURCE_DIR "/ui/background.png"));
    QVERIFY(generated.open(QIODevice::ReadOnly) && committed.open(QIODevice::ReadOnly));
    QVERIFY(generated.readAll() == committed.readAll());
}

void BackgroundTest::committedPictureConforms()
{
    const QStringList problems =
        checkBackgroundFile(QStringLiteral(UPDATER_SOURCE_DIR "/ui/background.png"));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
}

QTEST_MAIN(BackgroundTest)
#include "tst_background.moc"
