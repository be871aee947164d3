#include "transfer/FlashJob.h"

#include "foundation/RunTimeError.h"
#include "serial/PortNames.h"

#include <algorithm>
#include <cerrno>

#include <sys/ioctl.h>
#include <termios.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kDrainPoll = 10ms;
// Start bit, eight data bits, stop bit.
constexpr qint64 kBitsPerByte = 10;
// How long a board has to answer the wake-up, as long as a station waits for a probe's answer.
constexpr auto kWakeAnswerTime = 1000ms;
constexpr qsizetype kBoardOutputLimit = 4096;

} // namespace

FlashJob::FlashJob(const QString& port, const QString& device, const FlashImage& image,
                   const FlashSettings& settings, QObject* parent)
    : QObject(parent), m_image(image), m_settings(settings), m_port(this) {
    m_result.port = port;
    m_result.device = device;
    m_quiet.setSingleShot(true);
    m_silence.setSingleShot(true);
    m_drainPoll.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this, &FlashJob::onQuiet);
    connect(&m_silence, &QTimer::timeout, this, &FlashJob::onSilence);
    connect(&m_drainPoll, &QTimer::timeout, this, &FlashJob::pollDrain);
    connect(&m_port, &QSerialPort::readyRead, this, &FlashJob::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &FlashJob::onError);
    connect(&m_sender, &ImageSender::failed, this, &FlashJob::onSenderFailed);
    connect(&m_sender, &ImageSender::allHanded, this, &FlashJob::onAllHanded);
    connect(&m_receiver, &ReplyReceiver::flashData, this,
            [this](qint64, const char* data, qint64 count) { compareFlash(data, count); });
}

QString FlashJob::phaseName(Phase phase) {
    switch (phase) {
    case Phase::Opening:
        return QStringLiteral("open");
    case Phase::Waking:
        return QStringLiteral("wake");
    case Phase::Uploading:
        return QStringLiteral("upload");
    case Phase::Settling:
        return QStringLiteral("settle");
    case Phase::Verifying:
        return QStringLiteral("verify");
    case Phase::Passed:
        return QStringLiteral("passed");
    case Phase::Failed:
        return QStringLiteral("FAILED");
    }
    return QString();
}

QString FlashJob::where() const {
    return m_result.port == m_result.device
               ? m_result.port
               : QStringLiteral("%1 (%2)").arg(m_result.port, m_result.device);
}

void FlashJob::continueFrom(const FlashResult& previous) {
    m_result.started = previous.started;
    m_result.attemptCount = previous.attemptCount + 1;
    m_result.earlierFailures = previous.earlierFailures;
    m_result.earlierFailures.append(previous.failure);
    m_elapsedBefore = previous.elapsedMilliseconds;
}

void FlashJob::start() {
    if (!m_result.started.isValid())
        m_result.started = QDateTime::currentDateTimeUtc();
    m_clock.start();
    m_phaseClock.start();
    emit phaseChanged();
    m_port.setPortName(m_result.device);
    if (!m_port.open(QIODevice::ReadWrite)) {
        failOpen();
        return;
    }
    if (!m_port.setBaudRate(m_settings.baud) || !m_port.setDataBits(QSerialPort::Data8) ||
        !m_port.setParity(QSerialPort::NoParity) || !m_port.setStopBits(QSerialPort::OneStop) ||
        !m_port.setFlowControl(QSerialPort::NoFlowControl)) {
        fail(QStringLiteral("%1 refused %2 baud, 8N1: %3 - give a rate the adapter supports")
                 .arg(where())
                 .arg(m_settings.baud)
                 .arg(m_port.errorString()),
             FlashFailure::Setup);
        return;
    }
    // What the board printed before anyone listened belongs to no exchange of ours.
    m_port.clear();
    m_port.readAll();
    m_wakeAnswer = 0;
    enterPhase(Phase::Waking);
    m_port.write(TargetProtocol::kWakeUp);
    m_quiet.start(m_settings.settle);
}

void FlashJob::failOpen() {
    const QString system = m_port.errorString();
    switch (m_port.error()) {
    case QSerialPort::PermissionError: {
        QString advice = PortNames::permissionAdvice(m_result.device);
        if (advice.isEmpty())
            advice = QStringLiteral("check who may open it (ls -l %1), then try again")
                         .arg(m_result.device);
        fail(QStringLiteral("%1 could not be opened: %2 - %3").arg(where(), system, advice),
             FlashFailure::Setup);
        return;
    }
    case QSerialPort::UnsupportedOperationError:
        fail(QStringLiteral("%1 could not be opened: it is not a serial device (%2) - give a "
                            "serial device such as /dev/ttyUSB0, or COMn; corvid-flash --list "
                            "lists them")
                 .arg(where(), system),
             FlashFailure::Setup);
        return;
    case QSerialPort::DeviceNotFoundError:
        fail(QStringLiteral("%1 could not be opened: %2 - plug the adapter in, or give another "
                            "port; corvid-flash --list lists them")
                 .arg(where(), system),
             FlashFailure::Setup);
        return;
    default:
        fail(QStringLiteral("%1 could not be opened: %2 - check the adapter, then try again")
                 .arg(where(), system),
             FlashFailure::Setup);
        return;
    }
}

