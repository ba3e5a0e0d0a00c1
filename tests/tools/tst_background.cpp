#include "TestFiles.h"

#include <QImage>
#include <QProcess>
#include <QtTest>

// The dialog's picture, as committed and as the generator draws it today: the format the form
// expects and the bands its widgets sit on, not the bytes, which move with Qt and FreeType.
class BackgroundTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QMap<QString, QString> files{{"committed", UPDATER_SOURCE_DIR "/ui/background.png"},
                                 {"generated", dir.filePath("background.png")}};

    static int generate(const QStringList& args, QByteArray* err = nullptr)
    {
        QProcess p;
        p.start(QStringLiteral(UPDATER_BUILD_DIR "/make_background"), args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
            return -1;
        if (err)
            *err = p.readAllStandardError();
        return p.exitCode();
    }

private slots:
    void initTestCase() { QCOMPARE(generate({files["generated"]}), 0); }

    void picture_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QRect>("box");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>(
            "cover"); // 1: every pixel of the box has the colour, 0: some, -1: not all
        const QColor white(255, 255, 255), rule(189, 157, 96), header(231, 199, 139);
        for (const char* name : {"committed", "generated"}) {
            const auto row = [&](const char* what, QRect box, QColor colour, int cover) {
                QTest::addRow("%s: %s", name, what) << files[name] << box << colour << cover;
            };
            row("header top", QRect(200, 0, 190, 1), header, 1);
            row("header bottom", QRect(200, 37, 190, 1), QColor(223, 187, 124), 1);
            row("publisher logo", QRect(6, 3, 185, 32), header, -1);
            row("upper rule", QRect(0, 38, 390, 1), rule, 1);
            row("caption", QRect(14, 48, 111, 23), QColor(255, 110, 0), 0);
            row("game logo", QRect(199, 45, 162, 86), white, -1);
            row("body left of the logo", QRect(0, 71, 199, 126), white, 1);
            row("body under the logo", QRect(0, 132, 390, 65), white, 1);
            row("body right of the logo", QRect(361, 44, 29, 153), white, 1);
            row("lower rule", QRect(0, 197, 390, 1), rule, 1);
            row("footer", QRect(0, 198, 390, 34), QColor(229, 197, 138), 1);
        }
    }

    void picture()
    {
        QFETCH(QString, file);
        QFETCH(QRect, box);
        QFETCH(QColor, colour);
        QFETCH(int, cover);
        // The header, which comes first in every PNG: 8-bit depth, indexed colour, not interlaced.
        const QByteArray png = readFile(file);
        QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(png.mid(24, 5), QByteArray::fromHex("0803000000"));
        const QImage image(file);
        QCOMPARE(image.size(), QSize(390, 232));
        QCOMPARE(image.format(), QImage::Format_Indexed8);
        QCOMPARE(image.colorCount(), 256);
        for (QRgb c : image.colorTable())
            QCOMPARE(qAlpha(c), 255);
        // Under the upper rule, a grey shadow lightens row by row into the white body.
        for (int y = 40; y <= 44; ++y) {
            const QRgb c = image.pixel(300, y), above = image.pixel(300, y - 1);
            QVERIFY(qRed(c) == qGreen(c) && qGreen(c) == qBlue(c) && qRed(c) > qRed(above));
        }

        int matching = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                matching += image.pixel(x, y) == colour.rgb();
        const int area = box.width() * box.height();
        QVERIFY2(cover > 0    ? matching == area
                 : cover == 0 ? matching > 0
                              : matching < area,
                 qPrintable(QStringLiteral("%1 of %2 pixels").arg(matching).arg(area)));
    }

    void missingFontsAreReported()
    {
        QByteArray err;
        QCOMPARE(generate({dir.filePath(QStringLiteral("none.png")), dir.path()}, &err), 1);
        QVERIFY2(err.contains("fonts-dejavu-core"), err.constData());
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("none.png"))));
    }
};

QTEST_MAIN(BackgroundTest)
#include "tst_background.moc"
