#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "foundation/DoEvents.h"
#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "app/Variables.h"
#include "app/frmMain.h"
#include "support/DialogDriver.h"
#include "support/MessageRecorder.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "verify/frmVerify.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {

// A connected program whose target answers "UFD" and a carriage return with a reply.
struct Bench {
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    frmMain* form;
    QByteArray heard;
    std::function<void()> answer; // called when the request has arrived

    Bench() {
        program.linkPort(2, pty.slavePath());
        pty.setResponder([this](const QByteArray& bytes) {
            heard += bytes;
            if (heard.endsWith("UFD\r") && answer)
                answer();
        });
        form = program.start();
        QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
        QTRY_COMPARE(heard, QByteArray("\r"));
        heard.clear();
    }

    QByteArray chooseFile(const QByteArray& content) {
        Variables::strProgramFile = program.makeFile(QStringLiteral("image.bin"), content);
        return content;
    }

    void reply(const QByteArray& bytes) {
        answer = [this, bytes] { pty.send(bytes); };
    }

    void verify() { QTest::mouseClick(form->cmdVerify, Qt::LeftButton); }
};

QString mismatch(int position, int received, int expected) {
    return QStringLiteral("Retreived Data Not Equal To Binary File Specified\rByte[%1] Is %2 "
                          "Should Be %3.\r\r")
        .arg(position)
        .arg(received)
        .arg(expected);
}

// The share of the bar's middle row that shows the highlight colour in the window's painted
// image, which is what reaches the screen.
double paintedShare(const QWidget& bar) {
    const QImage shown = bar.screen()->grabWindow(bar.window()->winId()).toImage();
    const QPoint row = bar.mapTo(bar.window(), QPoint(0, bar.height() / 2));
    const int hue = bar.palette().color(QPalette::Highlight).hsvHue();
    int painted = 0;
    for (int x = 0; x < bar.width(); ++x) {
        const QColor pixel = shown.pixelColor(row + QPoint(x, 0));
        painted += pixel.hsvSaturation() > 64 && qAbs(pixel.hsvHue() - hue) < 20;
    }
    return double(painted) / bar.width();
}

} // namespace

// Capturing the target's reply and verifying the flash against the file.
class tst_Verify : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void verdicts_data();
    void verdicts();
    void replyDeliveryDoesNotMatter_data();
    void replyDeliveryDoesNotMatter();
    void shortReplyAndCancel_data();
    void shortReplyAndCancel();
    void nothingHappensWithoutPortOrFile_data();
    void nothingHappensWithoutPortOrFile();
    void vanishedFile();
    void progressDuringVerification();
    void captureYieldsEvery250Bytes();
    void bytesOutsideVerificationTouchNoDialog();
    void floodBeyondBufferIsDropped();
    void largestFiles_data();
    void largestFiles();
    void lineLostDuringWait();
    void fileGoneBeforeComparison();
};

