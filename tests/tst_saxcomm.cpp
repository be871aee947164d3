#include "foundation/DoEvents.h"
#include "foundation/RunTimeError.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/PtyPair.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

// A serial terminal control whose COM1 is the slave side of a fresh pseudo-terminal pair.
struct Line {
    QTemporaryDir folder;
    PtyPair pty;
    SaxComm comm;

    Line() {
        QFile::link(pty.slavePath(), folder.filePath(QStringLiteral("COM1")));
        comm.setProgramFolder(folder.path());
        comm.setPortNumber(1);
    }
};

} // namespace

// The serial terminal control over a real pseudo-terminal pair.
class tst_SaxComm : public QObject {
    Q_OBJECT
private slots:
    void bytesGoOutExactlyAsSent();
    void lineSettings_data();
    void lineSettings();
    void terminalConfiguration();
    void captureDeliversOneByteAtATime();
    void closingSendsWhatIsQueued();
    void lostDeviceClosesThePort();
};

void tst_SaxComm::bytesGoOutExactlyAsSent() {
    Line line;
    QVERIFY(line.pty.isValid());
    for (int round = 0; round < 2; ++round) { // opens again after a close
        QVERIFY(!line.comm.PortIsOpen());
        line.comm.setPortIsOpen(true);
        QVERIFY(line.comm.PortIsOpen());
        QCOMPARE(line.comm.portDevice(), QFileInfo(line.pty.slavePath()).canonicalFilePath());
        line.comm.setPortIsOpen(false);
    }
    line.comm.setPortIsOpen(true);
    QByteArray bytes;
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
        line.comm.SendText(QByteArray(1, static_cast<char>(i)));
    }
    line.comm.SendText("\rUFD\r");
    QTRY_COMPARE(line.pty.received(), bytes + "\rUFD\r");
}

void tst_SaxComm::lineSettings_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("baud"); // 0: refused, the settings before stay
    QTest::newRow("9600") << QStringLiteral("9600,n,8,1") << 9600;
    QTest::newRow("115200") << QStringLiteral("115200,N,8,1") << 115200;
    QTest::newRow("1200 with blanks") << QStringLiteral(" 1200 , n , 8 , 1") << 1200;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("rate only") << QStringLiteral("9600") << 0;
    QTest::newRow("rate not a number") << QStringLiteral("fast,n,8,1") << 0;
    QTest::newRow("fractional rate") << QStringLiteral("9600.4,n,8,1") << 0;
    QTest::newRow("zero rate") << QStringLiteral("0,n,8,1") << 0;
    QTest::newRow("unknown parity") << QStringLiteral("9600,x,8,1") << 0;
    QTest::newRow("9 data bits") << QStringLiteral("9600,n,9,1") << 0;
    QTest::newRow("3 stop bits") << QStringLiteral("9600,n,8,3") << 0;
    QTest::newRow("one field too many") << QStringLiteral("9600,n,8,1,1") << 0;
}

void tst_SaxComm::lineSettings() {
    QFETCH(QString, settings);
    QFETCH(int, baud);
    Line line;
    line.comm.setLineSettings(QStringLiteral("19200,n,8,1"));
    if (!baud) {
        QVERIFY_THROWS_EXCEPTION(RunTimeError, line.comm.setLineSettings(settings));
        QCOMPARE(line.comm.LineSettings(), QStringLiteral("19200,n,8,1"));
        return;
    }
    line.comm.setPortIsOpen(true);
    QCOMPARE(line.pty.slaveBaudRate(), 19200);
    // Accepted while open, and applied at once.
    line.comm.setLineSettings(settings);
    QCOMPARE(line.pty.slaveBaudRate(), baud);
    QVERIFY(line.pty.slaveIsEightNoParityOneStop());
}

