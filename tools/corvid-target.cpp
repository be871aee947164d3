#include "foundation/TerminationSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr qsizetype kMaxImageSize = 64 * 1024 * 1024;
// Replies nobody reads pile up here; beyond this they are dropped rather than stored.
constexpr qsizetype kMaxOutputBacklog = 2 * kMaxImageSize + 1024 * 1024;
constexpr qsizetype kReadSlice = 64 * 1024;
constexpr int kBitsPerByte = 10; // start bit, eight data bits, stop bit
constexpr auto kDefaultBurstGap = 200ms;
constexpr auto kPaceTick = 5ms;
// A paced line banks at most this much idle time, so a new burst does not start with a flood.
constexpr auto kMaxPaceCredit = 20ms;
constexpr quint32 kNoiseSeed = 0xC167;

const QByteArray kPrompt = QByteArrayLiteral("\r\n> ");
const QByteArray kEcho = QByteArrayLiteral("UFD\r\n");

constexpr struct {
    speed_t code;
    int baud;
} kSpeeds[] = {{B300, 300},      {B600, 600},       {B1200, 1200},     {B2400, 2400},
               {B4800, 4800},    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
               {B57600, 57600},  {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
               {B921600, 921600}};

struct Options {
    QString linkPath;
    QString recordPath;
    bool pace = false;
    bool silent = false;
    std::optional<qint64> burstGap; // milliseconds
    std::optional<qint64> flashSize;
    std::optional<qint64> flipByte;
    std::optional<qint64> shortReadback;
    std::optional<qint64> noise;
    std::optional<qint64> hangupAfter;
    std::optional<qint64> missWakeups;
    std::optional<qint64> loseBytes;
};

// A command-line option that takes a whole number.
struct CountOption {
    const char16_t* name;
    const char16_t* valueName;
    const char16_t* help;
    qint64 minimum;
    qint64 maximum;
    std::optional<qint64> Options::*field;
};

const CountOption kCountOptions[] = {
    {u"burst-gap", u"ms", u"Silence that ends a burst, in ms (default 200).", 1, 60000,
     &Options::burstGap},
    {u"flash-size", u"n", u"Flash size in bytes (default: the last image's length).", 1,
     kMaxImageSize, &Options::flashSize},
    {u"flip-byte", u"k", u"Fault: invert flash byte k in the readback.", 0, kMaxImageSize - 1,
     &Options::flipByte},
    {u"short-readback", u"n", u"Fault: end the readback after n flash bytes, without prompt.", 0,
     kMaxImageSize, &Options::shortReadback},
    {u"noise", u"n",
     u"Fault: send n noise bytes before the readback's echo, so the flash arrives n bytes late.", 0,
     kMaxImageSize, &Options::noise},
    {u"lose-bytes", u"n",
     u"Fault: lose the first n bytes of the readback (its echo first), so the flash arrives n "
     u"bytes early.",
     0, kMaxImageSize, &Options::loseBytes},
    {u"hangup-after", u"n", u"Fault: close the line after n bytes received, then exit.", 1,
     std::numeric_limits<qint64>::max(), &Options::hangupAfter},
    {u"miss-wakeups", u"n", u"Fault: print nothing for the first n wake-up CRs.", 0,
     std::numeric_limits<qint64>::max(), &Options::missWakeups},
};

void logLine(const QString& line) {
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

QString bytes(qint64 count) {
    return count == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(count);
}

// Lets bytes through no faster than a serial line at a given rate would carry them.
class LinePacer {
public:
    void restart() {
        m_clock.start();
        m_credit = 0;
    }
    qint64 allowance(int bytesPerSecond) {
        const double seconds = static_cast<double>(m_clock.nsecsElapsed()) / 1e9;
        m_clock.start();
        const double cap = bytesPerSecond * std::chrono::duration<double>(kMaxPaceCredit).count();
        m_credit = std::min(m_credit + seconds * bytesPerSecond, std::max(cap, 1.0));
        return static_cast<qint64>(m_credit);
    }
    void consume(qint64 count) { m_credit -= static_cast<double>(count); }

private:
    QElapsedTimer m_clock;
    double m_credit = 0;
};

// Plays a target board on a pseudo-terminal: answers Connect, stores uploads, sends readbacks.
class SimulatedBoard : public QObject {
public:
    explicit SimulatedBoard(const Options& options);
    ~SimulatedBoard() override;

    bool open();
    // Every byte received goes to the record file, in order, across plug-ins.
    bool openRecord();
    QString slavePath() const { return m_slavePath; }
    // The board taken off its line: the pseudo-terminal closes and the link goes.
    void unplug();
    // Another board plugged in where it was: a new pseudo-terminal, the same link, empty flash.
    bool plugIn();

private:
    void startReading();
    void readPaced();
    qint64 takeIn(qint64 maxBytes);
    void endBurst();
    void answer();
    QByteArray readback(QStringList& notes);
    void send(const QByteArray& reply);
    void writeOutput();
    int lineBytesPerSecond();
    void hangUp();
    void fail(const QString& what);
    void closeLine();
    void removeLink();

    Options m_options;
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    bool m_linkCreated = false;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_burstTimer;
    QTimer m_readPaceTimer;
    QTimer m_writePaceTimer;
    LinePacer m_readPace;
    LinePacer m_writePace;
    int m_loggedBaud = -1;
    QByteArray m_readBuffer;
    QByteArray m_burst;
    qint64 m_burstSize = 0;
    qint64 m_totalReceived = 0;
    QByteArray m_flash;
    QByteArray m_output;
    qint64 m_outputOffset = 0;
    QRandomGenerator m_noise{kNoiseSeed};
    int m_record = -1;
    qint64 m_wakeupsMissed = 0;
};

SimulatedBoard::SimulatedBoard(const Options& options)
    : m_options(options), m_readBuffer(kReadSlice, Qt::Uninitialized) {
    m_burstTimer.setSingleShot(true);
    m_burstTimer.setInterval(
        std::chrono::milliseconds(m_options.burstGap.value_or(kDefaultBurstGap.count())));
    connect(&m_burstTimer, &QTimer::timeout, this, [this] { endBurst(); });
    for (QTimer* timer : {&m_readPaceTimer, &m_writePaceTimer}) {
        timer->setInterval(kPaceTick);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_readPaceTimer, &QTimer::timeout, this, [this] { readPaced(); });
    connect(&m_writePaceTimer, &QTimer::timeout, this, [this] { writeOutput(); });
}

SimulatedBoard::~SimulatedBoard() {
    closeLine();
    removeLink();
    if (m_record >= 0)
        ::close(m_record);
}

bool SimulatedBoard::openRecord() {
    if (m_options.recordPath.isEmpty())
        return true;
    m_record = ::open(QFile::encodeName(m_options.recordPath).constData(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_record < 0) {
        logLine(QStringLiteral("cannot create the record %1: %2")
                    .arg(m_options.recordPath, systemError()));
        return false;
    }
    return true;
}

bool SimulatedBoard::open() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        logLine(QStringLiteral("cannot create a pseudo-terminal: %1").arg(systemError()));
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    // Bytes must pass exactly as sent until the program sets the line up itself.
    termios raw{};
    ::tcgetattr(m_slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_slave, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    logLine(QStringLiteral("slave device %1").arg(m_slavePath));

    if (!m_options.linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(m_options.linkPath);
        struct stat existing {};
        if (::lstat(link.constData(), &existing) == 0) {
            if (!S_ISLNK(existing.st_mode)) {
                logLine(QStringLiteral("refusing to replace %1: not a symbolic link")
                            .arg(m_options.linkPath));
                return false;
            }
            ::unlink(link.constData());
        }
        if (::symlink(name, link.constData()) != 0) {
            logLine(
                QStringLiteral("cannot create link %1: %2").arg(m_options.linkPath, systemError()));
            return false;
        }
        m_linkCreated = true;
        logLine(QStringLiteral("link created: %1 -> %2").arg(m_options.linkPath, m_slavePath));
    }

    m_readNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] { startReading(); });
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] { writeOutput(); });
    return true;
}

