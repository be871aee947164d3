#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "foundation/StatusBar.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/Bench.h"

#include <QDir>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Runs action with the file checks of an ordinary user, also when the tests run as root (who
// may open any file).
void asOrdinaryUser(const std::function<void()>& action) {
    const int previous = ::geteuid() == 0 ? ::setfsuid(65534) : -1;
    action();
    if (previous >= 0)
        ::setfsuid(static_cast<uid_t>(previous));
}

} // namespace

// Faults of the line, the files and the settings file, and shutdown in the middle of work: the
// program keeps working, tells the truth and loses nothing it was given.
class tst_Reliability : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
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
    void closedInTheMiddle_data();
    void closedInTheMiddle();
};

void tst_Reliability::noiseFloodInTheTerminal() {
    Bench bench;
    int ticks = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, this, [&] { ++ticks; });
    heartbeat.start(20);
    bench.pty.send(testBytes(10 * 1024 * 1024) + "\x1b[2Jend");
    QTRY_VERIFY_WITH_TIMEOUT(bench.form->SaxComm1->display()->screenText() == u"end"_s, 120000);
    // The message loop kept running while the flood came in, and the display stayed bounded.
    QVERIFY(ticks > 1);
    QVERIFY(bench.form->SaxComm1->display()->allLines().size() <= 500 + 25);
    QCOMPARE(Variables::lngRxCount, 0);
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Reliability::noiseFloodDuringVerification() {
    Bench bench;
    bench.chooseFile(testBytes(4096));
    bench.reply(testBytes(10 * 1024 * 1024));
    bench.verify();
    QCOMPARE(bench.messages.count(), 1);
    QVERIFY2(bench.messages.last().text.startsWith(
                 u"Retreived Data Not Equal To Binary File Specified\rByte["_s),
             qPrintable(bench.messages.last().text));
    QVERIFY(Variables::lngRxCount <= Variables::kRxBufferSize);
}

void tst_Reliability::lineLostRightAfterTheReply() {
    Bench bench;
    bench.reply("UFD\r\n" + bench.chooseFile(testBytes(20000)));
    // The line goes once the whole reply is in: during the comparison.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (Variables::lngRxCount == 20005) {
            poll.stop();
            bench.pty.hangUp();
        }
    });
    poll.start(1);
    bench.verify();
    QTRY_COMPARE(bench.messages.count(), 2);
    QStringList titles;
    for (const auto& message : bench.messages.messages())
        titles << message.title;
    titles.sort();
    QCOMPARE(titles, (QStringList{u"Serial Port Error"_s, u"Verification Complete"_s}));
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
}

void tst_Reliability::programFileFaults_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message"); // the whole message where it carries no system text
    const QString reading = u"Error Locating Or Reading Specified Download File\r\rError #  0 - "_s;
    const QString sending = u"Error Locating Or Sending Specified Download File\r\rError #  "_s;
    QTest::newRow("deleted after it was chosen") << u"deleted"_s << reading;
    QTest::newRow("hidden file") << u"hidden"_s << reading;
    QTest::newRow("replaced by a directory") << u"directory"_s << reading;
    QTest::newRow("replaced by a named pipe") << u"pipe"_s << reading;
    QTest::newRow("cannot be opened") << u"unreadable"_s << sending + u"13 - "_s;
    QTest::newRow("longer than 2 GiB") << u"huge"_s << sending + u"6 - "_s;
}

void tst_Reliability::programFileFaults() {
    QFETCH(QString, fault);
    QFETCH(QString, message);
    Bench bench;
    bench.chooseFile("abc", fault == u"hidden"_s ? u".image.bin"_s : u"image.bin"_s);
    const QString path = Variables::strProgramFile;
    const bool replaced = fault == u"directory"_s || fault == u"pipe"_s || fault == u"huge"_s;
    if (replaced || fault == u"deleted"_s)
        QFile::remove(path);
    if (fault == u"directory"_s) {
        QVERIFY(QDir().mkdir(path));
    } else if (fault == u"pipe"_s) {
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else if (fault == u"huge"_s) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(3) << 30));
    }
    const auto upload = [&] { QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton); };
    if (fault == u"unreadable"_s) {
        QVERIFY(::chmod(QFile::encodeName(path), 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(bench.program.folder()), 0755) == 0);
        asOrdinaryUser(upload);
    } else {
        upload();
    }
    QCOMPARE(bench.messages.count(), 1);
    const auto shown = bench.messages.last();
    QVERIFY2(shown.text.startsWith(message), qPrintable(shown.text));
    QVERIFY(!message.endsWith(u"0 - "_s) || shown.text == message);
    QCOMPARE(shown.title, u"File Error"_s);
    QCOMPARE(shown.style, 16);
    // The reading message leaves the focus where the click put it; after the sending message
    // the upload command gives it to the terminal display.
    QCOMPARE(bench.form->focusWidget(), message.startsWith(u"Error Locating Or Sending"_s)
                                            ? bench.form->SaxComm1->focusProxy()
                                            : static_cast<QWidget*>(bench.form->cmdUpload));
    // Verifying a file that is not there as a file is refused just as plainly.
    if (replaced || fault == u"deleted"_s) {
        bench.verify();
        QCOMPARE(bench.messages.count(), 2);
        QCOMPARE(bench.messages.last().title, u"File Error"_s);
    }
    QTest::qWait(50);
    QCOMPARE(bench.pty.received(), QByteArray());
    QCOMPARE(Forms::Count(), 1);
}

