#include "foundation/Forms.h"
#include "foundation/ProgressBar.h"
#include "foundation/StatusBar.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/Bench.h"

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class tst_Reliability : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
    void noiseFlood();
    void programFileFaults_data();
    void programFileFaults();
    void brokenSettingsFiles_data();
    void brokenSettingsFiles();
    void interrupted_data();
    void interrupted();
};

// Noise as the reply fills the receive buffer and no more; the rest goes to the terminal.
void tst_Reliability::noiseFlood() {
    Bench bench;
    bench.chooseFile(testBytes(Session::kRxBufferSize - 5));
    bench.reply(testBytes(2 * 1024 * 1024));
    bench.verify();
    bench.pty.send("\x1b[2Jend");
    QCOMPARE(bench.messages.last().text.left(24), u"Retreived Data Not Equal"_s);
    QCOMPARE(bench.form->session().lngRxCount, Session::kRxBufferSize);
    QTRY_VERIFY_WITH_TIMEOUT(bench.form->SaxComm1->display()->screenText() == u"end"_s, 120000);
}

void tst_Reliability::programFileFaults_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message"); // the whole message where it carries no system text
    const QString reading = u"Error Locating Or Reading Specified Download File\r\rError #  0 - "_s;
    const QString sending = u"Error Locating Or Sending Specified Download File\r\rError #  "_s;
    QTest::newRow("hidden") << u".hidden.bin"_s << reading;
    QTest::newRow("a named pipe") << u"pipe.bin"_s << reading;
    QTest::newRow("over 2 GiB") << u"huge.bin"_s << sending + u"6 - Overflow: "_s;
    QTest::newRow("unreadable") << u"locked.bin"_s << sending + u"13 - "_s;
}

void tst_Reliability::programFileFaults() {
    QFETCH(QString, name);
    QFETCH(QString, message);
    Bench bench;
    const QString folder = bench.program.folder() + u'/';
    bench.program.makeFile(u".hidden.bin"_s, "abc");
    QVERIFY(::mkfifo(QFile::encodeName(folder + u"pipe.bin"_s), 0600) == 0);
    QVERIFY(QFile(bench.program.makeFile(u"huge.bin"_s, "")).resize(3LL << 30));
    QVERIFY(::chmod(QFile::encodeName(bench.program.makeFile(u"locked.bin"_s, "abc")), 0) == 0);
    QVERIFY(::chmod(QFile::encodeName(folder), 0755) == 0);
    bench.form->session().strProgramFile = folder + name;
    // An ordinary user's file checks, also when the tests run as root, who may read anything.
    const int root = ::geteuid() == 0 ? ::setfsuid(65534) : -1;
    QTest::mouseClick(bench.form->cmdUpload, Qt::LeftButton);
    if (root >= 0)
        ::setfsuid(uid_t(root));
    QCOMPARE(bench.messages.count(), 1);
    QCOMPARE(bench.messages.last().text.left(message.endsWith(u"0 - "_s) ? -1 : message.size()),
             message);
    QTest::qWait(50);
    QCOMPARE(bench.pty.received(), QByteArray());
}

void tst_Reliability::brokenSettingsFiles_data() {
    QTest::addColumn<QByteArray>("content"); // null: Corvid.ini is a folder
    QTest::addColumn<int>("errors");         // 1: writing it at exit; 2: reading it too
    QTest::newRow("binary garbage, NUL bytes")
        << testBytes(4096) +
               QByteArray("\n[CONFIGURATION]\nSerial\0Port=4\nBaud Rate=19200\0\n", 47)
        << 0;
    QTest::newRow("over 1 MiB") << "[CONFIGURATION]\nSerial Port=3\n" + QByteArray(1 << 20, 'x')
                                << 2;
    QTest::newRow("a folder") << QByteArray() << 1;
}

// Unreadable keys count as missing; a file that could not be read is not replaced.
void tst_Reliability::brokenSettingsFiles() {
    QFETCH(QByteArray, content);
    QFETCH(int, errors);
    MessageRecorder messages;
    TestProgram program;
    if (content.isNull())
        QVERIFY(::mkdir(QFile::encodeName(program.settingsPath()), 0700) == 0);
    else
        program.writeSettings(content);
    QCOMPARE(program.start()->StatusBar1->Panels(3)->text(), u" COM2  (9600 - 8N1 ) "_s);
    program.close();
    QCOMPARE(messages.count(), errors);
    QVERIFY(errors == 0 || messages.last().text.startsWith(u"Error Writinging Corvid.ini file"_s));
    const QByteArray written = program.readSettings();
    QCOMPARE(written == content, errors > 0);
    for (const QByteArray& line : content.split('\n')) {
        if (!line.contains("Serial Port") && !line.contains("Baud Rate") && !line.isEmpty())
            QVERIFY2(written.contains(line), line.left(40).toHex().constData());
    }
}

void tst_Reliability::interrupted_data() {
    QTest::addColumn<QString>("what");
    QTest::newRow("window closed during an upload") << u"upload"_s;
    QTest::newRow("window closed during a verification") << u"verification"_s;
    QTest::newRow("line lost during the comparison") << u"comparison"_s;
}

// A transfer stops after the byte being sent, and every byte handed over reaches the line; a
// verification's wait ends as Cancel ends it.
void tst_Reliability::interrupted() {
    QFETCH(QString, what);
    Bench bench;
    bench.reply("UFD\r\n" + bench.chooseFile(testBytes(what == u"upload"_s ? 2 << 20 : 20000)));
    float handedOver = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (bench.form->session().lngRxCount == 20005)
            bench.pty.hangUp();
    });
    if (what == u"upload"_s) {
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
    } else if (what == u"verification"_s) {
        bench.onRequest = [&] { bench.form->close(); };
        bench.verify();
    } else {
        poll.start(1);
        bench.verify();
    }
    QTRY_VERIFY(!bench.form->SaxComm1->PortIsOpen());
    // A comparison goes on to its verdict, and the loss is reported as well.
    const bool lost = what == u"comparison"_s;
    QTRY_COMPARE(bench.form->isVisible(), lost);
    QTRY_COMPARE(bench.messages.count(), lost ? 2 : 0);
    QVERIFY(!lost ||
            (QSet<QString>{bench.messages.messages().first().title, bench.messages.last().title} ==
             QSet<QString>{u"Serial Port Error"_s, u"Verification Complete"_s}));
    QCOMPARE(Forms::Count(), lost ? 1 : 0);
    QVERIFY(lost || bench.program.readSettings().contains("[CONFIGURATION]"));
    QVERIFY(what != u"upload"_s || handedOver > 1);
    QTRY_COMPARE(bench.pty.received().size(), what == u"upload"_s ? qsizetype(handedOver) : 4);
}

QTEST_MAIN(tst_Reliability)
#include "tst_reliability.moc"
