#include "Artwork.h"
#include "Check.h"
#include "Layout.h"

#include <QTemporaryDir>
#include <QtTest>

// The generator of the dialog's picture: its fonts, and its output checked and
// compared with the committed picture.
class BackgroundTest : public QObject
{
    Q_OBJECT

private slots:
    void missingFontsAreReported();
    void generatedPictureConforms();
    void committedPictureConforms();
};

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

    // The checker is not blind: a plain white picture has no bands, caption or logos.
    QImage blank(Layout::Width, Layout::Height, QImage::Format_RGB32);
    blank.fill(Qt::white);
    QVERIFY(!checkArtwork(blank).isEmpty());
}

QTEST_MAIN(BackgroundTest)
#include "tst_background.moc"