void SimulatedBoard::unplug() {
    if (m_master < 0)
        return;
    closeLine();
    removeLink();
    logLine(QStringLiteral("unplugged"));
}

bool SimulatedBoard::plugIn() {
    if (m_master >= 0)
        return true;
    m_burst.clear();
    m_burstSize = 0;
    m_totalReceived = 0;
    m_flash.clear();
    m_output.clear();
    m_outputOffset = 0;
    m_loggedBaud = -1;
    logLine(QStringLiteral("plugged in"));
    return open();
}

void SimulatedBoard::startReading() {
    if (m_options.pace) {
        // Paced bytes are taken in on the timer; the rest stays queued and holds the sender back.
        m_readNotifier->setEnabled(false);
        m_readPace.restart();
        m_readPaceTimer.start();
        return;
    }
    takeIn(kReadSlice);
}

void SimulatedBoard::readPaced() {
    const int rate = lineBytesPerSecond();
    const qint64 allowed = rate > 0 ? std::min(kReadSlice, m_readPace.allowance(rate)) : kReadSlice;
    if (allowed == 0)
        return;
    const qint64 count = takeIn(allowed);
    if (m_master < 0)
        return;
    m_readPace.consume(count);
    if (count == 0) {
        m_readPaceTimer.stop();
        m_readNotifier->setEnabled(true);
    }
}

