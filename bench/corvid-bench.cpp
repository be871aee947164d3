// Measures the program's speed, CPU use, memory and start-up time by driving its real main
// window, dialogs and serial control over real pseudo-terminals, with the simulated board as a
// separate process where the line is paced. Each figure is the median of several runs and is
// printed beside its target. bench/README.md tells how to build and run it.

#include "app/Session.h"
#include "app/frmMain.h"
#include "foundation/MessageBox.h"
#include "foundation/ProgressBar.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include <sys/resource.h>

#ifdef CORVID_BENCH_XCB
#include <poll.h>
#include <xcb/xcb.h>
#endif

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr qint32 kMiB = 1048576;
// The reply to a verification holds five bytes before the flash, and all of it must fit the
// receive buffer, so this is the largest file that can be verified.
constexpr qint32 kLargestVerifiable = Session::kRxBufferSize - 5;
constexpr int kBitsPerByte = 10;
const QByteArray kPrompt = QByteArrayLiteral("\r\n> ");

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// User plus system CPU time of this process, all threads.
double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto toSeconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// Megabytes of 1,000,000 bytes, as the target counts them.
double peakResidentMB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) * 1024.0 / 1e6; // Linux counts it in KiB
}

double wireSeconds(qint64 bytes, int baud) {
    return double(bytes) * kBitsPerByte / baud;
}

QByteArray patterned(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + i / 253) & 0xff);
    return bytes;
}