void FlashJob::abort(const QString& reason, bool interrupted) {
    if (isFinished())
        return;
    m_result.interrupted = interrupted;
    fail(reason, FlashFailure::Interrupted);
}

void FlashJob::enterPhase(Phase phase) {
    m_result.phaseMilliseconds.append({phaseName(m_phase), m_phaseClock.restart()});
    m_phase = phase;
    emit phaseChanged();
}

qint64 FlashJob::progressDone() const {
    switch (m_phase) {
    case Phase::Uploading:
        return uploadCarried();
    case Phase::Verifying:
        return m_comparator.compared();
    default:
        return 0;
    }
}

qint64 FlashJob::progressTotal() const {
    switch (m_phase) {
    case Phase::Uploading:
        return m_image.size + TargetProtocol::kExtraByteCount;
    case Phase::Verifying:
        return m_image.size;
    default:
        return 0;
    }
}

void FlashJob::onReadyRead() {
    const QByteArray data = m_port.readAll();
    switch (m_phase) {
    case Phase::Waking:
        m_wakeAnswer += data.size();
        [[fallthrough]];
    case Phase::Settling:
        if (m_result.boardOutput.size() < kBoardOutputLimit)
            m_result.boardOutput += data.left(kBoardOutputLimit - m_result.boardOutput.size());
        // The line has not settled while the board still prints, but a board that never stops
        // must not hold its port for ever.
        if (m_phaseClock.elapsed() > (m_settings.settle + m_settings.timeout).count()) {
            fail(QStringLiteral("The line to %1 did not settle before the %2: the board kept "
                                "sending for %3 - check that the board and the line run at %4 "
                                "baud, then try again")
                     .arg(where(),
                          m_phase == Phase::Waking ? QStringLiteral("upload")
                                                   : QStringLiteral("readback"),
                          TargetProtocol::secondsText(m_phaseClock.elapsed()))
                     .arg(m_settings.baud),
                 FlashFailure::Line);
            break;
        }
        m_quiet.start(m_settings.settle);
        break;
    case Phase::Verifying:
        takeReply(data);
        break;
    default:
        break;
    }
}

void FlashJob::onError(QSerialPort::SerialPortError error) {
    if (error != QSerialPort::ReadError && error != QSerialPort::WriteError &&
        error != QSerialPort::ResourceError)
        return;
    if (isFinished())
        return;
    if (m_phase == Phase::Uploading)
        m_result.bytesSent = uploadCarried();
    fail(lostText(), FlashFailure::Line);
}

// The lost line, with how far the exchange had come; the system's own text for a hang-up
// ("Inappropriate ioctl for device") would only mislead.
QString FlashJob::lostText() const {
    QString when;
    switch (m_phase) {
    case Phase::Opening:
    case Phase::Waking:
        when = m_wakeAnswer > 0
                   ? QStringLiteral("while waking the board, after the wake-up CR went out and %1 "
                                    "came back")
                         .arg(TargetProtocol::byteCount(m_wakeAnswer))
                   : QStringLiteral("while waking the board, after the wake-up CR went out");
        break;
    case Phase::Uploading:
        when = QStringLiteral("during the upload, after %1 of the %2 had gone out")
                   .arg(uploadCarried())
                   .arg(TargetProtocol::byteCount(m_image.size + TargetProtocol::kExtraByteCount));
        break;
    case Phase::Settling:
        when = QStringLiteral("after the upload (all %1 had gone out), while the line settled")
                   .arg(TargetProtocol::byteCount(m_image.size + TargetProtocol::kExtraByteCount));
        break;
    default:
        when = QStringLiteral("during the readback, after %1 of %2 flash bytes came (%3 in all)")
                   .arg(m_comparator.compared())
                   .arg(m_image.size)
                   .arg(TargetProtocol::byteCount(m_result.bytesReceived));
        break;
    }
    return QStringLiteral("The line to %1 was lost %2: the device was removed or hung up - check "
                          "the cable, the adapter and the board's power, then try again")
        .arg(where(), when);
}

