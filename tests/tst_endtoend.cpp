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
// Only a quarter second of silence ends a burst, so an upload stalled on a busy machine still
// reaches the board as one image.
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
                                                           QStringLiteral("250")} +
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
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
    void connectUploadVerify_data();
    void connectUploadVerify();
};

void tst_EndToEnd::connectUploadVerify_data() {
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("message"); // the start of the one message; empty: none
    const QString verified = QStringLiteral("65536 Bytes of Flash Data Verified Correct as Sent\r");
    QTest::newRow("flash matches") << QString() << verified;
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
    QTest::newRow("paced at 115200 baud") << QStringLiteral("--pace") << verified;
    // Cancelled once the echo and 1000 bytes are in; the rest never comes.
    QTest::newRow("short readback cancelled")
        << QStringLiteral("--short-readback 1000") << QString();
    QTest::newRow("hang-up during the upload")
        << QStringLiteral("--hangup-after 30000")
        << QStringLiteral("Error Locating Or Sending Specified Download File\r\r");
    // The carriage return, the image and its extra byte, then part of the request.
    QTest::newRow("hang-up during the verification")
        << QStringLiteral("--hangup-after %1").arg(1 + kImageSize + 1 + 2)
        << QStringLiteral("Serial Connection Lost");
}

void tst_EndToEnd::connectUploadVerify() {
    QFETCH(QString, options);
    QFETCH(QString, message);
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
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (frmVerify* dialog = frmVerify::loaded(); dialog && Variables::lngRxCount == 1005) {
            poll.stop();
            dialog->cmdCancelVerify->click();
        }
    });
    if (bench.messages.count() == 0) {
        // The board answers once the image has stopped coming; only then is the request its own.
        QTRY_VERIFY_WITH_TIMEOUT(bench.screen().contains(QStringLiteral("Programmed 65537 bytes")),
                                 20000);
        if (options.startsWith(QStringLiteral("--short-readback")))
            poll.start(10);
        bench.verify();
    }
    QTRY_COMPARE(bench.messages.count(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty())
        QVERIFY2(bench.messages.last().text.startsWith(message),
                 qPrintable(bench.messages.last().text));
    if (options.startsWith(QStringLiteral("--hangup-after"))) {
        QTRY_VERIFY(bench.board->hasExited());
        QVERIFY(!bench.form->SaxComm1->PortIsOpen());
        QCOMPARE(bench.form->cmdConnect->text(), QStringLiteral("Connect"));
        QVERIFY(!bench.form->cmdUpload->isEnabled());
    } else {
        QVERIFY(bench.form->SaxComm1->PortIsOpen());
        // Back in the terminal configuration: the prompt after the readback is shown.
        QTRY_VERIFY(message.isEmpty() || bench.screen().endsWith(u'>'));
    }
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
