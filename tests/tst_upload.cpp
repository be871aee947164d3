#include "serial/SaxComm.h"
#include "foundation/DoEvents.h"
#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "foundation/StatusBar.h"
#include "app/Variables.h"
#include "app/frmMain.h"
#include "support/DialogDriver.h"
#include "support/MessageRecorder.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "foundation/CommonDialog.h"
#include "upload/frmStatus.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A started program whose COM2 is a pseudo-terminal that records every byte.
struct Bench {
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    frmMain* form;

    explicit Bench(bool connect = true) {
        program.linkPort(2, pty.slavePath());
        form = program.start();
        if (connect) {
            QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
            QTRY_COMPARE(pty.received(), QByteArray("\r"));
            pty.clearReceived();
        }
    }

    QString chooseFile(const QByteArray& content,
                       const QString& name = QStringLiteral("image.bin")) {
        Variables::strProgramFile = program.makeFile(name, content);
        return Variables::strProgramFile;
    }
};

void pressUploadData() {
    whenShown<frmStatus>(QStringLiteral("frmStatus"),
                         [](frmStatus& dialog) { dialog.cmdOkDownload->click(); });
}

} // namespace

// The upload command, the send routine and the Upload Control dialog, with the far side of a
// pseudo-terminal recording every byte.
class tst_Upload : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void threeByteFile();
    void yieldsSkipEveryTenThousandthPass();
    void contentGoesOutUnchanged_data();
    void contentGoesOutUnchanged();
    void closedPortIsOpenedByTheSendRoutine();
    void cancelBeforeUploadSendsNothing();
    void cancelDuringTransferStillSendsEverything();
    void secondPressIsIgnored();
    void fileFailures_data();
    void fileFailures();
    void noFileChosenAndDialogCancelled();
    void fileChosenThroughUploadDialog();
    void farEndVanishingMidTransfer();
};

void tst_Upload::cleanup() {
    setDoEventsObserver({});
    CommonDialog::setScript({});
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_Upload::threeByteFile() {
    Bench bench;
    bench.chooseFile("\x01\x02\x03");
    QStringList trace;
    QString label;
    float min = 0;
    float max = 0;
    whenShown<frmStatus>(QStringLiteral("frmStatus"), [&](frmStatus& dialog) {
        label = dialog.lblStatus->text();
        min = dialog.pgStatus->Min();
        max = dialog.pgStatus->Max();
        connect(dialog.pgStatus, &ProgressBar::valueSet, this,
                [&](float value) { trace << QString::number(value); });
        setDoEventsObserver([&] { trace << QStringLiteral("yield"); });
        dialog.cmdOkDownload->click();
        setDoEventsObserver({});
    });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);

    QCOMPARE(label, QStringLiteral(" Download Status - [3 Bytes]"));
    QCOMPARE(min, 1.0f);
    QCOMPARE(max, 4.0f);
    QCOMPARE(trace.join(u' '), QStringLiteral("1 2 yield 3 yield 4 yield"));
    QTRY_COMPARE(bench.pty.received(), QByteArray("\x01\x02\x03\x03"));
    QCOMPARE(*Variables::varDownloadLength, 3);
    QVERIFY(!Forms::IsLoaded(Forms::At(1)));
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Upload::yieldsSkipEveryTenThousandthPass() {
    Bench bench;
    const QByteArray content = testBytes(25000);
    bench.chooseFile(content);
    QList<qint64> quietPasses;
    whenShown<frmStatus>(QStringLiteral("frmStatus"), [&](frmStatus& dialog) {
        qint64 pass = -1;
        bool yielded = true;
        connect(dialog.pgStatus, &ProgressBar::valueSet, this, [&](float value) {
            if (!yielded)
                quietPasses << pass;
            pass = qint64(value) - 1;
            yielded = false;
        });
        setDoEventsObserver([&] { yielded = true; });
        dialog.cmdOkDownload->click();
        setDoEventsObserver({});
        if (!yielded)
            quietPasses << pass;
    });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QCOMPARE(quietPasses, (QList<qint64>{0, 10000, 20000}));
    QTRY_COMPARE(bench.pty.received().size(), content.size() + 1);
    QCOMPARE(bench.pty.received(), content + content.right(1));
}

void tst_Upload::contentGoesOutUnchanged_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("lastPass");
    QTest::newRow("hex text with line ends")
        << QStringLiteral("board.hex")
        << QByteArray(":020000040000FA\r\n:10000000FFFFFFFF\n:00000001FF\r\n") << QByteArray("\n");
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<char>(i);
    QTest::newRow("all 256 byte values") << QStringLiteral("all.bin") << all << QByteArray("\xff");
    QTest::newRow("empty file sends one zero byte")
        << QStringLiteral("empty.bin") << QByteArray() << QByteArray(1, '\0');
}

