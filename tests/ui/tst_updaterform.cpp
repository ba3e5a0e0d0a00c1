#include "UpdaterForm.h"

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

Q_DECLARE_METATYPE(QPalette::ColorGroup)
Q_DECLARE_METATYPE(QPalette::ColorRole)

class TestUpdaterForm : public QObject
{
    Q_OBJECT

private:
    QDialog dialog;
    UpdaterForm form;

    QWidget* widget(const QString& name) const { return dialog.findChild<QWidget*>(name); }

private slots:
    void initTestCase() { form.setupForm(&dialog); }

    void widgetsInCreationOrder_data();
    void widgetsInCreationOrder();
    void initialState();
    void palettes_data();
    void palettes();
    void pictureIsTheResource_data();
    void pictureIsTheResource();
    void pictureSurvivesRetranslation();
    void resizingMovesNothing();
    void shownDialogShowsThePicture();
};

void TestUpdaterForm::widgetsInCreationOrder_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("image") << 0 << "QLabel" << QRect(0, 0, 390, 232);
    QTest::newRow("progressBar") << 1 << "QProgressBar" << QRect(27, 150, 336, 28);
    QTest::newRow("statusLabel") << 2 << "QLabel" << QRect(27, 135, 331, 17);
    QTest::newRow("timeLabel") << 3 << "QLabel" << QRect(27, 115, 331, 17);
    QTest::newRow("cancelButton") << 4 << "QPushButton" << QRect(45, 203, 78, 26);
    QTest::newRow("playButton") << 5 << "QPushButton" << QRect(267, 203, 78, 26);
}

void TestUpdaterForm::widgetsInCreationOrder()
{
    QFETCH(int, order);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);

    // Stacking follows creation: the dialog's widget children in order.
    QList<QWidget*> children;
    for (QObject* child : dialog.children())
        if (auto* w = qobject_cast<QWidget*>(child))
            children << w;
    QCOMPARE(children.size(), 6);
    QWidget* w = children.at(order);
    QCOMPARE(w->objectName(), QString::fromLatin1(QTest::currentDataTag()));
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->windowFlags() & Qt::WindowType_Mask, Qt::Widget);
}

void TestUpdaterForm::initialState()
{
    QCOMPARE(dialog.objectName(), QStringLiteral("updaterDialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Tovolia Updater"));
    QCOMPARE(dialog.size(), QSize(390, 233));
    QVERIFY(!dialog.layout());

    QCOMPARE(form.image->text(), QString());
    QCOMPARE(form.statusLabel->text(), QString());
    QCOMPARE(form.timeLabel->text(), QString());
    QCOMPARE(form.progressBar->value(), 0);
    QCOMPARE(form.progressBar->minimum(), 0);
    QCOMPARE(form.progressBar->maximum(), 100);
    QCOMPARE(form.progressBar->orientation(), Qt::Horizontal);
    QVERIFY(!form.progressBar->autoFillBackground());
    QVERIFY(!form.statusLabel->autoFillBackground());
    QVERIFY(!form.timeLabel->autoFillBackground());
    QCOMPARE(form.cancelButton->text(), QStringLiteral("Cancel"));
    QCOMPARE(form.playButton->text(), QStringLiteral("Play"));
    QVERIFY(form.cancelButton->isEnabled());
    QVERIFY(!form.playButton->isEnabled());
}

void TestUpdaterForm::palettes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPalette::ColorGroup>("group");
    QTest::addColumn<QPalette::ColorRole>("role");
    QTest::addColumn<QColor>("colour");

    const auto A = QPalette::Active, D = QPalette::Disabled;
    // The entries that tell the three palettes and their groups apart, and a
    // sample of the shared ones.
    QTest::newRow("disabled Play keeps its face")
        << "playButton" << D << QPalette::Button << QColor(244, 233, 205);
    QTest::newRow("disabled Play caption")
        << "playButton" << D << QPalette::ButtonText << QColor(128, 128, 128);
    QTest::newRow("Cancel caption")
        << "cancelButton" << A << QPalette::ButtonText << QColor(0, 0, 0);
    QTest::newRow("bar highlight")
        << "progressBar" << A << QPalette::Highlight << QColor(166, 120, 80);
    QTest::newRow("bar highlight, disabled")
        << "progressBar" << D << QPalette::Highlight << QColor(138, 100, 66);
    QTest::newRow("label highlight")
        << "statusLabel" << A << QPalette::Highlight << QColor(103, 141, 178);
    QTest::newRow("button highlight, disabled")
        << "cancelButton" << D << QPalette::Highlight << QColor(86, 117, 148);
    QTest::newRow("label window") << "timeLabel" << A << QPalette::Window << QColor(255, 255, 255);
    QTest::newRow("bar window") << "progressBar" << D << QPalette::Window << QColor(239, 239, 239);
    QTest::newRow("button window")
        << "cancelButton" << A << QPalette::Window << QColor(239, 239, 239);
    QTest::newRow("bar button") << "progressBar" << A << QPalette::Button << QColor(221, 223, 228);
    QTest::newRow("bar base") << "progressBar" << A << QPalette::Base << QColor(255, 255, 255);
    QTest::newRow("bar base, disabled")
        << "progressBar" << D << QPalette::Base << QColor(239, 239, 239);
    QTest::newRow("label base, disabled")
        << "statusLabel" << D << QPalette::Base << QColor(255, 255, 255);
    QTest::newRow("label text, disabled")
        << "statusLabel" << D << QPalette::Text << QColor(199, 199, 199);
    QTest::newRow("window text, disabled")
        << "timeLabel" << D << QPalette::WindowText << QColor(128, 128, 128);
    QTest::newRow("dark") << "cancelButton" << D << QPalette::Dark << QColor(85, 85, 85);
    QTest::newRow("link") << "statusLabel" << A << QPalette::Link << QColor(0, 0, 238);
    QTest::newRow("visited link") << "progressBar" << D << QPalette::LinkVisited
                                  << QColor(82, 24, 139);
    QTest::newRow("alternate base")
        << "playButton" << A << QPalette::AlternateBase << QColor(232, 232, 232);
    QTest::newRow("shadow") << "timeLabel" << A << QPalette::Shadow << QColor(0, 0, 0);
}

