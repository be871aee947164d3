#include "transfer/FlashReport.h"

#include "transfer/PortStation.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPortInfo>
#include <QSize>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kRedrawInterval = 100ms;
constexpr int kBarWidth = 24;
// "upload 100% 11.5 kB/s": what a live line needs after the port's name.
constexpr int kStatusWidth = 22;
constexpr int kShortestName = 8;
constexpr int kResultWidth = 11;
constexpr int kTimeWidth = 8;
// A rate over less time than this says more about the start than about the line.
constexpr auto kShortestMeasure = 500ms;
constexpr auto kPortListLifetime = 1000ms;
const QString kByIdFolder = QStringLiteral("/dev/serial/by-id");

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' '));
}

// Byte offsets count from 0 and are written in hex, as a hex dump shows them.
QString offsetText(qint64 offset) {
    return QStringLiteral("0x") + QString::number(offset, 16);
}

QString plural(qint64 count, const QString& one, const QString& many) {
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? one : many);
}

QString seconds(qint64 milliseconds) {
    return QString::number(static_cast<double>(milliseconds) / 1000.0, 'f', 1) +
           QStringLiteral(" s");
}

QString rate(qint64 done, qint64 milliseconds) {
    if (done <= 0 || milliseconds < kShortestMeasure.count())
        return QString();
    const double perSecond = static_cast<double>(done) * 1000.0 / static_cast<double>(milliseconds);
    return perSecond >= 10000 ? QStringLiteral("%1 kB/s").arg(perSecond / 1000.0, 0, 'f', 1)
                              : QStringLiteral("%1 B/s").arg(perSecond, 0, 'f', 0);
}

// The terminal's size, read again on every redraw since a window can be resized at any time.
QSize terminalSize(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && size.ws_row > 1)
        return QSize(size.ws_col, size.ws_row);
    return QSize(80, 24);
}

QString where(const QString& port, const QString& device) {
    return port == device ? port : QStringLiteral("%1 (%2)").arg(port, device);
}

// A name cut to width keeps its start and its end, where ports differ (COM3, ...-port0).
QString fitted(const QString& text, int width) {
    if (text.size() <= width)
        return text.leftJustified(width);
    if (width < 3)
        return text.left(width);
    const int head = (width - 1) / 3;
    return text.left(head) + u'~' + text.right(width - 1 - head);
}

QString stateText(const PortStation* station) {
    switch (station->state()) {
    case PortStation::State::WaitingForBoard:
        switch (station->waiting()) {
        case PortStation::Waiting::DeviceMissing:
            return QStringLiteral("waiting for %1 to appear").arg(station->device());
        case PortStation::Waiting::NoAnswer:
            return QStringLiteral("waiting for a board: one is connected to %1 but does not "
                                  "answer")
                .arg(station->device());
        case PortStation::Waiting::Probing:
            break;
        }
        return QStringLiteral("waiting for a board on %1").arg(station->device());
    case PortStation::State::WaitingForRemoval:
        return QStringLiteral("waiting until the board is removed");
    case PortStation::State::Stopped:
        return QStringLiteral("stopped");
    case PortStation::State::Programming:
        break;
    }
    return QString();
}

// One word for what a port is doing, for the condensed line.
QString stateWord(const PortStation* station, const FlashSettings& settings) {
    if (const FlashJob* job = station->job())
        return FlashJob::phaseName(job->phase());
    if (station->state() == PortStation::State::WaitingForBoard)
        return QStringLiteral("waiting");
    if (const auto& last = station->lastResult())
        return resultName(*last, settings);
    return stateText(station);
}

QString canonicalDevice(const QString& device) {
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical;
}

QString byIdPath(const QString& device) {
    const QDir folder(kByIdFolder);
    for (const QFileInfo& link : folder.entryInfoList(QDir::System | QDir::Files)) {
        if (link.canonicalFilePath() == device)
            return link.absoluteFilePath();
    }
    return QString();
}

