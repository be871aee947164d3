#include "app/frmMain.h"
#include "foundation/StatusBar.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"
#include "support/TestProgram.h"

#include <QtTest>
#include <QtWidgets>

// The rule that lays out the main window when its size changes, and what the keyboard and a
// screen reader reach in it.
class tst_Layout : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY(noWindowLeftOpen()); }

    void layoutAndReach_data() {
        // Named by the size asked for: the window's width and height, the terminal's width and
        // height, the frame's width and top, the left edges of the version box and of its label.
        QTest::addColumn<QString>("twips");
        QTest::newRow("4000 x 2000") << "5000 3000 4880 705 4640 810 5685 4485";
        QTest::newRow("10605 x 9000") << "10605 9000 10485 6705 10245 6810 5685 4485";
        QTest::newRow("10606 x 1") << "10606 3000 10486 705 10246 810 5671 4471";
    }

    // Tab reaches every control; a screen reader hears what each status bar panel shows.
    void layoutAndReach() {
        MessageRecorder messages;
        TestProgram program;
        frmMain* form = program.start();
        const QStringList size = QString::fromLatin1(QTest::currentDataTag()).split(u'x');
        form->setWidth(size[0].toDouble());
        form->setHeight(size[1].toDouble());
        QStringList edges;
        using namespace Twips;
        for (double twips : {form->Width(), form->Height(), Width(form->SaxComm1),
                             Height(form->SaxComm1), Width(form->frControls), Top(form->frControls),
                             Left(form->txtVersionInfo), Left(form->lblVersionInfo)})
            edges << QString::number(twips);
        QTEST(edges.join(u' '), "twips");
        QApplication::setActiveWindow(form);
        QList<QWidget*> unreached{form->SaxComm1->focusProxy(), form->txtVersionInfo,
                                  form->cmdConnect, form->cmdVerify};
        for (QLabel* panel : form->StatusBar1->findChildren<QLabel*>()) {
            unreached << panel;
            const QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(panel);
            QCOMPARE(spoken->text(QAccessible::Name), panel->text());
            QVERIFY(!spoken->text(QAccessible::Description).isEmpty());
        }
        for (int i = 0; i < 20; ++i) {
            unreached.removeAll(QApplication::focusWidget());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(unreached, QList<QWidget*>());
    }
};

QTEST_MAIN(tst_Layout)
#include "tst_layout.moc"
