#include "foundation/DoEvents.h"
#include "foundation/RunTimeError.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/PtyPair.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

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

QByteArray allByteValues() {
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<char>(i);
    return bytes;
}

void captureConfiguration(SaxComm& comm) {
    comm.setSetting6(false);
    comm.setSetting126(1);
    comm.setSetting62(false);
    comm.setSetting63(1);
}

} // namespace

// The serial terminal control over a real pseudo-terminal pair.
class tst_SaxComm : public QObject {
    Q_OBJECT
private slots:
    void openAndClose();
    void bytesGoOutExactlyAsSent();
    void lineSettingsReachTheLine_data();
    void lineSettingsReachTheLine();
    void malformedLineSettingsRefused_data();
    void malformedLineSettingsRefused();
    void receivedTextIsShown();
    void inputFromBeforeOpenIsDiscarded();
    void captureDeliversOneByteAtATime();
    void bytesArrivingDuringHandlerAreDelivered();
    void closingSendsWhatIsQueued();
    void senderHeldBackWhileQueueIsFull();
    void typedKeysGoOutWhileOpen();
    void lostDeviceClosesThePort();
    void openFailures_data();
    void openFailures();
};

void tst_SaxComm::openAndClose() {
    Line line;
    QVERIFY(line.pty.isValid());
    QVERIFY(!line.comm.PortIsOpen());
    line.comm.setPortIsOpen(true);
    QVERIFY(line.comm.PortIsOpen());
    QCOMPARE(line.comm.portDevice(), QFileInfo(line.pty.slavePath()).canonicalFilePath());
    line.comm.setPortIsOpen(false);
    QVERIFY(!line.comm.PortIsOpen());
    line.comm.setPortIsOpen(true);
    QVERIFY(line.comm.PortIsOpen());
}

void tst_SaxComm::bytesGoOutExactlyAsSent() {
    Line line;
    line.comm.setPortIsOpen(true);
    const QByteArray bytes = allByteValues();
    for (char byte : bytes)
        line.comm.SendText(QByteArray(1, byte));
    line.comm.SendText("\rUFD\r");
    QTRY_COMPARE(line.pty.received(), bytes + "\rUFD\r");
}

void tst_SaxComm::lineSettingsReachTheLine_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("baud");
    QTest::newRow("9600") << QStringLiteral("9600,n,8,1") << 9600;
    QTest::newRow("19200") << QStringLiteral("19200,n,8,1") << 19200;
    QTest::newRow("115200") << QStringLiteral("115200,N,8,1") << 115200;
    QTest::newRow("1200 with blanks") << QStringLiteral(" 1200 , n , 8 , 1") << 1200;
}

void tst_SaxComm::lineSettingsReachTheLine() {
    QFETCH(QString, settings);
    QFETCH(int, baud);
    Line line;
    line.comm.setLineSettings(settings);
    line.comm.setPortIsOpen(true);
    QCOMPARE(line.pty.slaveBaudRate(), baud);
    QVERIFY(line.pty.slaveIsEightNoParityOneStop());
    // Accepted while open, and applied at once.
    line.comm.setLineSettings(QStringLiteral("2400,n,8,1"));
    QCOMPARE(line.pty.slaveBaudRate(), 2400);
}

void tst_SaxComm::malformedLineSettingsRefused_data() {
    QTest::addColumn<QString>("settings");
    QTest::newRow("empty") << QString();
    QTest::newRow("rate only") << QStringLiteral("9600");
    QTest::newRow("rate not a number") << QStringLiteral("fast,n,8,1");
    QTest::newRow("fractional rate") << QStringLiteral("9600.4,n,8,1");
    QTest::newRow("zero rate") << QStringLiteral("0,n,8,1");
    QTest::newRow("unknown parity") << QStringLiteral("9600,x,8,1");
    QTest::newRow("9 data bits") << QStringLiteral("9600,n,9,1");
    QTest::newRow("3 stop bits") << QStringLiteral("9600,n,8,3");
    QTest::newRow("one field too many") << QStringLiteral("9600,n,8,1,1");
}

void tst_SaxComm::malformedLineSettingsRefused() {
    QFETCH(QString, settings);
    SaxComm comm;
    comm.setLineSettings(QStringLiteral("19200,n,8,1"));
    QVERIFY_THROWS_EXCEPTION(RunTimeError, comm.setLineSettings(settings));
    QCOMPARE(comm.LineSettings(), QStringLiteral("19200,n,8,1"));
}

void tst_SaxComm::receivedTextIsShown() {
    Line line;
    line.comm.setPortIsOpen(true);
    QSignalSpy events(&line.comm, &SaxComm::SerialEvent);
    line.pty.send("Brisa monitor\r\n> ");
    QTRY_COMPARE(line.comm.display()->screenText(), QStringLiteral("Brisa monitor\n>"));
    line.pty.send("\x1b[2Jclean");
    QTRY_COMPARE(line.comm.display()->screenText(), QStringLiteral("clean"));
    // The terminal configuration raises no receive events and holds nothing.
    QCOMPARE(events.count(), 0);
    QCOMPARE(line.comm.ReceivedCount(), 0);
}

