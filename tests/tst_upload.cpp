#include "foundation/CommandGuard.h"
#include "foundation/CommonDialog.h"
#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "foundation/StatusBar.h"
#include "serial/SaxComm.h"
#include "support/Bench.h"

#include <QLabel>

using namespace Qt::StringLiterals;

class tst_Upload : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY(noWindowLeftOpen()); }
    void contentGoesOutUnchanged_data();
    void contentGoesOutUnchanged();
    void fileChosenThroughUploadDialog();
    void failureMidTransfer_data();
    void failureMidTransfer();
};

void tst_Upload::contentGoesOutUnchanged_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty file, port closed") << QByteArray();
    QTest::newRow("250000 bytes, port open") << testBytes(250000);
}

// The bar climbs from 1 to the size plus one as the file goes out, then one extra byte (the last
// again, or a zero if empty); a second press meanwhile sends nothing more. The send routine opens
// a closed port at the stored rate, buttons unchanged.
void tst_Upload::contentGoesOutUnchanged() {
    QFETCH(QByteArray, content);
    const bool connected = !content.isEmpty();
    Bench bench(connected);
    bench.chooseFile(content);
    bench.form->session().strBaudRate = u"19200"_s;
    QStringList trace;
    QList<qint64> values{1};
    whenShown<frmStatus>(u"frmStatus"_s, [&](frmStatus& dialog) {
        trace << dialog.lblStatus->text() << QString::number(dialog.pgStatus->Min())
              << QString::number(dialog.pgStatus->Max());
        connect(dialog.pgStatus, &ProgressBar::valueSet, this, [&](float value) {
            if (value < values.last())
                trace << u"backwards to %1"_s.arg(value);
            values << qint64(value);
        });
        QTimer::singleShot(0, &dialog, [&] { dialog.cmdOkDownload->click(); });
        dialog.cmdOkDownload->click();
    });
    bench.form->cmdUpload_Click();
    QTRY_VERIFY(!CommandGuard::busy());
    QCOMPARE(trace, (QStringList{u" Download Status - [%1 Bytes]"_s.arg(content.size()), u"1"_s,
                                 QString::number(content.size() + 1)}));
    QCOMPARE(values.last(), content.size() + 1);
    const QByteArray sent = content + (content.isEmpty() ? QByteArray(1, '\0') : content.right(1));
    QTRY_COMPARE(bench.pty.received(), sent);
    QCOMPARE(bench.pty.slaveBaudRate(), connected ? 9600 : 19200);
    QCOMPARE(bench.form->cmdUpload->isEnabled(), connected);
    QCOMPARE(Forms::Count(), 1);
}

// Without a program file, Upload Program asks for one; Cancel in either dialog sends nothing.
void tst_Upload::fileChosenThroughUploadDialog() {
    Bench bench;
    const QString path = bench.program.makeFile(u"fresh.bin"_s, "12345");
    QList<CommonDialog> seen;
    CommonDialog::setScript([&](const CommonDialog& dialog) {
        seen << dialog;
        return seen.size() == 1 ? std::nullopt : std::optional<QString>(path);
    });
    const auto unscripted = qScopeGuard([] { CommonDialog::setScript({}); });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());

    bench.upload([](frmStatus& dialog) { clickAsTheUser(dialog.cmdCancelDownload); });
    QCOMPARE(seen.last().FileName + seen.last().DialogTitle, u"*.binOpen Program File"_s);
    QCOMPARE(bench.form->StatusBar1->Panels(1)->text(), path);
    bench.upload();
    QTRY_COMPARE(bench.pty.received(), QByteArray("123455"));
    QCOMPARE(seen.size(), 2);
}

void tst_Upload::failureMidTransfer_data() {
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<QString>("cause"); // a pattern
    QTest::newRow("far end vanishes") << true << u"\\d+ - The connection on COM2 .* was lost"_s;
    QTest::newRow("file cut short")
        << false << u"62 - .*image.bin ended after \\d+ of its 300000"_s;
}

// One message says what stopped the transfer, with the system's number and text; a lost line is
// not announced twice, and a line lost later, when idle, is reported again.
void tst_Upload::failureMidTransfer() {
    QFETCH(bool, hangUp);
    QFETCH(QString, cause);
    Bench bench;
    bench.chooseFile(testBytes(300000));
    bool done = false;
    bench.upload([&](frmStatus& dialog) {
        connect(dialog.pgStatus, &ProgressBar::valueSet, &dialog, [&](float value) {
            if (value < 100000 || std::exchange(done, true))
                return;
            if (hangUp)
                bench.pty.hangUp();
            else
                QFile(bench.form->session().strProgramFile).resize(150000);
        });
        dialog.cmdOkDownload->click();
    });
    QTRY_VERIFY(!CommandGuard::busy() && !bench.form->SaxComm1->lostEventPending());
    QCOMPARE(bench.messages.count(), 1);
    const QString text = bench.messages.last().text;
    QVERIFY2(QRegularExpression(
                 u"^Error Locating Or Sending Specified Download File\r\rError # +"_s + cause)
                 .match(text)
                 .hasMatch(),
             qPrintable(text));
    QCOMPARE(bench.form->cmdConnect->text(), hangUp ? u"Connect"_s : u"Disconnect"_s);
    QCOMPARE(bench.form->cmdUpload->isEnabled(), !hangUp);
    if (!hangUp)
        return;
    PtyPair fresh;
    bench.program.linkPort(2, fresh.slavePath());
    QTest::mouseClick(bench.form->cmdConnect, Qt::LeftButton);
    fresh.hangUp();
    QTRY_COMPARE(bench.messages.count(), 2);
}

QTEST_MAIN(tst_Upload)
#include "tst_upload.moc"
