#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/Bench.h"

using namespace Qt::StringLiterals;

class tst_Connection : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY(noWindowLeftOpen()); }
    void failureLeavesProgramDisconnected_data();
    void failureLeavesProgramDisconnected();
};

void tst_Connection::failureLeavesProgramDisconnected_data() {
    // COM2 links to a path, is a file, is missing (""), or links to a held or lost pseudo-terminal.
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("message");
    const QString open =
        u"Error Opening Serial Port\r\rError # %1 - COM2 (%2) could not be opened: "_s;
    const QString lost =
        u"Serial Connection Lost - Check The Cable And Connect Again\r\rError #  5 - "
        u"The connection on COM2 (%1) was lost: the device "_s;
    QTest::newRow("dangling link") << u"/gone"_s << open.arg(1, 2) + u"No such file or directory"_s;
    QTest::newRow("file") << u"COM2"_s << open.arg(7, 2) + u"Inappropriate ioctl for device"_s;
    QTest::newRow("folder") << u"/"_s << open.arg(8, 2) + u"Is a directory"_s;
    QTest::newRow("held") << u"<held>"_s
                          << open.arg(2, 2) + u"Permission error while locking the device; "
                                              u"another program is using %2: close it"_s;
    if (!QFile::exists(u"/dev/ttyS1"_s))
        QTest::newRow("no link") << QString() << open.arg(1, 2) + u"No such file or directory"_s;
    QTest::newRow("far end closed") << u"<removed>"_s << lost + u"was removed"_s;
    QTest::newRow("line hung up") << u"<hung up>"_s << lost + u"hung up"_s;
}

// One message naming the port, the device and what failed; then Connect works on a free line.
void tst_Connection::failureLeavesProgramDisconnected() {
    QFETCH(QString, device);
    QFETCH(QString, message);
    Bench bench(false);
    frmMain* form = bench.form;
    SaxComm otherProgram;
    otherProgram.setProgramFolder(bench.program.folder());
    otherProgram.setPortNumber(2);
    otherProgram.setPortIsOpen(device == u"<held>"_s);
    if (device.startsWith(u'<'))
        device = QFileInfo(bench.pty.slavePath()).canonicalFilePath();
    else
        QFile::remove(bench.program.filePath(u"COM2"_s));
    if (device.startsWith(u'/'))
        bench.program.linkPort(2, device);
    else if (device == u"COM2"_s)
        device = bench.program.makeFile(device, "text");
    else
        device = u"/dev/ttyS1"_s;
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    if (message.startsWith(u"Serial"_s))
        message.endsWith(u"removed"_s) ? bench.pty.hangUp() : bench.pty.hangUpLine();
    QTRY_COMPARE_WITH_TIMEOUT(bench.messages.count(), 1, 1000);
    QVERIFY2(bench.messages.last().text.startsWith(message.arg(device)),
             qPrintable(bench.messages.last().text));
    // The caption says Connect, with its access key if it never changed.
    QVERIFY(form->cmdConnect->text().endsWith(u"Connect"_s) && !form->cmdUpload->isEnabled());

    PtyPair fresh;
    bench.program.linkPort(2, fresh.slavePath());
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    QCOMPARE(form->focusWidget(), form->SaxComm1->focusProxy());
    form->SaxComm1->setDisplayText("> ");
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    QTRY_COMPARE(form->SaxComm1->display()->screenText(), QString());
    QTRY_COMPARE(fresh.received(), QByteArray("\r")); // one carriage return, none at Disconnect
    QCOMPARE(bench.messages.count(), 1);
}

QTEST_MAIN(tst_Connection)
#include "tst_connection.moc"
