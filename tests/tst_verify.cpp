#include "foundation/DoEvents.h"
#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/Bench.h"
#include "verify/frmVerify.h"

#include <QLabel>
#include <QScreen>

using namespace Qt::StringLiterals;

// Capturing the target's reply and verifying the flash against the file.
class tst_Verify : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
    void verdicts_data();
    void verdicts();
    void dialogDuringTheWait_data();
    void dialogDuringTheWait();
    void noVerdict_data();
    void noVerdict();
    void captureInTheReceiveBuffer();
    void barPaintsAsFarAsItsValue();
};

void tst_Verify::verdicts_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("delivery");
    QTest::addColumn<int>("flipAt"); // position in the reply, -1 for none
    QTest::addColumn<QString>("text");
    const QByteArray file = testBytes(1024);
    const QString ok = u"1024 Bytes of Flash Data Verified Correct as Sent\r"_s;
    const QString mismatch = u"Retreived Data Not Equal To Binary File Specified\rByte[%1] Is %2 "
                             u"Should Be %3.\r\r"_s;
    QTest::newRow("match") << 1024 << u"burst"_s << -1 << ok;
    QTest::newRow("match, extra bytes after") << 1024 << u"extra"_s << -1 << ok;
    QTest::newRow("match, in many small pieces") << 1024 << u"pieces"_s << -1 << ok;
    QTest::newRow("match, tail while the capture yields") << 1024 << u"tail"_s << -1 << ok;
    QTest::newRow("leading bytes never compared") << 1024 << u"burst"_s << 0 << ok;
    QTest::newRow("sixth byte differs")
        << 1024 << u"burst"_s << 5 << mismatch.arg(1).arg(quint8(~file[0])).arg(quint8(file[0]));
    QTest::newRow("last byte differs")
        << 1024 << u"burst"_s << 1028
        << mismatch.arg(1024).arg(quint8(~file[1023])).arg(quint8(file[1023]));
    QTest::newRow("1,048,571 bytes, the largest verifiable")
        << Variables::kRxBufferSize - 5 << u"burst"_s << -1
        << u"1048571 Bytes of Flash Data Verified Correct as Sent\r"_s;
}

void tst_Verify::verdicts() {
    QFETCH(int, size);
    QFETCH(QString, delivery);
    QFETCH(int, flipAt);
    QFETCH(QString, text);
    Bench bench;
    QByteArray reply = "UFD\r\n" + bench.chooseFile(testBytes(size));
    if (flipAt >= 0)
        reply[flipAt] = static_cast<char>(~reply.at(flipAt));
    if (delivery == u"burst"_s) {
        bench.reply(reply);
    } else if (delivery == u"extra"_s) {
        bench.reply(reply + "\r\n> garbage");
    } else if (delivery == u"pieces"_s) {
        bench.onRequest = [&] {
            for (int offset = 0; offset < reply.size(); offset += 97)
                QTimer::singleShot(offset / 400, &bench.pty,
                                   [&, offset] { bench.pty.send(reply.mid(offset, 97)); });
        };
    } else {
        // The last bytes arrive during the capture's first yield, and nothing comes after.
        bench.onRequest = [&] {
            bench.pty.send(reply.first(reply.size() - 3));
            setDoEventsObserver([&pty = bench.pty, tail = reply.last(3)] {
                pty.send(tail);
                setDoEventsObserver({}); // destroys this observer: nothing may follow
            });
        };
    }
    bench.verify();
    QCOMPARE(bench.pty.received(), QByteArray("UFD\r"));
    QCOMPARE(bench.messages.count(), 1);
    const bool correct = text.endsWith(u"as Sent\r"_s);
    QCOMPARE(bench.messages.last().title, correct ? u"Verification Complete"_s : u"Verify Error"_s);
    QCOMPARE(bench.messages.last().style, correct ? 64 : 16);
    QCOMPARE(bench.messages.last().text, text);
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
}

void tst_Verify::dialogDuringTheWait_data() {
    QTest::addColumn<int>("length"); // of the flash contents in the reply
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("whole reply") << 1000 << false;
    QTest::newRow("short reply, Cancel button") << 300 << false;
    QTest::newRow("short reply, close box") << 300 << true;
}

void tst_Verify::dialogDuringTheWait() {
    QFETCH(int, length);
    QFETCH(bool, closeBox);
    Bench bench;
    const QByteArray file = bench.chooseFile(testBytes(1000));
    float value = 0;
    float max = 0;
    QString label;
    bool waitOver = false;
    bench.onRequest = [&] {
        bench.pty.send("UFD\r\n" + file.first(length));
        frmVerify* dialog = frmVerify::loaded();
        QTRY_COMPARE(Variables::lngRxCount, length + 5);
        value = dialog->pgVerify->Value();
        max = dialog->pgVerify->Max();
        label = dialog->lblVerifyReceivingData->text();
        waitOver = Variables::blnVerifying == Variables::kFalse;
        if (length < file.size()) {
            closeBox ? (void)dialog->close() : dialog->cmdCancelVerify->click();
            return;
        }
        // Later bytes are stored and counted, but the display stays as it was.
        bench.pty.send("\r\n> ");
        QTRY_COMPARE(Variables::lngRxCount, 1009);
        QCOMPARE(dialog->pgVerify->Value(), 1005.0f);
    };
    bench.verify();
    QCOMPARE(value, float(length + 5));
    QCOMPARE(max, 1006.0f);
    QCOMPARE(label, u"Receiving Flash Data [%1 Bytes]"_s.arg(length));
    QCOMPARE(waitOver, length == file.size());
    QCOMPARE(bench.messages.count(), waitOver ? 1 : 0);
    QCOMPARE(Forms::Count(), 1);
    // Back in the terminal configuration: what the target prints shows again.
    bench.pty.send("\x1b[2J> ready");
    QTRY_COMPARE(bench.form->SaxComm1->display()->screenText(), u"> ready"_s);
}

