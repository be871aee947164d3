#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/Bench.h"
#include "verify/frmVerify.h"

#include <QLabel>
#include <QScreen>

using namespace Qt::StringLiterals;

class tst_Verify : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
    void verification_data();
    void verification();
};

// Tenths of the bar's middle row in the highlight colour, in the window's painted image.
static int paintedTenths(const QWidget& bar) {
    const QImage shown = bar.screen()->grabWindow(bar.window()->winId()).toImage();
    const QPoint row = bar.mapTo(bar.window(), QPoint(0, bar.height() / 2));
    const int hue = bar.palette().color(QPalette::Highlight).hsvHue();
    int painted = 0;
    for (int x = 0; x < bar.width(); ++x) {
        const QColor pixel = shown.pixelColor(row + QPoint(x, 0));
        painted += pixel.hsvSaturation() > 64 && qAbs(pixel.hsvHue() - hue) < 20;
    }
    return qRound(10.0 * painted / bar.width());
}

void tst_Verify::verification_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("flipAt");      // position in the reply, -1 for none
    QTest::addColumn<QString>("title");   // of the one message, empty for none
    QTest::addColumn<QString>("message"); // a pattern
    const QString ok = u"^10000 Bytes of Flash Data Verified Correct as Sent\r$"_s;
    const QString differs = u"^Retreived Data Not Equal To Binary File Specified\r"
                            u"Byte\\[%1\\] Is %2 Should Be %3\\.\r\r$"_s;
    QTest::newRow("match") << u"whole"_s << -1 << u"Verification Complete"_s << ok;
    QTest::newRow("sixth byte differs") << u"whole"_s << 5 << u"Verify Error"_s << differs.arg(1);
    QTest::newRow("last byte differs")
        << u"whole"_s << 10004 << u"Verify Error"_s << differs.arg(10000);
    QTest::newRow("half the reply, Cancel button") << u"cancel"_s << -1 << QString() << QString();
    QTest::newRow("half the reply, close box") << u"close"_s << -1 << QString() << QString();
    QTest::newRow("port closed") << u"closed"_s << -1 << QString() << QString();
    QTest::newRow("no file chosen") << u"nofile"_s << -1 << QString() << QString();
    QTest::newRow("zero-length file") << u"empty"_s << -1 << QString() << QString();
    QTest::newRow("file vanished")
        << u"vanished"_s << -1 << u"File Error"_s
        << u"^Error Locating Specified Comparison File\r\rError #  0 - $"_s;
    QTest::newRow("file deleted between the reply and the comparison")
        << u"deleted"_s << -1 << u"File Error"_s
        << u"^Error Reading Specified Comparison File\r\rError #  2 - "_s;
    QTest::newRow("1,048,572 bytes refused, naming 1048571")
        << u"large"_s << -1 << u"File Error"_s
        << u"^Program File Too Large To Verify\r\rError #  6 - .* 1048571 "_s;
}

void tst_Verify::verification() {
    QFETCH(QString, how);
    QFETCH(int, flipAt);
    QFETCH(QString, title);
    QFETCH(QString, message);
    Bench bench;
    Session& session = bench.form->session();
    const int size = how == u"empty"_s ? 0 : how == u"large"_s ? 1048572 : 10000;
    QByteArray reply = "UFD\r\n" + bench.chooseFile(testBytes(size));
    if (flipAt >= 0) {
        message = message.arg(quint8(~reply.at(flipAt))).arg(quint8(reply.at(flipAt)));
        reply[flipAt] = static_cast<char>(~reply.at(flipAt));
    }
    if (how == u"nofile"_s)
        session.strProgramFile.clear();
    if (how == u"vanished"_s)
        QFile::remove(session.strProgramFile);
    if (how == u"closed"_s)
        QTest::mouseClick(bench.form->cmdConnect, Qt::LeftButton);
    session.lngRxCount = 77;
    // Cancel comes at half the reply; otherwise the wait is looked at one byte short of it.
    const int first = int(reply.size()) - (how == u"cancel"_s || how == u"close"_s ? size / 2 : 1);
    const int tenths = qRound(10.0 * double(first - 1) / (size + 5)); // of the bar painted
    QString shown;
    bench.onRequest = [&] {
        if (how == u"deleted"_s)
            QFile::remove(session.strProgramFile);
        // In pieces, with the window painting in between, as on a line.
        for (int sent = 0; sent < first; sent += 91) {
            bench.pty.send(reply.mid(sent, std::min(91, first - sent)));
            (void)QTest::qWaitFor([&] { return session.lngRxCount >= qMin(sent + 91, first); });
        }
        frmVerify* dialog = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* shownDialog = qobject_cast<frmVerify*>(window);
                shownDialog && shownDialog->isVisible())
                dialog = shownDialog;
        (void)QTest::qWaitFor([&] { return paintedTenths(*dialog->pgVerify) == tenths; });
        shown = QString::asprintf("%d %g/%g %s %d", session.blnVerifying, dialog->pgVerify->Value(),
                                  dialog->pgVerify->Max(),
                                  qPrintable(dialog->lblVerifyReceivingData->text()),
                                  paintedTenths(*dialog->pgVerify));
        if (how == u"cancel"_s)
            clickAsTheUser(dialog->cmdCancelVerify);
        else if (how == u"close"_s)
            dialog->close();
        else
            bench.pty.send(reply.mid(first));
    };
    bench.verify();
    const bool asked =
        !QStringList{u"closed"_s, u"nofile"_s, u"empty"_s, u"vanished"_s, u"large"_s}.contains(how);
    QCOMPARE(bench.messages.count(), title.isEmpty() ? 0 : 1);
    if (!title.isEmpty()) {
        QCOMPARE(bench.messages.last().title, title);
        QCOMPARE(bench.messages.last().style, title == u"Verification Complete"_s ? 64 : 16);
        QVERIFY2(QRegularExpression(message).match(bench.messages.last().text).hasMatch(),
                 qPrintable(bench.messages.last().text));
    }
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.form->cmdConnect->text() == u"Disconnect"_s, how != u"closed"_s);
    QTest::qWait(30);
    QCOMPARE(bench.pty.received(), asked ? QByteArray("UFD\r") : QByteArray());
    QVERIFY(asked || session.lngRxCount == 0);
    if (!asked)
        return;
    // The wait goes on, showing how far the reply has come.
    QCOMPARE(shown, QString::asprintf("%d %d/%d Receiving Flash Data [%d Bytes] %d", 1, first,
                                      size + 6, first - 5, tenths));
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
    // Back in the terminal configuration: the target's text shows, and no byte of the reply did.
    bench.pty.send("> ready");
    QTRY_COMPARE(bench.form->SaxComm1->display()->screenText(), u"> ready"_s);
}

QTEST_MAIN(tst_Verify)
#include "tst_verify.moc"
