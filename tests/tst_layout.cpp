#include "serial/SaxComm.h"
#include "foundation/Twips.h"
#include "app/frmMain.h"
#include "support/MessageRecorder.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QAccessible>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

// The main window's designed controls and the rule that lays them out when its size changes.
class tst_Layout : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void resizeRule_data();
    void resizeRule();
    void minimiseAndRestoreKeepsLayout();
    void designedControls();
    void dialogsHaveTheirControls_data();
    void dialogsHaveTheirControls();
    void keyboardReachesEveryControl();
};

void tst_Layout::cleanup() {
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_Layout::resizeRule_data() {
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("expectedWidth");
    QTest::addColumn<double>("expectedHeight");
    QTest::addColumn<double>("terminalWidth");
    QTest::addColumn<double>("terminalHeight");
    QTest::addColumn<double>("frameWidth");
    QTest::addColumn<double>("frameTop");
    QTest::addColumn<double>("versionLeft");
    QTest::addColumn<double>("labelLeft");
    QTest::newRow("too small grows to 5000 x 3000")
        << 4000.0 << 2000.0 << 5000.0 << 3000.0 << 4880.0 << 705.0 << 4640.0 << 810.0 << 5685.0
        << 4485.0;
    QTest::newRow("frame exactly 10245: fixed places")
        << 10605.0 << 6000.0 << 10605.0 << 6000.0 << 10485.0 << 3705.0 << 10245.0 << 3810.0
        << 5685.0 << 4485.0;
    QTest::newRow("frame just above 10245: computed places")
        << 10606.0 << 6000.0 << 10606.0 << 6000.0 << 10486.0 << 3705.0 << 10246.0 << 3810.0
        << 5671.0 << 4471.0;
    QTest::newRow("frame 11640") << 12000.0 << 8000.0 << 12000.0 << 8000.0 << 11880.0 << 5705.0
                                 << 11640.0 << 5810.0 << 7065.0 << 5865.0;
    QTest::newRow("only the width too small") << 3000.0 << 9000.0 << 5000.0 << 9000.0 << 4880.0
                                              << 6705.0 << 4640.0 << 6810.0 << 5685.0 << 4485.0;
}

void tst_Layout::resizeRule() {
    QFETCH(double, width);
    QFETCH(double, height);
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    form->setWidth(width);
    form->setHeight(height);
    QTEST(form->Width(), "expectedWidth");
    QTEST(form->Height(), "expectedHeight");
    QTEST(Twips::Width(form->SaxComm1), "terminalWidth");
    QTEST(Twips::Height(form->SaxComm1), "terminalHeight");
    QTEST(Twips::Width(form->frControls), "frameWidth");
    QTEST(Twips::Top(form->frControls), "frameTop");
    QTEST(Twips::Left(form->txtVersionInfo), "versionLeft");
    QTEST(Twips::Left(form->lblVersionInfo), "labelLeft");
    QCOMPARE(Twips::Left(form->SaxComm1), 0.0);
    QCOMPARE(Twips::Top(form->SaxComm1), 0.0);
    QCOMPARE(Twips::Left(form->frControls), 120.0);
    QCOMPARE(Twips::Height(form->frControls), 855.0);
    QCOMPARE(Twips::Left(form->cmdConnect), 360.0);
    QCOMPARE(Twips::Left(form->cmdVerify), 3360.0);
}

void tst_Layout::minimiseAndRestoreKeepsLayout() {
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    form->setWidth(9000);
    form->setHeight(6500);
    const QRect terminal = form->SaxComm1->geometry();
    const QRect frame = form->frControls->geometry();
    form->setWindowState(Qt::WindowMinimized);
    form->setWindowState(Qt::WindowNoState);
    QCOMPARE(form->SaxComm1->geometry(), terminal);
    QCOMPARE(form->frControls->geometry(), frame);
    QCOMPARE(form->Width(), 9000.0);
}

void tst_Layout::designedControls() {
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    QCOMPARE(form->windowTitle(), QStringLiteral("Brisa Infineon Flash Programmer"));
    QVERIFY(!form->windowIcon().isNull());
    QCOMPARE(form->windowIcon().availableSizes().value(0), QSize(32, 32));
    QCOMPARE(form->cmdConnect->text(), QStringLiteral("&Connect"));
    QCOMPARE(form->cmdUpload->text(), QStringLiteral("&Upload Program"));
    QCOMPARE(form->cmdVerify->text(), QStringLiteral("&Verify Data"));
    QCOMPARE(form->frControls->title(), QStringLiteral("Controls"));
    QCOMPARE(form->lblVersionInfo->text(), QStringLiteral("Version Info"));
    QCOMPARE(Twips::Width(form->cmdUpload), 1815.0);
    QCOMPARE(Twips::Height(form->txtVersionInfo), 360.0);
    QCOMPARE(form->txtVersionInfo->font().family(), QStringLiteral("Courier New"));
    QVERIFY(form->txtVersionInfo->font().families().contains(QStringLiteral("Liberation Mono")));
    QVERIFY(form->findChild<QWidget*>(QStringLiteral("SaxComm1")) == form->SaxComm1);
    QCOMPARE(form->focusWidget(), form->SaxComm1->focusProxy());
}

void tst_Layout::dialogsHaveTheirControls_data() {
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QStringList>("controls");
    QTest::newRow("upload") << QStringLiteral("frmStatus") << QStringLiteral("Upload Control")
                            << QStringList{QStringLiteral("cmdOkDownload"),
                                           QStringLiteral("cmdCancelDownload"),
                                           QStringLiteral("lblStatus"), QStringLiteral("pgStatus")};
    QTest::newRow("verify") << QStringLiteral("frmVerify") << QStringLiteral("Verify Flash Data")
                            << QStringList{QStringLiteral("cmdCancelVerify"),
                                           QStringLiteral("lblVerifyReceivingData"),
                                           QStringLiteral("pgVerify")};
}

void tst_Layout::dialogsHaveTheirControls() {
    QFETCH(QString, dialog);
    QFETCH(QString, caption);
    QFETCH(QStringList, controls);
    std::unique_ptr<ToolDialog> window;
    if (dialog == QStringLiteral("frmStatus"))
        window = std::make_unique<frmStatus>();
    else
        window = std::make_unique<frmVerify>();
    QCOMPARE(window->objectName(), dialog);
    QCOMPARE(window->windowTitle(), caption);
    QCOMPARE(window->size(), QSize(Twips::toPixelsX(5250), Twips::toPixelsY(1335)));
    QVERIFY(window->windowFlags() & Qt::Tool);
    QVERIFY(!(window->windowFlags() & Qt::WindowMinMaxButtonsHint));
    for (const QString& name : controls) {
        QWidget* control = window->findChild<QWidget*>(name);
        QVERIFY2(control, qPrintable(name));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        QVERIFY(accessible);
        const QString spoken = accessible->text(QAccessible::Name);
        QVERIFY2(!spoken.isEmpty(), qPrintable(name + QStringLiteral(" has no accessible name")));
    }
    for (auto* button : window->findChildren<QPushButton*>())
        QVERIFY(!button->isDefault() && !button->autoDefault());
}

void tst_Layout::keyboardReachesEveryControl() {
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    QApplication::setActiveWindow(form);
    QSet<QWidget*> reached;
    for (int i = 0; i < 20; ++i) {
        reached.insert(QApplication::focusWidget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QVERIFY(reached.contains(form->SaxComm1->focusProxy()));
    QVERIFY(reached.contains(form->txtVersionInfo));
    QVERIFY(reached.contains(form->cmdConnect));
    QVERIFY(reached.contains(form->cmdVerify));
    // A screen reader announces what each status bar panel shows, and its tool tip as the
    // description.
    for (int panel = 1; panel <= 4; ++panel) {
        auto* label = form->findChild<QLabel*>(QStringLiteral("Panel%1").arg(panel));
        QVERIFY(reached.contains(label));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(label);
        QVERIFY(!label->text().isEmpty());
        QCOMPARE(accessible->text(QAccessible::Name), label->text());
        if (!label->toolTip().isEmpty())
            QCOMPARE(accessible->text(QAccessible::Description), label->toolTip());
    }
}

QTEST_MAIN(tst_Layout)
#include "tst_layout.moc"