PortIdentity identityOf(const QSerialPortInfo& info) {
    PortIdentity identity;
    identity.device = canonicalDevice(info.systemLocation());
    identity.byId = byIdPath(identity.device);
    identity.description = info.description();
    identity.manufacturer = info.manufacturer();
    identity.serialNumber = info.serialNumber();
    if (info.hasVendorIdentifier())
        identity.vendorId = info.vendorIdentifier();
    if (info.hasProductIdentifier())
        identity.productId = info.productIdentifier();
    return identity;
}

QString hex4(quint16 value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// The system's serial ports, enumerated at most once a second: the enumeration reads sysfs and
// udev for every tty, and many boards finishing together would each wait for it in turn.
const QList<QSerialPortInfo>& recentPorts() {
    static QList<QSerialPortInfo> ports;
    static QElapsedTimer age;
    if (!age.isValid() || age.hasExpired(kPortListLifetime.count())) {
        ports = QSerialPortInfo::availablePorts();
        age.start();
    }
    return ports;
}

} // namespace

PortIdentity portIdentity(const QString& device) {
    const QString canonical = canonicalDevice(device);
    for (const QSerialPortInfo& info : recentPorts()) {
        if (canonicalDevice(info.systemLocation()) == canonical)
            return identityOf(info);
    }
    PortIdentity identity;
    identity.device = canonical;
    identity.byId = byIdPath(canonical);
    return identity;
}

QList<PortIdentity> presentPorts() {
    QList<PortIdentity> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append(identityOf(info));
    for (const QFileInfo& link : QDir(kByIdFolder).entryInfoList(QDir::System | QDir::Files)) {
        const QString device = link.canonicalFilePath();
        const bool listed = std::any_of(ports.cbegin(), ports.cend(),
                                        [&](const PortIdentity& p) { return p.device == device; });
        if (!device.isEmpty() && !listed)
            ports.append(portIdentity(device));
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortIdentity& a, const PortIdentity& b) { return a.device < b.device; });
    return ports;
}

QString resultName(const FlashResult& result, const FlashSettings& settings) {
    if (result.interrupted)
        return QStringLiteral("interrupted");
    if (!result.passed)
        return QStringLiteral("fail");
    return settings.verify ? QStringLiteral("pass") : QStringLiteral("programmed");
}

namespace {

QJsonObject tagObject(const RunInfo& run) {
    QJsonObject tags;
    for (const auto& [key, value] : run.tags)
        tags.insert(key, value);
    return tags;
}

} // namespace

