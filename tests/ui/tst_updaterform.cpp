#include "TestFiles.h"
#include "UpdaterForm.h"

#include <QDialog>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

// The dialog's face: the form as the dialog's code and its user meet it (which widgets, stacked
// how, in which state, over the picture), and the picture, built in and as the generator draws it
// today. Neither the numbers of the form's code nor the picture's bytes, which move with Qt and
// FreeType, are repeated here.
class TestUpdaterForm : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    const QString generator = QStringLiteral(UPDATER_BUILD_DIR "/make_background");

private slots:
    void initTestCase() { QCOMPARE(QProcess::execute(generator, {dir.filePath("made.png")}), 0); }

    void form()
    {
        QDialog dialog;
        UpdaterForm form;
        form.setupForm(&dialog);
        form.retranslateForm(&dialog); // texts set again keep the picture
        QVERIFY(form.cancelButton->isEnabled() && !form.playButton->isEnabled());

        // The widgets in creation order, which is also the stacking order, each by its name, the
        // number of its palette (the dialog's, the bar's, the labels' or the buttons') and its
        // text. Each of the three palettes is the same in the active and inactive group and keeps
        // a disabled button's face.
        QStringList widgets{dialog.objectName() + ' ' + dialog.windowTitle()};
        QList<QPalette> palettes{dialog.palette()};
        for (QWidget* w : dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            const QPalette p = w->palette();
            if (!palettes.contains(p))
                palettes << p;
            widgets << w->objectName() + ' ' + QString::number(palettes.indexOf(p)) + ' ' +
                           w->property("text").toString();
            for (int r = 0; w != form.image && r <= QPalette::AlternateBase; ++r)
                QCOMPARE(p.color(QPalette::Inactive, QPalette::ColorRole(r)),
                         p.color(QPalette::Active, QPalette::ColorRole(r)));
            QVERIFY(w == form.image || p.color(QPalette::Disabled, QPalette::Button) ==
                                           p.color(QPalette::Active, QPalette::Button));
        }
        QCOMPARE(widgets, QStringList({"updaterDialog Tovolia Updater", "image 0 ",
                                       "progressBar 1 0%", "statusLabel 2 ", "timeLabel 2 ",
                                       "cancelButton 3 Cancel", "playButton 3 Play"}));

        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.size(), QSize(390, 233));
        // Later widgets lie on top: the status line covers the bar's first rows. The picture shows
        // through the text lines, which fill no background of their own, and leaves the last row to
        // the dialog.
        QCOMPARE(dialog.childAt(100, 150), form.statusLabel);
        QCOMPARE(dialog.childAt(100, 160), form.progressBar);
        const QImage resource(QStringLiteral(":/background.png"));
        const QImage screen = dialog.grab().toImage();
        for (const QPoint p : {QPoint(330, 120), QPoint(330, 140), QPoint(5, 5), QPoint(389, 231)})
            QCOMPARE(QColor(screen.pixel(p)), QColor(resource.pixel(p)));
        QCOMPARE(QColor(screen.pixel(5, 232)), dialog.palette().color(QPalette::Window));

        QVERIFY(!dialog.layout()); // resizing moves and stretches nothing
    }

    void picture_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("built in") << QStringLiteral(":/background.png");
        QTest::newRow("generated") << dir.filePath("made.png");
    }

    void picture()
    {
        QFETCH(QString, file);
        // The header, first in every PNG: 390 x 232, 8-bit depth, indexed colour, not interlaced.
        QCOMPARE(readFile(file).mid(12, 17),
                 "IHDR" + QByteArray::fromHex("00000186000000e80803000000"));
        const QImage image(file);
        QCOMPARE(image.colorCount(), 256);
        // Down the right edge, clear of the logos: header, upper rule, body, lower rule, footer.
        const QMap<int, QRgb> bands{{0, 0xffe7c78b},   {37, 0xffdfbb7c},  {38, 0xffbd9d60},
                                    {140, 0xffffffff}, {197, 0xffbd9d60}, {220, 0xffe5c58a}};
        for (auto band = bands.cbegin(); band != bands.cend(); ++band)
            QCOMPARE(QColor(image.pixel(370, band.key())), QColor(band.value()));
    }

    // Without its fonts the generator fails and writes nothing.
    void missingFonts()
    {
        QCOMPARE(QProcess::execute(generator, {dir.filePath("none.png"), dir.path()}), 1);
        QVERIFY(!QFile::exists(dir.filePath("none.png")));
    }
};

QTEST_MAIN(TestUpdaterForm)
#include "tst_updaterform.moc"