void tst_Verify::cleanup() {
    setDoEventsObserver({});
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_Verify::verdicts_data() {
    QTest::addColumn<int>("flipAt"); // position in the reply, -1 for none
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("text");
    const QByteArray file = testBytes(1024);
    const QString success = QStringLiteral("1024 Bytes of Flash Data Verified Correct as Sent\r");
    QTest::newRow("match") << -1 << QByteArray() << QStringLiteral("Verification Complete") << 64
                           << success;
    QTest::newRow("match, extra bytes after")
        << -1 << QByteArray("\r\n> garbage") << QStringLiteral("Verification Complete") << 64
        << success;
    QTest::newRow("leading bytes never compared")
        << 0 << QByteArray() << QStringLiteral("Verification Complete") << 64 << success;
    QTest::newRow("sixth byte differs") << 5 << QByteArray() << QStringLiteral("Verify Error") << 16
                                        << mismatch(1, quint8(~file.at(0)), quint8(file.at(0)));
    QTest::newRow("last byte differs")
        << 1028 << QByteArray() << QStringLiteral("Verify Error") << 16
        << mismatch(1024, quint8(~file.at(1023)), quint8(file.at(1023)));
}

void tst_Verify::verdicts() {
    QFETCH(int, flipAt);
    QFETCH(QByteArray, extra);
    Bench bench;
    const QByteArray file = bench.chooseFile(testBytes(1024));
    QByteArray reply = "UFD\r\n" + file + extra;
    if (flipAt >= 0)
        reply[flipAt] = static_cast<char>(~reply.at(flipAt));
    bench.reply(reply);
    bench.verify();
    QCOMPARE(bench.heard, QByteArray("UFD\r"));
    QCOMPARE(bench.messages.count(), 1);
    QTEST(bench.messages.last().title, "title");
    QTEST(bench.messages.last().style, "style");
    QTEST(bench.messages.last().text, "text");
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
}

void tst_Verify::replyDeliveryDoesNotMatter_data() {
    QTest::addColumn<QString>("delivery");
    QTest::newRow("one burst") << QStringLiteral("burst");
    QTest::newRow("many small pieces") << QStringLiteral("pieces");
    QTest::newRow("tail while the capture yields") << QStringLiteral("tail");
}

void tst_Verify::replyDeliveryDoesNotMatter() {
    QFETCH(QString, delivery);
    Bench bench;
    const QByteArray file = bench.chooseFile(testBytes(4000));
    const QByteArray reply = "UFD\r\n" + file;
    if (delivery == QStringLiteral("burst")) {
        bench.reply(reply);
    } else if (delivery == QStringLiteral("pieces")) {
        bench.answer = [&] {
            for (int offset = 0; offset < reply.size(); offset += 97)
                QTimer::singleShot(offset / 400, &bench.pty,
                                   [&, offset] { bench.pty.send(reply.mid(offset, 97)); });
        };
    } else {
        // The last bytes arrive during the capture's first yield, and nothing comes after.
        bench.answer = [&] {
            bench.pty.send(reply.first(reply.size() - 3));
            setDoEventsObserver([&pty = bench.pty, tail = reply.last(3)] {
                pty.send(tail);
                setDoEventsObserver({}); // destroys this observer: nothing may follow
            });
        };
    }
    bench.verify();
    QCOMPARE(bench.messages.count(), 1);
    QCOMPARE(bench.messages.last().text,
             QStringLiteral("4000 Bytes of Flash Data Verified Correct as Sent\r"));
}

void tst_Verify::shortReplyAndCancel_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("close box") << true;
}

void tst_Verify::shortReplyAndCancel() {
    QFETCH(bool, closeBox);
    Bench bench;
    const QByteArray file = bench.chooseFile(testBytes(1000));
    bench.reply("UFD\r\n" + file.first(300));
    float shownValue = 0;
    QString shownLabel;
    // The dialog's wait runs the message loop: the test acts from a timer, never blocking.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        frmVerify* dialog = frmVerify::loaded();
        if (!dialog || Variables::lngRxCount != 305)
            return;
        poll.stop();
        shownValue = dialog->pgVerify->Value();
        shownLabel = dialog->lblVerifyReceivingData->text();
        if (closeBox)
            dialog->close();
        else
            dialog->cmdCancelVerify->click();
    });
    poll.start(5);
    bench.verify();
    QCOMPARE(shownValue, 305.0f);
    QCOMPARE(shownLabel, QStringLiteral("Receiving Flash Data [300 Bytes]"));
    QCOMPARE(bench.messages.count(), 0);
    QCOMPARE(Forms::Count(), 1);
    // Back in the terminal configuration: what the target prints shows again.
    bench.pty.send("\x1b[2J> ready");
    QTRY_COMPARE(bench.form->SaxComm1->display()->screenText(), QStringLiteral("> ready"));
}

void tst_Verify::nothingHappensWithoutPortOrFile_data() {
    QTest::addColumn<QString>("situation");
    QTest::newRow("port closed") << QStringLiteral("closed");
    QTest::newRow("no file chosen") << QStringLiteral("nofile");
    QTest::newRow("zero-length file") << QStringLiteral("empty");
}