// The terminal configuration: keys go out while open, the line is shown, no receive events.
void tst_SaxComm::terminalConfiguration() {
    Line line;
    {
        // Another program had the line open and left bytes unread.
        SaxComm earlier;
        earlier.setProgramFolder(line.folder.path());
        earlier.setPortNumber(1);
        earlier.setSetting6(false);
        earlier.setPortIsOpen(true);
        line.pty.send("stale bytes");
        QTest::qWait(50);
    }
    line.pty.send("stale bytes again");
    QTest::keyClicks(line.comm.display(), QStringLiteral("lost"));
    line.comm.setPortIsOpen(true);
    QSignalSpy events(&line.comm, &SaxComm::SerialEvent);
    QTest::keyClicks(line.comm.display(), QStringLiteral("go"));
    QTest::keyClick(line.comm.display(), Qt::Key_Return);
    QTRY_COMPARE(line.pty.received(), QByteArray("go\r"));
    line.pty.send("Brisa monitor\r\n> ");
    QTRY_COMPARE(line.comm.display()->screenText(), QStringLiteral("Brisa monitor\n>"));
    line.pty.send("\x1b[2Jclean");
    QTRY_COMPARE(line.comm.display()->screenText(), QStringLiteral("clean"));
    QCOMPARE(events.count(), 0);
    QCOMPARE(line.comm.ReceivedCount(), 0);
}

// The verification's configuration: every byte in its own receive event, none on the screen,
// and bytes arriving while the handler yields come in a later event, never a nested one.
void tst_SaxComm::captureDeliversOneByteAtATime() {
    Line line;
    line.comm.setSetting6(false);
    line.comm.setSetting126(1);
    line.comm.setSetting62(false);
    line.comm.setSetting63(1);
    line.comm.setPortIsOpen(true);
    QByteArray reply = "UFD\r\n";
    for (int i = 0; i < 512; ++i)
        reply += static_cast<char>(i);
    QByteArray captured;
    QList<int> codes;
    int depth = 0;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] {
        codes << line.comm.EventCode();
        QCOMPARE(++depth, 1);
        while (line.comm.ReceivedCount() > 0) {
            const QByteArray byte = line.comm.ReceivedData();
            QCOMPARE(byte.size(), 1);
            captured += byte;
        }
        if (codes.size() == 1) {
            line.pty.send(reply.mid(5));
            QTest::qWait(100);
        }
        --depth;
    });
    line.pty.send(reply.left(5));
    QTRY_COMPARE(captured, reply);
    QVERIFY(std::all_of(codes.cbegin(), codes.cend(),
                        [](int code) { return code == SaxComm::comEvReceive; }));
    QCOMPARE(line.comm.display()->screenText(), QString());
    QVERIFY(line.comm.ReceivedData().isEmpty());
}

// Nothing handed over is dropped: the sender is held back while the line does not take bytes,
// and closing sends what is still queued.
void tst_SaxComm::closingSendsWhatIsQueued() {
    Line line;
    line.comm.setPortIsOpen(true);
    line.pty.pauseReading(true);
    QTimer::singleShot(300ms, &line.pty, [&] { line.pty.pauseReading(false); });
    QByteArray bytes;
    for (int i = 0; i < 256 * 1024; ++i)
        bytes += static_cast<char>(i ^ (i >> 8));
    line.comm.SendText(bytes);
    // Handed over without a pass of the message loop, so all of it is still queued.
    line.comm.SendText(bytes.left(3000));
    line.comm.setPortIsOpen(false);
    QTRY_COMPARE(line.pty.received().size(), bytes.size() + 3000);
    QCOMPARE(line.pty.received(), bytes + bytes.left(3000));
}

void tst_SaxComm::lostDeviceClosesThePort() {
    Line line;
    line.comm.setPortIsOpen(true);
    QList<int> codes;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] { codes << line.comm.EventCode(); });
    line.pty.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!line.comm.PortIsOpen(), 1000);
    QTRY_COMPARE(codes, QList<int>{SaxComm::comEvDeviceLost});
    QVERIFY(line.comm.lostErrorDescription().contains(QStringLiteral("COM1")));
    QVERIFY_THROWS_EXCEPTION(RunTimeError, line.comm.SendText("x"));
    // The event is raised once, not once per failed read.
    QTest::qWait(100);
    QCOMPARE(codes.size(), 1);
}

QTEST_MAIN(tst_SaxComm)
#include "tst_saxcomm.moc"
