#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "foundation/StatusBar.h"
#include "app/Variables.h"
#include "app/frmMain.h"
#include "support/DialogDriver.h"
#include "support/MessageRecorder.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QDir>
#include <QPushButton>
#include <QtTest>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A started, connected program whose COM2 is a pseudo-terminal.
struct Bench {
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    frmMain* form;

    Bench() {
        program.linkPort(2, pty.slavePath());
        form = program.start();
        QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    }
};

} // namespace

// Faults of the line, the files and the settings file, and shutdown in the middle of work: the
// program keeps working, tells the truth and loses nothing it was given.
class tst_Reliability : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void noiseFloodInTheTerminal();
    void noiseFloodDuringVerification();
    void lineLostRightAfterTheReply();
    void programFileFaults_data();
    void programFileFaults();
    void nonAsciiPathWithBlanks();
    void brokenSettingsFiles_data();
    void brokenSettingsFiles();
    void settingsInReadOnlyFolder();
    void settingsFileIsAFolder();
    void closedDuringUpload();
    void closedDuringVerification();
};

void tst_Reliability::cleanup() {
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_Reliability::noiseFloodInTheTerminal() {
    Bench bench;
    int ticks = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, this, [&] { ++ticks; });
    heartbeat.start(20);
    bench.pty.send(testBytes(10 * 1024 * 1024) + "\x1b[2Jend");
    QTRY_VERIFY_WITH_TIMEOUT(bench.form->SaxComm1->display()->screenText() == QStringLiteral("end"),
                             120000);
    // The message loop kept running while the flood came in, and the display stayed bounded.
    QVERIFY(ticks > 1);
    QVERIFY(bench.form->SaxComm1->display()->allLines().size() <= 500 + 25);
    QCOMPARE(Variables::lngRxCount, 0);
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Reliability::noiseFloodDuringVerification() {
    Bench bench;
    const QByteArray file = testBytes(4096);
    Variables::strProgramFile = bench.program.makeFile(QStringLiteral("image.bin"), file);
    bench.pty.setResponder([&](const QByteArray& bytes) {
        if (bytes.endsWith("UFD\r"))
            bench.pty.send(testBytes(10 * 1024 * 1024));
    });
    QTest::mouseClick(bench.form->cmdVerify, Qt::LeftButton);
    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(
                 QStringLiteral("Retreived Data Not Equal To Binary File Specified\rByte[")),
             qPrintable(bench.messages.last().text));
    QVERIFY(Variables::lngRxCount <= Variables::kRxBufferSize);
}

void tst_Reliability::lineLostRightAfterTheReply() {
    Bench bench;
    const QByteArray file = testBytes(20000);
    Variables::strProgramFile = bench.program.makeFile(QStringLiteral("image.bin"), file);
    bench.pty.setResponder([&](const QByteArray& bytes) {
        if (bytes.endsWith("UFD\r"))
            bench.pty.send("UFD\r\n" + file);
    });
    // The line goes once the whole reply is in: during the comparison.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (Variables::lngRxCount == 20005) {
            poll.stop();
            bench.pty.hangUp();
        }
    });
    poll.start(1);
    QTest::mouseClick(bench.form->cmdVerify, Qt::LeftButton);
    QTRY_COMPARE(bench.messages.count(), 2);
    QStringList titles;
    for (const auto& message : bench.messages.messages())
        titles << message.title;
    titles.sort();
    QCOMPARE(titles, (QStringList{QStringLiteral("Serial Port Error"),
                                  QStringLiteral("Verification Complete")}));
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
}

void tst_Reliability::programFileFaults_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("replaced by a directory")
        << QStringLiteral("directory")
        << QStringLiteral("Error Locating Or Reading Specified Download File\r\rError #  0 - ");
    QTest::newRow("replaced by a named pipe")
        << QStringLiteral("pipe")
        << QStringLiteral("Error Locating Or Reading Specified Download File\r\rError #  0 - ");
    QTest::newRow("longer than 2 GiB")
        << QStringLiteral("huge")
        << QStringLiteral("Error Locating Or Sending Specified Download File\r\rError #  6 - ");
}