// Reads at most maxBytes into the current burst; returns how many arrived.
qint64 SimulatedBoard::takeIn(qint64 maxBytes) {
    if (m_options.hangupAfter)
        maxBytes = std::min(maxBytes, *m_options.hangupAfter - m_totalReceived);
    ssize_t count = 0;
    do {
        count = ::read(m_master, m_readBuffer.data(), static_cast<size_t>(maxBytes));
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
        if (count < 0 && errno != EAGAIN)
            fail(QStringLiteral("reading the line failed: %1").arg(systemError()));
        return 0;
    }
    // Written at once, so that a reader sees every byte the board has taken so far.
    if (m_record >= 0 &&
        ::write(m_record, m_readBuffer.constData(), static_cast<size_t>(count)) != count) {
        fail(QStringLiteral("writing the record failed: %1").arg(systemError()));
        return 0;
    }
    m_totalReceived += count;
    m_burstSize += count;
    if (m_burstSize <= kMaxImageSize)
        m_burst.append(m_readBuffer.constData(), count);
    else
        m_burst.clear(); // too large to keep: only counted, and refused when it ends
    m_burstTimer.start();
    if (m_options.hangupAfter && m_totalReceived >= *m_options.hangupAfter)
        hangUp();
    return count;
}

void SimulatedBoard::endBurst() {
    int queued = 0;
    if (::ioctl(m_master, FIONREAD, &queued) == 0 && queued > 0) {
        m_burstTimer.start(); // bytes still wait in the kernel, so the line is not silent yet
        return;
    }
    answer();
    m_burst.clear();
    m_burstSize = 0;
}

void SimulatedBoard::answer() {
    QString action;
    QByteArray reply;
    if (m_burstSize > kMaxImageSize) {
        action = QStringLiteral("refused, larger than %1").arg(bytes(kMaxImageSize));
        reply = QByteArrayLiteral("\r\nError: image too large\r\n> ");
    } else if (m_burst == "\r" && m_wakeupsMissed < m_options.missWakeups.value_or(0)) {
        ++m_wakeupsMissed;
        logLine(QStringLiteral("received burst of 1 byte: wake-up %1 missed").arg(m_wakeupsMissed));
        return;
    } else if (m_burst == "\r") {
        action = QStringLiteral("banner");
        reply = "\r\nBrisa C167 target simulator\r\nFlash: " +
                QByteArray::number(m_options.flashSize.value_or(m_flash.size())) + " bytes" +
                kPrompt;
    } else if (m_burst == "UFD\r") {
        QStringList notes;
        reply = readback(notes);
        action = QStringLiteral("readback %1").arg(bytes(reply.size()));
        if (!m_options.shortReadback)
            reply += kPrompt;
        if (!notes.isEmpty())
            action += QStringLiteral(" (%1)").arg(notes.join(QStringLiteral(", ")));
    } else {
        action = QStringLiteral("programmed");
        m_flash = m_burst;
        if (m_options.flashSize && m_flash.size() > *m_options.flashSize) {
            m_flash.truncate(*m_options.flashSize);
            action += QStringLiteral(", first %1 kept").arg(bytes(m_flash.size()));
        }
        reply = "\r\nProgrammed " + QByteArray::number(m_flash.size()) + " bytes" + kPrompt;
    }
    if (m_options.silent)
        action += QStringLiteral(", not answered (silent)");
    logLine(QStringLiteral("received burst of %1: %2").arg(bytes(m_burstSize), action));
    if (!m_options.silent)
        send(reply);
}

