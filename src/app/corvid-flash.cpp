// corvid-flash: programs and verifies many boards at once from the command line.

#include "foundation/IniFile.h"
#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"
#include "foundation/SettingsFolder.h"
#include "serial/PortNames.h"
#include "target/FlashReport.h"
#include "target/PortStation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kAllPassed = 0;
constexpr int kBoardFailed = 1;
constexpr int kUsageError = 2;
constexpr qint32 kDefaultBaud = 9600;

const char kDescription[] = R"(Programs and verifies Brisa C167 target boards, many at once.

Each PORT is COMn (the COMn link beside the settings file, else /dev/ttyS<n-1>) or a device
path. --map COMn DEVICE makes that link, for example for a USB serial adapter:
  corvid-flash --map COM2 /dev/serial/by-id/usb-FTDI_..._A1B2C3-if00-port0 Per board: open the line, send CR, wait until the line is quiet, send the image and its
last byte once more, wait until it has left and the line is quiet, send "UFD" CR, and compare
the reply after its 5 header bytes with the image as it comes in.

Output: on a terminal one live line per port; otherwise one line per phase per board; then a
summary (port, result, time, first mismatch). With --json one JSON object per board instead.
--log appends one JSON line per board: time, host, port, device, image, size, sha256, baud,
phases_ms, elapsed_ms, result, failure, bytes_sent, bytes_received, mismatch.

--watch: each port waits for a board (its device appears and it answers CR), programs it,
waits until it is removed, and waits for the next. Ctrl-C ends after the boards in progress;
a second Ctrl-C ends them too.

Exit status: 0 every board passed, 1 a board failed, 2 usage or file error.)";

int g_signalPipe[2] = {-1, -1};