QJsonObject resultRecord(const FlashResult& result, const RunInfo& run) {
    QJsonObject phases;
    for (const auto& [name, milliseconds] : result.phaseMilliseconds)
        phases.insert(name, milliseconds);
    QJsonObject record{
        {QStringLiteral("type"), QStringLiteral("board")},
        {QStringLiteral("run_id"), run.id},
        {QStringLiteral("version"), run.version},
        {QStringLiteral("time"), result.started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("host"), QSysInfo::machineHostName()},
        {QStringLiteral("port"), result.port},
        {QStringLiteral("device"), result.device},
        {QStringLiteral("image"), run.image.path},
        {QStringLiteral("size"), run.image.size},
        {QStringLiteral("sha256"), QString::fromLatin1(run.image.sha256.toHex())},
        {QStringLiteral("baud"), run.settings.baud},
        {QStringLiteral("phases_ms"), phases},
        {QStringLiteral("elapsed_ms"), result.elapsedMilliseconds},
        {QStringLiteral("result"), resultName(result, run.settings)},
        {QStringLiteral("bytes_sent"), result.bytesSent},
        {QStringLiteral("bytes_received"), result.bytesReceived},
    };
    if (!run.tags.isEmpty())
        record.insert(QStringLiteral("tags"), tagObject(run));
    const PortIdentity identity = portIdentity(result.device);
    const std::pair<const char*, QString> texts[] = {{"by_id", identity.byId},
                                                     {"serial_number", identity.serialNumber},
                                                     {"manufacturer", identity.manufacturer},
                                                     {"description", identity.description}};
    for (const auto& [key, value] : texts) {
        if (!value.isEmpty())
            record.insert(QLatin1StringView(key), value);
    }
    if (identity.vendorId)
        record.insert(QStringLiteral("vid"), hex4(*identity.vendorId));
    if (identity.productId)
        record.insert(QStringLiteral("pid"), hex4(*identity.productId));
    if (!result.passed)
        record.insert(QStringLiteral("failure"), result.failure);
    if (const auto& diagnosis = result.diagnosis) {
        using Kind = TargetProtocol::Diagnosis::Kind;
        QJsonObject facts{
            {QStringLiteral("kind"), TargetProtocol::Diagnosis::kindName(diagnosis->kind)},
            {QStringLiteral("text"), diagnosis->text()}};
        switch (diagnosis->kind) {
        case Kind::Shift:
        case Kind::ShortReply:
        case Kind::NoReply:
            facts.insert(QStringLiteral("bytes"), diagnosis->bytes);
            break;
        case Kind::Erased:
            facts.insert(QStringLiteral("offset"), diagnosis->offset);
            facts.insert(QStringLiteral("value"), diagnosis->value);
            break;
        case Kind::StuckBit:
            facts.insert(QStringLiteral("bit"), diagnosis->bit);
            facts.insert(QStringLiteral("value"), diagnosis->value);
            break;
        }
        if (diagnosis->kind == Kind::ShortReply || diagnosis->kind == Kind::NoReply)
            facts.insert(QStringLiteral("silence_ms"), diagnosis->silenceMilliseconds);
        record.insert(QStringLiteral("diagnosis"), facts);
    }
    QJsonArray attempts;
    for (const QString& failure : result.earlierFailures)
        attempts.append(QJsonObject{{QStringLiteral("result"), QStringLiteral("fail")},
                                    {QStringLiteral("failure"), failure}});
    QJsonObject last{{QStringLiteral("result"),
                      result.passed ? QStringLiteral("pass") : QStringLiteral("fail")}};
    if (!result.passed)
        last.insert(QStringLiteral("failure"), result.failure);
    attempts.append(last);
    record.insert(QStringLiteral("attempt_count"), result.attemptCount);
    record.insert(QStringLiteral("attempts"), attempts);
    if (const auto& mismatch = result.mismatch) {
        QJsonArray offsets;
        for (const qint64 offset : mismatch->firstOffsets)
            offsets.append(offset);
        record.insert(QStringLiteral("mismatch"),
                      QJsonObject{{QStringLiteral("text"), mismatch->shortText()},
                                  {QStringLiteral("offset"), mismatch->firstOffset},
                                  {QStringLiteral("is"), mismatch->received},
                                  {QStringLiteral("should_be"), mismatch->expected},
                                  {QStringLiteral("count"), mismatch->count},
                                  {QStringLiteral("offsets"), offsets},
                                  {QStringLiteral("context_offset"), mismatch->contextStart},
                                  {QStringLiteral("file"), hex(mismatch->fileContext)},
                                  {QStringLiteral("flash"), hex(mismatch->flashContext)}});
    }
    return record;
}

QJsonObject summaryRecord(const QList<FlashResult>& results, const RunInfo& run,
                          qint64 elapsedMilliseconds, int exitStatus) {
    QJsonObject counts{{QStringLiteral("pass"), 0},
                       {QStringLiteral("programmed"), 0},
                       {QStringLiteral("fail"), 0},
                       {QStringLiteral("interrupted"), 0}};
    QJsonArray boards;
    for (const FlashResult& result : results) {
        const QString name = resultName(result, run.settings);
        counts.insert(name, counts.value(name).toInt() + 1);
        boards.append(QJsonObject{{QStringLiteral("port"), result.port},
                                  {QStringLiteral("device"), result.device},
                                  {QStringLiteral("result"), name},
                                  {QStringLiteral("elapsed_ms"), result.elapsedMilliseconds}});
    }
    QJsonObject record{{QStringLiteral("type"), QStringLiteral("summary")},
                       {QStringLiteral("run_id"), run.id},
                       {QStringLiteral("version"), run.version},
                       {QStringLiteral("host"), QSysInfo::machineHostName()},
                       {QStringLiteral("image"), run.image.path},
                       {QStringLiteral("sha256"), QString::fromLatin1(run.image.sha256.toHex())},
                       {QStringLiteral("boards"), boards},
                       {QStringLiteral("counts"), counts},
                       {QStringLiteral("elapsed_ms"), elapsedMilliseconds},
                       {QStringLiteral("exit_status"), exitStatus}};
    if (!run.tags.isEmpty())
        record.insert(QStringLiteral("tags"), tagObject(run));
    return record;
}