// The reply to "UFD\r" without its prompt: echo, then the flash as erased flash pads it.
QByteArray SimulatedBoard::readback(QStringList& notes) {
    QByteArray flash = m_flash;
    if (m_options.flashSize && flash.size() < *m_options.flashSize)
        flash.append(*m_options.flashSize - flash.size(), char(0xFF));
    if (m_options.flipByte && *m_options.flipByte < flash.size()) {
        flash[*m_options.flipByte] = static_cast<char>(~flash[*m_options.flipByte]);
        notes << QStringLiteral("byte %1 flipped").arg(*m_options.flipByte);
    }
    if (m_options.shortReadback && *m_options.shortReadback < flash.size()) {
        flash.truncate(*m_options.shortReadback);
        notes << QStringLiteral("cut short after %1 of flash").arg(bytes(flash.size()));
    }
    QByteArray reply(m_options.noise.value_or(0), Qt::Uninitialized);
    for (char& byte : reply)
        byte = static_cast<char>(m_noise.bounded(256));
    if (!reply.isEmpty())
        notes << QStringLiteral("%1 of noise first").arg(bytes(reply.size()));
    reply += kEcho + flash;
    if (const qint64 lost = std::min<qint64>(m_options.loseBytes.value_or(0), reply.size())) {
        reply.remove(0, lost);
        notes << QStringLiteral("first %1 lost").arg(bytes(lost));
    }
    return reply;
}

void SimulatedBoard::send(const QByteArray& reply) {
    if (m_master < 0)
        return;
    if (m_output.size() + reply.size() > kMaxOutputBacklog) {
        logLine(
            QStringLiteral("reply of %1 dropped: nobody reads the line").arg(bytes(reply.size())));
        return;
    }
    m_output += reply;
    if (m_options.pace && !m_writePaceTimer.isActive()) {
        m_writePace.restart();
        m_writePaceTimer.start();
    } else if (!m_options.pace) {
        writeOutput();
    }
}

void SimulatedBoard::writeOutput() {
    if (m_master < 0)
        return;
    qint64 allowed = m_output.size() - m_outputOffset;
    if (m_options.pace) {
        if (const int rate = lineBytesPerSecond(); rate > 0)
            allowed = std::min(allowed, m_writePace.allowance(rate));
    }
    if (allowed > 0) {
        const ssize_t count =
            ::write(m_master, m_output.constData() + m_outputOffset, static_cast<size_t>(allowed));
        if (count > 0) {
            m_outputOffset += count;
            m_writePace.consume(count);
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            fail(QStringLiteral("writing the line failed: %1").arg(systemError()));
            return;
        }
    }
    const bool done = m_outputOffset == m_output.size();
    if (done) {
        m_output.clear();
        m_outputOffset = 0;
        m_writePaceTimer.stop();
    }
    if (!m_options.pace)
        m_writeNotifier->setEnabled(!done);
}

// The rate the program set on its end of the line; 0 when it is not a known speed.
int SimulatedBoard::lineBytesPerSecond() {
    termios settings{};
    int baud = 0;
    if (::tcgetattr(m_slave, &settings) == 0) {
        const speed_t code = ::cfgetospeed(&settings);
        for (const auto& speed : kSpeeds) {
            if (speed.code == code)
                baud = speed.baud;
        }
    }
    if (baud != m_loggedBaud) {
        logLine(baud > 0 ? QStringLiteral("pacing at %1 baud").arg(baud)
                         : QStringLiteral("line speed unknown, not pacing"));
        m_loggedBaud = baud;
    }
    return baud / kBitsPerByte;
}

void SimulatedBoard::hangUp() {
    logLine(QStringLiteral("hang-up after %1").arg(bytes(m_totalReceived)));
    closeLine();
    QCoreApplication::exit(0);
}

