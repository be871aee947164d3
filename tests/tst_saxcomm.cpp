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
// use drops what came before the open, sends keys, shows the line, raises no event; capture gives
// each byte its own event, shows none, and holds what comes while the handler yields for later.
void tst_SaxComm::settingsTerminalAndCapture() {
    Line line;
    QByteArray reply = "UFD\r\n", captured;
    for (int i = 0; i < 512; ++i)
        reply += static_cast<char>(i);
    int depth = 0;
    connect(&line.comm, &SaxComm::SerialEvent, this, [&] {
        QCOMPARE(line.comm.EventCode(), SaxComm::comEvReceive);
        QCOMPARE(++depth, 1);
        for (QByteArray byte; !(byte = line.comm.ReceivedData()).isEmpty(); captured += byte)
            QCOMPARE(byte.size(), 1);
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

// Nothing handed over is dropped: the sender is held back while the line does not take bytes,
// and closing sends what is still queued, every byte value unchanged.
void tst_SaxComm::closingSendsWhatIsQueued() {
    Line line;
    line.comm.setPortIsOpen(true);
    line.pty.pauseReading(true);
    QTimer::singleShot(300, &line.pty, [&] { line.pty.pauseReading(false); });
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
