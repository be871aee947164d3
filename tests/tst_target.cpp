#include <QProcess>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>

namespace {

const QByteArray kPrompt = QByteArrayLiteral("\r\n> ");
const QList<QByteArray> kReadbackRequest = {QByteArrayLiteral("UFD"), QByteArrayLiteral("\r")};

QByteArray testBytes(qsizetype size) {
    QRandomGenerator generator(42);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

QByteArray programmedReply(qsizetype size) {
    return "\r\nProgrammed " + QByteArray::number(size) + " bytes" + kPrompt;
}

// The simulator as its own process (the first line it prints is its device), and the program's
// end of its line: raw 8N1, QSerialPort's default, collecting every byte.
struct Board {
    QProcess process;
    QString device, log;
    QSerialPort port;
    QByteArray received;

    explicit Board(const QString& arguments, qint32 baud = QSerialPort::Baud115200) {
        process.start(
            QStringLiteral(CORVID_TARGET_PATH),
            (QStringLiteral("--burst-gap 30 ") + arguments).split(u' ', Qt::SkipEmptyParts));
        if (QTest::qWaitFor([&] { return process.canReadLine() || !process.processId(); }) &&
            process.canReadLine())
            device = QString::fromLocal8Bit(process.readLine()).trimmed();
        port.setPortName(device);
        port.setBaudRate(baud);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
        port.open(QIODevice::ReadWrite);
    }
    ~Board() {
        process.terminate();
        process.waitForFinished();
    }
    // Sends each burst as the program does, and takes what arrives up to size bytes.
    QByteArray exchange(const QList<QByteArray>& bursts, qsizetype size, int ms = 5000) {
        received.clear();
        for (const QByteArray& bytes : bursts)
            port.write(bytes);
        (void)QTest::qWaitFor([&] { return received.size() >= size; }, ms);
        return received;
    }
    // Nothing more arrives in the time a late reply would have taken.
    bool staysQuiet(qsizetype size) {
        return !QTest::qWaitFor([&] { return received.size() > size; }, 300);
    }
    bool logged(const QString& text) {
        return QTest::qWaitFor([&] {
            return (log += QString::fromLocal8Bit(process.readAllStandardError())).contains(text);
        });
    }
    bool exited(int code) {
        return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }) &&
               process.exitStatus() == QProcess::NormalExit && process.exitCode() == code;
    }
};

} // namespace

// The simulated target board, run as a separate process on a real pseudo-terminal.
class tst_Target : public QObject {
    Q_OBJECT
private slots:
    void bannerProgramAndReadback_data();
    void bannerProgramAndReadback();
    void endsCleanly_data();
    void endsCleanly();
    void pacesBothDirectionsAtLineRate();
    void rejectsBadArguments();
};

void tst_Target::bannerProgramAndReadback_data() {
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("flashSize");    // as the banner states it before programming
    QTest::addColumn<QByteArray>("flash"); // as the readback shows it, after the echo
    QTest::addColumn<int>("noise");        // unknown bytes before the echo
    const QByteArray image = testBytes(4097);
    QByteArray flipped = image;
    flipped[3] = static_cast<char>(~flipped[3]);
    QTest::newRow("flash as long as the image") << QString() << 0 << image + kPrompt << 0;
    QTest::newRow("larger flash reads 0xFF beyond the image")
        << QStringLiteral("--flash-size 6000") << 6000
        << image + QByteArray(6000 - image.size(), char(0xFF)) + kPrompt << 0;
    QTest::newRow("smaller flash keeps the start")
        << QStringLiteral("--flash-size 1000") << 1000 << image.left(1000) + kPrompt << 0;
    QTest::newRow("flipped byte") << QStringLiteral("--flip-byte 3") << 0 << flipped + kPrompt << 0;
    QTest::newRow("short readback has no prompt")
        << QStringLiteral("--short-readback 10") << 0 << image.left(10) << 0;
    QTest::newRow("noise before the readback")
        << QStringLiteral("--noise 7") << 0 << image + kPrompt << 7;
}

