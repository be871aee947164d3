#include <QProcess>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kTimeout = 5s;
// Long enough for a late reply to have arrived, had the simulator sent one.
constexpr auto kQuietPeriod = 300ms;
const QByteArray kPrompt = QByteArrayLiteral("\r\n> ");

QByteArray randomImage(qsizetype size) {
    QRandomGenerator generator(42);
    QByteArray image(size, Qt::Uninitialized);
    for (char& byte : image)
        byte = static_cast<char>(generator.bounded(256));
    return image;
}

QByteArray programmedReply(qsizetype size) {
    return "\r\nProgrammed " + QByteArray::number(size) + " bytes" + kPrompt;
}

int milliseconds(std::chrono::microseconds duration) {
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

bool pathPresent(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// The simulator running as its own process; the first line it prints is its device.
struct Simulator {
    QProcess process;
    QString device;
    QString log;

    explicit Simulator(const QString& arguments) {
        process.start(
            QStringLiteral(CORVID_TARGET_PATH),
            (QStringLiteral("--burst-gap 30 ") + arguments).split(u' ', Qt::SkipEmptyParts));
        const auto lineOrExit = [&] {
            return process.canReadLine() || process.state() == QProcess::NotRunning;
        };
        if (QTest::qWaitFor(lineOrExit, milliseconds(kTimeout)) && process.canReadLine())
            device = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Simulator() {
        process.terminate();
        process.waitForFinished();
    }
    bool logged(const QString& text) {
        log += QString::fromLocal8Bit(process.readAllStandardError());
        return log.contains(text);
    }
    bool finished() {
        return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; },
                               milliseconds(kTimeout));
    }
};

// The program's end of the line: raw 8N1 (QSerialPort's default), collecting every byte.
struct Line {
    QSerialPort port;
    QByteArray received;

    explicit Line(const QString& device, qint32 baud = QSerialPort::Baud115200) {
        port.setPortName(device);
        port.setBaudRate(baud);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
        port.open(QIODevice::ReadWrite);
    }
    bool receive(qsizetype size, std::chrono::microseconds timeout = kTimeout) {
        return QTest::qWaitFor([&] { return received.size() >= size; }, milliseconds(timeout));
    }
    // Sends the request as the program does, and takes what arrives up to size bytes.
    QByteArray exchange(const QList<QByteArray>& writes, qsizetype size) {
        received.clear();
        for (const QByteArray& bytes : writes)
            port.write(bytes);
        receive(size);
        return received;
    }
};

const QList<QByteArray> kReadbackRequest = {QByteArrayLiteral("UFD"), QByteArrayLiteral("\r")};

std::chrono::microseconds wireTime(qsizetype bytes, int baud) {
    return bytes * 10 * std::chrono::microseconds(1s) / baud;
}

} // namespace

// The simulated target board, run as a separate process on a real pseudo-terminal.
class tst_Target : public QObject {
    Q_OBJECT
private slots:
    void answersBannerProgramAndReadback_data();
    void answersBannerProgramAndReadback();
    void faults_data();
    void faults();
    void hangUpClosesLineAndExits();
    void signalsRemoveLinkAndExitCleanly_data();
    void signalsRemoveLinkAndExitCleanly();
    void pacesBothDirectionsAtLineRate();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
};

void tst_Target::answersBannerProgramAndReadback_data() {
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("flash"); // as the readback shows it
    QTest::addColumn<int>("flashSize");    // as the banner states it before programming
    const QByteArray image = randomImage(4097);
    QTest::newRow("flash as long as the image") << QString() << image << 0;
    QTest::newRow("larger flash reads 0xFF beyond the image")
        << QStringLiteral("--flash-size 6000")
        << image + QByteArray(6000 - image.size(), char(0xFF)) << 6000;
    QTest::newRow("smaller flash keeps the start")
        << QStringLiteral("--flash-size 1000") << image.left(1000) << 1000;
}

void tst_Target::answersBannerProgramAndReadback() {
    QFETCH(QString, arguments);
    QFETCH(QByteArray, flash);
    QFETCH(int, flashSize);
    Simulator simulator(arguments);
    Line line(simulator.device);
    QVERIFY2(line.port.isOpen(), qPrintable(simulator.device));

    const QByteArray banner =
        "\r\nBrisa C167 target simulator\r\nFlash: " + QByteArray::number(flashSize) + " bytes" +
        kPrompt;
    QCOMPARE(line.exchange({"\r"}, banner.size()), banner);
    const QByteArray programmed = programmedReply(std::min<qsizetype>(4097, flash.size()));
    QCOMPARE(line.exchange({randomImage(4097)}, programmed.size()), programmed);
    const QByteArray readback = "UFD\r\n" + flash + kPrompt;
    QCOMPARE(line.exchange(kReadbackRequest, readback.size()), readback);
    QVERIFY(simulator.logged(QStringLiteral("received burst of 4097 bytes: programmed")));

    // A second image replaces the first.
    QCOMPARE(line.exchange({"abc"}, programmedReply(3).size()), programmedReply(3));
    const QByteArray second =
        "UFD\r\nabc" + QByteArray(std::max(flashSize - 3, 0), char(0xFF)) + kPrompt;
    QCOMPARE(line.exchange(kReadbackRequest, second.size()), second);
}