void tst_Verify::nothingHappensWithoutPortOrFile() {
    QFETCH(QString, situation);
    Bench bench;
    bench.chooseFile(situation == QStringLiteral("empty") ? QByteArray() : testBytes(10));
    if (situation == QStringLiteral("nofile"))
        Variables::strProgramFile.clear();
    if (situation == QStringLiteral("closed"))
        QTest::mouseClick(bench.form->cmdConnect, Qt::LeftButton);
    Variables::lngRxCount = 77;
    bench.verify();
    QCOMPARE(Variables::lngRxCount, 0);
    QCOMPARE(bench.messages.count(), 0);
    QCOMPARE(Forms::Count(), 1);
    QTest::qWait(30);
    QCOMPARE(bench.heard, QByteArray());
}

void tst_Verify::vanishedFile() {
    Bench bench;
    Variables::strProgramFile = bench.program.filePath(QStringLiteral("gone.bin"));
    bench.verify();
    QCOMPARE(bench.messages.count(), 1);
    QCOMPARE(bench.messages.last().text,
             QStringLiteral("Error Locating Specified Comparison File\r\rError #  0 - "));
    QCOMPARE(bench.messages.last().title, QStringLiteral("File Error"));
    QCOMPARE(Forms::Count(), 1);
}

void tst_Verify::progressDuringVerification() {
    Bench bench;
    const QByteArray reply = "UFD\r\n" + bench.chooseFile(testBytes(10000));
    float value = 0;
    float max = 0;
    QString label;
    bool waitOver = false;
    bool piecesArrived = true;
    bool halfPainted = false;
    double paintedAtHalf = 0;
    bench.answer = [&] {
        frmVerify* dialog = frmVerify::loaded();
        // Half the reply comes in pieces, with the window painting in between, as on a line.
        for (qint32 sent = 0; sent < 5005; sent += 91) {
            bench.pty.send(reply.mid(sent, std::min(91, 5005 - sent)));
            piecesArrived &=
                QTest::qWaitFor([&] { return Variables::lngRxCount >= std::min(sent + 91, 5005); });
        }
        halfPainted = QTest::qWaitFor([&] {
            paintedAtHalf = paintedShare(*dialog->pgVerify);
            return qAbs(paintedAtHalf - 0.5) < 0.05;
        });
        bench.pty.send(reply.mid(5005));
        QTRY_COMPARE(Variables::lngRxCount, 10005);
        value = dialog->pgVerify->Value();
        max = dialog->pgVerify->Max();
        label = dialog->lblVerifyReceivingData->text();
        waitOver = Variables::blnVerifying == Variables::kFalse;
        // Later bytes are stored and counted, but the display stays as it was.
        bench.pty.send("\r\n> ");
        QTRY_COMPARE(Variables::lngRxCount, 10009);
        QCOMPARE(dialog->pgVerify->Value(), 10005.0f);
    };
    bench.verify();
    QCOMPARE(value, 10005.0f);
    QCOMPARE(max, 10006.0f);
    QCOMPARE(label, QStringLiteral("Receiving Flash Data [10000 Bytes]"));
    QVERIFY(waitOver);
    QVERIFY(piecesArrived);
    QVERIFY2(halfPainted, qPrintable(QString::number(paintedAtHalf)));
}

void tst_Verify::captureYieldsEvery250Bytes() {
    Bench bench;
    Variables::lngFileSize = 1000;
    frmVerify& dialog = frmVerify::Load(bench.form->verifyState());
    bench.form->SaxComm1->setSetting6(false);
    bench.form->SaxComm1->setSetting126(1);
    Variables::lngRxCount = 0;
    Variables::blnVerifying = Variables::kTrue;
    QList<int> yieldsAt;
    setDoEventsObserver([&] { yieldsAt << Variables::lngRxCount; });
    bench.pty.send(testBytes(600));
    QTRY_COMPARE(Variables::lngRxCount, 600);
    QTRY_VERIFY(!yieldsAt.isEmpty() && yieldsAt.last() == 600);
    setDoEventsObserver({});
    QCOMPARE(yieldsAt, (QList<int>{250, 500, 600}));
    QCOMPARE(dialog.pgVerify->Value(), 600.0f);
    Forms::Unload(&dialog);
    Variables::blnVerifying = Variables::kFalse;
}

