#include "app/frmMain.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"
#include "support/MessageRecorder.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QAccessible>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

QString spokenName(QWidget* control) {
    return QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name);
}

} // namespace

// The main window's designed controls and the rule that lays them out when its size changes.
class tst_Layout : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }

    void resizeRule_data() {
        QTest::addColumn<QSizeF>("size");
        // Window width and height, terminal width and height, frame width and top, the left
        // edges of the version box and of its label.
        QTest::addColumn<QList<double>>("twips");
        QTest::newRow("too small grows to 5000 x 3000")
            << QSizeF(4000, 2000) << QList<double>{5000, 3000, 4880, 705, 4640, 810, 5685, 4485};
        QTest::newRow("frame exactly 10245: fixed places")
            << QSizeF(10605, 6000)
            << QList<double>{10605, 6000, 10485, 3705, 10245, 3810, 5685, 4485};
        QTest::newRow("frame just above 10245: computed places")
            << QSizeF(10606, 6000)
            << QList<double>{10606, 6000, 10486, 3705, 10246, 3810, 5671, 4471};
        QTest::newRow("frame 11640")
            << QSizeF(12000, 8000)
            << QList<double>{12000, 8000, 11880, 5705, 11640, 5810, 7065, 5865};
        QTest::newRow("only the width too small")
            << QSizeF(3000, 9000) << QList<double>{5000, 9000, 4880, 6705, 4640, 6810, 5685, 4485};
    }

    // Minimising and restoring the window leaves the layout as it was.
    void resizeRule() {
        QFETCH(QSizeF, size);
        MessageRecorder messages;
        TestProgram program;
        frmMain* form = program.start();
        form->setWidth(size.width());
        form->setHeight(size.height());
        const auto laidOut = [form] {
            using namespace Twips;
            return QList<double>{form->Width(),
                                 form->Height(),
                                 Width(form->SaxComm1),
                                 Height(form->SaxComm1),
                                 Width(form->frControls),
                                 Top(form->frControls),
                                 Left(form->txtVersionInfo),
                                 Left(form->lblVersionInfo)};
        };
        QTEST(laidOut(), "twips");
        QCOMPARE(form->SaxComm1->pos(), QPoint(0, 0));
        form->setWindowState(Qt::WindowMinimized);
        form->setWindowState(Qt::WindowNoState);
        QTEST(laidOut(), "twips");
    }

    void designedControls() {
        MessageRecorder messages;
        TestProgram program;
        frmMain* form = program.start();
        const QStringList captions{form->windowTitle(),       form->cmdConnect->text(),
                                   form->cmdUpload->text(),   form->cmdVerify->text(),
                                   form->frControls->title(), form->lblVersionInfo->text()};
        QCOMPARE(captions, (QStringList{u"Brisa Infineon Flash Programmer"_s, u"&Connect"_s,
                                        u"&Upload Program"_s, u"&Verify Data"_s, u"Controls"_s,
                                        u"Version Info"_s}));
        QCOMPARE(form->windowIcon().availableSizes().value(0), QSize(32, 32));
        QCOMPARE(form->txtVersionInfo->font().family(), u"Courier New"_s);
        QVERIFY(form->txtVersionInfo->font().families().contains(u"Liberation Mono"_s));
        QCOMPARE(form->findChild<QWidget*>(u"SaxComm1"_s), form->SaxComm1);
        QCOMPARE(form->focusWidget(), form->SaxComm1->focusProxy());

        // The keyboard reaches every control; each status bar panel has a spoken name.
        QApplication::setActiveWindow(form);
        QSet<QWidget*> reached;
        for (int i = 0; i < 20; ++i) {
            reached.insert(QApplication::focusWidget());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QList<QWidget*> controls{form->SaxComm1->focusProxy(), form->txtVersionInfo,
                                 form->cmdConnect, form->cmdVerify};
        // A screen reader announces what each status bar panel shows, and its tool tip as the
        // description.
        for (int panel = 1; panel <= 4; ++panel) {
            auto* label = form->findChild<QLabel*>(u"Panel%1"_s.arg(panel));
            controls << label;
            QVERIFY(!label->text().isEmpty());
            QCOMPARE(spokenName(label), label->text());
            if (!label->toolTip().isEmpty())
                QCOMPARE(
                    QAccessible::queryAccessibleInterface(label)->text(QAccessible::Description),
                    label->toolTip());
        }
        for (QWidget* control : std::as_const(controls))
            QVERIFY2(reached.contains(control), qPrintable(control->objectName()));
    }

    void dialogsHaveTheirControls() {
        frmStatus status;
        frmVerify verify;
        // Name, caption, then the controls that a screen reader must be able to name.
        const QList<std::pair<ToolDialog*, QStringList>> dialogs{
            {&status,
             {u"frmStatus"_s, u"Upload Control"_s, u"cmdOkDownload"_s, u"cmdCancelDownload"_s,
              u"lblStatus"_s, u"pgStatus"_s}},
            {&verify,
             {u"frmVerify"_s, u"Verify Flash Data"_s, u"cmdCancelVerify"_s,
              u"lblVerifyReceivingData"_s, u"pgVerify"_s}}};
        for (const auto& [window, names] : dialogs) {
            QCOMPARE(window->objectName(), names[0]);
            QCOMPARE(window->windowTitle(), names[1]);
            QCOMPARE(window->size(), QSize(Twips::toPixelsX(5250), Twips::toPixelsY(1335)));
            QVERIFY(window->windowFlags() & Qt::Tool);
            QVERIFY(!(window->windowFlags() & Qt::WindowMinMaxButtonsHint));
            for (const QString& name : names.sliced(2)) {
                QWidget* control = window->findChild<QWidget*>(name);
                QVERIFY2(control && !spokenName(control).isEmpty(), qPrintable(name));
            }
            for (auto* button : window->findChildren<QPushButton*>())
                QVERIFY(!button->isDefault() && !button->autoDefault());
        }
    }
};

QTEST_MAIN(tst_Layout)
#include "tst_layout.moc"