FlashLog::~FlashLog() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FlashLog::open(const QString& path, QString& error) {
    m_path = path;
    const QByteArray name = QFile::encodeName(path);
    // O_APPEND, so that each line goes to the end of the file in one write, whoever else
    // appends; a plain descriptor, since a device or a pipe as log is no file to seek in.
    m_fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        error = QStringLiteral("The log %1 could not be opened for appending: %2. Check that its "
                               "folder exists and may be written, or give another --log file.")
                    .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat status {};
    if (::fstat(m_fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        const int reader = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        char last = '\n';
        if (reader >= 0) {
            m_needsLineBreak = ::pread(reader, &last, 1, status.st_size - 1) == 1 && last != '\n';
            ::close(reader);
        }
    }
    return true;
}

bool FlashLog::append(const QJsonObject& record, QString& error) {
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (m_needsLineBreak)
        line.prepend('\n');
    const ssize_t written = ::write(m_fd, line.constData(), static_cast<size_t>(line.size()));
    if (written == line.size()) {
        m_needsLineBreak = false;
        return true;
    }
    const QString reason =
        written < 0
            ? QString::fromLocal8Bit(std::strerror(errno))
            : QStringLiteral("only %1 of %2 bytes were taken").arg(written).arg(line.size());
    error = QStringLiteral("Writing the log %1 failed: %2. Records of this run are missing from "
                           "it: free space or give another --log file, and keep this output.")
                .arg(m_path, reason);
    return false;
}

FlashConsole::FlashConsole(Mode mode, Detail detail, const RunInfo& run, std::FILE* out,
                           QObject* parent)
    : QObject(parent), m_mode(mode), m_detail(detail), m_run(run), m_out(out) {
    m_redrawTimer.setInterval(kRedrawInterval);
    connect(&m_redrawTimer, &QTimer::timeout, this, &FlashConsole::redraw);
    if (m_mode == Mode::Live && m_detail != Detail::Quiet)
        m_redrawTimer.start();
}

void FlashConsole::addStation(PortStation* station) {
    const qsizetype index = m_stations.size();
    m_stations.append(station);
    m_results.append(QList<FlashResult>());
    connect(station, &PortStation::jobStarted, this,
            [this, station](FlashJob* job) { onJobStarted(station, job); });
    connect(station, &PortStation::jobFinished, this,
            [this, index, station](FlashJob* job) { onJobFinished(index, station, job); });
    connect(station, &PortStation::stateChanged, this,
            [this, station] { onStateChanged(station); });
}

QList<FlashResult> FlashConsole::results() const {
    QList<FlashResult> all;
    for (const QList<FlashResult>& port : m_results)
        all += port;
    return all;
}

void FlashConsole::plainLine(const QString& text) {
    if (m_mode != Mode::Plain || m_detail == Detail::Quiet)
        return;
    std::fprintf(m_out, "%s\n", qPrintable(text));
    std::fflush(m_out);
}

// The live block is taken away, the text printed where it stood, and the block drawn again
// below it: a redraw climbs only its own lines, so the text stays. The block's lines are
// cleared one by one: a terminal that sees the whole screen erased (tmux, some others) keeps a
// copy of it in the scrollback.
void FlashConsole::printAbove(std::FILE* stream, const QString& text) {
    if (m_mode == Mode::Live && m_linesDrawn > 0) {
        QString clear = QStringLiteral("\x1b[%1A").arg(m_linesDrawn);
        for (int i = 0; i < m_linesDrawn; ++i)
            clear += QStringLiteral("\r\x1b[K\x1b[B");
        clear += QStringLiteral("\x1b[%1A\r").arg(m_linesDrawn);
        std::fputs(clear.toLatin1().constData(), m_out);
        std::fflush(m_out);
        m_linesDrawn = 0;
    }
    std::fprintf(stream, "%s\n", qPrintable(text));
    std::fflush(stream);
    if (m_redrawTimer.isActive())
        redraw();
}

void FlashConsole::notice(const QString& text) {
    printAbove(stderr, QStringLiteral("corvid-flash: ") + text);
}

void FlashConsole::onJobStarted(PortStation*, FlashJob* job) {
    connect(job, &FlashJob::phaseChanged, this, [this, job] {
        if (job->isFinished())
            return;
        const FlashResult& result = job->result();
        QString text = where(result.port, result.device) + QStringLiteral(": ") +
                       FlashJob::phaseName(job->phase());
        if (job->phase() == FlashJob::Phase::Uploading)
            text += QStringLiteral(" ") +
                    plural(job->progressTotal(), QStringLiteral("byte"), QStringLiteral("bytes"));
        if (m_detail == Detail::Verbose && !result.phaseMilliseconds.isEmpty())
            text += QStringLiteral(" (%1 took %2 ms)")
                        .arg(result.phaseMilliseconds.last().first)
                        .arg(result.phaseMilliseconds.last().second);
        plainLine(text);
    });
}

void FlashConsole::verboseLines(const FlashResult& result) {
    QStringList phases;
    for (const auto& [name, milliseconds] : result.phaseMilliseconds)
        phases << QStringLiteral("%1 %2 ms").arg(name).arg(milliseconds);
    QString printed = QString::fromLatin1(result.boardOutput);
    printed.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'\r', QStringLiteral("\\r"))
        .replace(u'\n', QStringLiteral("\\n"));
    const QString name = where(result.port, result.device);
    printAbove(m_out, QStringLiteral("%1: phases: %2\n%1: the board printed %3: \"%4\"")
                          .arg(name, phases.join(QStringLiteral(", ")),
                               plural(result.boardOutput.size(), QStringLiteral("byte"),
                                      QStringLiteral("bytes")),
                               printed));
}