// Only hands the signal to the event loop; everything else happens there.
extern "C" void onSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalPipe() {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void printError(const QString& text) {
    std::fprintf(stderr, "corvid-flash: %s\n", qPrintable(text));
}

// The folder of Corvid.ini and the COMn links, as the window finds it.
QString settingsFolder() {
    return SettingsFolder::forProgram(QCoreApplication::applicationDirPath());
}

// The baud rate the window would use: its Corvid.ini's, else 9600.
qint32 settingsBaud(const QString& programFolder) {
    IniFile ini;
    ini.setFileName(QDir(programFolder).filePath(QStringLiteral("Corvid.ini")));
    ini.setSection(QStringLiteral("CONFIGURATION"));
    ini.setKey(QStringLiteral("Baud Rate"));
    try {
        const std::optional<qint32> baud = NumberText::plainInt32(ini.value());
        return baud && *baud > 0 ? *baud : kDefaultBaud;
    } catch (const std::exception&) {
        return kDefaultBaud;
    }
}

struct Run {
    FlashImage image;
    FlashSettings settings;
    QStringList ports;
    QString logPath;
    bool json = false;
    bool watch = false;
    QString mapName; // --map: the COMn to link to the one PORT given
};

std::optional<qint64> wholeNumber(const QCommandLineParser& parser, const QString& name,
                                  qint64 minimum, qint64 maximum, QString& error) {
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (ok && value >= minimum && value <= maximum)
        return value;
    error = QStringLiteral("--%1 needs a whole number from %2 to %3, not \"%4\"")
                .arg(name)
                .arg(minimum)
                .arg(maximum)
                .arg(parser.value(name));
    return std::nullopt;
}

// The run the command line asks for; the reason in error when it is not one.
std::optional<Run> parseRun(const QCoreApplication& app, QString& error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString::fromUtf8(kDescription) + QStringLiteral("\n\nSettings file in use: ") +
        QDir::toNativeSeparators(QDir(settingsFolder()).filePath(QStringLiteral("Corvid.ini"))));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {{QStringLiteral("i"), QStringLiteral("image")},
         QStringLiteral("The image to program."),
         QStringLiteral("file")},
        {{QStringLiteral("b"), QStringLiteral("baud")},
         QStringLiteral("Line rate (default: Corvid.ini's Baud Rate, else 9600)."),
         QStringLiteral("n")},
        {{QStringLiteral("n"), QStringLiteral("no-verify")},
         QStringLiteral("Program without reading the flash back.")},
        {{QStringLiteral("V"), QStringLiteral("verify-only")},
         QStringLiteral("Read the flash back and compare, without programming.")},
        {{QStringLiteral("s"), QStringLiteral("settle")},
         QStringLiteral("Quiet time on the line before the next step, in ms (default 500)."),
         QStringLiteral("ms"),
         QStringLiteral("500")},
        {{QStringLiteral("t"), QStringLiteral("timeout")},
         QStringLiteral("Longest silence in the reply, in s (default 5)."),
         QStringLiteral("s"),
         QStringLiteral("5")},
        {{QStringLiteral("l"), QStringLiteral("log")},
         QStringLiteral("Append one JSON line per board to this file."),
         QStringLiteral("file")},
        {{QStringLiteral("j"), QStringLiteral("json")},
         QStringLiteral("Write one JSON object per board on stdout instead of text.")},
        {{QStringLiteral("w"), QStringLiteral("watch")},
         QStringLiteral("Station mode: program each board plugged into a port, until Ctrl-C.")},
        {QStringLiteral("map"),
         QStringLiteral("Make COMn (COM1 to COM999) name the device given as the one PORT."),
         QStringLiteral("COMn")},
        {QStringLiteral("retries"),
         QStringLiteral("Try a board whose line failed (no answer, short or no reply, line lost) "
                        "again from the start, up to n more times (default 0)."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("retry-mismatch"),
         QStringLiteral("Also try again a board whose flash differs from the image.")},
        {QStringLiteral("no-wake-check"),
         QStringLiteral("Upload even when the board prints nothing in answer to the wake-up CR.")},
    });
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("COMn or a device path."),
                                 QStringLiteral("PORT..."));
    if (!parser.parse(app.arguments())) {
        error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kAllPassed);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Run run;
    run.ports = parser.positionalArguments();
    run.logPath = parser.value(QStringLiteral("log"));
    run.json = parser.isSet(QStringLiteral("json"));
    run.watch = parser.isSet(QStringLiteral("watch"));
    run.settings.upload = !parser.isSet(QStringLiteral("verify-only"));
    run.settings.verify = !parser.isSet(QStringLiteral("no-verify"));
    if (!run.settings.upload && !run.settings.verify) {
        error = QStringLiteral("--no-verify and --verify-only leave nothing to do");
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("map"))) {
        run.mapName = parser.value(QStringLiteral("map"));
        if (run.ports.size() != 1) {
            error = QStringLiteral("--map %1 needs one device: corvid-flash --map %1 DEVICE")
                        .arg(run.mapName);
            return std::nullopt;
        }
        return run;
    }
    if (run.ports.isEmpty()) {
        error = QStringLiteral("no PORT given (see --help)");
        return std::nullopt;
    }
    run.settings.baud = settingsBaud(settingsFolder());
    if (parser.isSet(QStringLiteral("baud"))) {
        const auto baud = wholeNumber(parser, QStringLiteral("baud"), 1, 100'000'000, error);
        if (!baud)
            return std::nullopt;
        run.settings.baud = static_cast<qint32>(*baud);
    }
    const auto settle = wholeNumber(parser, QStringLiteral("settle"), 1, 600'000, error);
    const auto timeout =
        settle ? wholeNumber(parser, QStringLiteral("timeout"), 1, 3600, error) : std::nullopt;
    const auto retries =
        timeout ? wholeNumber(parser, QStringLiteral("retries"), 0, 100, error) : std::nullopt;
    if (!retries)
        return std::nullopt;
    run.settings.retries = static_cast<int>(*retries);
    run.settings.retryMismatch = parser.isSet(QStringLiteral("retry-mismatch"));
    run.settings.wakeCheck = !parser.isSet(QStringLiteral("no-wake-check"));
    run.settings.settle = std::chrono::milliseconds(*settle);
    run.settings.timeout = std::chrono::seconds(*timeout);

    const QString image = parser.value(QStringLiteral("image"));
    if (image.isEmpty()) {
        error = QStringLiteral("no image given: -i IMAGE (see --help)");
        return std::nullopt;
    }
    run.image.path = QFileInfo(image).absoluteFilePath();
    return run;
}

