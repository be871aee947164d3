#include "target/FlashJob.h"

#include "foundation/RunTimeError.h"

#include <QMetaEnum>

#include <algorithm>
#include <cerrno>

#include <sys/ioctl.h>
#include <termios.h>

using namespace std::chrono_literals;

namespace {

// The sender is held back while this much waits in the port's queue: memory stays small.
constexpr qint64 kQueueLimit = 16 * 1024;
constexpr qint64 kChunk = 4 * 1024;
constexpr auto kDrainPoll = 10ms;
// Start bit, eight data bits, stop bit.
constexpr qint64 kBitsPerByte = 10;
constexpr qsizetype kBoardOutputLimit = 4096;

QString bytes(qint64 count) {
    return count == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(count);
}

QString seconds(qint64 milliseconds) {
    return QString::number(static_cast<double>(milliseconds) / 1000.0, 'f', 2) +
           QStringLiteral(" s");
}

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
    connect(&m_port, &QSerialPort::bytesWritten, this, &FlashJob::pump);
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

void FlashJob::start() {
    m_result.started = QDateTime::currentDateTimeUtc();
    m_clock.start();
    m_phaseClock.start();
    emit phaseChanged();
    m_port.setPortName(m_result.device);
    if (!m_port.open(QIODevice::ReadWrite)) {
        fail(QStringLiteral("%1 could not be opened: error %2 - %3")
                 .arg(where())
                 .arg(int(m_port.error()))
                 .arg(m_port.errorString()));
        return;
    }
    if (!m_port.setBaudRate(m_settings.baud) || !m_port.setDataBits(QSerialPort::Data8) ||
        !m_port.setParity(QSerialPort::NoParity) || !m_port.setStopBits(QSerialPort::OneStop) ||
        !m_port.setFlowControl(QSerialPort::NoFlowControl)) {
        fail(QStringLiteral("%1 refused %2 baud, 8N1: error %3 - %4")
                 .arg(where())
                 .arg(m_settings.baud)
                 .arg(int(m_port.error()))
                 .arg(m_port.errorString()));
        return;
    }
    // What the board printed before anyone listened belongs to no exchange of ours.
    m_port.clear();
    m_port.readAll();
    enterPhase(Phase::Waking);
    m_port.write(TargetProtocol::kWakeUp);
    m_quiet.start(m_settings.settle);
}

void FlashJob::abort(const QString& reason, bool interrupted) {
    if (isFinished())
        return;
    m_result.interrupted = interrupted;
    fail(reason);
}

void FlashJob::enterPhase(Phase phase) {
    m_result.phaseMilliseconds.append({phaseName(m_phase), m_phaseClock.restart()});
    m_phase = phase;
    emit phaseChanged();
}

qint64 FlashJob::progressDone() const {
    switch (m_phase) {
    case Phase::Uploading:
        return std::min(m_handed - m_port.bytesToWrite() - queuedInKernel(),
                        wireBytesSince(m_phaseClock));
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
    case Phase::Settling:
        if (m_result.boardOutput.size() < kBoardOutputLimit)
            m_result.boardOutput += data.left(kBoardOutputLimit - m_result.boardOutput.size());
        // The line has not settled while the board still prints, but a board that never stops
        // must not hold its port for ever.
        if (m_phaseClock.elapsed() > (m_settings.settle + m_settings.timeout).count()) {
            fail(QStringLiteral("The line to %1 did not settle before the %2: error %3 - the "
                                "board kept sending for %4")
                     .arg(where(), m_phase == Phase::Waking ? QStringLiteral("upload")
                                                            : QStringLiteral("readback"))
                     .arg(ETIMEDOUT)
                     .arg(seconds(m_phaseClock.elapsed())));
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
    fail(QStringLiteral("%1 was lost during %2 after %3 sent and %4 received: error %5 (%6) - %7")
             .arg(where(), phaseName(m_phase), bytes(m_result.bytesSent),
                  bytes(m_result.bytesReceived))
             .arg(int(error))
             .arg(QString::fromLatin1(
                      QMetaEnum::fromType<QSerialPort::SerialPortError>().valueToKey(error)),
                  m_port.errorString()));
}

void FlashJob::onQuiet() {
    if (m_phase == Phase::Waking) {
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

void FlashJob::startUpload() {
    m_file.setFileName(m_image.path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        const RunTimeError failure = RunTimeError::fromFile(m_file, m_image.path);
        fail(QStringLiteral("The image could not be opened for the upload: error %1 - %2")
                 .arg(failure.number())
                 .arg(failure.description()));
        return;
    }
    m_handed = 0;
    enterPhase(Phase::Uploading);
    pump();
}

void FlashJob::pump() {
    const qint64 total = m_image.size + TargetProtocol::kExtraByteCount;
    while (m_phase == Phase::Uploading && m_handed < total && m_port.bytesToWrite() < kQueueLimit) {
        QByteArray chunk;
        if (m_handed < m_image.size) {
            chunk = m_file.read(std::min(kChunk, m_image.size - m_handed));
            if (chunk.isEmpty()) {
                fail(QStringLiteral("The image ended after %1 of its %2 during the upload: "
                                    "error %3 - %4")
                         .arg(bytes(m_handed), bytes(m_image.size))
                         .arg(ErrorNumber::InputPastEnd)
                         .arg(m_file.errorString()));
                return;
            }
            m_lastImageByte = chunk.back();
        } else {
            chunk = QByteArray(1, TargetProtocol::extraByte(m_lastImageByte));
        }
        if (m_port.write(chunk) != chunk.size()) {
            fail(QStringLiteral("Sending to %1 failed after %2: error %3 - %4")
                     .arg(where(), bytes(m_handed))
                     .arg(int(m_port.error()))
                     .arg(m_port.errorString()));
            return;
        }
        m_handed += chunk.size();
        m_result.bytesSent = m_handed;
    }
    if (m_phase == Phase::Uploading && m_handed == total && m_file.isOpen()) {
        m_file.close();
        scheduleDrainCheck();
    }
}

// Bytes the port's driver still holds; a pseudo-terminal always says none.
qint64 FlashJob::queuedInKernel() const {
    int queued = 0;
    if (m_port.handle() < 0 || ::ioctl(m_port.handle(), TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
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
    enterPhase(Phase::Settling);
    m_quiet.start(m_settings.settle);
}

void FlashJob::startReadback() {
    m_file.setFileName(m_image.path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        const RunTimeError failure = RunTimeError::fromFile(m_file, m_image.path);
        fail(QStringLiteral("The image could not be opened for the comparison: error %1 - %2")
                 .arg(failure.number())
                 .arg(failure.description()));
        return;
    }
    // What the board printed about the upload is no part of the reply.
    m_port.readAll();
    m_port.clear(QSerialPort::Input);
    m_headerLeft = TargetProtocol::kReplyHeaderLength;
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
    const qint64 header = std::min<qint64>(m_headerLeft, data.size());
    m_headerLeft -= header;
    const qint64 count = std::min(data.size() - header, m_image.size - m_comparator.compared());
    if (count <= 0)
        return;
    const QByteArray expected = m_file.read(count);
    if (expected.size() != count) {
        fail(QStringLiteral("The image ended after %1 of its %2 during the comparison: "
                            "error %3 - %4")
                 .arg(bytes(m_comparator.compared() + std::max<qint64>(expected.size(), 0)),
                      bytes(m_image.size))
                 .arg(ErrorNumber::InputPastEnd)
                 .arg(m_file.errorString()));
        return;
    }
    m_comparator.compare(expected.constData(), data.constData() + header, count);
    if (m_comparator.compared() < m_image.size)
        return;
    if (m_comparator.equal()) {
        pass();
        return;
    }
    m_result.mismatch = m_comparator.mismatch();
    fail(QStringLiteral("Flash differs from the image: %1 (%2 differing)")
             .arg(m_result.mismatch->shortText(), bytes(m_result.mismatch->count)));
}

void FlashJob::onSilence() {
    if (m_phase != Phase::Verifying)
        return;
    const qint64 flash = m_comparator.compared();
    m_result.mismatch = m_comparator.mismatch();
    const QString came =
        m_result.bytesReceived == 0
            ? QStringLiteral("no reply came")
            : QStringLiteral("%1 of %2 flash bytes came (%3 in all), the last %4 into the "
                             "readback")
                  .arg(flash)
                  .arg(m_image.size)
                  .arg(bytes(m_result.bytesReceived), seconds(m_lastReplyAt));
    fail(QStringLiteral("Short reply from %1: error %2 - %3, then the line was silent for %4")
             .arg(where())
             .arg(ErrorNumber::InputPastEnd)
             .arg(came, seconds(m_settings.timeout.count())));
}

void FlashJob::pass() {
    m_result.passed = true;
    finish(Phase::Passed);
}

void FlashJob::fail(const QString& what) {
    m_result.passed = false;
    m_result.failure = what;
    finish(Phase::Failed);
}

void FlashJob::finish(Phase phase) {
    m_quiet.stop();
    m_silence.stop();
    m_drainPoll.stop();
    m_file.close();
    if (m_port.isOpen())
        m_port.close();
    m_result.elapsedMilliseconds = m_clock.elapsed();
    enterPhase(phase);
    emit finished();
}