void FlashJob::onQuiet() {
    if (m_phase == Phase::Waking) {
        if (m_settings.wakeCheck && m_wakeAnswer == 0) {
            // A busy board may answer after a short settle time: it has until the window ends.
            const qint64 window =
                std::max<qint64>(m_settings.settle.count(), kWakeAnswerTime.count());
            if (m_phaseClock.elapsed() < window) {
                m_quiet.start(std::chrono::milliseconds(window - m_phaseClock.elapsed()));
                return;
            }
            fail(QStringLiteral("No answer from %1 to the wake-up CR: nothing came within %2 - "
                                "check that the board is powered, connected and running its "
                                "monitor at %3 baud, then try again (--no-wake-check for a board "
                                "that prints nothing on CR)")
                     .arg(where(), TargetProtocol::secondsText(window))
                     .arg(m_settings.baud),
                 FlashFailure::Line);
            return;
        }
        if (m_settings.upload)
            startUpload();
        else
            startReadback();
    } else if (m_phase == Phase::Settling) {
        if (m_settings.verify)
            startReadback();
        else
            pass();
    }
}

// Opens the image for a phase; false, with the board failed, when it cannot be read.
bool FlashJob::openImage(const QString& purpose) {
    m_file.setFileName(m_image.path);
    if (m_file.open(QIODevice::ReadOnly))
        return true;
    const RunTimeError failure = RunTimeError::fromFile(m_file, m_image.path);
    fail(QStringLiteral("The image %1 could not be opened for the %2: %3 - check that it is "
                        "still there and readable")
             .arg(m_image.path, purpose, failure.description()),
         FlashFailure::Setup);
    return false;
}

void FlashJob::startUpload() {
    if (!openImage(QStringLiteral("upload")))
        return;
    enterPhase(Phase::Uploading);
    m_sender.start(&m_port, &m_file, m_image.size);
}

void FlashJob::onSenderFailed(ImageSender::Failure failure, const QString& description) {
    if (isFinished())
        return;
    if (failure == ImageSender::Failure::SourceEnded) {
        fail(QStringLiteral("The image %1 ended after %2 of its %3 during the upload: "
                            "%4 - leave the image unchanged while boards are programmed")
                 .arg(m_image.path, TargetProtocol::byteCount(m_sender.handed()),
                      TargetProtocol::byteCount(m_image.size), description),
             FlashFailure::Setup);
        return;
    }
    m_result.bytesSent = uploadCarried();
    fail(QStringLiteral("Sending to %1 failed after %2 had gone out: %3 - check the cable "
                        "and the adapter, then try again")
             .arg(where(), TargetProtocol::byteCount(m_result.bytesSent), description),
         FlashFailure::Line);
}

void FlashJob::onAllHanded() {
    if (m_phase != Phase::Uploading)
        return;
    m_file.close();
    scheduleDrainCheck();
}