void TestUpdaterForm::palettes()
{
    QFETCH(QString, name);
    QFETCH(QPalette::ColorGroup, group);
    QFETCH(QPalette::ColorRole, role);
    QFETCH(QColor, colour);

    QWidget* w = widget(name);
    QVERIFY(w->testAttribute(Qt::WA_SetPalette));
    QCOMPARE(w->palette().color(group, role), colour);

    // Every one of the seventeen roles is a solid, opaque brush, alike when active
    // and inactive.
    const QPalette p = w->palette();
    for (int r = 0; r <= QPalette::AlternateBase; ++r) {
        for (auto g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            QCOMPARE(p.brush(g, QPalette::ColorRole(r)).style(), Qt::SolidPattern);
            QCOMPARE(p.color(g, QPalette::ColorRole(r)).alpha(), 255);
        }
        QCOMPARE(p.color(QPalette::Inactive, QPalette::ColorRole(r)),
                 p.color(QPalette::Active, QPalette::ColorRole(r)));
    }
    QVERIFY(!form.image->testAttribute(Qt::WA_SetPalette));
}

void TestUpdaterForm::pictureIsTheResource_data()
{
    QTest::addColumn<QPoint>("pixel");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("header rule") << QPoint(200, 38) << QColor(189, 157, 96);
    QTest::newRow("footer rule") << QPoint(5, 197) << QColor(189, 157, 96);
    QTest::newRow("footer, left") << QPoint(2, 215) << QColor(229, 197, 138);
    QTest::newRow("footer, between the buttons") << QPoint(195, 231) << QColor(229, 197, 138);
    QTest::newRow("body under the progress bar") << QPoint(190, 165) << QColor(255, 255, 255);
    QTest::newRow("body under the status line") << QPoint(300, 143) << QColor(255, 255, 255);
}

void TestUpdaterForm::pictureIsTheResource()
{
    QFETCH(QPoint, pixel);
    QFETCH(QColor, colour);

    const QImage resource(QStringLiteral(":/background.png"));
    QCOMPARE(resource.size(), QSize(390, 232));
    QCOMPARE(resource.format(), QImage::Format_Indexed8);
    QCOMPARE(resource.colorCount(), 256);
    QCOMPARE(QColor(resource.pixel(pixel)), colour);

    // What the label shows is that picture, pixel for pixel.
    const QImage shown = form.image->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown, resource.convertToFormat(QImage::Format_RGB32));
}

void TestUpdaterForm::pictureSurvivesRetranslation()
{
    form.retranslateForm(&dialog);
    form.retranslateForm(&dialog);
    QVERIFY(!form.image->pixmap().isNull());
    QCOMPARE(form.image->pixmap().size(), QSize(390, 232));
    QCOMPARE(form.cancelButton->text(), QStringLiteral("Cancel"));
}

void TestUpdaterForm::resizingMovesNothing()
{
    QDialog other;
    UpdaterForm f;
    f.setupForm(&other);
    other.resize(640, 480);
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    QCOMPARE(f.image->geometry(), QRect(0, 0, 390, 232));
    QCOMPARE(f.progressBar->geometry(), QRect(27, 150, 336, 28));
    QCOMPARE(f.playButton->geometry(), QRect(267, 203, 78, 26));
    other.resize(200, 100);
    QCOMPARE(f.cancelButton->geometry(), QRect(45, 203, 78, 26));
    QCOMPARE(f.timeLabel->geometry(), QRect(27, 115, 331, 17));
}

void TestUpdaterForm::shownDialogShowsThePicture()
{
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.size(), QSize(390, 233));
    const QImage screen = dialog.grab().toImage();
    const QImage resource(QStringLiteral(":/background.png"));
    // The picture shows through the text lines, which fill no background of their
    // own, and the dialog's last row is left to the dialog itself.
    for (const QPoint p : {QPoint(330, 120), QPoint(330, 140), QPoint(5, 5), QPoint(389, 231)})
        QCOMPARE(QColor(screen.pixel(p)), QColor(resource.pixel(p)));
    QCOMPARE(QColor(screen.pixel(5, 232)), dialog.palette().color(QPalette::Window));
}

QTEST_MAIN(TestUpdaterForm)
#include "tst_updaterform.moc"
