#include "app/frmMain.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/BoardProcess.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"

#include <QDir>
#include <QPushButton>
#include <QtTest>

using namespace Qt::StringLiterals;

// The whole workflow against the simulated board running as its own process on the program's
// COM2, at 115200 baud.
class tst_EndToEnd : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
    void connectUploadVerify_data();
    void connectUploadVerify();
};

void tst_EndToEnd::connectUploadVerify_data() {
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("message"); // the start of the one message
    const QString verified = u"65536 Bytes of Flash Data Verified Correct as Sent\r"_s;
    const QByteArray bytes = testBytes(65536);
    QTest::newRow("flash matches") << QString() << verified;
    QTest::newRow("byte 1000 flipped")
        << u"--flip-byte 1000"_s
        << u"Retreived Data Not Equal To Binary File Specified\rByte[1001] Is %1 Should Be %2.\r\r"_s
               .arg(quint8(~bytes.at(1000)))
               .arg(quint8(bytes.at(1000)));
    QTest::newRow("paced at 115200 baud") << u"--pace"_s << verified;
    QTest::newRow("hang-up during the upload")
        << u"--hangup-after 30000"_s << u"Error Locating Or Sending Specified Download File\r\r"_s;
    // The carriage return, the image and its extra byte, then part of the request.
    QTest::newRow("hang-up during the verification")
        << u"--hangup-after %1"_s.arg(1 + 65536 + 1 + 2) << u"Serial Connection Lost"_s;
}

void tst_EndToEnd::connectUploadVerify() {
    QFETCH(QString, options);
    QFETCH(QString, message);
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings("[CONFIGURATION]\nSerial Port=2\nBaud Rate=115200\n");
    // Only a quarter second of silence ends a burst, so an upload stalled on a busy machine
    // still reaches the board as one image; the banner comes first, as a burst of its own.
    BoardProcess board(
        QStringLiteral(CORVID_TARGET_PATH),
        QStringList{u"--link"_s, program.filePath(u"COM2"_s), u"--burst-gap"_s, u"250"_s} +
            options.split(u' ', Qt::SkipEmptyParts));
    QVERIFY(!board.device().isEmpty());
    frmMain* form = program.start();
    QVERIFY(QDir(program.folder()).mkdir(u"Prüf bilder"_s));
    form->session().strProgramFile =
        program.makeFile(u"Prüf bilder/Öl pumpe µC.bin"_s, testBytes(65536));
    const auto screen = [&] { return form->SaxComm1->display()->allLines().join(u'\n'); };
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    QTRY_VERIFY(screen().contains(u"Brisa C167 target simulator\nFlash: 0 bytes"_s));
    whenShown<frmStatus>(u"frmStatus"_s, [](frmStatus& dialog) { dialog.cmdOkDownload->click(); });
    QTest::mouseClick(form->cmdUpload, Qt::LeftButton);
    if (messages.count() == 0) {
        // The board answers once the image has stopped coming; only then is the request its own.
        QTRY_VERIFY_WITH_TIMEOUT(screen().contains(u"Programmed 65537 bytes"_s), 20000);
        QTest::mouseClick(form->cmdVerify, Qt::LeftButton);
    }
    QTRY_COMPARE(messages.count(), 1);
    QVERIFY2(messages.last().text.startsWith(message), qPrintable(messages.last().text));
    const bool hungUp = options.startsWith(u"--hangup-after"_s);
    QTRY_COMPARE(board.hasExited(), hungUp);
    QCOMPARE(form->SaxComm1->PortIsOpen(), !hungUp);
    QCOMPARE(form->cmdConnect->text(), hungUp ? u"Connect"_s : u"Disconnect"_s);
    QCOMPARE(form->cmdUpload->isEnabled(), !hungUp);
    // The path, with blanks and letters beyond ASCII, is stored as it was.
    const QString path = form->session().strProgramFile;
    program.close();
    QVERIFY(program.readSettings().contains(u"Last File=%1"_s.arg(path).toUtf8()));
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