void tst_Verify::bytesOutsideVerificationTouchNoDialog() {
    Bench bench;
    frmVerify& dialog = frmVerify::Load(bench.form->verifyState());
    const QString label = dialog.lblVerifyReceivingData->text();
    bench.form->SaxComm1->setSetting6(false);
    bench.form->SaxComm1->setSetting126(1);
    Variables::lngRxCount = 0;
    bench.pty.send("hello");
    QTRY_COMPARE(Variables::lngRxCount, 5);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(Variables::bytRxBuffer.data()), 5),
             QByteArray("hello"));
    QCOMPARE(dialog.lblVerifyReceivingData->text(), label);
    Forms::Unload(&dialog);
}

void tst_Verify::floodBeyondBufferIsDropped() {
    Bench bench;
    bench.form->SaxComm1->setSetting6(false);
    bench.form->SaxComm1->setSetting126(1);
    Variables::lngRxCount = Variables::kRxBufferSize - 10;
    Variables::bytRxBuffer.back() = 0;
    const QByteArray flood = testBytes(64 * 1024);
    bench.pty.send(flood);
    QTRY_COMPARE(bench.form->SaxComm1->ReceivedCount(), 0);
    QTest::qWait(50);
    QTRY_COMPARE(bench.form->SaxComm1->ReceivedCount(), 0);
    QCOMPARE(Variables::lngRxCount, Variables::kRxBufferSize);
    QCOMPARE(Variables::bytRxBuffer.back(), quint8(flood.at(9)));
}

void tst_Verify::largestFiles_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("refused");
    QTest::newRow("1,048,571 bytes verified") << Variables::kRxBufferSize - 5 << false;
    QTest::newRow("1,048,572 bytes refused") << Variables::kRxBufferSize - 4 << true;
}

void tst_Verify::largestFiles() {
    QFETCH(int, size);
    QFETCH(bool, refused);
    Bench bench;
    const QByteArray file = bench.chooseFile(testBytes(size));
    bench.reply("UFD\r\n" + file);
    bench.verify();
    QCOMPARE(bench.messages.count(), 1);
    if (refused) {
        QVERIFY2(bench.messages.last().text.startsWith(
                     QStringLiteral("Program File Too Large To Verify\r\rError #  6 - ")),
                 qPrintable(bench.messages.last().text));
        QVERIFY(bench.messages.last().text.contains(QStringLiteral("1048571")));
        QTest::qWait(30);
        QCOMPARE(bench.heard, QByteArray());
    } else {
        QCOMPARE(bench.messages.last().text,
                 QStringLiteral("1048571 Bytes of Flash Data Verified Correct as Sent\r"));
    }
}

void tst_Verify::lineLostDuringWait() {
    Bench bench;
    bench.chooseFile(testBytes(100));
    bench.answer = [&] { bench.pty.hangUp(); };
    bench.verify();
    QTRY_COMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(QStringLiteral("Serial Connection Lost")),
             qPrintable(bench.messages.last().text));
    QCOMPARE(bench.form->cmdConnect->text(), QStringLiteral("Connect"));
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(Variables::blnVerifying, Variables::kFalse);
}

void tst_Verify::fileGoneBeforeComparison() {
    Bench bench;
    const QByteArray file = bench.chooseFile(testBytes(100));
    bench.answer = [&] {
        QFile::remove(Variables::strProgramFile);
        bench.pty.send("UFD\r\n" + file);
    };
    bench.verify();
    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(
                 QStringLiteral("Error Reading Specified Comparison File\r\rError #  2 - ")),
             qPrintable(bench.messages.last().text));
    QCOMPARE(bench.messages.last().title, QStringLiteral("File Error"));
}

QTEST_MAIN(tst_Verify)
#include "tst_verify.moc"
