#include "foundation/CommonDialog.h"
#include "foundation/DoEvents.h"
#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "foundation/StatusBar.h"
#include "serial/SaxComm.h"
#include "support/Bench.h"

#include <QLabel>

using namespace Qt::StringLiterals;

// The upload command, the send routine and the Upload Control dialog, with the far side of a
// pseudo-terminal recording every byte.
class tst_Upload : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void contentGoesOutUnchanged_data();
    void contentGoesOutUnchanged();
    void closedPortIsOpenedByTheSendRoutine();
    void cancelDuringTransferStillSendsEverything();
    void fileChosenThroughUploadDialog();
    void farEndVanishingMidTransfer();
};

void tst_Upload::cleanup() {
    setDoEventsObserver({});
    CommonDialog::setScript({});
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_Upload::contentGoesOutUnchanged_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("three bytes") << QByteArray("\x01\x02\x03");
    QTest::newRow("hex text with line ends")
        << QByteArray(":020000040000FA\r\n:10000000FFFFFFFF\n:00000001FF\r\n");
    QByteArray all(256, '\0');
    std::iota(all.begin(), all.end(), 0);
    QTest::newRow("all 256 byte values") << all;
    QTest::newRow("empty file sends one zero byte") << QByteArray();
    QTest::newRow("25000 bytes, no yield every 10000th pass") << testBytes(25000);
}

// Each pass sets the progress bar and yields, except every 10000th; one pass more than the file
// has bytes sends its last byte (a zero for an empty file) again.
void tst_Upload::contentGoesOutUnchanged() {
    QFETCH(QByteArray, content);
    Bench bench;
    bench.chooseFile(content);
    QStringList trace;
    QString label;
    float min = 0;
    float max = 0;
    bench.upload([&](frmStatus& dialog) {
        label = dialog.lblStatus->text();
        min = dialog.pgStatus->Min();
        max = dialog.pgStatus->Max();
        connect(dialog.pgStatus, &ProgressBar::valueSet, this,
                [&](float value) { trace << QString::number(qint64(value)); });
        setDoEventsObserver([&] { trace << QStringLiteral("yield"); });
        // A second press while the transfer runs is ignored.
        QTimer::singleShot(0, &dialog, [&] { dialog.cmdOkDownload->click(); });
        dialog.cmdOkDownload->click();
        setDoEventsObserver({});
    });
    QStringList expected;
    for (qsizetype pass = 0; pass <= content.size(); ++pass) {
        expected << QString::number(pass + 1);
        if (pass % 10000 != 0)
            expected << QStringLiteral("yield");
    }
    QCOMPARE(label, QStringLiteral(" Download Status - [%1 Bytes]").arg(content.size()));
    QCOMPARE(min, 1.0f);
    QCOMPARE(max, float(content.size() + 1));
    QCOMPARE(trace, expected);
    const QByteArray sent = content + (content.isEmpty() ? QByteArray(1, '\0') : content.right(1));
    QTRY_COMPARE(bench.pty.received(), sent);
    QCOMPARE(*Variables::varDownloadLength, content.size());
    QVERIFY(!Forms::IsLoaded(Forms::At(1)));
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
    QCOMPARE(bench.messages.count(), 0);
    QTest::qWait(50);
    QCOMPARE(bench.pty.received(), sent);
}

void tst_Upload::closedPortIsOpenedByTheSendRoutine() {
    Bench bench(false);
    bench.chooseFile("abc");
    Variables::strBaudRate = QStringLiteral("19200");
    whenShown<frmStatus>(u"frmStatus"_s, [](frmStatus& dialog) { dialog.cmdOkDownload->click(); });
    bench.form->cmdUpload_Click();
    QVERIFY(bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(bench.form->SaxComm1->LineSettings(), QStringLiteral("19200,n,8,1"));
    QCOMPARE(bench.pty.slaveBaudRate(), 19200);
    QCOMPARE(bench.form->cmdConnect->text(), QStringLiteral("&Connect"));
    QVERIFY(!bench.form->cmdUpload->isEnabled());
    QTRY_COMPARE(bench.pty.received(), QByteArray("abcc"));
}

void tst_Upload::cancelDuringTransferStillSendsEverything() {
    Bench bench;
    const QByteArray content = bench.chooseFile(testBytes(200000));
    bool hiddenWhileSending = false;
    bench.upload([&](frmStatus& dialog) {
        // The line stalls, so the transfer is still running when Cancel is pressed.
        bench.pty.pauseReading(true);
        QTimer::singleShot(100, &dialog, [&] {
            dialog.cmdCancelDownload->click();
            hiddenWhileSending = !dialog.isVisible() && frmStatus::transferRunning();
            bench.pty.pauseReading(false);
        });
        dialog.cmdOkDownload->click();
    });
    QVERIFY(hiddenWhileSending);
    QTRY_COMPARE(bench.pty.received().size(), content.size() + 1);
    QCOMPARE(bench.pty.received(), content + content.right(1));
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.messages.count(), 0);
}

// Without a program file, Upload Program asks for one first; a cancelled file dialog ends it
// there, and Cancel in the Upload Control dialog sends nothing.
void tst_Upload::fileChosenThroughUploadDialog() {
    Bench bench;
    const QString path = bench.program.makeFile(u"fresh.bin"_s, "12345");
    QList<CommonDialog> seen;
    CommonDialog::setScript([&](const CommonDialog& dialog) {
        seen << dialog;
        return seen.size() == 1 ? std::nullopt : std::optional<QString>(path);
    });
    bench.form->cmdConnect->setFocus();
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QCOMPARE(Variables::strProgramFile, QString());
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());

    bench.form->cmdConnect->setFocus();
    bench.upload([](frmStatus& dialog) { dialog.cmdCancelDownload->click(); });
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.last().FileName, u"*.bin"_s);
    QCOMPARE(seen.last().DialogTitle, u"Open Program File"_s);
    QCOMPARE(Variables::strProgramFile, path);
    QCOMPARE(bench.form->StatusBar1->Panels(1)->text(), path);
    QCOMPARE(bench.form->StatusBar1->Panels(2)->text(), u"0Bytes "_s);
    QCOMPARE(Variables::lngFileSize, 0);
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
    QTest::qWait(50);
    QCOMPARE(bench.pty.received(), QByteArray());

    bench.upload();
    QTRY_COMPARE(bench.pty.received(), QByteArray("123455"));
    QCOMPARE(seen.size(), 2);
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Upload::farEndVanishingMidTransfer() {
    Bench bench;
    bench.chooseFile(testBytes(300000));
    bench.upload([&](frmStatus& dialog) {
        QTimer::singleShot(20, &dialog, [&] { bench.pty.hangUp(); });
        dialog.cmdOkDownload->click();
    });
    QTRY_VERIFY(!bench.form->SaxComm1->lostEventPending());
    QTest::qWait(50);
    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(
                 u"Error Locating Or Sending Specified Download File\r\rError # "_s),
             qPrintable(bench.messages.last().text));
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(bench.form->cmdConnect->text(), QStringLiteral("Connect"));
    QVERIFY(!bench.form->cmdUpload->isEnabled());
    QVERIFY(!frmStatus::transferRunning());
    QCOMPARE(Forms::Count(), 1);
}

QTEST_MAIN(tst_Upload)
#include "tst_upload.moc"
