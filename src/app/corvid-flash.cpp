// corvid-flash: programs and verifies many boards at once from the command line.

#include "foundation/IniFile.h"
#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"
#include "foundation/SettingsFolder.h"
#include "foundation/TerminationSignals.h"
#include "serial/PortNames.h"
#include "transfer/FlashReport.h"
#include "transfer/PortStation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kAllPassed = 0;
constexpr int kBoardFailed = 1;
constexpr int kUsageError = 2;
constexpr int kRecordsLost = 3;
// 128 plus the signal's number, as a shell reports a program ended by that signal.
constexpr int kSignalStatusBase = 128;

const char kDescription[] = R"(Programs and verifies Brisa C167 target boards, many at once.

Each PORT is COMn (the COMn link beside the settings file, else /dev/ttyS<n-1>) or a device
path; each device may be given once. --map COMn DEVICE makes that link, for example for a USB
serial adapter:
  corvid-flash --map COM2 /dev/serial/by-id/usb-FTDI_..._A1B2C3-if00-port0
Per board: open the line, send CR, wait until the board answers and the line is quiet, send
the image and its last byte once more, wait until it has left and the line is quiet, send
"UFD" CR, and compare the reply after its 5 header bytes with the image as it comes in. The
image must be a regular file.

Output: on a terminal a live block, one line per port, fitted to the terminal; otherwise one
line per phase per board; then a summary in the order the ports were given (port, result,
time, first mismatch). Byte offsets count from 0 and are written in hex (0x1004); the
mismatch itself is told in the window's words, "Byte[n] Is x Should Be y", n counting from 1.
--no-verify boards are "programmed, not verified", never "pass".

Records (--log appends them, --json prints them): one JSON line per board, "type": "board",
with run_id, version, time, host, port, device, by_id, serial_number, vid, pid, manufacturer,
description (where the system knows them), tags, image, size, sha256, baud, phases_ms,
elapsed_ms, result (pass, programmed, fail, interrupted), failure, bytes_sent, bytes_received,
mismatch, diagnosis (the likely cause: shift, erased, stuck_bit, short_reply, no_reply),
attempt_count and attempts (with --retries); then one "type": "summary" line with the boards (port, device, result, elapsed_ms)
in the order given, the counts, elapsed_ms and exit_status.

--watch: each port waits for a board (its device appears and it answers CR), programs it,
waits until it is removed, and waits for the next. Ctrl-C ends after the boards in progress;
a second Ctrl-C, or SIGTERM, stops them at once and records them as "interrupted".

Exit status: 0 every board passed (or was programmed with --no-verify), 1 a board failed,
2 usage or file error (nothing was started), 3 the log could not be written (the records are
not all kept; outranks 0 and 1), 130 boards were stopped by a second Ctrl-C, 143 the run was
ended by SIGTERM (129 by SIGHUP); these outrank the others. After a first Ctrl-C the boards in
progress finish and the status is theirs.)";

void printError(const QString& text) {
    std::fprintf(stderr, "corvid-flash: %s\n", qPrintable(text));
}