void FlashConsole::onJobFinished(qsizetype index, PortStation* station, FlashJob* job) {
    const FlashResult& result = job->result();
    m_results[index].append(result);
    if (m_detail == Detail::Quiet)
        return;
    if (m_mode == Mode::Json) {
        std::fprintf(
            m_out, "%s\n",
            QJsonDocument(resultRecord(result, m_run)).toJson(QJsonDocument::Compact).constData());
        std::fflush(m_out);
        return;
    }
    if (m_detail == Detail::Verbose)
        verboseLines(result);
    const QString name = resultName(result, m_run.settings);
    plainLine(where(result.port, result.device) +
              (result.passed ? QStringLiteral(": %1 in %2")
                                   .arg(name == QLatin1StringView("pass")
                                            ? QStringLiteral("passed")
                                            : QStringLiteral("programmed, not verified"),
                                        seconds(result.elapsedMilliseconds))
                             : QStringLiteral(": %1: %2")
                                   .arg(result.interrupted ? QStringLiteral("INTERRUPTED")
                                                           : QStringLiteral("FAILED"),
                                        result.failure)) +
              (station->watching() ? QStringLiteral(" [passed %1, failed %2]")
                                         .arg(station->passed())
                                         .arg(station->failed())
                                   : QString()));
}

void FlashConsole::onStateChanged(PortStation* station) {
    if (station->state() == PortStation::State::WaitingForBoard ||
        station->state() == PortStation::State::WaitingForRemoval)
        plainLine(station->port() + QStringLiteral(": ") + stateText(station));
}

// The width of the port column, the same in the live block and the summary: the longest name,
// cut where it would leave a live line no room for its status.
int FlashConsole::nameWidth(int columns) const {
    qsizetype longest = 4;
    for (const PortStation* station : m_stations)
        longest = std::max(longest, where(station->port(), station->device()).size());
    for (const QList<FlashResult>& port : m_results) {
        for (const FlashResult& result : port)
            longest = std::max(longest, where(result.port, result.device).size());
    }
    return static_cast<int>(
        std::min<qsizetype>(longest, std::max(kShortestName, columns - 1 - kStatusWidth - 1)));
}