// Runs the message loop until done() holds or the time is up. The loop sleeps until an event
// arrives, so the wait itself costs no CPU; a slow tick only bounds how late a timeout is seen.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    QTimer tick;
    tick.start(50ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

[[noreturn]] void fail(const QString& what) {
    throw std::runtime_error(what.toStdString());
}

void require(bool condition, const QString& what) {
    if (!condition)
        fail(what);
}

// Takes the place of the message box: keeps each message with the time it was shown.
class Messages {
public:
    Messages() {
        MessageBox::setHandler([this](const QString& text, int, const QString& title) {
            m_shown = Clock::now();
            m_texts << title + QStringLiteral(": ") + text;
            return MessageBox::vbOK;
        });
    }
    ~Messages() { MessageBox::setHandler({}); }
    Messages(const Messages&) = delete;
    Messages& operator=(const Messages&) = delete;

    const QStringList& texts() const { return m_texts; }
    Clock::time_point lastShown() const { return m_shown; }

private:
    QStringList m_texts;
    Clock::time_point m_shown;
};

// The simulated board as its own process, linked into the program folder as COM2.
class Board {
public:
    explicit Board(const QString& programFolder, const QStringList& options) {
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        });
        m_process.start(QStringLiteral(CORVID_TARGET_PATH),
                        QStringList{QStringLiteral("--link"),
                                    QDir(programFolder).filePath(QStringLiteral("COM2"))} +
                            options);
        waitFor(
            [this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
            5s);
        require(m_process.canReadLine(),
                QStringLiteral("the simulated board did not start: ") + m_log);
        m_process.readLine();
    }
    ~Board() {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Waits until the board has logged text after the first `from` characters of its log;
    // returns the length of the log at that moment.
    qsizetype waitForLog(const QString& text, qsizetype from = 0,
                         std::chrono::milliseconds timeout = 60s) {
        qsizetype at = -1;
        waitFor(
            [&] {
                at = m_log.indexOf(text, from);
                return at >= 0 || m_process.state() == QProcess::NotRunning;
            },
            timeout);
        require(at >= 0, QStringLiteral("the board never logged \"%1\": %2").arg(text, m_log));
        return m_log.size();
    }
    qsizetype logSize() const { return m_log.size(); }

private:
    QProcess m_process;
    QString m_log;
};

// The settings file that makes the program start on COM2 at a baud rate.
QByteArray settingsFor(int baud) {
    return "[SCREEN INFO]\nMain Left=1500\nMain Top=1200\nMain Width=11280\nMain Height=7665\n"
           "[CONFIGURATION]\nSerial Port=2\nBaud Rate=" +
           QByteArray::number(baud) + "\nLast File=\n";
}

QSerialPort& portOf(frmMain& form) {
    auto* port = form.SaxComm1->findChild<QSerialPort*>();
    require(port != nullptr, QStringLiteral("the serial control has no port"));
    return *port;
}

bool screenEndsWithPrompt(frmMain& form, const QString& marker) {
    const QString screen = form.SaxComm1->display()->screenText();
    return screen.contains(marker) && screen.endsWith(u'>');
}

// Presses "Upload Data" once the Upload Control dialog shows; stamps the press and the moment
// the transfer loop has handed over the last byte and the dialog is closing.
struct UploadTimes {
    Clock::time_point pressed;
    Clock::time_point closed;
    double cpuPressed = 0;
    double cpuClosed = 0;
};

void pressUploadDataWhenShown(UploadTimes& times, const std::function<void()>& afterPress = {}) {
    whenShown<frmStatus>(QStringLiteral("frmStatus"), [&times, afterPress](frmStatus& dialog) {
        // The dialog closes when the last byte has been handed to the line.
        QObject::connect(
            &dialog, &frmStatus::transferEnded, &dialog,
            [&times, afterPress] {
                times.closed = Clock::now();
                times.cpuClosed = cpuSeconds();
                if (afterPress)
                    afterPress();
            },
            Qt::SingleShotConnection);
        times.cpuPressed = cpuSeconds();
        times.pressed = Clock::now();
        dialog.cmdOkDownload->click();
    });
}

QString verifiedText(qint32 size) {
    return QStringLiteral(
               "Verification Complete: %1 Bytes of Flash Data Verified Correct as Sent\r")
        .arg(size);
}

// ---------------------------------------------------------------------------------------------
// One run of each measurement.

struct UploadRun {
    double closedRate = 0; // bytes at the far end when the dialog closed, per second
    double allRate = 0;    // every byte at the far end, per second from the press
};

UploadRun runUpload(qint32 size) {
    Messages messages;
    PtyPair pty;
    require(pty.isValid(), QStringLiteral("no pseudo-terminal"));
    TestProgram program;
    program.linkPort(2, pty.slavePath());
    frmMain* form = program.start();
    form->cmdConnect->click();
    require(waitFor([&] { return pty.received() == "\r"; }, 5s),
            QStringLiteral("Connect sent nothing"));
    pty.clearReceived();

    const QByteArray image = patterned(size);
    form->session().strProgramFile = program.makeFile(QStringLiteral("image.bin"), image);
    UploadTimes times;
    qsizetype atClose = 0;
    pressUploadDataWhenShown(times, [&] { atClose = pty.received().size(); });
    form->cmdUpload->click();
    const qsizetype total = qsizetype(size) + 1;
    require(waitFor([&] { return pty.received().size() >= total; }, 60s),
            QStringLiteral("the far end received only %1 bytes").arg(pty.received().size()));
    const auto allReceived = Clock::now();
    require(pty.received() == image + image.right(1),
            QStringLiteral("the far end received other bytes than the file"));
    require(messages.texts().isEmpty(), messages.texts().join(u'\n'));
    program.close();
    return {double(atClose) / seconds(times.closed - times.pressed),
            double(total) / seconds(allReceived - times.pressed)};
}

struct VerifyRun {
    double captureRate = 0;       // reply bytes per second, first byte sent to capture complete
    double comparison = 0;        // seconds from capture complete to the verdict
    double verifyTotal = 0;       // seconds from the press of Verify Data to the verdict
    double captureCpuPerByte = 0; // CPU seconds per reply byte while capturing
};

VerifyRun runVerify(qint32 size) {
    Messages messages;
    PtyPair pty;
    require(pty.isValid(), QStringLiteral("no pseudo-terminal"));
    TestProgram program;
    program.linkPort(2, pty.slavePath());

    const QByteArray image = patterned(size);
    const QByteArray reply = "UFD\r\n" + image + kPrompt;
    QByteArray heard;
    Clock::time_point requestHeard;
    double cpuRequestHeard = 0;
    pty.setResponder([&](const QByteArray& bytes) {
        heard += bytes;
        if (heard.endsWith("UFD\r")) {
            cpuRequestHeard = cpuSeconds();
            requestHeard = Clock::now();
            pty.send(reply);
        }
    });
    frmMain* form = program.start();
    form->cmdConnect->click();
    require(waitFor([&] { return heard == "\r"; }, 5s), QStringLiteral("Connect sent nothing"));
    heard.clear();

    form->session().strProgramFile = program.makeFile(QStringLiteral("image.bin"), image);
    const qint32 complete = size + 5;
    std::optional<Clock::time_point> captured;
    double cpuCaptured = 0;
    // The capture is complete when the bar has been set for the last byte of the reply.
    whenShown<frmVerify>(QStringLiteral("frmVerify"), [&](frmVerify& dialog) {
        QObject::connect(dialog.pgVerify, &ProgressBar::valueSet, &dialog, [&] {
            if (!captured && form->session().lngRxCount >= complete) {
                captured = Clock::now();
                cpuCaptured = cpuSeconds();
            }
        });
    });
    const auto pressed = Clock::now();
    form->cmdVerify->click();
    require(messages.texts() == QStringList{verifiedText(size)},
            QStringLiteral("unexpected verdict: ") + messages.texts().join(u'\n'));
    require(captured.has_value(), QStringLiteral("the capture end was not seen"));
    program.close();
    return {double(complete) / seconds(*captured - requestHeard),
            seconds(messages.lastShown() - *captured), seconds(messages.lastShown() - pressed),
            (cpuCaptured - cpuRequestHeard) / complete};
}

// CPU share of one core while the verification waits for a board that never answers.
double runSilentWait(std::chrono::milliseconds window) {
    Messages messages;
    TestProgram program;
    program.writeSettings(settingsFor(9600));
    Board board(program.folder(),
                {QStringLiteral("--silent"), QStringLiteral("--burst-gap"), QStringLiteral("50")});
    frmMain* form = program.start();
    form->cmdConnect->click();
    board.waitForLog(QStringLiteral("not answered"));
    form->session().strProgramFile = program.makeFile(QStringLiteral("image.bin"), patterned(1024));

    double cpuStart = 0;
    double cpuEnd = 0;
    Clock::time_point start;
    Clock::time_point end;
    whenShown<frmVerify>(QStringLiteral("frmVerify"), [&](frmVerify& dialog) {
        start = Clock::now();
        cpuStart = cpuSeconds();
        QTimer::singleShot(window, Qt::PreciseTimer, &dialog, [&, dialogPointer = &dialog] {
            cpuEnd = cpuSeconds();
            end = Clock::now();
            dialogPointer->cmdCancelVerify->click();
        });
    });
    form->cmdVerify->click();
    require(messages.texts().isEmpty(), messages.texts().join(u'\n'));
    program.close();
    return (cpuEnd - cpuStart) / seconds(end - start);
}

struct PacedUploadRun {
    double cpuShare = 0; // of one core, from the press until the board has the last byte
    double lineSeconds = 0;
};

// An upload paced by the board at a baud rate; CPU from the press of Upload Data until the
// board has taken the whole image (it logs the burst once the line has gone quiet).
PacedUploadRun runPacedUpload(qint32 size, int baud, int burstGapMs) {
    Messages messages;
    TestProgram program;
    program.writeSettings(settingsFor(baud));
    Board board(program.folder(), {QStringLiteral("--pace"), QStringLiteral("--burst-gap"),
                                   QString::number(burstGapMs)});
    frmMain* form = program.start();
    form->cmdConnect->click();
    require(waitFor([&] { return screenEndsWithPrompt(*form, QStringLiteral("Flash:")); }, 10s),
            QStringLiteral("no banner"));

    form->session().strProgramFile = program.makeFile(QStringLiteral("image.bin"), patterned(size));
    UploadTimes times;
    pressUploadDataWhenShown(times);
    const qsizetype logMark = board.logSize();
    form->cmdUpload->click();
    board.waitForLog(QStringLiteral("received burst of %1 bytes: programmed").arg(qint64(size) + 1),
                     logMark);
    const double cpuEnd = cpuSeconds();
    const auto end = Clock::now();
    require(messages.texts().isEmpty(), messages.texts().join(u'\n'));
    // The board logs the burst once the line has been quiet for its burst gap.
    const double elapsed = seconds(end - times.pressed) - burstGapMs / 1000.0;
    program.close();
    return {(cpuEnd - times.cpuPressed) / seconds(end - times.pressed), elapsed};
}

struct EndToEndRun {
    double total = 0;           // press of Upload Data to the verdict, without the bench's pause
    double wire = 0;            // line time of every byte that crossed before the verdict
    double boardTurnaround = 0; // request on the line to the first byte of the board's reply
    double uploadCpuShare = 0;  // CPU while the upload phase ran
};

EndToEndRun runEndToEnd(qint32 size, int baud, int burstGapMs) {
    Messages messages;
    TestProgram program;
    program.writeSettings(settingsFor(baud));
    Board board(program.folder(), {QStringLiteral("--pace"), QStringLiteral("--burst-gap"),
                                   QString::number(burstGapMs)});
    frmMain* form = program.start();
    form->cmdConnect->click();
    require(waitFor([&] { return screenEndsWithPrompt(*form, QStringLiteral("Flash:")); }, 10s),
            QStringLiteral("no banner"));

    // Every arrival on the program's port is stamped; the serial control has already taken
    // the bytes by the time this runs.
    QSerialPort& port = portOf(*form);
    std::optional<Clock::time_point> firstArrival;
    std::optional<Clock::time_point> promptArrival;
    QString promptMarker;
    const auto connection = QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const auto now = Clock::now();
        if (!firstArrival)
            firstArrival = now;
        if (!promptMarker.isEmpty() && !promptArrival && screenEndsWithPrompt(*form, promptMarker))
            promptArrival = now;
    });

    // Upload phase: the press of Upload Data until the board's answer has arrived whole.
    const QByteArray image = patterned(size);
    form->session().strProgramFile = program.makeFile(QStringLiteral("image.bin"), image);
    const QByteArray programmed =
        "\r\nProgrammed " + QByteArray::number(qint64(size) + 1) + " bytes" + kPrompt;
    promptMarker = QStringLiteral("Programmed %1 bytes").arg(qint64(size) + 1);
    firstArrival.reset();
    UploadTimes times;
    pressUploadDataWhenShown(times);
    form->cmdUpload->click();
    require(waitFor([&] { return promptArrival.has_value(); }, 60s),
            QStringLiteral("the board did not answer the upload"));
    const double uploadPhase = seconds(*promptArrival - times.pressed);
    const double uploadCpuShare = (cpuSeconds() - times.cpuPressed) / uploadPhase;

    // Verification phase: the press of Verify Data until the verdict.
    firstArrival.reset();
    promptMarker.clear();
    const auto verifyPressed = Clock::now();
    form->cmdVerify->click();
    QObject::disconnect(connection);
    require(messages.texts() == QStringList{verifiedText(size)},
            QStringLiteral("unexpected verdict: ") + messages.texts().join(u'\n'));
    require(firstArrival.has_value(), QStringLiteral("no reply arrived"));
    const double verifyPhase = seconds(messages.lastShown() - verifyPressed);
    program.close();

    const qint64 request = 4;
    // The verdict needs the echo and the file's bytes of the reply, not what follows them.
    const qint64 replyNeeded = 5 + qint64(size);
    EndToEndRun run;
    run.total = uploadPhase + verifyPhase;
    run.wire = wireSeconds(qint64(size) + 1 + programmed.size() + request + replyNeeded, baud);
    run.boardTurnaround = seconds(*firstArrival - verifyPressed) - wireSeconds(request + 1, baud);
    run.uploadCpuShare = uploadCpuShare;
    return run;
}