// Measures the image once: its size and SHA-256 go into every board's record.
bool measureImage(FlashImage& image, QString& error) {
    QFile file(image.path);
    if (QFileInfo(image.path).isDir() || !file.open(QIODevice::ReadOnly)) {
        const RunTimeError failure = QFileInfo(image.path).isDir()
                                         ? RunTimeError::fromErrno(EISDIR, image.path)
                                         : RunTimeError::fromFile(file, image.path);
        error = QStringLiteral("The image could not be opened: error %1 - %2")
                    .arg(failure.number())
                    .arg(failure.description());
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError) {
        error = QStringLiteral("Reading the image %1 failed: error %2 - %3")
                    .arg(image.path)
                    .arg(int(file.error()))
                    .arg(file.errorString());
        return false;
    }
    image.size = file.size();
    image.sha256 = hash.result();
    if (image.size == 0) {
        error = QStringLiteral("The image %1 is empty: error %2 - nothing to program")
                    .arg(image.path)
                    .arg(ErrorNumber::InputPastEnd);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvid-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVID_VERSION));

    QString error;
    std::optional<Run> run = parseRun(app, error);
    if (run && !run->mapName.isEmpty()) {
        const QString link =
            PortNames::mapPort(run->mapName, run->ports.first(), settingsFolder(), error);
        if (link.isEmpty()) {
            printError(error);
            return kUsageError;
        }
        std::printf("%s -> %s\n", qPrintable(link), qPrintable(QFile::symLinkTarget(link)));
        return kAllPassed;
    }
    if (!run || !measureImage(run->image, error)) {
        printError(error);
        return kUsageError;
    }
    FlashLog log;
    if (!run->logPath.isEmpty() && !log.open(run->logPath, error)) {
        printError(error);
        return kUsageError;
    }
    // A reader that goes away (a pipe into head) must not end the boards in progress.
    ::signal(SIGPIPE, SIG_IGN);
    if (!installSignalPipe()) {
        printError(QStringLiteral("signal handlers could not be installed: error %1 - %2")
                       .arg(errno)
                       .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return kUsageError;
    }

    const FlashConsole::Mode mode = run->json                 ? FlashConsole::Mode::Json
                                    : ::isatty(STDOUT_FILENO) ? FlashConsole::Mode::Live
                                                              : FlashConsole::Mode::Plain;
    FlashConsole console(mode, run->image, run->settings, stdout);
    QList<PortStation*> stations;
    int running = 0;
    bool logFailed = false;
    for (const QString& port : std::as_const(run->ports)) {
        auto* station =
            new PortStation(port, settingsFolder(), run->image, run->settings, run->watch, &app);
        stations.append(station);
        console.addStation(station);
        ++running;
        QObject::connect(station, &PortStation::jobFinished, &app, [&](FlashJob* job) {
            QString logError;
            if (log.isOpen() &&
                !log.append(resultRecord(job->result(), run->image, run->settings), logError)) {
                printError(logError);
                logFailed = true;
            }
        });
        QObject::connect(station, &PortStation::stopped, &app, [&running] {
            if (--running == 0)
                QCoreApplication::quit();
        });
    }

    int interrupts = 0;
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char byte = 0;
        while (::read(g_signalPipe[0], &byte, 1) == 1) {
            if (++interrupts == 1) {
                printError(QStringLiteral("interrupted: finishing the boards in progress "
                                          "(Ctrl-C again to stop them)"));
                for (PortStation* station : std::as_const(stations))
                    station->stop();
            } else {
                for (PortStation* station : std::as_const(stations))
                    station->abort(
                        QStringLiteral("Interrupted: error %1 - stopped by Ctrl-C").arg(EINTR));
            }
        }
    });

    // Started from the event loop, so that a board that fails at once can already end it.
    for (PortStation* station : std::as_const(stations))
        QMetaObject::invokeMethod(station, &PortStation::start, Qt::QueuedConnection);
    if (running > 0)
        app.exec();
    console.printSummary();

    bool allPassed = !logFailed;
    for (const FlashResult& result : console.results())
        allPassed = allPassed && result.passed;
    return allPassed ? kAllPassed : kBoardFailed;
}