void tst_Verify::noVerdict_data() {
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message"); // how it starts, empty for none
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("port closed") << u"closed"_s << QString() << QByteArray();
    QTest::newRow("no file chosen") << u"nofile"_s << QString() << QByteArray();
    QTest::newRow("zero-length file") << u"empty"_s << QString() << QByteArray();
    QTest::newRow("file vanished")
        << u"vanished"_s << u"Error Locating Specified Comparison File\r\rError #  0 - "_s
        << QByteArray();
    QTest::newRow("file deleted between the reply and the comparison")
        << u"deleted"_s << u"Error Reading Specified Comparison File\r\rError #  2 - "_s
        << QByteArray("UFD\r");
    QTest::newRow("1,048,572 bytes refused, naming 1048571")
        << u"large"_s << u"Program File Too Large To Verify\r\rError #  6 - "_s << QByteArray();
    QTest::newRow("line lost during the wait")
        << u"lost"_s << u"Serial Connection Lost"_s << QByteArray("UFD\r");
}

void tst_Verify::noVerdict() {
    QFETCH(QString, situation);
    QFETCH(QString, message);
    Bench bench;
    const int size = situation == u"empty"_s ? 0 : situation == u"large"_s ? 1048572 : 100;
    const QByteArray file = bench.chooseFile(testBytes(size));
    if (situation == u"nofile"_s)
        Variables::strProgramFile.clear();
    if (situation == u"vanished"_s)
        QFile::remove(Variables::strProgramFile);
    if (situation == u"closed"_s)
        QTest::mouseClick(bench.form->cmdConnect, Qt::LeftButton);
    bench.onRequest = [&] {
        if (situation == u"lost"_s)
            return bench.pty.hangUp();
        if (situation == u"deleted"_s)
            QFile::remove(Variables::strProgramFile);
        bench.pty.send("UFD\r\n" + file);
    };
    Variables::lngRxCount = 77;
    bench.verify();
    QTRY_COMPARE(bench.messages.count(), message.isEmpty() ? 0 : 1);
    if (message.isEmpty()) {
        QCOMPARE(Variables::lngRxCount, 0);
    } else {
        const auto& shown = bench.messages.last();
        QVERIFY2(shown.text.startsWith(message), qPrintable(shown.text));
        QVERIFY(situation != u"large"_s || shown.text.contains(u"1048571"_s));
        QVERIFY(situation != u"vanished"_s || shown.text == message);
        QCOMPARE(shown.title, situation == u"lost"_s ? u"Serial Port Error"_s : u"File Error"_s);
    }
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(Variables::blnVerifying, Variables::kFalse);
    QCOMPARE(bench.form->cmdConnect->text() == u"Disconnect"_s,
             situation != u"closed"_s && situation != u"lost"_s);
    QTest::qWait(30);
    QTEST(bench.pty.received(), "sent");
}

// What the serial control captures in its flash configuration: bytes outside a verification
// touch no dialog; during one the capture yields every 250 bytes; a flood stops at the end of
// the receive buffer.
void tst_Verify::captureInTheReceiveBuffer() {
    Bench bench;
    frmVerify& dialog = frmVerify::Load(bench.form->verifyState());
    const QString label = dialog.lblVerifyReceivingData->text();
    bench.form->SaxComm1->setSetting6(false);
    bench.form->SaxComm1->setSetting126(1);
    bench.pty.send("hello");
    QTRY_COMPARE(Variables::lngRxCount, 5);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(Variables::bytRxBuffer.data()), 5), "hello");
    QCOMPARE(dialog.lblVerifyReceivingData->text(), label);

    Variables::lngFileSize = 1000;
    Variables::lngRxCount = 0;
    Variables::blnVerifying = Variables::kTrue;
    QList<int> yieldsAt;
    setDoEventsObserver([&] { yieldsAt << Variables::lngRxCount; });
    bench.pty.send(testBytes(600));
    QTRY_VERIFY(!yieldsAt.isEmpty() && yieldsAt.last() == 600);
    setDoEventsObserver({});
    Variables::blnVerifying = Variables::kFalse;
    QCOMPARE(yieldsAt, (QList<int>{250, 500, 600}));
    QCOMPARE(dialog.pgVerify->Value(), 600.0f);
    Forms::Unload(&dialog);

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

// The share of the bar's middle row that shows the highlight colour in the window's painted
// image, which is what reaches the screen.
static double paintedShare(const QWidget& bar) {
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

void tst_Verify::barPaintsAsFarAsItsValue() {
    Bench bench;
    const QByteArray reply = "UFD\r\n" + bench.chooseFile(testBytes(10000));
    bool piecesArrived = true;
    bool halfPainted = false;
    double paintedAtHalf = 0;
    bench.onRequest = [&] {
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
    };
    bench.verify();
    QVERIFY(piecesArrived);
    QVERIFY2(halfPainted, qPrintable(QString::number(paintedAtHalf)));
}

QTEST_MAIN(tst_Verify)
#include "tst_verify.moc"