QString FlashConsole::liveLine(const PortStation* station, int columns, int width) const {
    const FlashJob* job = station->job();
    const std::optional<FlashResult>& last = station->lastResult();
    // While the port waits for the next board, the last board's device is no longer there.
    const FlashResult* shown = job ? &job->result()
                               : last && station->state() != PortStation::State::WaitingForBoard
                                   ? &*last
                                   : nullptr;
    QString line =
        fitted(shown ? where(shown->port, shown->device) : station->port(), width) + u' ';
    if (job) {
        const qint64 done = job->progressDone();
        const qint64 total = job->progressTotal();
        line += FlashJob::phaseName(job->phase()).leftJustified(6);
        if (total > 0) {
            // The bar takes what room the terminal leaves; percent and rate come first.
            const int room = columns - 1 - static_cast<int>(line.size()) - kStatusWidth + 6;
            const int bar = std::min(kBarWidth, room - 3);
            if (bar >= 5) {
                const int filled = static_cast<int>(done * bar / total);
                line += QStringLiteral(" [%1%2]").arg(QString(filled, u'#'),
                                                      QString(bar - filled, u'.'));
            }
            line += QStringLiteral(" %1% %2")
                        .arg(done * 100 / total, 3)
                        .arg(rate(done, job->phaseElapsed()));
        }
    } else if (last && station->state() != PortStation::State::WaitingForBoard) {
        const QString name = resultName(*last, m_run.settings);
        if (last->passed)
            line += QStringLiteral("%1 in %2")
                        .arg(name == QLatin1StringView("pass")
                                 ? QStringLiteral("passed")
                                 : QStringLiteral("programmed, not verified"),
                             seconds(last->elapsedMilliseconds));
        else
            line += QStringLiteral("%1: %2").arg(
                last->interrupted ? QStringLiteral("INTERRUPTED") : QStringLiteral("FAILED"),
                last->mismatch ? last->mismatch->shortText() : last->failure);
        if (station->state() == PortStation::State::WaitingForRemoval)
            line += QStringLiteral(", ") + stateText(station);
    } else {
        line += stateText(station);
    }
    if (station->watching())
        line += QStringLiteral("  [passed %1, failed %2]")
                    .arg(station->passed())
                    .arg(station->failed());
    return line.left(columns - 1);
}

// The ports from index on, counted by what they are doing, in one line.
QString FlashConsole::condensedLine(qsizetype from, int columns) const {
    QList<QPair<QString, int>> counts;
    for (qsizetype i = from; i < m_stations.size(); ++i) {
        const QString word = stateWord(m_stations[i], m_run.settings);
        const auto found = std::find_if(counts.begin(), counts.end(),
                                        [&](const auto& count) { return count.first == word; });
        if (found == counts.end())
            counts.append({word, 1});
        else
            ++found->second;
    }
    QStringList parts;
    for (const auto& [word, count] : counts)
        parts << QStringLiteral("%1 %2").arg(count).arg(word);
    return QStringLiteral("... and %1 more: %2")
        .arg(m_stations.size() - from)
        .arg(parts.join(QStringLiteral(", ")))
        .left(columns - 1);
}