void tst_Reliability::programFileFaults() {
    QFETCH(QString, fault);
    QFETCH(QString, message);
    Bench bench;
    const QString path = bench.program.makeFile(QStringLiteral("image.bin"), "abc");
    Variables::strProgramFile = path;
    QFile::remove(path);
    if (fault == QStringLiteral("directory")) {
        QVERIFY(QDir().mkdir(path));
    } else if (fault == QStringLiteral("pipe")) {
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(3) << 30));
    }
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(message),
             qPrintable(bench.messages.last().text));
    // Verifying the same file is refused just as plainly, and nothing is sent either way.
    QTest::mouseClick(bench.form->cmdVerify, Qt::LeftButton);
    QCOMPARE(bench.messages.count(), 2);
    QCOMPARE(bench.messages.last().title, QStringLiteral("File Error"));
    QTest::qWait(50);
    QCOMPARE(bench.pty.received(), QByteArray("\r"));
    QCOMPARE(Forms::Count(), 1);
}

void tst_Reliability::nonAsciiPathWithBlanks() {
    Bench bench;
    QVERIFY(QDir(bench.program.folder()).mkdir(QStringLiteral("Prüf bilder")));
    const QByteArray file = testBytes(3000);
    Variables::strProgramFile =
        bench.program.makeFile(QStringLiteral("Prüf bilder/Öl pumpe µC.bin"), file);
    bench.pty.setResponder([&](const QByteArray& bytes) {
        if (bytes.endsWith("UFD\r"))
            bench.pty.send("UFD\r\n" + file);
    });
    whenShown<frmStatus>(QStringLiteral("frmStatus"),
                         [](frmStatus& dialog) { dialog.cmdOkDownload->click(); });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QTRY_COMPARE(bench.pty.received(), "\r" + file + file.right(1));
    QTest::mouseClick(bench.form->cmdVerify, Qt::LeftButton);
    QCOMPARE(bench.messages.count(), 1);
    QCOMPARE(bench.messages.last().text,
             QStringLiteral("3000 Bytes of Flash Data Verified Correct as Sent\r"));
    bench.program.close();
    QVERIFY(bench.program.readSettings().contains(
        QStringLiteral("Last File=%1").arg(Variables::strProgramFile).toUtf8()));
}

void tst_Reliability::brokenSettingsFiles_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("port");  // panel 3 after start-up
    QTest::addColumn<bool>("reported"); // a message says the file could not be read
    const QByteArray good = "[CONFIGURATION]\r\nSerial Port=3\r\nBaud Rate=19200\r\n";
    QTest::newRow("binary garbage")
        << testBytes(4096) << QStringLiteral(" COM2  (9600 - 8N1 ) ") << false;
    QTest::newRow("NUL bytes inside")
        << QByteArray("[CONFIGURATION]\nSerial\0Port=4\nBaud Rate=19200\0\n", 46)
        << QStringLiteral(" COM2  (9600 - 8N1 ) ") << false;
    QTest::newRow("10 MiB line") << good + QByteArray(10 * 1024 * 1024, 'x')
                                 << QStringLiteral(" COM2  (9600 - 8N1 ) ") << true;
    QTest::newRow("duplicate sections and keys")
        << good + "Serial Port=1\r\n[CONFIGURATION]\r\nSerial Port=4\r\n"
        << QStringLiteral(" COM3  (19200 - 8N1 ) ") << false;
    QTest::newRow("keys before any section")
        << "Serial Port=4\r\n" + good << QStringLiteral(" COM3  (19200 - 8N1 ) ") << false;
    QTest::newRow("no trailing newline")
        << QByteArray("[CONFIGURATION]\nSerial Port=3\nBaud Rate=19200")
        << QStringLiteral(" COM3  (19200 - 8N1 ) ") << false;
    QTest::newRow("byte order mark")
        << "\xEF\xBB\xBF" + good << QStringLiteral(" COM3  (19200 - 8N1 ) ") << false;
    QTest::newRow("CRLF and LF mixed")
        << QByteArray("[CONFIGURATION]\r\nSerial Port=3\nBaud Rate=19200\r\n")
        << QStringLiteral(" COM3  (19200 - 8N1 ) ") << false;
}