void tst_Upload::contentGoesOutUnchanged() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, lastPass);
    Bench bench;
    bench.chooseFile(content, name);
    pressUploadData();
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QTRY_COMPARE(bench.pty.received(), content + lastPass);
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Upload::closedPortIsOpenedByTheSendRoutine() {
    Bench bench(false);
    bench.chooseFile("abc");
    Variables::strBaudRate = QStringLiteral("19200");
    pressUploadData();
    bench.form->cmdUpload_Click();
    QVERIFY(bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(bench.form->SaxComm1->LineSettings(), QStringLiteral("19200,n,8,1"));
    QCOMPARE(bench.pty.slaveBaudRate(), 19200);
    QCOMPARE(bench.form->cmdConnect->text(), QStringLiteral("&Connect"));
    QVERIFY(!bench.form->cmdUpload->isEnabled());
    QTRY_COMPARE(bench.pty.received(), QByteArray("abcc"));
}

void tst_Upload::cancelBeforeUploadSendsNothing() {
    Bench bench;
    bench.chooseFile("abc");
    whenShown<frmStatus>(QStringLiteral("frmStatus"),
                         [](frmStatus& dialog) { dialog.cmdCancelDownload->click(); });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
    QTest::qWait(50);
    QCOMPARE(bench.pty.received(), QByteArray());
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Upload::cancelDuringTransferStillSendsEverything() {
    Bench bench;
    const QByteArray content = testBytes(200000);
    bench.chooseFile(content);
    bool hiddenWhileSending = false;
    whenShown<frmStatus>(QStringLiteral("frmStatus"), [&](frmStatus& dialog) {
        // The line stalls, so the transfer is still running when Cancel is pressed.
        bench.pty.pauseReading(true);
        QTimer::singleShot(100, &dialog, [&] {
            dialog.cmdCancelDownload->click();
            hiddenWhileSending = !dialog.isVisible() && frmStatus::transferRunning();
            bench.pty.pauseReading(false);
        });
        dialog.cmdOkDownload->click();
    });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QVERIFY(hiddenWhileSending);
    QTRY_COMPARE(bench.pty.received().size(), content.size() + 1);
    QCOMPARE(bench.pty.received(), content + content.right(1));
    QCOMPARE(Forms::Count(), 1);
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Upload::secondPressIsIgnored() {
    Bench bench;
    const QByteArray content = testBytes(30000);
    bench.chooseFile(content);
    whenShown<frmStatus>(QStringLiteral("frmStatus"), [&](frmStatus& dialog) {
        QTimer::singleShot(0, &dialog, [&] { dialog.cmdOkDownload->click(); });
        dialog.cmdOkDownload->click();
    });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QTRY_COMPARE(bench.pty.received().size(), content.size() + 1);
    QTest::qWait(50);
    QCOMPARE(bench.pty.received().size(), content.size() + 1);
}

void tst_Upload::fileFailures_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("deleted after it was chosen")
        << QStringLiteral("deleted")
        << QStringLiteral("Error Locating Or Reading Specified Download File\r\rError #  0 - ");
    QTest::newRow("hidden file")
        << QStringLiteral("hidden")
        << QStringLiteral("Error Locating Or Reading Specified Download File\r\rError #  0 - ");
    QTest::newRow("cannot be opened")
        << QStringLiteral("unreadable")
        << QStringLiteral("Error Locating Or Sending Specified Download File\r\rError #  13 - ");
}

void tst_Upload::fileFailures() {
    QFETCH(QString, fault);
    QFETCH(QString, message);
    Bench bench;
    const QString path =
        bench.chooseFile("abc", fault == QStringLiteral("hidden") ? QStringLiteral(".image.bin")
                                                                  : QStringLiteral("image.bin"));
    int previousFsuid = -1;
    if (fault == QStringLiteral("deleted")) {
        QFile::remove(path);
    } else if (fault == QStringLiteral("unreadable")) {
        QVERIFY(::chmod(qPrintable(path), 0) == 0);
        if (::geteuid() == 0) {
            // Root may open any file; the file checks are made as an ordinary user.
            QVERIFY(::chmod(qPrintable(bench.program.folder()), 0755) == 0);
            previousFsuid = ::setfsuid(65534);
        }
    }
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    if (previousFsuid >= 0)
        ::setfsuid(static_cast<uid_t>(previousFsuid));

    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(message),
             qPrintable(bench.messages.last().text));
    QCOMPARE(bench.messages.last().title, QStringLiteral("File Error"));
    QCOMPARE(bench.messages.last().style, 16);
    if (fault != QStringLiteral("unreadable"))
        QCOMPARE(bench.messages.last().text, message);
    // The reading message leaves the focus where the click put it; after the sending message
    // the upload command gives it to the terminal display.
    QCOMPARE(bench.form->focusWidget(), fault == QStringLiteral("unreadable")
                                            ? bench.form->SaxComm1->focusProxy()
                                            : static_cast<QWidget*>(bench.form->cmdUpload));
    QTest::qWait(50);
    QCOMPARE(bench.pty.received(), QByteArray());
}

void tst_Upload::noFileChosenAndDialogCancelled() {
    Bench bench;
    CommonDialog::setScript([](const CommonDialog&) { return std::nullopt; });
    bench.form->cmdConnect->setFocus();
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QCOMPARE(Variables::strProgramFile, QString());
    QCOMPARE(bench.form->focusWidget(), bench.form->SaxComm1->focusProxy());
    QCOMPARE(bench.messages.count(), 0);
    QCOMPARE(Forms::Count(), 1);
}

void tst_Upload::fileChosenThroughUploadDialog() {
    Bench bench;
    const QString path = bench.program.makeFile(QStringLiteral("fresh.bin"), "12345");
    QList<CommonDialog> seen;
    CommonDialog::setScript([&](const CommonDialog& dialog) {
        seen << dialog;
        return std::optional<QString>(path);
    });
    pressUploadData();
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first().FileName, QStringLiteral("*.bin"));
    QCOMPARE(seen.first().DialogTitle, QStringLiteral("Open Program File"));
    QCOMPARE(Variables::strProgramFile, path);
    QCOMPARE(bench.form->StatusBar1->Panels(1)->text(), path);
    QCOMPARE(bench.form->StatusBar1->Panels(2)->text(), QStringLiteral("0Bytes "));
    QCOMPARE(Variables::lngFileSize, 0);
    QTRY_COMPARE(bench.pty.received(), QByteArray("123455"));
}

void tst_Upload::farEndVanishingMidTransfer() {
    Bench bench;
    bench.chooseFile(testBytes(300000));
    whenShown<frmStatus>(QStringLiteral("frmStatus"), [&](frmStatus& dialog) {
        QTimer::singleShot(20, &dialog, [&] { bench.pty.hangUp(); });
        dialog.cmdOkDownload->click();
    });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QTRY_VERIFY(!bench.form->SaxComm1->lostEventPending());
    QTest::qWait(50);
    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(
                 QStringLiteral("Error Locating Or Sending Specified Download File\r\rError # ")),
             qPrintable(bench.messages.last().text));
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(bench.form->cmdConnect->text(), QStringLiteral("Connect"));
    QVERIFY(!bench.form->cmdUpload->isEnabled());
    QVERIFY(!frmStatus::transferRunning());
    QCOMPARE(Forms::Count(), 1);
}

QTEST_MAIN(tst_Upload)
#include "tst_upload.moc"