void FlashConsole::redraw() {
    if (m_mode != Mode::Live || m_detail == Detail::Quiet)
        return;
    const QSize size = terminalSize(m_out);
    const int columns = size.width();
    // The block stays shorter than the terminal, or each redraw would scroll a copy away.
    const qsizetype room = std::max(1, size.height() - 1);
    const qsizetype shown = m_stations.size() <= room ? m_stations.size() : room - 1;
    QString text;
    if (m_linesDrawn > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_linesDrawn);
    const int width = nameWidth(columns);
    for (qsizetype i = 0; i < shown; ++i)
        text += QStringLiteral("\r\x1b[K") + liveLine(m_stations[i], columns, width) + u'\n';
    if (shown < m_stations.size())
        text += QStringLiteral("\r\x1b[K") + condensedLine(shown, columns) + u'\n';
    // A block that shrank leaves nothing of its old lines below it.
    text += QStringLiteral("\x1b[J");
    m_linesDrawn = static_cast<int>(std::min(m_stations.size(), room));
    std::fputs(text.toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
}

void FlashConsole::printSummary(qint64 elapsedMilliseconds, int exitStatus) {
    m_redrawTimer.stop();
    redraw();
    const QList<FlashResult> all = results();
    if (m_mode == Mode::Json) {
        std::fprintf(m_out, "%s\n",
                     QJsonDocument(summaryRecord(all, m_run, elapsedMilliseconds, exitStatus))
                         .toJson(QJsonDocument::Compact)
                         .constData());
        std::fflush(m_out);
        return;
    }
    if (all.isEmpty()) {
        std::fputs("\nNo board was programmed.\n", m_out);
        std::fflush(m_out);
        return;
    }
    const int width = nameWidth(m_mode == Mode::Live ? terminalSize(m_out).width()
                                                     : std::numeric_limits<int>::max() / 2);
    QString text = QStringLiteral("\n%1 %2 %3 %4\n")
                       .arg(fitted(QStringLiteral("PORT"), width),
                            QStringLiteral("RESULT").leftJustified(kResultWidth),
                            QStringLiteral("TIME").leftJustified(kTimeWidth),
                            QStringLiteral("FIRST MISMATCH OR FAILURE"));
    int passed = 0;
    int interrupted = 0;
    for (const FlashResult& result : all) {
        passed += result.passed ? 1 : 0;
        interrupted += result.interrupted ? 1 : 0;
        const QString name = resultName(result, m_run.settings);
        const QString detail = result.mismatch ? result.mismatch->shortText()
                               : name == QLatin1StringView("programmed")
                                   ? QStringLiteral("not verified")
                                   : result.failure;
        text += QStringLiteral("%1 %2 %3 %4")
                    .arg(fitted(where(result.port, result.device), width),
                         (result.passed ? name : name.toUpper()).leftJustified(kResultWidth),
                         seconds(result.elapsedMilliseconds).leftJustified(kTimeWidth), detail)
                    .trimmed() +
                u'\n';
        if (const auto& mismatch = result.mismatch) {
            QStringList offsets;
            for (const qint64 offset : mismatch->firstOffsets)
                offsets << offsetText(offset);
            text +=
                QStringLiteral("    %1, at %2 %3%4\n"
                               "    file  @%5: %6\n    flash @%5: %7\n")
                    .arg(mismatch->count == 1
                             ? QStringLiteral("1 byte differs")
                             : QStringLiteral("%1 bytes differ").arg(mismatch->count))
                    .arg(offsets.size() == 1 ? QStringLiteral("offset") : QStringLiteral("offsets"))
                    .arg(offsets.join(QStringLiteral(", ")),
                         mismatch->count > offsets.size() ? QStringLiteral(", ...") : QString())
                    .arg(offsetText(mismatch->contextStart))
                    .arg(hex(mismatch->fileContext), hex(mismatch->flashContext));
            if (const auto& diagnosis = result.diagnosis)
                text += QStringLiteral("    ") + diagnosis->text() + u'\n';
            if (!result.failure.startsWith(QStringLiteral("Flash differs")))
                text += QStringLiteral("    ") + result.failure + u'\n';
        }
    }
    const qsizetype failed = all.size() - passed - interrupted;
    text += QStringLiteral("%1 of %2 %3, %4 failed")
                .arg(passed)
                .arg(plural(all.size(), QStringLiteral("board"), QStringLiteral("boards")))
                .arg(m_run.settings.verify ? QStringLiteral("passed")
                                           : QStringLiteral("programmed, not verified"))
                .arg(failed);
    if (interrupted > 0)
        text += QStringLiteral(", %1 interrupted").arg(interrupted);
    text += u'\n';
    std::fputs(text.toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
}
