#include "app/Variables.h"
#include "app/frmMain.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/BoardProcess.h"
#include "support/DialogDriver.h"
#include "support/MessageRecorder.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QAccessible>
#include <QPushButton>
#include <QtTest>

namespace {

constexpr int kImageSize = 64 * 1024;

// The program started in a temporary folder whose COM2 is the simulated board, at 115200 baud.
struct Workbench {
    MessageRecorder messages;
    TestProgram program;
    std::unique_ptr<BoardProcess> board;
    frmMain* form = nullptr;

    explicit Workbench(const QString& boardOptions) {
        program.writeSettings("[SCREEN INFO]\nMain Left=0\nMain Top=0\nMain Width=11400\n"
                              "Main Height=8400\n[CONFIGURATION]\nSerial Port=2\n"
                              "Baud Rate=115200\nLast File=\n");
        const QString link = program.filePath(QStringLiteral("COM2"));
        board = std::make_unique<BoardProcess>(QStringLiteral(CORVID_TARGET_PATH),
                                               QStringList{QStringLiteral("--link"), link,
                                                           QStringLiteral("--burst-gap"),
                                                           QStringLiteral("50")} +
                                                   boardOptions.split(u' ', Qt::SkipEmptyParts));
        form = program.start();
        Variables::strProgramFile =
            program.makeFile(QStringLiteral("board.bin"), testBytes(kImageSize));
    }

    QString screen() const { return form->SaxComm1->display()->allLines().join(u'\n'); }

    // Connects and waits for the banner, so that what is sent next is a burst of its own.
    bool connect() {
        QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
        return QTest::qWaitFor(
            [this] { return screen().contains(QStringLiteral("Brisa C167 target simulator")); });
    }

    void upload() {
        whenShown<frmStatus>(QStringLiteral("frmStatus"),
                             [](frmStatus& dialog) { dialog.cmdOkDownload->click(); });
        QTest::mouseClick(form->cmdUpload, Qt::LeftButton);
    }

    void verify() { QTest::mouseClick(form->cmdVerify, Qt::LeftButton); }
};

} // namespace

// The whole workflow against the simulated board running as its own process.
class tst_EndToEnd : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void connectUploadVerify_data();
    void connectUploadVerify();
    void shortReadbackAndCancel();
    void hangUp_data();
    void hangUp();
};

void tst_EndToEnd::cleanup() {
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_EndToEnd::connectUploadVerify_data() {
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("flash matches")
        << QString() << QStringLiteral("65536 Bytes of Flash Data Verified Correct as Sent\r");
    const QByteArray bytes = testBytes(kImageSize);
    QTest::newRow("byte 1000 flipped")
        << QStringLiteral("--flip-byte 1000")
        << QStringLiteral("Retreived Data Not Equal To Binary File Specified\rByte[1001] Is %1 "
                          "Should Be %2.\r\r")
               .arg(quint8(~bytes.at(1000)))
               .arg(quint8(bytes.at(1000)));
    QTest::newRow("noise before the readback")
        << QStringLiteral("--noise 3")
        << QStringLiteral("Retreived Data Not Equal To Binary File Specified\rByte[1]");
    QTest::newRow("paced at 115200 baud")
        << QStringLiteral("--pace")
        << QStringLiteral("65536 Bytes of Flash Data Verified Correct as Sent\r");
}

void tst_EndToEnd::connectUploadVerify() {
    QFETCH(QString, options);
    QFETCH(QString, verdict);
    Workbench bench(options);
    QVERIFY(!bench.board->device().isEmpty());

    QVERIFY(bench.connect());
    // A screen reader reads what the board printed, and the cursor after its prompt.
    QAccessibleTextInterface* reader =
        QAccessible::queryAccessibleInterface(bench.form->SaxComm1->display())->textInterface();
    QTRY_COMPARE(reader->text(0, reader->characterCount()),
                 QStringLiteral("\nBrisa C167 target simulator\nFlash: 0 bytes\n> "));
    QCOMPARE(reader->cursorPosition(), reader->characterCount());
    bench.upload();
    QCOMPARE(bench.messages.count(), 0);
    // The board answers once the image has stopped coming; only then is the request its own.
    QTRY_VERIFY_WITH_TIMEOUT(bench.screen().contains(QStringLiteral("Programmed 65537 bytes")),
                             20000);
    bench.verify();
    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(verdict),
             qPrintable(bench.messages.last().text));
    // Back in the terminal configuration: the prompt after the readback is shown.
    QTRY_VERIFY(bench.screen().endsWith(u'>'));
}

void tst_EndToEnd::shortReadbackAndCancel() {
    Workbench bench(QStringLiteral("--short-readback 1000"));
    QVERIFY(bench.connect());
    bench.upload();
    QTRY_VERIFY(bench.screen().contains(QStringLiteral("Programmed 65537 bytes")));
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (frmVerify* dialog = frmVerify::loaded(); dialog && Variables::lngRxCount == 1005) {
            poll.stop();
            dialog->cmdCancelVerify->click();
        }
    });
    poll.start(10);
    bench.verify();
    QCOMPARE(bench.messages.count(), 0);
    QVERIFY(bench.form->SaxComm1->PortIsOpen());
}

void tst_EndToEnd::hangUp_data() {
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("message");
    QTest::newRow("during the upload")
        << 30000 << QStringLiteral("Error Locating Or Sending Specified Download File\r\r");
    // The carriage return, the image and its extra byte, then part of the request.
    QTest::newRow("during the verification")
        << 1 + kImageSize + 1 + 2 << QStringLiteral("Serial Connection Lost");
}

void tst_EndToEnd::hangUp() {
    QFETCH(int, after);
    QFETCH(QString, message);
    Workbench bench(QStringLiteral("--hangup-after ") + QString::number(after));
    QVERIFY(bench.connect());
    bench.upload();
    if (bench.messages.count() == 0) {
        QTRY_VERIFY(bench.screen().contains(QStringLiteral("Programmed 65537 bytes")));
        bench.verify();
    }
    QTRY_COMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(message),
             qPrintable(bench.messages.last().text));
    QTRY_VERIFY(bench.board->hasExited());
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(bench.form->cmdConnect->text(), QStringLiteral("Connect"));
    QVERIFY(!bench.form->cmdUpload->isEnabled());
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