void tst_Reliability::nonAsciiPathWithBlanks() {
    Bench bench;
    QVERIFY(QDir(bench.program.folder()).mkdir(u"Prüf bilder"_s));
    const QByteArray file = bench.chooseFile(testBytes(3000), u"Prüf bilder/Öl pumpe µC.bin"_s);
    bench.reply("UFD\r\n" + file);
    bench.upload();
    QTRY_COMPARE(bench.pty.received(), file + file.right(1));
    bench.verify();
    QCOMPARE(bench.messages.count(), 1);
    QCOMPARE(bench.messages.last().text, u"3000 Bytes of Flash Data Verified Correct as Sent\r"_s);
    bench.program.close();
    QVERIFY(bench.program.readSettings().contains(
        u"Last File=%1"_s.arg(Variables::strProgramFile).toUtf8()));
}

void tst_Reliability::brokenSettingsFiles_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("port");  // panel 3 after start-up
    QTest::addColumn<bool>("reported"); // a message says the file could not be read
    const QByteArray good = "[CONFIGURATION]\r\nSerial Port=3\r\nBaud Rate=19200\r\n";
    const QString com2 = u" COM2  (9600 - 8N1 ) "_s;
    const QString com3 = u" COM3  (19200 - 8N1 ) "_s;
    QTest::newRow("binary garbage") << testBytes(4096) << com2 << false;
    QTest::newRow("NUL bytes inside")
        << QByteArray("[CONFIGURATION]\nSerial\0Port=4\nBaud Rate=19200\0\n", 46) << com2 << false;
    QTest::newRow("10 MiB line") << good + QByteArray(10 * 1024 * 1024, 'x') << com2 << true;
    QTest::newRow("duplicate sections and keys")
        << good + "Serial Port=1\r\n[CONFIGURATION]\r\nSerial Port=4\r\n"
        << com3 << false;
    QTest::newRow("keys before any section") << "Serial Port=4\r\n" + good << com3 << false;
    QTest::newRow("no trailing newline")
        << QByteArray("[CONFIGURATION]\nSerial Port=3\nBaud Rate=19200") << com3 << false;
    QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + good << com3 << false;
    QTest::newRow("CRLF and LF mixed")
        << QByteArray("[CONFIGURATION]\r\nSerial Port=3\nBaud Rate=19200\r\n") << com3 << false;
}

void tst_Reliability::brokenSettingsFiles() {
    QFETCH(QByteArray, content);
    QFETCH(bool, reported);
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings(content);
    QTEST(program.start()->StatusBar1->Panels(3)->text(), "port");
    QCOMPARE(messages.count(), reported ? 1 : 0);
    if (reported)
        QCOMPARE(messages.last().title, u"File Error"_s);
    program.close();
    const QByteArray written = program.readSettings();
    // A file that could not be read is not replaced by one that lost its contents, and every
    // line the program does not own is written back as it was.
    QVERIFY(!reported || written == content);
    for (const QByteArray& line : content.split('\n')) {
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
    asOrdinaryUser([&] { program.close(); });
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
    QCOMPARE(program.start()->StatusBar1->Panels(3)->text(), u" COM2  (9600 - 8N1 ) "_s);
    QCOMPARE(messages.count(), 0);
    program.close();
    QCOMPARE(messages.count(), 1);
    QVERIFY(messages.last().text.startsWith(u"Error Writinging Corvid.ini file"_s));
    QVERIFY(QFileInfo(program.settingsPath()).isDir());
}

void tst_Reliability::closedInTheMiddle_data() {
    QTest::addColumn<bool>("uploading");
    QTest::newRow("of an upload") << true;
    QTest::newRow("of a verification") << false;
}

// The window closed in the middle of an upload stops the transfer after the byte being sent, and
// every byte handed over reaches the line; a verification's wait ends as Cancel ends it.
void tst_Reliability::closedInTheMiddle() {
    QFETCH(bool, uploading);
    Bench bench;
    bench.chooseFile(testBytes(uploading ? 2 * 1024 * 1024 : 1000));
    float handedOver = 0;
    if (uploading) {
        bench.upload([&](frmStatus& dialog) {
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
    } else {
        bench.onRequest = [&] { QTimer::singleShot(50, bench.form, [&] { bench.form->close(); }); };
        bench.verify();
    }
    QTRY_VERIFY(!bench.form->isVisible());
    QVERIFY(!bench.form->SaxComm1->PortIsOpen());
    QCOMPARE(Forms::Count(), 0);
    QVERIFY(bench.program.readSettings().contains("[CONFIGURATION]"));
    QVERIFY(!uploading || handedOver > 1);
    QTRY_COMPARE(bench.pty.received().size(), uploading ? qsizetype(handedOver) : 4);
    QCOMPARE(bench.messages.count(), 0);
}

QTEST_MAIN(tst_Reliability)
#include "tst_reliability.moc"
