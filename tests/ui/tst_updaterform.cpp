#include "UpdaterForm.h"

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

// The form as the dialog's code and its user meet it: which widgets, stacked how, in which state,
// and the picture from the resource. The numbers of the form's code are not repeated here.
class TestUpdaterForm : public QObject
{
    Q_OBJECT

    QDialog dialog;
    UpdaterForm form;

private slots:
    void initTestCase() { form.setupForm(&dialog); }

    void widgetsAndStates()
    {
        // The dialog's widget children in creation order, which is also the stacking order, and
        // the names the dialog's code finds them by.
        const QList<QWidget*> children =
            dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        QStringList names;
        for (QWidget* w : children)
            names << w->objectName();
        QCOMPARE(children, QList<QWidget*>({form.image, form.progressBar, form.statusLabel,
                                            form.timeLabel, form.cancelButton, form.playButton}));
        QCOMPARE(names, QStringList({"image", "progressBar", "statusLabel", "timeLabel",
                                     "cancelButton", "playButton"}));
        QCOMPARE(dialog.objectName(), QStringLiteral("updaterDialog"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Tovolia Updater"));
        QCOMPARE(dialog.size(), QSize(390, 233));
        QCOMPARE(form.statusLabel->text() + form.timeLabel->text() + form.image->text(), QString());
        QCOMPARE(form.progressBar->value(), 0);
        QCOMPARE(form.progressBar->maximum(), 100); // the step function sets percentages
        QCOMPARE(form.cancelButton->text(), QStringLiteral("Cancel"));
        QCOMPARE(form.playButton->text(), QStringLiteral("Play"));
        QVERIFY(form.cancelButton->isEnabled());
        QVERIFY(!form.playButton->isEnabled());
        // Texts set again keep the picture: the label already has the empty text.
        form.retranslateForm(&dialog);
        QCOMPARE(form.image->pixmap().size(), QSize(390, 232));

        // Three palettes, the bar's, the labels' and the buttons'; the picture keeps the dialog's.
        QVERIFY(!form.image->testAttribute(Qt::WA_SetPalette));
        QCOMPARE(form.statusLabel->palette(), form.timeLabel->palette());
        QCOMPARE(form.cancelButton->palette(), form.playButton->palette());
        QVERIFY(form.progressBar->palette() != form.statusLabel->palette());
        QVERIFY(form.progressBar->palette() != form.cancelButton->palette());
        QVERIFY(form.statusLabel->palette() != form.cancelButton->palette());
        for (QWidget* w : children.mid(1)) {
            const QPalette p = w->palette();
            QVERIFY(w->testAttribute(Qt::WA_SetPalette));
            for (int r = 0; r <= QPalette::AlternateBase; ++r) {
                const auto role = QPalette::ColorRole(r);
                QCOMPARE(p.color(QPalette::Inactive, role), p.color(QPalette::Active, role));
                QCOMPARE(p.color(QPalette::Disabled, role).alpha(), 255);
            }
            // The disabled Play button keeps its face.
            QCOMPARE(p.color(QPalette::Disabled, QPalette::Button),
                     p.color(QPalette::Active, QPalette::Button));
        }
    }

    void shownDialog()
    {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.size(), QSize(390, 233));
        // Later widgets lie on top: the status line covers the bar's first rows. The last row of
        // the dialog is not covered by the picture.
        QCOMPARE(dialog.childAt(100, 150), form.statusLabel);
        QCOMPARE(dialog.childAt(100, 160), form.progressBar);
        QCOMPARE(dialog.childAt(5, 5), form.image);
        QCOMPARE(dialog.childAt(5, 232), nullptr);

        // The label shows the resource's picture, and it shows through the text lines, which fill
        // no background of their own; the dialog's last row is left to the dialog itself.
        const QImage resource =
            QImage(QStringLiteral(":/background.png")).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(form.image->pixmap().toImage().convertToFormat(QImage::Format_RGB32), resource);
        const QImage screen = dialog.grab().toImage();
        for (const QPoint p : {QPoint(330, 120), QPoint(330, 140), QPoint(5, 5), QPoint(389, 231)})
            QCOMPARE(QColor(screen.pixel(p)), QColor(resource.pixel(p)));
        QCOMPARE(QColor(screen.pixel(5, 232)), dialog.palette().color(QPalette::Window));

        // No layout: resizing moves and stretches nothing.
        const auto geometries = [this] {
            QList<QRect> list;
            for (QWidget* w : dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
                list << w->geometry();
            return list;
        };
        const QList<QRect> before = geometries();
        for (QSize size : {QSize(640, 480), QSize(200, 100)}) {
            dialog.resize(size);
            QCOMPARE(geometries(), before);
        }
    }
};

QTEST_MAIN(TestUpdaterForm)
#include "tst_updaterform.moc"