void tst_Target::faults_data() {
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("expected"); // all that arrives, noise left out
    QTest::addColumn<int>("noise");           // unknown bytes right after the programmed reply
    const QByteArray image = randomImage(64);
    QByteArray flipped = image;
    flipped[3] = static_cast<char>(~flipped[3]);
    QTest::newRow("flipped byte") << QStringLiteral("--flip-byte 3")
                                  << programmedReply(64) + "UFD\r\n" + flipped + kPrompt << 0;
    QTest::newRow("short readback") << QStringLiteral("--short-readback 10")
                                    << programmedReply(64) + "UFD\r\n" + image.left(10) << 0;
    QTest::newRow("noise before the readback")
        << QStringLiteral("--noise 7") << programmedReply(64) + "UFD\r\n" + image + kPrompt << 7;
    QTest::newRow("silent") << QStringLiteral("--silent") << QByteArray() << 0;
}

void tst_Target::faults() {
    QFETCH(QString, arguments);
    QFETCH(QByteArray, expected);
    QFETCH(int, noise);
    Simulator simulator(arguments);
    Line line(simulator.device);
    QVERIFY(line.port.isOpen());

    line.port.write(randomImage(64));
    QTRY_VERIFY(simulator.logged(QStringLiteral("received burst of 64 bytes: programmed")));
    for (const QByteArray& bytes : kReadbackRequest)
        line.port.write(bytes);
    QTRY_VERIFY(simulator.logged(QStringLiteral("received burst of 4 bytes: readback")));
    const qsizetype total = expected.size() + noise;
    QVERIFY(line.receive(total));
    QVERIFY(
        !QTest::qWaitFor([&] { return line.received.size() > total; }, milliseconds(kQuietPeriod)));
    const qsizetype noiseAt = programmedReply(64).size();
    QCOMPARE(line.received.left(noiseAt) + line.received.mid(noiseAt + noise), expected);
}

void tst_Target::hangUpClosesLineAndExits() {
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyTarget"));
    Simulator simulator(QStringLiteral("--hangup-after 100 --link ") + link);
    Line line(link);
    QVERIFY(line.port.isOpen());

    line.port.write(randomImage(200));
    QTRY_VERIFY(line.port.error() == QSerialPort::ReadError ||
                line.port.error() == QSerialPort::ResourceError);
    QVERIFY(simulator.finished());
    QCOMPARE(simulator.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.process.exitCode(), 0);
    QVERIFY(!pathPresent(link));
    QVERIFY(simulator.logged(QStringLiteral("hang-up after 100 bytes")));
    QVERIFY(simulator.logged(QStringLiteral("link removed: ") + link));
}

void tst_Target::signalsRemoveLinkAndExitCleanly_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_Target::signalsRemoveLinkAndExitCleanly() {
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyTarget"));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/stale"), link));
    Simulator simulator(QStringLiteral("--link ") + link);
    QVERIFY(!simulator.device.isEmpty());
    QCOMPARE(QFileInfo(link).symLinkTarget(), simulator.device);

    ::kill(static_cast<pid_t>(simulator.process.processId()), signal);
    QVERIFY(simulator.finished());
    QCOMPARE(simulator.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.process.exitCode(), 0);
    QVERIFY(!pathPresent(link));
}

void tst_Target::pacesBothDirectionsAtLineRate() {
    constexpr int baud = 9600;
    Simulator simulator(QStringLiteral("--pace"));
    Line line(simulator.device, baud);
    QVERIFY(line.port.isOpen());
    const QByteArray image = randomImage(2048);
    const QByteArray readback = "UFD\r\n" + image + kPrompt;

    QElapsedTimer clock;
    clock.start();
    line.port.write(image);
    QVERIFY(line.receive(programmedReply(2048).size(), 4 * wireTime(2048, baud)));
    const auto inbound = std::chrono::nanoseconds(clock.nsecsElapsed());
    QVERIFY2(inbound >= 0.9 * wireTime(2048, baud), qPrintable(QString::number(inbound.count())));

    clock.restart();
    line.received.clear();
    for (const QByteArray& bytes : kReadbackRequest)
        line.port.write(bytes);
    QVERIFY(line.receive(readback.size(), 4 * wireTime(readback.size(), baud)));
    const auto outbound = std::chrono::nanoseconds(clock.nsecsElapsed());
    QCOMPARE(line.received, readback);
    QVERIFY2(outbound >= 0.9 * wireTime(readback.size(), baud),
             qPrintable(QString::number(outbound.count())));
    QVERIFY(simulator.logged(QStringLiteral("pacing at 9600 baud")));
}

void tst_Target::rejectsBadArguments_data() {
    QTest::addColumn<QString>("arguments");
    QTest::newRow("not a number") << QStringLiteral("--flash-size big");
    QTest::newRow("negative") << QStringLiteral("--noise -1");
    QTest::newRow("beyond the image limit") << QStringLiteral("--flash-size 67108865");
    QTest::newRow("unknown option") << QStringLiteral("--fast");
    QTest::newRow("stray argument") << QStringLiteral("/dev/ttyS0");
}

void tst_Target::rejectsBadArguments() {
    QFETCH(QString, arguments);
    Simulator simulator(arguments);
    QVERIFY(simulator.finished());
    QCOMPARE(simulator.process.exitCode(), 2);
    QVERIFY(simulator.device.isEmpty());
}

QTEST_GUILESS_MAIN(tst_Target)
#include "tst_target.moc"