QString systemText(int errorNumber) {
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

// The folder of Corvid.ini and the COMn links, as the window finds it.
QString settingsFolder() {
    return SettingsFolder::forProgram(QCoreApplication::applicationDirPath());
}

// Where the window keeps its settings; corvid-flash reads the same file.
QString settingsFilePath() {
    return QDir(settingsFolder()).filePath(QStringLiteral("Corvid.ini"));
}

// The baud rate the window would use: Corvid.ini's, corrected by the window's rule.
qint32 settingsBaud() {
    IniFile ini;
    ini.setFileName(settingsFilePath());
    ini.setSection(QStringLiteral("CONFIGURATION"));
    ini.setKey(QStringLiteral("Baud Rate"));
    try {
        return NumberText::usableBaudRate(ini.value());
    } catch (const std::exception&) {
        return NumberText::usableBaudRate(QString());
    }
}

struct Run {
    RunInfo info;
    QStringList ports;
    QString logPath;
    bool json = false;
    bool watch = false;
    QString mapName; // --map: the COMn to link to the one PORT given
    bool list = false;
    FlashConsole::Detail detail = FlashConsole::Detail::Normal;
};

std::optional<qint64> wholeNumber(const QCommandLineParser& parser, const QString& name,
                                  qint64 minimum, qint64 maximum, QString& error) {
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (ok && value >= minimum && value <= maximum)
        return value;
    error = QStringLiteral("--%1 needs a whole number from %2 to %3, not \"%4\" (see --help)")
                .arg(name)
                .arg(minimum)
                .arg(maximum)
                .arg(parser.value(name));
    return std::nullopt;
}

bool readTags(const QStringList& values, RunInfo& info, QString& error) {
    static const QRegularExpression tag(QStringLiteral("^([A-Za-z_][A-Za-z0-9_.-]*)=(.*)$"));
    for (const QString& value : values) {
        const QRegularExpressionMatch match = tag.match(value);
        if (!match.hasMatch()) {
            error = QStringLiteral("--tag needs KEY=VALUE, KEY of letters, digits, '_', '.' and "
                                   "'-', not \"%1\" (see --help)")
                        .arg(value);
            return false;
        }
        info.tags.append({match.captured(1), match.captured(2)});
    }
    return true;
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
         QStringLiteral("The image to program (a regular file)."),
         QStringLiteral("file")},
        {{QStringLiteral("b"), QStringLiteral("baud")},
         QStringLiteral("Line rate, any the device accepts (default: Corvid.ini's Baud Rate as "
                        "the window corrects it, else 9600)."),
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
         QStringLiteral("Append one JSON line per board and a summary line to this file."),
         QStringLiteral("file")},
        {{QStringLiteral("j"), QStringLiteral("json")},
         QStringLiteral("Write one JSON object per board and a summary on stdout instead of "
                        "text.")},
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
        {QStringLiteral("tag"),
         QStringLiteral("Copy KEY=VALUE into every record (repeatable), e.g. lot=A7."),
         QStringLiteral("KEY=VALUE")},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("Print only the summary.")},
        {QStringLiteral("verbose"),
         QStringLiteral("Print each phase with its timing and what the board printed.")},
        {QStringLiteral("list"),
         QStringLiteral("List the serial ports present and whether they may be opened.")},
    });
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("COMn or a device path."),
                                 QStringLiteral("PORT..."));
    if (!parser.parse(app.arguments())) {
        error = parser.errorText() + QStringLiteral(" (see --help)");
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kAllPassed);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Run run;
    run.list = parser.isSet(QStringLiteral("list"));
    if (run.list)
        return run;
    FlashSettings& settings = run.info.settings;
    run.ports = parser.positionalArguments();
    run.logPath = parser.value(QStringLiteral("log"));
    run.json = parser.isSet(QStringLiteral("json"));
    run.watch = parser.isSet(QStringLiteral("watch"));
    if (parser.isSet(QStringLiteral("quiet")) && parser.isSet(QStringLiteral("verbose"))) {
        error = QStringLiteral("--quiet and --verbose ask for opposite things: give one (see "
                               "--help)");
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
    run.detail = parser.isSet(QStringLiteral("quiet"))     ? FlashConsole::Detail::Quiet
                 : parser.isSet(QStringLiteral("verbose")) ? FlashConsole::Detail::Verbose
                                                           : FlashConsole::Detail::Normal;
    settings.upload = !parser.isSet(QStringLiteral("verify-only"));
    settings.verify = !parser.isSet(QStringLiteral("no-verify"));
    if (!settings.upload && !settings.verify) {
        error = QStringLiteral("--no-verify and --verify-only leave nothing to do (see --help)");
        return std::nullopt;
    }
    if (!readTags(parser.values(QStringLiteral("tag")), run.info, error))
        return std::nullopt;
    if (run.ports.isEmpty()) {
        error = QStringLiteral("no PORT given (see --help)");
        return std::nullopt;
    }
    settings.baud = settingsBaud();
    if (parser.isSet(QStringLiteral("baud"))) {
        const auto baud = wholeNumber(parser, QStringLiteral("baud"), 1, 100'000'000, error);
        if (!baud)
            return std::nullopt;
        settings.baud = static_cast<qint32>(*baud);
    }
    const auto settle = wholeNumber(parser, QStringLiteral("settle"), 1, 600'000, error);
    const auto timeout =
        settle ? wholeNumber(parser, QStringLiteral("timeout"), 1, 3600, error) : std::nullopt;
    const auto retries =
        timeout ? wholeNumber(parser, QStringLiteral("retries"), 0, 100, error) : std::nullopt;
    if (!retries)
        return std::nullopt;
    settings.retries = static_cast<int>(*retries);
    settings.retryMismatch = parser.isSet(QStringLiteral("retry-mismatch"));
    settings.wakeCheck = !parser.isSet(QStringLiteral("no-wake-check"));
    settings.settle = std::chrono::milliseconds(*settle);
    settings.timeout = std::chrono::seconds(*timeout);

    const QString image = parser.value(QStringLiteral("image"));
    if (image.isEmpty()) {
        error = QStringLiteral("no image given: -i IMAGE (see --help)");
        return std::nullopt;
    }
    run.info.image.path = QFileInfo(image).absoluteFilePath();
    return run;
}

QString fileKind(mode_t mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("no regular file");
}

// Measures the image once: its size and SHA-256 go into every board's record. Only a regular
// file has an end to read to: a device such as /dev/zero would be read for ever.
bool measureImage(FlashImage& image, QString& error) {
    const QByteArray name = QFile::encodeName(image.path);
    struct stat status {};
    if (::stat(name.constData(), &status) != 0) {
        error = QStringLiteral("The image %1 could not be opened: %2. Check the path given with "
                               "-i.")
                    .arg(image.path, systemText(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = QStringLiteral("The image %1 is %2, not a regular file: give -i the file that "
                               "holds the image.")
                    .arg(image.path, fileKind(status.st_mode));
        return false;
    }
    QFile file(image.path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("The image %1 could not be opened: %2. Check that it may be read.")
                    .arg(image.path, file.errorString());
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError) {
        error = QStringLiteral("Reading the image %1 failed: %2. Check the medium it is on.")
                    .arg(image.path, file.errorString());
        return false;
    }
    image.size = file.size();
    image.sha256 = hash.result();
    if (image.size == 0) {
        error = QStringLiteral("The image %1 is empty: there is nothing to program. Give -i the "
                               "file that holds the image.")
                    .arg(image.path);
        return false;
    }
    return true;
}

// Two names for one device would have two boards' exchanges on one line.
bool portsDistinct(const QStringList& ports, QString& error) {
    QHash<QString, QString> seen;
    for (const QString& port : ports) {
        const QString device = resolvePortName(port, settingsFolder());
        const QString canonical = QFileInfo(device).canonicalFilePath();
        const QString key = canonical.isEmpty() ? device : canonical;
        if (const auto first = seen.constFind(key); first != seen.cend()) {
            error = QStringLiteral("%1 and %2 are the same device, %3: give each port once.")
                        .arg(*first, port, key);
            return false;
        }
        seen.insert(key, port);
    }
    return true;
}

int listPorts() {
    const QList<PortIdentity> ports = presentPorts();
    if (ports.isEmpty()) {
        std::printf("No serial ports found. A USB adapter shows up once it is plugged in; "
                    "check `dmesg` if it does not.\n");
        return kAllPassed;
    }
    const QStringList headers = {QStringLiteral("DEVICE"),      QStringLiteral("BY-ID"),
                                 QStringLiteral("DESCRIPTION"), QStringLiteral("SERIAL"),
                                 QStringLiteral("VID:PID"),     QStringLiteral("ACCESS")};
    QList<QStringList> rows{headers};
    for (const PortIdentity& port : ports) {
        const QString ids = port.vendorId && port.productId
                                ? QStringLiteral("%1:%2")
                                      .arg(*port.vendorId, 4, 16, QLatin1Char('0'))
                                      .arg(*port.productId, 4, 16, QLatin1Char('0'))
                                : QStringLiteral("-");
        QString access = QStringLiteral("yes");
        if (::access(QFile::encodeName(port.device).constData(), R_OK | W_OK) != 0) {
            const int failure = errno;
            access = QStringLiteral("no: %1").arg(systemText(failure));
            const QString advice = PortNames::permissionAdvice(port.device);
            if (failure == EACCES && !advice.isEmpty())
                access += QStringLiteral(". ") + advice;
        }
        const auto orDash = [](const QString& text) {
            return text.isEmpty() ? QStringLiteral("-") : text;
        };
        rows.append({port.device, orDash(port.byId), orDash(port.description),
                     orDash(port.serialNumber), ids, access});
    }
    QList<qsizetype> widths(headers.size(), 0);
    for (const QStringList& row : std::as_const(rows)) {
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    for (const QStringList& row : std::as_const(rows)) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        std::printf("%s\n", qPrintable(line));
    }
    return kAllPassed;
}

QString signalName(int signalNumber) {
    switch (signalNumber) {
    case SIGINT:
        return QStringLiteral("a second Ctrl-C");
    case SIGTERM:
        return QStringLiteral("SIGTERM (a stop request)");
    case SIGHUP:
        return QStringLiteral("SIGHUP (the terminal went away)");
    }
    return QStringLiteral("signal %1").arg(signalNumber);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvid-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVID_VERSION));
    QElapsedTimer clock;
    clock.start();

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
    if (run && run->list)
        return listPorts();
    if (!run || !measureImage(run->info.image, error) || !portsDistinct(run->ports, error)) {
        printError(error);
        return kUsageError;
    }
    run->info.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    run->info.version = QCoreApplication::applicationVersion();
    FlashLog log;
    if (!run->logPath.isEmpty() && !log.open(run->logPath, error)) {
        printError(error);
        return kUsageError;
    }
    // A reader that goes away (a pipe into head) must not end the boards in progress.
    ::signal(SIGPIPE, SIG_IGN);
    TerminationSignals termination;
    if (!termination.isActive()) {
        printError(QStringLiteral("The signal handlers could not be installed: %1. Ctrl-C "
                                  "would leave no records; try again.")
                       .arg(systemText(errno)));
        return kUsageError;
    }

    const FlashConsole::Mode mode = run->json                 ? FlashConsole::Mode::Json
                                    : ::isatty(STDOUT_FILENO) ? FlashConsole::Mode::Live
                                                              : FlashConsole::Mode::Plain;
    FlashConsole console(mode, run->detail, run->info, stdout);
    QList<PortStation*> stations;
    int running = 0;
    bool logFailed = false;
    const auto record = [&](const QJsonObject& object) {
        QString logError;
        if (log.isOpen() && !log.append(object, logError) && !logFailed) {
            console.notice(logError);
            logFailed = true;
        }
    };
    for (const QString& port : std::as_const(run->ports)) {
        auto* station = new PortStation(port, settingsFolder(), run->info.image, run->info.settings,
                                        run->watch, &app);
        stations.append(station);
        console.addStation(station);
        ++running;
        QObject::connect(station, &PortStation::jobFinished, &app,
                         [&](FlashJob* job) { record(resultRecord(job->result(), run->info)); });
        QObject::connect(station, &PortStation::stopped, &app, [&running] {
            if (--running == 0)
                QCoreApplication::quit();
        });
    }

    int interrupts = 0;
    int endingSignal = 0;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &app,
                     [&](int signalNumber) {
                         if (signalNumber == SIGINT && ++interrupts == 1 && endingSignal == 0) {
                             console.notice(QStringLiteral(
                                 "interrupted: finishing the boards in progress (Ctrl-C again "
                                 "to stop them)"));
                             for (PortStation* station : std::as_const(stations))
                                 station->stop();
                             return;
                         }
                         if (endingSignal != 0)
                             return;
                         endingSignal = signalNumber;
                         console.notice(QStringLiteral("stopped by %1: ending the boards in "
                                                       "progress")
                                            .arg(signalName(signalNumber)));
                         const QString reason =
                             QStringLiteral("Interrupted by %1: the board may hold part of the "
                                            "image; program it again.")
                                 .arg(signalName(signalNumber));
                         for (PortStation* station : std::as_const(stations))
                             station->abort(reason, true);
                     });

    // Started from the event loop, so that a board that fails at once can already end it.
    for (PortStation* station : std::as_const(stations))
        QMetaObject::invokeMethod(station, &PortStation::start, Qt::QueuedConnection);
    if (running > 0)
        app.exec();

    const QList<FlashResult> results = console.results();
    const bool allPassed = std::all_of(results.cbegin(), results.cend(),
                                       [](const FlashResult& result) { return result.passed; });
    const auto exitStatus = [&] {
        return endingSignal ? kSignalStatusBase + endingSignal
               : logFailed  ? kRecordsLost
               : !allPassed ? kBoardFailed
                            : kAllPassed;
    };
    // A summary line that cannot be written makes the status say so too.
    record(summaryRecord(results, run->info, clock.elapsed(), exitStatus()));
    const int status = exitStatus();
    console.printSummary(clock.elapsed(), status);
    return status;
}
