#include "target/FlashReport.h"

#include "foundation/RunTimeError.h"
#include "target/PortStation.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>

#include <sys/ioctl.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kRedrawInterval = 100ms;
constexpr int kBarWidth = 24;

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' '));
}

QString seconds(qint64 milliseconds) {
    return QString::number(static_cast<double>(milliseconds) / 1000.0, 'f', 1) +
           QStringLiteral(" s");
}

QString rate(qint64 done, qint64 milliseconds) {
    if (milliseconds <= 0)
        return QString();
    const double perSecond = static_cast<double>(done) * 1000.0 / static_cast<double>(milliseconds);
    return perSecond >= 10000 ? QStringLiteral("%1 kB/s").arg(perSecond / 1000.0, 0, 'f', 1)
                              : QStringLiteral("%1 B/s").arg(perSecond, 0, 'f', 0);
}

// A live line longer than the terminal would wrap, and the redraw would climb too few lines.
int terminalColumns(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        return size.ws_col;
    return 80;
}

QString where(const QString& port, const QString& device) {
    return port == device ? port : QStringLiteral("%1 (%2)").arg(port, device);
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

} // namespace

QJsonObject resultRecord(const FlashResult& result, const FlashImage& image,
                         const FlashSettings& settings) {
    QJsonObject phases;
    for (const auto& [name, milliseconds] : result.phaseMilliseconds)
        phases.insert(name, milliseconds);
    QJsonObject record{
        {QStringLiteral("time"), result.started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("host"), QSysInfo::machineHostName()},
        {QStringLiteral("port"), result.port},
        {QStringLiteral("device"), result.device},
        {QStringLiteral("image"), image.path},
        {QStringLiteral("size"), image.size},
        {QStringLiteral("sha256"), QString::fromLatin1(image.sha256.toHex())},
        {QStringLiteral("baud"), settings.baud},
        {QStringLiteral("phases_ms"), phases},
        {QStringLiteral("elapsed_ms"), result.elapsedMilliseconds},
        {QStringLiteral("result"), result.passed ? QStringLiteral("pass") : QStringLiteral("fail")},
        {QStringLiteral("bytes_sent"), result.bytesSent},
        {QStringLiteral("bytes_received"), result.bytesReceived},
    };
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

bool FlashLog::open(const QString& path, QString& error) {
    m_file.setFileName(path);
    // Unbuffered, so that each line goes to the file in one write at the end of the file.
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return true;
    const RunTimeError failure = RunTimeError::fromFile(m_file, path);
    error = QStringLiteral("The log could not be opened: error %1 - %2")
                .arg(failure.number())
                .arg(failure.description());
    return false;
}

bool FlashLog::append(const QJsonObject& record, QString& error) {
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (m_file.write(line) == line.size())
        return true;
    error = QStringLiteral("Writing the log %1 failed: error %2 - %3")
                .arg(m_file.fileName())
                .arg(int(m_file.error()))
                .arg(m_file.errorString());
    return false;
}

FlashConsole::FlashConsole(Mode mode, const FlashImage& image, const FlashSettings& settings,
                           std::FILE* out, QObject* parent)
    : QObject(parent), m_mode(mode), m_image(image), m_settings(settings), m_out(out) {
    m_redrawTimer.setInterval(kRedrawInterval);
    connect(&m_redrawTimer, &QTimer::timeout, this, &FlashConsole::redraw);
    if (m_mode == Mode::Live)
        m_redrawTimer.start();
}

void FlashConsole::addStation(PortStation* station) {
    m_stations.append(station);
    connect(station, &PortStation::jobStarted, this,
            [this, station](FlashJob* job) { onJobStarted(station, job); });
    connect(station, &PortStation::jobFinished, this,
            [this, station](FlashJob* job) { onJobFinished(station, job); });
    connect(station, &PortStation::stateChanged, this,
            [this, station] { onStateChanged(station); });
}

void FlashConsole::plainLine(const QString& text) {
    if (m_mode != Mode::Plain)
        return;
    std::fprintf(m_out, "%s\n", qPrintable(text));
    std::fflush(m_out);
}

void FlashConsole::onJobStarted(PortStation*, FlashJob* job) {
    connect(job, &FlashJob::phaseChanged, this, [this, job] {
        if (job->isFinished())
            return;
        const FlashResult& result = job->result();
        QString text = where(result.port, result.device) + QStringLiteral(": ") +
                       FlashJob::phaseName(job->phase());
        if (job->phase() == FlashJob::Phase::Uploading)
            text += QStringLiteral(" %1 bytes").arg(job->progressTotal());
        plainLine(text);
    });
}

void FlashConsole::onJobFinished(PortStation* station, FlashJob* job) {
    const FlashResult& result = job->result();
    m_results.append(result);
    if (m_mode == Mode::Json) {
        std::fprintf(m_out, "%s\n",
                     QJsonDocument(resultRecord(result, m_image, m_settings))
                         .toJson(QJsonDocument::Compact)
                         .constData());
        std::fflush(m_out);
        return;
    }
    plainLine(where(result.port, result.device) +
              (result.passed
                   ? QStringLiteral(": passed in %1").arg(seconds(result.elapsedMilliseconds))
                   : QStringLiteral(": FAILED: %1").arg(result.failure)) +
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

QString FlashConsole::liveLine(const PortStation* station) const {
    const FlashJob* job = station->job();
    const std::optional<FlashResult>& last = station->lastResult();
    // While the port waits for the next board, the last board's device is no longer there.
    const FlashResult* shown = job ? &job->result()
                               : last && station->state() != PortStation::State::WaitingForBoard
                                   ? &*last
                                   : nullptr;
    QString line =
        (shown ? where(shown->port, shown->device) : station->port()).leftJustified(24) + u' ';
    if (job) {
        const qint64 done = job->progressDone();
        const qint64 total = job->progressTotal();
        line += FlashJob::phaseName(job->phase()).leftJustified(7);
        if (total > 0) {
            const int filled = static_cast<int>(done * kBarWidth / total);
            line += QStringLiteral(" [%1%2] %3% %4")
                        .arg(QString(filled, u'#'), QString(kBarWidth - filled, u'.'))
                        .arg(done * 100 / total, 3)
                        .arg(rate(done, job->phaseElapsed()));
        }
    } else if (last && station->state() != PortStation::State::WaitingForBoard) {
        line += last->passed
                    ? QStringLiteral("passed in %1").arg(seconds(last->elapsedMilliseconds))
                    : QStringLiteral("FAILED: %1")
                          .arg(last->mismatch ? last->mismatch->shortText() : last->failure);
        if (station->state() == PortStation::State::WaitingForRemoval)
            line += QStringLiteral(", ") + stateText(station);
    } else {
        line += stateText(station);
    }
    if (station->watching())
        line += QStringLiteral("  [passed %1, failed %2]")
                    .arg(station->passed())
                    .arg(station->failed());
    return line;
}

void FlashConsole::redraw() {
    if (m_mode != Mode::Live)
        return;
    QString text;
    if (m_linesDrawn > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_linesDrawn);
    const int columns = terminalColumns(m_out);
    for (const PortStation* station : m_stations)
        text += QStringLiteral("\r\x1b[K") + liveLine(station).left(columns - 1) + u'\n';
    m_linesDrawn = static_cast<int>(m_stations.size());
    std::fputs(text.toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
}

void FlashConsole::printSummary() {
    m_redrawTimer.stop();
    redraw();
    if (m_mode == Mode::Json)
        return;
    int passed = 0;
    QString text =
        QStringLiteral("\n%1 %2 %3 %4\n")
            .arg(QStringLiteral("PORT").leftJustified(28),
                 QStringLiteral("RESULT").leftJustified(7), QStringLiteral("TIME").leftJustified(8),
                 QStringLiteral("FIRST MISMATCH OR FAILURE"));
    for (const FlashResult& result : m_results) {
        passed += result.passed ? 1 : 0;
        QString detail = result.mismatch ? result.mismatch->shortText() : result.failure;
        text += QStringLiteral("%1 %2 %3 %4\n")
                    .arg(where(result.port, result.device).leftJustified(28),
                         (result.passed ? QStringLiteral("pass") : QStringLiteral("FAIL"))
                             .leftJustified(7),
                         seconds(result.elapsedMilliseconds).leftJustified(8), detail)
                    .trimmed() +
                u'\n';
        if (const auto& mismatch = result.mismatch) {
            QStringList offsets;
            for (const qint64 offset : mismatch->firstOffsets)
                offsets << QString::number(offset);
            text += QStringLiteral("    %1 differing, at offsets %2%3\n"
                                   "    file  @%4: %5\n    flash @%4: %6\n")
                        .arg(mismatch->count == 1 ? QStringLiteral("1 byte")
                                                  : QStringLiteral("%1 bytes").arg(mismatch->count))
                        .arg(offsets.join(QStringLiteral(", ")),
                             mismatch->count > offsets.size() ? QStringLiteral(", ...") : QString())
                        .arg(mismatch->contextStart)
                        .arg(hex(mismatch->fileContext), hex(mismatch->flashContext));
            if (!result.failure.startsWith(QStringLiteral("Flash differs")))
                text += QStringLiteral("    ") + result.failure + u'\n';
        }
    }
    text += QStringLiteral("%1 of %2 boards passed, %3 failed\n")
                .arg(passed)
                .arg(m_results.size())
                .arg(m_results.size() - passed);
    std::fputs(text.toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
}
