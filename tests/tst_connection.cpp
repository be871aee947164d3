#include "app/frmMain.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"

#include <QPushButton>
#include <QtTest>

// The Connect button as a user drives it, over a real pseudo-terminal.
class tst_Connection : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
    void openFailuresLeaveProgramDisconnected_data();
    void openFailuresLeaveProgramDisconnected();
    void farEndClosingIsNoticed_data();
    void farEndClosingIsNoticed();
};

void tst_Connection::openFailuresLeaveProgramDisconnected_data() {
    // "<held>": a pseudo-terminal another program holds; "<file>", "<folder>": in the program
    // folder.
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no such device") << QStringLiteral("/nonexistent/ttyUSB0") << 1
                                    << QStringLiteral("No such file or directory");
    QTest::newRow("not a serial device")
        << QStringLiteral("/dev/null") << 7 << QStringLiteral("Inappropriate ioctl for device");
    QTest::newRow("a regular file")
        << QStringLiteral("<file>") << 7 << QStringLiteral("Inappropriate ioctl for device");
    QTest::newRow("a directory") << QStringLiteral("<folder>") << 8
                                 << QStringLiteral("Is a directory");
    QTest::newRow("held by another program")
        << QStringLiteral("<held>") << 2 << QStringLiteral("locking the device");
}

void tst_Connection::openFailuresLeaveProgramDisconnected() {
    QFETCH(QString, device);
    QFETCH(int, error);
    QFETCH(QString, reason);
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    SaxComm otherProgram;
    if (device == QStringLiteral("<held>")) {
        device = QFileInfo(pty.slavePath()).canonicalFilePath();
        otherProgram.setProgramFolder(program.folder());
        program.linkPort(2, pty.slavePath());
        otherProgram.setPortNumber(2);
        otherProgram.setPortIsOpen(true);
    } else {
        if (device == QStringLiteral("<file>"))
            device = program.makeFile(QStringLiteral("not-a-port"), "text");
        else if (device == QStringLiteral("<folder>"))
            device = program.folder();
        program.linkPort(2, device);
    }
    frmMain* form = program.start();
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);

    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.last().style, 16);
    const QString text = messages.last().text;
    QVERIFY2(text.startsWith(QStringLiteral("Error Opening Serial Port\r\rError # ")) &&
                 text.contains(QStringLiteral(" %1 - COM2 (%2)").arg(error).arg(device)) &&
                 text.contains(reason),
             qPrintable(text));
    QVERIFY(!form->SaxComm1->PortIsOpen());
    QCOMPARE(form->cmdConnect->text(), QStringLiteral("&Connect"));
    QVERIFY(!form->cmdUpload->isEnabled());

    // Usable afterwards: once the line is free, Connect works.
    otherProgram.setPortIsOpen(false);
    program.linkPort(2, pty.slavePath());
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    QVERIFY(form->SaxComm1->PortIsOpen());
    QCOMPARE(messages.count(), 1);
}

void tst_Connection::farEndClosingIsNoticed_data() {
    QTest::addColumn<bool>("removed");
    QTest::addColumn<QString>("cause");
    QTest::newRow("far end closed") << true << QStringLiteral("the device was removed");
    QTest::newRow("line hung up") << false << QStringLiteral("the device hung up");
}

// Connect and Disconnect twice, then the line goes away under a connection.
void tst_Connection::farEndClosingIsNoticed() {
    QFETCH(bool, removed);
    QFETCH(QString, cause);
    MessageRecorder messages;
    auto pty = std::make_unique<PtyPair>();
    pty->setResponder([&](const QByteArray& bytes) {
        if (bytes == "\r")
            pty->send("\r\nBrisa C167 monitor\r\n> ");
    });
    TestProgram program;
    program.linkPort(2, pty->slavePath());
    frmMain* form = program.start();
    QWidget* terminal = form->SaxComm1->focusProxy();
    for (int round = 0; round < 3; ++round) {
        QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
        QCOMPARE(form->cmdConnect->text(),
                 round % 2 ? QStringLiteral("Connect") : QStringLiteral("Disconnect"));
        QCOMPARE(form->SaxComm1->PortIsOpen(), round % 2 == 0);
        QCOMPARE(form->cmdUpload->isEnabled(), round % 2 == 0);
        QVERIFY(form->cmdVerify->isEnabled());
        QCOMPARE(form->focusWidget(), terminal);
        QTRY_COMPARE(form->SaxComm1->display()->screenText(),
                     round % 2 ? QString() : QStringLiteral("\nBrisa C167 monitor\n>"));
        QTest::qWait(50);
        QCOMPARE(pty->received(), QByteArray("\r")); // one carriage return, none at Disconnect
        if (round % 2)
            pty->clearReceived();
    }

    removed ? pty->hangUp() : pty->hangUpLine();
    QTRY_VERIFY_WITH_TIMEOUT(!form->SaxComm1->PortIsOpen(), 1000);
    QTRY_COMPARE(messages.count(), 1);
    // Named as a failed open names it, with what happened rather than a stale system reason.
    const QString text = messages.last().text;
    QVERIFY2(text.startsWith(QStringLiteral("Serial Connection Lost")) &&
                 text.endsWith(QStringLiteral(" - The connection on COM2 (%1) was lost: %2")
                                   .arg(pty->slavePath(), cause)),
             qPrintable(text));
    QCOMPARE(form->cmdConnect->text(), QStringLiteral("Connect"));
    QVERIFY(!form->cmdUpload->isEnabled());

    // A fresh line connects again.
    pty = std::make_unique<PtyPair>();
    program.linkPort(2, pty->slavePath());
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    QVERIFY(form->SaxComm1->PortIsOpen());
    QTRY_COMPARE(pty->received(), QByteArray("\r"));
    QCOMPARE(messages.count(), 1);
}

QTEST_MAIN(tst_Connection)
#include "tst_connection.moc"