void tst_Target::bannerProgramAndReadback() {
    QFETCH(QString, arguments);
    QFETCH(int, flashSize);
    QFETCH(QByteArray, flash);
    QFETCH(int, noise);
    Board board(arguments);
    QVERIFY2(board.port.isOpen(), qPrintable(board.device));

    const QByteArray banner =
        "\r\nBrisa C167 target simulator\r\nFlash: " + QByteArray::number(flashSize) + " bytes" +
        kPrompt;
    QCOMPARE(board.exchange({"\r"}, banner.size()), banner);
    const QByteArray programmed = programmedReply(flashSize ? std::min(flashSize, 4097) : 4097);
    QCOMPARE(board.exchange({testBytes(4097)}, programmed.size()), programmed);
    QVERIFY(board.logged(QStringLiteral("received burst of 4097 bytes: programmed")));
    const QByteArray readback = "UFD\r\n" + flash;
    QCOMPARE(board.exchange(kReadbackRequest, noise + readback.size()).mid(noise), readback);
    QVERIFY(board.staysQuiet(noise + readback.size()));

    if (arguments.isEmpty() || flashSize) { // a second image replaces the first
        QCOMPARE(board.exchange({"abc"}, programmedReply(3).size()), programmedReply(3));
        const QByteArray second =
            "UFD\r\nabc" + QByteArray(std::max(flashSize - 3, 0), char(0xFF)) + kPrompt;
        QCOMPARE(board.exchange(kReadbackRequest, second.size()), second);
    }
}

void tst_Target::endsCleanly_data() {
    QTest::addColumn<int>("signal"); // 0: the line hangs up after 100 bytes
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("hang-up") << 0;
}

// A stale link is replaced by the board's own, which goes when the board ends.
void tst_Target::endsCleanly() {
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyTarget"));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/stale"), link));
    Board board(QStringLiteral("--silent --hangup-after 100 --link ") + link);
    QCOMPARE(QFileInfo(link).symLinkTarget(), board.device);

    board.port.write("\r");
    QVERIFY(board.logged(QStringLiteral("banner, not answered (silent)")));
    QVERIFY(board.staysQuiet(0));
    if (signal) {
        ::kill(static_cast<pid_t>(board.process.processId()), signal);
    } else {
        board.port.write(testBytes(200));
        QTRY_VERIFY(board.port.error() == QSerialPort::ReadError ||
                    board.port.error() == QSerialPort::ResourceError);
        QVERIFY(board.logged(QStringLiteral("hang-up after 100 bytes")));
    }
    QVERIFY(board.exited(0));
    struct stat info {};
    QVERIFY(::lstat(QFile::encodeName(link).constData(), &info) != 0);
    QVERIFY(board.logged(QStringLiteral("link removed: ") + link));
}

void tst_Target::pacesBothDirectionsAtLineRate() {
    Board board(QStringLiteral("--pace"), 9600);
    // Ten bits a byte at 9600 baud: at least 90 % of the wire time, at most four times it.
    const auto paced = [&](const QList<QByteArray>& bursts, const QByteArray& reply, int bytes) {
        QElapsedTimer clock;
        clock.start();
        return board.exchange(bursts, reply.size(), bytes * 40000 / 9600) == reply &&
               clock.elapsed() >= bytes * 9000 / 9600;
    };
    QVERIFY(paced({testBytes(2048)}, programmedReply(2048), 2048));
    const QByteArray readback = "UFD\r\n" + testBytes(2048) + kPrompt;
    QVERIFY(paced(kReadbackRequest, readback, int(readback.size())));
    QVERIFY(board.logged(QStringLiteral("pacing at 9600 baud")));
}

void tst_Target::rejectsBadArguments() {
    for (const char* arguments :
         {"--flash-size big", "--noise -1", "--flash-size 67108865", "--fast", "/dev/ttyS0"}) {
        Board board(QString::fromLatin1(arguments));
        QVERIFY2(board.exited(2) && board.device.isEmpty(), arguments);
    }
}

QTEST_GUILESS_MAIN(tst_Target)
#include "tst_target.moc"
