#include "foundation/CommonDialog.h"
#include "foundation/DoEvents.h"
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
    void farEndVanishingMidTransfer();
};

void tst_Upload::contentGoesOutUnchanged_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty file, port closed") << QByteArray();
    QTest::newRow("25000 bytes, no yield every 10000th pass") << testBytes(25000);
}

// Each pass sets the bar and yields, but every 10000th; one extra pass resends the last byte (a
// zero if empty). The send routine opens a closed port at the stored rate, buttons unchanged.
void tst_Upload::contentGoesOutUnchanged() {
    QFETCH(QByteArray, content);
    const bool connected = !content.isEmpty();
    Bench bench(connected);
    bench.chooseFile(content);
    bench.form->session().strBaudRate = u"19200"_s;
    QStringList trace;
    whenShown<frmStatus>(u"frmStatus"_s, [&](frmStatus& dialog) {
        trace << dialog.lblStatus->text() << QString::number(dialog.pgStatus->Min())
              << QString::number(dialog.pgStatus->Max());
        connect(dialog.pgStatus, &ProgressBar::valueSet, this,
                [&](float value) { trace << QString::number(qint64(value)); });
        setDoEventsObserver([&] { trace << u"yield"_s; });
        // A second press while the transfer runs is ignored.
        QTimer::singleShot(0, &dialog, [&] { dialog.cmdOkDownload->click(); });
        dialog.cmdOkDownload->click();
        setDoEventsObserver({});
    });
    bench.form->cmdUpload_Click();
    QStringList expected{u" Download Status - [%1 Bytes]"_s.arg(content.size()), u"1"_s,
                         QString::number(content.size() + 1)};
    for (qsizetype pass = 0; pass <= content.size(); ++pass) {
        expected << QString::number(pass + 1);
        if (pass % 10000 != 0)
            expected << u"yield"_s;
    }
    QCOMPARE(trace, expected);
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

    bench.upload([](frmStatus& dialog) { dialog.cmdCancelDownload->click(); });
    QCOMPARE(seen.last().FileName + seen.last().DialogTitle, u"*.binOpen Program File"_s);
    QCOMPARE(bench.form->StatusBar1->Panels(1)->text(), path);
    bench.upload();
    QTRY_COMPARE(bench.pty.received(), QByteArray("123455"));
    QCOMPARE(seen.size(), 2);
}

void tst_Upload::farEndVanishingMidTransfer() {
    Bench bench;
    bench.chooseFile(testBytes(300000));
    bench.upload([&](frmStatus& dialog) {
        QTimer::singleShot(20, &dialog, [&] { bench.pty.hangUp(); });
        dialog.cmdOkDownload->click();
    });
    QTRY_VERIFY(!bench.form->SaxComm1->lostEventPending());
    QCOMPARE(bench.messages.count(), 1);
    const QString text = bench.messages.last().text;
    QVERIFY2(text.startsWith(u"Error Locating Or Sending Specified Download File\r\rError # "_s),
             qPrintable(text));
    QCOMPARE(bench.form->cmdConnect->text(), u"Connect"_s);
    QVERIFY(!bench.form->cmdUpload->isEnabled() && !frmStatus::transferRunning());
    // A line lost later, when idle, is reported again.
    PtyPair fresh;
    bench.program.linkPort(2, fresh.slavePath());
    QTest::mouseClick(bench.form->cmdConnect, Qt::LeftButton);
    fresh.hangUp();
    QTRY_COMPARE(bench.messages.count(), 2);
}

QTEST_MAIN(tst_Upload)
#include "tst_upload.moc"