// Bytes the port's driver still holds; a pseudo-terminal always says none.
qint64 FlashJob::queuedInKernel() const {
    int queued = 0;
    if (m_port.handle() < 0 || ::ioctl(m_port.handle(), TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

// What the line has carried of the upload: what left the port's queue and the driver's, and
// no more than the line's rate allows, since a pseudo-terminal or an adapter takes bytes at once.
qint64 FlashJob::uploadCarried() const {
    const qint64 handed = m_sender.handed();
    const qint64 left = handed - m_port.bytesToWrite() - queuedInKernel();
    return std::clamp<qint64>(std::min(left, wireBytesSince(m_phaseClock)), 0, handed);
}

// The most a line at the set rate can have carried since the clock started.
qint64 FlashJob::wireBytesSince(const QElapsedTimer& clock) const {
    return clock.elapsed() * m_settings.baud / kBitsPerByte / 1000;
}

// Looks again when the line can have carried the whole upload, or a moment later.
void FlashJob::scheduleDrainCheck() {
    const qint64 total = m_image.size + TargetProtocol::kExtraByteCount;
    const qint64 wireMilliseconds =
        (total * kBitsPerByte * 1000 + m_settings.baud - 1) / m_settings.baud;
    m_drainPoll.start(std::chrono::milliseconds(
        std::max<qint64>(wireMilliseconds - m_phaseClock.elapsed(), kDrainPoll.count())));
}

void FlashJob::pollDrain() {
    // The image has left the machine when the port's queue and the driver's are empty and the
    // line has had the time to carry it: a pseudo-terminal or an adapter's own buffer would
    // otherwise let the request overtake the image.
    const qint64 total = m_image.size + TargetProtocol::kExtraByteCount;
    if (m_port.bytesToWrite() > 0 || queuedInKernel() > 0 || wireBytesSince(m_phaseClock) < total) {
        scheduleDrainCheck();
        return;
    }
    m_result.bytesSent = total;
    enterPhase(Phase::Settling);
    m_quiet.start(m_settings.settle);
}

void FlashJob::startReadback() {
    if (!openImage(QStringLiteral("comparison")))
        return;
    // What the board printed about the upload is no part of the reply.
    m_port.readAll();
    m_port.clear(QSerialPort::Input);
    m_receiver.start(m_image.size);
    enterPhase(Phase::Verifying);
    m_port.write(TargetProtocol::readbackRequest());
    m_result.bytesSent += TargetProtocol::readbackRequest().size();
    m_lastReplyAt = 0;
    m_silence.start(m_settings.timeout);
}

void FlashJob::takeReply(const QByteArray& data) {
    if (data.isEmpty())
        return;
    m_result.bytesReceived += data.size();
    m_lastReplyAt = m_phaseClock.elapsed();
    m_silence.start(m_settings.timeout);
    m_receiver.take(data);
}

void FlashJob::compareFlash(const char* data, qint64 count) {
    if (m_phase != Phase::Verifying)
        return;
    const QByteArray expected = m_file.read(count);
    if (expected.size() != count) {
        fail(QStringLiteral("The image %1 ended after %2 of its %3 during the comparison: %4 - "
                            "leave the image unchanged while boards are programmed")
                 .arg(m_image.path,
                      TargetProtocol::byteCount(m_comparator.compared() +
                                                std::max<qint64>(expected.size(), 0)),
                      TargetProtocol::byteCount(m_image.size), m_file.errorString()),
             FlashFailure::Setup);
        return;
    }
    m_comparator.compare(expected.constData(), data, count);
    if (m_comparator.compared() < m_image.size)
        return;
    if (m_comparator.equal()) {
        pass();
        return;
    }
    m_result.mismatch = m_comparator.mismatch();
    m_result.diagnosis = m_comparator.diagnosis();
    using Kind = TargetProtocol::Diagnosis::Kind;
    const std::optional<Kind> kind =
        m_result.diagnosis ? std::optional(m_result.diagnosis->kind) : std::nullopt;
    const QString advice =
        kind == Kind::Shift ? QStringLiteral("check the line for noise, then verify again")
        : kind == Kind::StuckBit
            ? QStringLiteral("the board's flash or data bus is faulty: set it aside for repair")
            : QStringLiteral("program it again; a board that fails again is faulty");
    fail(
        QStringLiteral("Flash differs from the image: %1 differing, the first at offset 0x%2 "
                       "(the window's \"%3\")%4 - %5")
            .arg(TargetProtocol::byteCount(m_result.mismatch->count),
                 QString::number(m_result.mismatch->firstOffset, 16),
                 m_result.mismatch->shortText(),
                 m_result.diagnosis ? QStringLiteral("; ") + m_result.diagnosis->text() : QString(),
                 advice),
        FlashFailure::Mismatch);
}

void FlashJob::onSilence() {
    if (m_phase != Phase::Verifying)
        return;
    const qint64 flash = m_comparator.compared();
    m_result.mismatch = m_comparator.mismatch();
    TargetProtocol::Diagnosis diagnosis;
    diagnosis.kind = m_result.bytesReceived == 0 ? TargetProtocol::Diagnosis::Kind::NoReply
                                                 : TargetProtocol::Diagnosis::Kind::ShortReply;
    diagnosis.bytes = flash;
    diagnosis.silenceMilliseconds = m_settings.timeout.count();
    m_result.diagnosis = diagnosis;
    if (m_result.bytesReceived == 0) {
        fail(QStringLiteral("No reply from %1 to the readback request: the line was silent for %2 "
                            "after UFD was sent - check that the board is running its monitor at "
                            "%3 baud, then try again")
                 .arg(where(), TargetProtocol::secondsText(m_settings.timeout.count()))
                 .arg(m_settings.baud),
             FlashFailure::Line);
        return;
    }
    fail(QStringLiteral("Short reply from %1: %2 of %3 flash bytes came (%4 in all), the last %5 "
                        "into the readback, then the line was silent for %6 - check the cable "
                        "and the board, then try again")
             .arg(where())
             .arg(flash)
             .arg(m_image.size)
             .arg(TargetProtocol::byteCount(m_result.bytesReceived),
                  TargetProtocol::secondsText(m_lastReplyAt),
                  TargetProtocol::secondsText(m_settings.timeout.count())),
         FlashFailure::Line);
}

void FlashJob::pass() {
    m_result.passed = true;
    finish(Phase::Passed);
}

void FlashJob::fail(const QString& what, FlashFailure kind) {
    m_result.passed = false;
    m_result.failure = what;
    m_result.failureKind = kind;
    finish(Phase::Failed);
}

void FlashJob::finish(Phase phase) {
    m_sender.stop();
    m_quiet.stop();
    m_silence.stop();
    m_drainPoll.stop();
    m_file.close();
    if (m_port.isOpen())
        m_port.close();
    m_result.elapsedMilliseconds = m_elapsedBefore + m_clock.elapsed();
    enterPhase(phase);
    emit finished();
}
