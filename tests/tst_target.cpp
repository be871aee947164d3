#include "support/BoardProcess.h"

#include <QSerialPort>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

struct Line {
    BoardProcess board;
    QSerialPort port{board.device()};
    const bool opened = port.open(QIODevice::ReadWrite);
    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    qsizetype wireBytes = 0; // both ways

    bool exchange(const QByteArray& bytes, const QByteArray& reply) {
        QByteArray got;
        port.write(bytes);
        wireBytes += bytes.size() + reply.size();
        (void)QTest::qWaitFor([&] { return (got += port.readAll()).size() >= reply.size(); });
        return opened && got == reply;
    }
};

const QString kBoard = QStringLiteral(CORVID_TARGET_PATH);

// What the end-to-end runs leave out of the simulated board, a process on its own line.
class tst_Target : public QObject {
    Q_OBJECT
private slots:
    void pacedFlashOfASetSize();
    void endsCleanly();
};

// Erased flash reads 0xFF beyond the image, a larger image keeps only its start, and each way a
// byte takes at least 90 % of its ten bits at 9600 baud.
void tst_Target::pacedFlashOfASetSize() {
    Line line{{kBoard, {u"--flash-size"_s, u"600"_s, u"--pace"_s, u"--burst-gap"_s, u"30"_s}}};
    const QByteArray prompt = "\r\n> ", a(200, 'a'), b(700, 'b');
    QVERIFY(line.exchange("\r", "\r\nBrisa C167 target simulator\r\nFlash: 600 bytes" + prompt));
    QVERIFY(line.exchange(a, "\r\nProgrammed 200 bytes" + prompt));
    QVERIFY(line.exchange("UFD\r", "UFD\r\n" + a + QByteArray(400, '\xff') + prompt));
    QVERIFY(line.exchange(b, "\r\nProgrammed 600 bytes" + prompt));
    QVERIFY(line.exchange("UFD\r", "UFD\r\n" + b.left(600) + prompt));
    QVERIFY(QDateTime::currentMSecsSinceEpoch() - line.started >= line.wireBytes * 9000 / 9600);
}

// A silent board's link replaces a stale one and goes when it ends; bad arguments give status 2.
void tst_Target::endsCleanly() {
    QTemporaryDir dir;
    const QString link = dir.filePath(u"ttyTarget"_s);
    for (const int signal : {SIGTERM, SIGINT, 0}) { // 0: the line hangs up after 100 bytes
        QVERIFY(QFile::link(u"/nonexistent/stale"_s, link));
        Line line{{kBoard, {u"--silent"_s, u"--hangup-after"_s, u"100"_s, u"--link"_s, link}}};
        QCOMPARE(QFileInfo(link).symLinkTarget(), line.board.device());
        line.port.write("\r");
        QTRY_VERIFY(line.board.log().contains(u"banner, not answered (silent)"_s));
        line.port.write(QByteArray(signal ? 0 : 200, 'x'));
        line.board.signal(signal);
        QTRY_VERIFY(line.board.hasExited());
        QVERIFY(!QFileInfo(link).isSymLink() && line.port.readAll().isEmpty());
        QVERIFY(line.board.log().contains(signal ? u"exiting on SIG"_s : u"hang-up after 100"_s));
    }
    for (const QString& bad :
         {u"--flash-size big"_s, u"--noise -1"_s, u"--flash-size 67108865"_s,
          u"--miss-wakeups -1"_s, u"--record /nonexistent/r.bin"_s, u"--fast"_s, u"/dev/ttyS0"_s})
        QCOMPARE(QProcess::execute(kBoard, bad.split(u' ')), 2);
}

QTEST_GUILESS_MAIN(tst_Target)
#include "tst_target.moc"