void tst_Reliability::brokenSettingsFiles() {
    QFETCH(QByteArray, content);
    QFETCH(QString, port);
    QFETCH(bool, reported);
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings(content);
    frmMain* form = program.start();
    QCOMPARE(form->StatusBar1->Panels(3)->text(), port);
    QCOMPARE(messages.count(), reported ? 1 : 0);
    if (reported)
        QCOMPARE(messages.last().title, QStringLiteral("File Error"));
    program.close();
    const QByteArray written = program.readSettings();
    if (reported) {
        // A file that could not be read is not replaced by one that lost its contents.
        QCOMPARE(written, content);
        return;
    }
    // Every line the program does not own is written back as it was.
    const QList<QByteArray> lines = content.split('\n');
    for (const QByteArray& line : lines) {
        if (!line.contains("Serial Port") && !line.contains("Baud Rate") && !line.isEmpty())
            QVERIFY2(written.contains(line), line.left(40).toHex().constData());
    }
}

void tst_Reliability::settingsInReadOnlyFolder() {
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings("; kept\n[CONFIGURATION]\nSerial Port=3\n");
    program.start();
    // The folder refuses new files but the file itself may be written, also for an ordinary
    // user (as root, the close runs as one).
    QVERIFY(::chmod(QFile::encodeName(program.folder()).constData(), 0555) == 0);
    QVERIFY(::chmod(QFile::encodeName(program.settingsPath()).constData(), 0666) == 0);
    const int previous = ::geteuid() == 0 ? ::setfsuid(65534) : -1;
    program.close();
    if (previous >= 0)
        ::setfsuid(static_cast<uid_t>(previous));
    ::chmod(QFile::encodeName(program.folder()).constData(), 0755);
    QCOMPARE(messages.count(), 0);
    const QByteArray written = program.readSettings();
    QVERIFY2(written.startsWith("; kept\n[CONFIGURATION]\nSerial Port=3\n") &&
                 written.contains("Main Left="),
             written.constData());
}

void tst_Reliability::settingsFileIsAFolder() {
    MessageRecorder messages;
    TestProgram program;
    QVERIFY(QDir().mkdir(program.settingsPath()));
    frmMain* form = program.start();
    QCOMPARE(messages.count(), 0);
    QCOMPARE(form->StatusBar1->Panels(3)->text(), QStringLiteral(" COM2  (9600 - 8N1 ) "));
    program.close();
    QCOMPARE(messages.count(), 1);
    QVERIFY(messages.last().text.startsWith(QStringLiteral("Error Writinging Corvid.ini file")));
    QVERIFY(QFileInfo(program.settingsPath()).isDir());
}

void tst_Reliability::closedDuringUpload() {
    Bench bench;
    QTRY_COMPARE(bench.pty.received(), QByteArray("\r"));
    Variables::strProgramFile =
        bench.program.makeFile(QStringLiteral("image.bin"), testBytes(2 * 1024 * 1024));
    float handedOver = 0;
    whenShown<frmStatus>(QStringLiteral("frmStatus"), [&](frmStatus& dialog) {
        // The line stalls, so the transfer is in the middle when the window is closed.
        bench.pty.pauseReading(true);
        QTimer::singleShot(100, bench.form, [&] {
            bench.form->close();
            bench.pty.pauseReading(false);
        });
        connect(dialog.pgStatus, &ProgressBar::valueSet, this,
                [&](float value) { handedOver = value; });
        dialog.cmdOkDownload->click();
    });
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    QTRY_VERIFY(!bench.form->isVisible());
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(Forms::Count(), 0);
    QVERIFY(bench.program.readSettings().contains("[CONFIGURATION]"));
    // Every byte handed over before the stop reached the line.
    QVERIFY(handedOver > 1);
    QTRY_COMPARE(bench.pty.received().size(), qsizetype(handedOver) + 1);
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Reliability::closedDuringVerification() {
    Bench bench;
    Variables::strProgramFile =
        bench.program.makeFile(QStringLiteral("image.bin"), testBytes(1000));
    bench.pty.setResponder([&](const QByteArray& bytes) {
        if (bytes.endsWith("UFD\r"))
            QTimer::singleShot(50, bench.form, [&] { bench.form->close(); });
    });
    QTest::mouseClick(bench.form->cmdVerify, Qt::LeftButton);
    QTRY_VERIFY(!bench.form->isVisible());
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(Forms::Count(), 0);
    QVERIFY(bench.program.readSettings().contains("[CONFIGURATION]"));
    QCOMPARE(bench.messages.count(), 0);
}

QTEST_MAIN(tst_Reliability)
#include "tst_reliability.moc"