// The peak resident memory of a fresh process that uploads a 1 MiB image and verifies the
// largest verifiable one: this program runs itself with --memory-child.
double runMemoryChild(const QString& self) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(self, {QStringLiteral("--memory-child")});
    require(child.waitForFinished(120000) && child.exitCode() == 0,
            QStringLiteral("the memory run failed"));
    const QList<QByteArray> words = child.readAllStandardOutput().trimmed().split(' ');
    require(words.size() == 2 && words.at(0) == "maxrss-mb",
            QStringLiteral("the memory run printed nothing usable"));
    return words.at(1).toDouble();
}

int memoryChild() {
    runUpload(kMiB);
    runVerify(kLargestVerifiable);
    std::printf("maxrss-mb %.2f\n", peakResidentMB());
    return 0;
}

#ifdef CORVID_BENCH_XCB
// A virtual X server of our own, so that the program's window is a real window that maps.
class VirtualDisplay {
public:
    // It does not reset when its last client goes, so that one run cannot disturb the next.
    VirtualDisplay() {
        m_server.start(QStringLiteral("Xvfb"),
                       {QStringLiteral("-displayfd"), QStringLiteral("1"),
                        QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp"), QStringLiteral("-noreset")});
        if (!m_server.waitForStarted(5000))
            return;
        waitFor(
            [this] { return m_server.canReadLine() || m_server.state() == QProcess::NotRunning; },
            10s);
        if (m_server.canReadLine())
            m_name = QStringLiteral(":") + QString::fromLatin1(m_server.readLine().trimmed());
    }
    ~VirtualDisplay() {
        m_server.terminate();
        m_server.waitForFinished(5000);
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    QString name() const { return m_name; }

private:
    QProcess m_server;
    QString m_name;
};

// Seconds from starting the program's process to the X server mapping its first top-level
// window, seen as a MapNotify on the root window.
double runStartupX(const QString& display, const QString& programCopy) {
    xcb_connection_t* connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    if (const int error = xcb_connection_has_error(connection); error != 0) {
        xcb_disconnect(connection);
        fail(
            QStringLiteral("cannot connect to the X server %1 (error %2)").arg(display).arg(error));
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    // The round trip makes sure the server has the event mask before the program starts.
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(QFileInfo(programCopy).absolutePath());
    program.setProcessChannelMode(QProcess::ForwardedChannels);

    const auto started = Clock::now();
    program.start(programCopy, QStringList{});
    std::optional<Clock::time_point> mapped;
    pollfd descriptor{xcb_get_file_descriptor(connection), POLLIN, 0};
    const auto deadline = started + 20s;
    while (!mapped && Clock::now() < deadline) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                !reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect && !mapped)
                mapped = Clock::now();
            free(event);
        }
        if (!mapped)
            ::poll(&descriptor, 1, 100);
    }
    program.terminate();
    program.waitForFinished(5000);
    xcb_disconnect(connection);
    require(mapped.has_value(), QStringLiteral("the program's window was never mapped"));
    return seconds(*mapped - started);
}
#endif

// Seconds from before the main window is constructed to after its load event has shown it, in
// this process (offscreen): the part of start-up that is the program's own code.
double runStartupInProcess() {
    Messages messages;
    const auto start = Clock::now();
    TestProgram program;
    frmMain* form = program.start();
    QCoreApplication::processEvents();
    const auto shown = Clock::now();
    require(form->isVisible(), QStringLiteral("the main window was not shown"));
    program.close();
    return seconds(shown - start);
}

// Average cost of one call of a per-byte operation, in seconds, with the main window shown.
struct PerCallCosts {
    double progress = 0; // ProgressBar::setValue over a 1 MiB range (1000 visible steps)
    double label = 0;    // the verification label's text set to a new count
};

PerCallCosts runPerCall() {
    Messages messages;
    TestProgram program;
    program.start();
    QCoreApplication::processEvents();
    constexpr int kCalls = 1000000;
    PerCallCosts costs;

    frmVerify dialog;
    dialog.show();
    QCoreApplication::processEvents();
    dialog.pgVerify->setMin(1);
    dialog.pgVerify->setMax(float(kCalls) + 1);
    auto start = Clock::now();
    for (int i = 1; i <= kCalls; ++i)
        dialog.pgVerify->setValue(float(i));
    costs.progress = seconds(Clock::now() - start) / kCalls;

    // The texts are made beforehand: only the label's own work is timed.
    constexpr int kLabelCalls = 100000;
    QStringList texts;
    texts.reserve(kLabelCalls);
    for (int i = 1; i <= kLabelCalls; ++i)
        texts << QStringLiteral("Receiving Flash Data [%1 Bytes]").arg(i);
    start = Clock::now();
    for (int i = 1; i <= kLabelCalls; ++i) {
        dialog.lblVerifyReceivingData->setText(texts.at(i - 1));
        // What the label asked for is painted once every this many sets.
        if (i % 250 == 0)
            QCoreApplication::processEvents();
    }
    costs.label = seconds(Clock::now() - start) / kLabelCalls;
    dialog.hide();
    program.close();
    return costs;
}

// ---------------------------------------------------------------------------------------------
// Figures and their report.

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Figure {
    QString name;
    QString unit;
    double scale = 1; // the printed number is value × scale
    std::optional<double> atLeast;
    std::optional<double> below;
    std::vector<double> values;

    void print() const {
        const auto shown = [this](double value) { return value * scale; };
        QString target = QStringLiteral("-");
        bool met = true;
        const double middle = median(values);
        if (atLeast) {
            target = QStringLiteral(">= %1").arg(shown(*atLeast), 0, 'g', 4);
            met = middle >= *atLeast;
        } else if (below) {
            target = QStringLiteral("< %1").arg(shown(*below), 0, 'g', 4);
            met = middle < *below;
        }
        QStringList runs;
        for (double value : values)
            runs << QString::number(shown(value), 'f', 3);
        const QString verdict = (atLeast || below)
                                    ? (met ? QStringLiteral("met") : QStringLiteral("MISSED"))
                                    : QStringLiteral("info");
        std::printf("%-58s %12.3f %-8s target %-10s %-6s runs: %s\n", qPrintable(name),
                    shown(middle), qPrintable(unit), qPrintable(target), qPrintable(verdict),
                    qPrintable(runs.join(u' ')));
        std::fflush(stdout);
    }
};

void heading(const char* text) {
    std::printf("\n%s\n", text);
    std::fflush(stdout);
}

// The offscreen platform says for every dialog that it cannot do what a window manager would;
// that says nothing about the program and would bury the figures.
void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QStringLiteral("This plugin does not support")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char** argv) {
    // Windows need no screen; a display of the caller's choice is kept.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    // Qt wants a private runtime folder and complains on every start without one; the
    // programs this one starts inherit it.
    QTemporaryDir runtimeFolder;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtimeFolder.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeFolder.path()));
    qInstallMessageHandler(quietMessages);
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Corvid benchmarks"));
    parser.addHelpOption();
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Runs per figure (default 5)."),
                                        QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption onlyOption(
        QStringLiteral("only"),
        QStringLiteral("Comma-separated: startup, percall, upload, verify, wait, paced, endtoend, "
                       "memory."),
        QStringLiteral("list"));
    const QCommandLineOption childOption(QStringLiteral("memory-child"),
                                         QStringLiteral("Internal: one memory run."));
    parser.addOptions({runsOption, onlyOption, childOption});
    parser.process(app);
    if (parser.isSet(childOption)) {
        try {
            return memoryChild();
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "memory run: %s\n", failure.what());
            return 1;
        }
    }
    const int runs = std::max(1, parser.value(runsOption).toInt());
    const QStringList only = parser.value(onlyOption).split(u',', Qt::SkipEmptyParts);
    const auto wanted = [&only](const QString& name) {
        return only.isEmpty() || only.contains(name);
    };

    std::printf("corvid-bench: %d runs per figure, median shown; %s, %s, Qt %s\n", runs,
                qPrintable(QSysInfo::prettyProductName()), qPrintable(QSysInfo::kernelVersion()),
                qVersion());
    std::fflush(stdout);

    int missed = 0;
    const auto report = [&missed](const Figure& figure) {
        figure.print();
        const double middle = median(figure.values);
        if ((figure.atLeast && middle < *figure.atLeast) ||
            (figure.below && middle >= *figure.below))
            ++missed;
    };

    try {
        if (wanted(QStringLiteral("startup"))) {
            heading("Start-up");
#ifdef CORVID_BENCH_XCB
            VirtualDisplay display;
            if (!display.name().isEmpty()) {
                QTemporaryDir folder;
                // The program keeps its settings beside itself, so it runs from a fresh copy.
                const QString copy = folder.filePath(QStringLiteral("corvid"));
                require(QFile::copy(QStringLiteral(CORVID_PATH), copy),
                        QStringLiteral("cannot copy the program"));
                runStartupX(display.name(), copy); // warms the caches; not counted
                Figure figure{QStringLiteral("process start -> main window mapped (Xvfb)"),
                              QStringLiteral("ms"),
                              1000,
                              {},
                              0.300,
                              {}};
                for (int i = 0; i < runs; ++i)
                    figure.values.push_back(runStartupX(display.name(), copy));
                report(figure);
            } else {
                std::printf("  Xvfb could not be started: only the in-process figure follows\n");
            }
#else
            std::printf("  built without xcb: only the in-process figure follows\n");
#endif
            Figure inProcess{QStringLiteral("main window constructed, loaded, shown (in-process)"),
                             QStringLiteral("ms"),
                             1000,
                             {},
                             {},
                             {}};
            for (int i = 0; i < runs; ++i)
                inProcess.values.push_back(runStartupInProcess());
            report(inProcess);
        }

        if (wanted(QStringLiteral("percall"))) {
            heading("Cost of one per-byte operation, main window shown");
            Figure progress{QStringLiteral("ProgressBar::setValue (1000 steps over 1 M values)"),
                            QStringLiteral("ns"),
                            1e9,
                            {},
                            {},
                            {}};
            Figure label{QStringLiteral("verification label set to a new count, painted per 250"),
                         QStringLiteral("ns"),
                         1e9,
                         {},
                         {},
                         {}};
            for (int i = 0; i < runs; ++i) {
                const PerCallCosts costs = runPerCall();
                progress.values.push_back(costs.progress);
                label.values.push_back(costs.label);
            }
            report(progress);
            report(label);
        }

        if (wanted(QStringLiteral("upload"))) {
            heading("Upload of a 1 MiB image through a pseudo-terminal, no pacing");
            Figure closed{QStringLiteral("far end bytes by dialog close / press->close"),
                          QStringLiteral("MiB/s"),
                          1.0 / kMiB,
                          kMiB,
                          {},
                          {}};
            Figure all{QStringLiteral("all n+1 bytes at far end / press->last byte"),
                       QStringLiteral("MiB/s"),
                       1.0 / kMiB,
                       {},
                       {},
                       {}};
            for (int i = 0; i < runs; ++i) {
                const UploadRun run = runUpload(kMiB);
                closed.values.push_back(run.closedRate);
                all.values.push_back(run.allRate);
            }
            report(closed);
            report(all);
        }

        if (wanted(QStringLiteral("verify"))) {
            heading("Verification of a 1,048,571-byte image (reply 1 MiB + prompt), no pacing");
            Figure capture{QStringLiteral("capture: reply sent -> capture complete"),
                           QStringLiteral("MiB/s"),
                           1.0 / kMiB,
                           kMiB,
                           {},
                           {}};
            Figure comparison{QStringLiteral("comparison: capture complete -> verdict"),
                              QStringLiteral("s"),
                              1,
                              {},
                              0.25,
                              {}};
            Figure whole{QStringLiteral("press of Verify Data -> verdict"),
                         QStringLiteral("s"),
                         1,
                         {},
                         {},
                         {}};
            Figure perByte{QStringLiteral("capture CPU per reply byte"),
                           QStringLiteral("ns"),
                           1e9,
                           {},
                           {},
                           {}};
            for (int i = 0; i < runs; ++i) {
                const VerifyRun run = runVerify(kLargestVerifiable);
                capture.values.push_back(run.captureRate);
                comparison.values.push_back(run.comparison);
                whole.values.push_back(run.verifyTotal);
                perByte.values.push_back(run.captureCpuPerByte);
            }
            report(capture);
            report(comparison);
            report(whole);
            report(perByte);
        }

        if (wanted(QStringLiteral("wait"))) {
            heading("CPU while the verification waits 10 s on a silent board");
            Figure figure{
                QStringLiteral("CPU share of one core"), QStringLiteral("%"), 100, {}, 0.02, {}};
            for (int i = 0; i < runs; ++i)
                figure.values.push_back(runSilentWait(10s));
            report(figure);
        }

        if (wanted(QStringLiteral("paced"))) {
            heading("CPU during an 8 KiB upload paced by the board at 9600 baud");
            Figure figure{QStringLiteral("CPU share of one core, press -> board has all bytes"),
                          QStringLiteral("%"),
                          100,
                          {},
                          0.10,
                          {}};
            Figure line{QStringLiteral("press -> board has all bytes (wire 8.534 s)"),
                        QStringLiteral("s"),
                        1,
                        {},
                        {},
                        {}};
            for (int i = 0; i < runs; ++i) {
                const PacedUploadRun run = runPacedUpload(8192, 9600, 50);
                figure.values.push_back(run.cpuShare);
                line.values.push_back(run.lineSeconds);
            }
            report(figure);
            report(line);
        }

        if (wanted(QStringLiteral("endtoend"))) {
            heading("Upload + verification of a 64 KiB image at 115200 baud, board paced, "
                    "burst gap 10 ms");
            Figure rawRatio{QStringLiteral("total / wire time (board turnarounds included)"),
                            QStringLiteral("x"),
                            1,
                            {},
                            1.02,
                            {}};
            Figure ratio{QStringLiteral("(total - 2 x board turnaround) / wire time"),
                         QStringLiteral("x"),
                         1,
                         {},
                         {},
                         {}};
            Figure total{QStringLiteral("total: press of Upload Data -> verdict"),
                         QStringLiteral("s"),
                         1,
                         {},
                         {},
                         {}};
            Figure turnaround{QStringLiteral("board turnaround (burst gap + its pacing ticks)"),
                              QStringLiteral("ms"),
                              1000,
                              {},
                              {},
                              {}};
            Figure uploadCpu{QStringLiteral("CPU share of one core in the upload phase"),
                             QStringLiteral("%"),
                             100,
                             {},
                             0.10,
                             {}};
            double wire = 0;
            for (int i = 0; i < runs; ++i) {
                const EndToEndRun run = runEndToEnd(65536, 115200, 10);
                wire = run.wire;
                ratio.values.push_back((run.total - 2 * run.boardTurnaround) / run.wire);
                rawRatio.values.push_back(run.total / run.wire);
                total.values.push_back(run.total);
                turnaround.values.push_back(run.boardTurnaround);
                uploadCpu.values.push_back(run.uploadCpuShare);
            }
            std::printf("  wire time of the bytes that crossed: %.3f s\n", wire);
            report(rawRatio);
            report(ratio);
            report(total);
            report(turnaround);
            report(uploadCpu);
        }

        if (wanted(QStringLiteral("memory"))) {
            heading("Peak resident memory of a process that uploads 1 MiB and verifies "
                    "1,048,571 bytes");
            Figure figure{QStringLiteral("ru_maxrss"), QStringLiteral("MB"), 1, {}, 80.0, {}};
            for (int i = 0; i < runs; ++i)
                figure.values.push_back(runMemoryChild(QCoreApplication::applicationFilePath()));
            report(figure);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "corvid-bench: %s\n", failure.what());
        return 2;
    }
    std::printf("\n%d target(s) missed\n", missed);
    return missed == 0 ? 0 : 1;
}
