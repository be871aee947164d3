#include "foundation/RunTimeError.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/PtyPair.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

struct Line {
    QTemporaryDir folder;
    PtyPair pty;
    SaxComm comm;

    Line() {
        QFile::link(pty.slavePath(), folder.filePath(u"COM1"_s));
        comm.setProgramFolder(folder.path());
        comm.setPortNumber(1);
    }
};

class tst_SaxComm : public QObject {
    Q_OBJECT
private slots:
    void settingsTerminalAndCapture();
    void closingSendsWhatIsQueued();
    void lostDeviceClosesThePort();
};

// Line settings apply at the open and at once while open; refused ones change nothing. Terminal
// use drops what came before the open, sends keys, shows the line, raises no event; capture hands
// over every byte once, in order, shows none, and never raises its event inside its own handler.
void tst_SaxComm::settingsTerminalAndCapture() {
    Line line;
    QByteArray reply = "UFD\r\n", captured;
    for (int i = 0; i < 512; ++i)
        reply += static_cast<char>(i);
    int depth = 0;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] {
        QCOMPARE(line.comm.EventCode(), SaxComm::comEvReceive);
        QCOMPARE(++depth, 1);
        captured += line.comm.ReceivedData();
        QCOMPARE(line.comm.ReceivedCount(), 0);
        if (captured.size() == 5) {
            line.pty.send(reply.mid(5));
            QVERIFY(QTest::qWaitFor([&] { return line.comm.ReceivedCount() > 0; }));
        }
        --depth;
    });
    line.pty.send("stale bytes");
    line.comm.setLineSettings(u"19200,n,8,1"_s);
    line.comm.setPortIsOpen(true);
    for (const QString& bad : {u"9600"_s, u"fast,n,8,1"_s, u"0,n,8,1"_s, u"9600,x,8,1"_s,
                               u"9600,n,9,1"_s, u"9600,n,8,3"_s})
        QVERIFY_THROWS_EXCEPTION(RunTimeError, line.comm.setLineSettings(bad));
    QCOMPARE(line.comm.LineSettings(), u"19200,n,8,1"_s);
    QCOMPARE(line.pty.slaveBaudRate(), 19200);
    line.comm.setLineSettings(u" 115200 , N , 8 , 1"_s);
    QCOMPARE(line.pty.slaveBaudRate(), 115200);
    QVERIFY(line.pty.slaveIsEightNoParityOneStop());

    QTest::keyClicks(line.comm.display(), u"go\r"_s);
    QTRY_COMPARE(line.pty.received(), QByteArray("go\r"));
    line.pty.send("Brisa monitor\r\n> ");
    QTRY_COMPARE(line.comm.display()->screenText(), u"Brisa monitor\n>"_s);

    line.comm.setSetting6(false);
    line.comm.setSetting126(1);
    line.pty.send(reply.left(5));
    QTRY_COMPARE(captured, reply);
    QCOMPARE(line.comm.display()->screenText(), u"Brisa monitor\n>"_s);
}

// Nothing handed over is dropped: sending returns at once and the queue goes out as the line
// takes it; closing waits for the line without blocking, then says whether all of it went. A
// line that takes nothing for five seconds is lost, and a close then has nothing to add.
void tst_SaxComm::closingSendsWhatIsQueued() {
    Line line;
    QList<int> closed;
    connect(&line.comm, &SaxComm::portClosed, this,
            [&](int number, const QString&) { closed << number; });
    line.comm.setPortIsOpen(true);
    line.pty.pauseReading(true);
    QTimer::singleShot(300, &line.pty, [&] { line.pty.pauseReading(false); });
    QByteArray bytes;
    for (int i = 0; i < 256 * 1024; ++i)
        bytes += static_cast<char>(i ^ (i >> 8));
    line.comm.SendText(bytes);
    line.comm.SendText(bytes.left(3000));
    QVERIFY(line.comm.unsentCount() > bytes.size());
    line.comm.setPortIsOpen(false);
    QVERIFY(line.comm.PortIsOpen() && line.comm.isClosing());
    QVERIFY_THROWS_EXCEPTION(RunTimeError, line.comm.SendText("late"));
    QTRY_COMPARE(closed, QList<int>{0});
    QVERIFY(!line.comm.PortIsOpen());
    QTRY_COMPARE(line.pty.received().size(), bytes.size() + 3000);
    QCOMPARE(line.pty.received(), bytes + bytes.left(3000));

    // A line that takes too little in twice its time is closed all the same, and says so.
    QString unsent;
    connect(&line.comm, &SaxComm::portClosed, this,
            [&](int, const QString& description) { unsent = description; });
    line.comm.setLineSettings(u"921600,n,8,1"_s);
    line.comm.setPortIsOpen(true);
    line.pty.pauseReading(true);
    line.comm.SendText(bytes.left(64 * 1024));
    line.comm.setPortIsOpen(false);
    QTRY_COMPARE_WITH_TIMEOUT(closed, (QList<int>{0, QSerialPort::TimeoutError}), 10000);
    QVERIFY2(unsent.contains(u"bytes not sent"_s), qPrintable(unsent));
    line.pty.pauseReading(false);

    QList<int> codes;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] { codes << line.comm.EventCode(); });
    line.comm.setPortIsOpen(true);
    line.pty.pauseReading(true);
    line.comm.SendText(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(codes, QList<int>{SaxComm::comEvDeviceLost}, 10000);
    QVERIFY(!line.comm.PortIsOpen() && line.comm.lostErrorDescription().endsWith(u"5 seconds"_s));
    QCOMPARE(closed.size(), 2);
}

// A hung-up line closes within a second with one event, later sends fail, and opening again
// leaves no loss behind. Without a COMn link port n is /dev/ttyS(n-1).
void tst_SaxComm::lostDeviceClosesThePort() {
    Line line;
    line.comm.setPortIsOpen(true);
    QList<int> codes;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] { codes << line.comm.EventCode(); });
    line.pty.hangUpLine();
    QTRY_COMPARE_WITH_TIMEOUT(codes, QList<int>{SaxComm::comEvDeviceLost}, 1000);
    QVERIFY_THROWS_EXCEPTION(RunTimeError, line.comm.SendText("x"));
    line.comm.setPortIsOpen(true);
    QCOMPARE(line.comm.lostErrorNumber(), 0);
    line.comm.setPortNumber(2);
    QCOMPARE(line.comm.portDevice(), u"/dev/ttyS1"_s);
}

QTEST_MAIN(tst_SaxComm)
#include "tst_saxcomm.moc"