void SimulatedBoard::fail(const QString& what) {
    logLine(what);
    closeLine();
    QCoreApplication::exit(1);
}

void SimulatedBoard::closeLine() {
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_burstTimer.stop();
    m_readPaceTimer.stop();
    m_writePaceTimer.stop();
    for (int* fd : {&m_master, &m_slave}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void SimulatedBoard::removeLink() {
    if (!m_linkCreated)
        return;
    m_linkCreated = false;
    // Only our own link goes: another simulator may have taken the path over since.
    const QByteArray link = QFile::encodeName(m_options.linkPath);
    char target[256] = {};
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    if (length > 0 && QString::fromLocal8Bit(target, length) == m_slavePath &&
        ::unlink(link.constData()) == 0)
        logLine(QStringLiteral("link removed: %1").arg(m_options.linkPath));
}

// Reads a whole-number option within its range; false (reported) when it is not one.
bool readCount(const QCommandLineParser& parser, const CountOption& option, Options& options) {
    const QString name = QString::fromUtf16(option.name);
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 number = parser.value(name).toLongLong(&ok);
    if (!ok || number < option.minimum || number > option.maximum) {
        logLine(QStringLiteral("--%1 needs a whole number from %2 to %3, not \"%4\"")
                    .arg(name)
                    .arg(option.minimum)
                    .arg(option.maximum)
                    .arg(parser.value(name)));
        return false;
    }
    options.*option.field = number;
    return true;
}

std::optional<Options> parseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays a Brisa C167 target board on a pseudo-terminal and prints its device "
                       "path.\nSIGUSR1 unplugs the board (the line closes, the link goes); "
                       "SIGUSR2 plugs a new one in at the same link."));
    parser.addHelpOption();
    parser.addOptions(
        {{QStringLiteral("link"), QStringLiteral("Symbolic link to the device, removed on exit."),
          QStringLiteral("path")},
         {QStringLiteral("record"),
          QStringLiteral("Write every byte the board receives, in order, to this file."),
          QStringLiteral("file")},
         {QStringLiteral("pace"),
          QStringLiteral("Move bytes no faster than the line's baud rate.")},
         {QStringLiteral("silent"), QStringLiteral("Fault: never answer.")}});
    for (const CountOption& option : kCountOptions)
        parser.addOption({QString::fromUtf16(option.name), QString::fromUtf16(option.help),
                          QString::fromUtf16(option.valueName)});
    if (!parser.parse(app.arguments())) {
        logLine(parser.errorText());
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty()) {
        logLine(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]));
        return std::nullopt;
    }
    Options options;
    options.linkPath = parser.value(QStringLiteral("link"));
    options.recordPath = parser.value(QStringLiteral("record"));
    options.pace = parser.isSet(QStringLiteral("pace"));
    options.silent = parser.isSet(QStringLiteral("silent"));
    for (const CountOption& option : kCountOptions) {
        if (!readCount(parser, option, options))
            return std::nullopt;
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<Options> options = parseOptions(app);
    if (!options)
        return 2;
    TerminationSignals signalEvents({SIGINT, SIGTERM, SIGUSR1, SIGUSR2}, &app);
    if (!signalEvents.isActive()) {
        logLine(QStringLiteral("cannot install signal handlers: %1").arg(systemError()));
        return 1;
    }
    SimulatedBoard board(*options);
    QObject::connect(&signalEvents, &TerminationSignals::terminationRequested, &app,
                     [&board](int number) {
                         if (number == SIGUSR1) {
                             board.unplug();
                         } else if (number == SIGUSR2) {
                             if (!board.plugIn())
                                 QCoreApplication::exit(1);
                         } else {
                             logLine(QStringLiteral("exiting on %1")
                                         .arg(number == SIGINT ? QStringLiteral("SIGINT")
                                                               : QStringLiteral("SIGTERM")));
                             QCoreApplication::exit(0);
                         }
                     });

    // A record that cannot be written is a bad argument, like an unknown option.
    if (!board.openRecord())
        return 2;
    if (!board.open())
        return 1;
    std::printf("%s\n", qPrintable(board.slavePath()));
    std::fflush(stdout);
    return app.exec();
}