void tst_SaxComm::inputFromBeforeOpenIsDiscarded() {
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
        earlier.setPortIsOpen(false);
    }
    line.pty.send("stale bytes again");
    line.comm.setPortIsOpen(true);
    line.pty.send("fresh");
    QTRY_COMPARE(line.comm.display()->screenText(), QStringLiteral("fresh"));
}

void tst_SaxComm::captureDeliversOneByteAtATime() {
    Line line;
    captureConfiguration(line.comm);
    line.comm.setPortIsOpen(true);
    QByteArray captured;
    QList<int> codes;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] {
        codes << line.comm.EventCode();
        while (line.comm.ReceivedCount() > 0) {
            const QByteArray byte = line.comm.ReceivedData();
            QCOMPARE(byte.size(), 1);
            captured += byte;
        }
    });
    const QByteArray reply = "UFD\r\n" + allByteValues() + allByteValues();
    line.pty.send(reply);
    QTRY_COMPARE(captured, reply);
    QVERIFY(!codes.isEmpty());
    QVERIFY(std::all_of(codes.cbegin(), codes.cend(),
                        [](int code) { return code == SaxComm::comEvReceive; }));
    QCOMPARE(line.comm.display()->screenText(), QString());
    QVERIFY(line.comm.ReceivedData().isEmpty());
}

void tst_SaxComm::bytesArrivingDuringHandlerAreDelivered() {
    Line line;
    captureConfiguration(line.comm);
    line.comm.setPortIsOpen(true);
    QByteArray captured;
    int depth = 0;
    int maxDepth = 0;
    bool sentMore = false;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] {
        maxDepth = std::max(maxDepth, ++depth);
        while (line.comm.ReceivedCount() > 0)
            captured += line.comm.ReceivedData();
        if (!sentMore) {
            // The rest of the reply comes in while the handler yields, and nothing after it.
            sentMore = true;
            line.pty.send("tail");
            QTest::qWait(100);
        }
        --depth;
    });
    line.pty.send("head");
    QTRY_COMPARE(captured, QByteArray("headtail"));
    QCOMPARE(maxDepth, 1);
}

void tst_SaxComm::closingSendsWhatIsQueued() {
    Line line;
    line.comm.setPortIsOpen(true);
    QByteArray bytes;
    for (int i = 0; i < 3000; ++i)
        bytes += static_cast<char>(i * 7);
    // Handed over without a pass of the message loop, so all of it is still queued.
    line.comm.SendText(bytes);
    line.comm.setPortIsOpen(false);
    QTRY_COMPARE(line.pty.received(), bytes);
}

void tst_SaxComm::senderHeldBackWhileQueueIsFull() {
    Line line;
    line.comm.setPortIsOpen(true);
    line.pty.pauseReading(true);
    QTimer::singleShot(300ms, &line.pty, [&] { line.pty.pauseReading(false); });
    QByteArray bytes;
    for (int i = 0; i < 256 * 1024; ++i)
        bytes += static_cast<char>(i ^ (i >> 8));
    line.comm.SendText(bytes);
    QTRY_COMPARE(line.pty.received().size(), bytes.size());
    QCOMPARE(line.pty.received(), bytes);
}

void tst_SaxComm::typedKeysGoOutWhileOpen() {
    Line line;
    QTest::keyClicks(line.comm.display(), QStringLiteral("lost"));
    line.comm.setPortIsOpen(true);
    QTest::keyClicks(line.comm.display(), QStringLiteral("go"));
    QTest::keyClick(line.comm.display(), Qt::Key_Return);
    QTRY_COMPARE(line.pty.received(), QByteArray("go\r"));
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

void tst_SaxComm::openFailures_data() {
    QTest::addColumn<QString>("device"); // "<held>" is a pseudo-terminal another control holds
    QTest::addColumn<int>("error");
    QTest::newRow("no such device")
        << QStringLiteral("/nonexistent/ttyUSB9") << int(QSerialPort::DeviceNotFoundError);
    QTest::newRow("not a serial device")
        << QStringLiteral("/dev/null") << int(QSerialPort::UnsupportedOperationError);
    QTest::newRow("held by another program")
        << QStringLiteral("<held>") << int(QSerialPort::PermissionError);
}

void tst_SaxComm::openFailures() {
    QFETCH(QString, device);
    QFETCH(int, error);
    Line line;
    SaxComm holder;
    if (device == QStringLiteral("<held>")) {
        holder.setProgramFolder(line.folder.path());
        holder.setPortNumber(1);
        holder.setPortIsOpen(true);
    } else {
        QFile::remove(line.folder.filePath(QStringLiteral("COM1")));
        QFile::link(device, line.folder.filePath(QStringLiteral("COM1")));
    }
    try {
        line.comm.setPortIsOpen(true);
        QFAIL("the port opened");
    } catch (const RunTimeError& failure) {
        QCOMPARE(failure.number(), error);
        QVERIFY2(failure.description().startsWith(QStringLiteral("COM1 (")),
                 qPrintable(failure.description()));
    }
    QVERIFY(!line.comm.PortIsOpen());
}

QTEST_MAIN(tst_SaxComm)
#include "tst_saxcomm.moc"
