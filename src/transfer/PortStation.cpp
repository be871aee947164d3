#include "transfer/PortStation.h"

#include "serial/PortNames.h"

#include <QFileInfo>
#include <QRegularExpression>

using namespace std::chrono_literals;

namespace {

constexpr auto kProbeInterval = 250ms;
constexpr auto kProbeAnswerTime = 1000ms;
// A board that stays on the port but answers this many probes in a row no longer is gone.
constexpr int kUnansweredProbesForRemoval = 3;

} // namespace

QString resolvePortName(const QString& port, const QString& programFolder) {
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch match = comName.match(port); match.hasMatch())
        return PortNames::deviceFor(match.captured(1).toInt(), programFolder);
    const QFileInfo link(port);
    if (link.isSymLink()) {
        const QString target = link.canonicalFilePath();
        return target.isEmpty() ? link.symLinkTarget() : target;
    }
    return link.absoluteFilePath();
}

PortStation::PortStation(const QString& port, const QString& programFolder, const FlashImage& image,
                         const FlashSettings& settings, bool watch, QObject* parent)
    : QObject(parent), m_port(port), m_programFolder(programFolder), m_image(image),
      m_settings(settings), m_watch(watch), m_probe(this) {
    m_probeTimer.setSingleShot(true);
    m_probeTimer.setInterval(kProbeInterval);
    m_answerTimer.setSingleShot(true);
    m_answerTimer.setInterval(kProbeAnswerTime);
    connect(&m_probeTimer, &QTimer::timeout, this, &PortStation::probe);
    connect(&m_answerTimer, &QTimer::timeout, this, &PortStation::onProbeUnanswered);
    connect(&m_probe, &QSerialPort::readyRead, this, &PortStation::onProbeAnswered);
    connect(&m_probe, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) {
                // A node that goes away while it is probed is an unanswered probe, reported once.
                if (m_probe.isOpen() &&
                    (error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
                     error == QSerialPort::ResourceError))
                    onProbeUnanswered();
            });
}

QString PortStation::device() const {
    return resolvePortName(m_port, m_programFolder);
}

void PortStation::start() {
    if (m_watch) {
        setState(State::WaitingForBoard);
        probe();
    } else {
        startJob();
    }
}

void PortStation::stop() {
    m_stopRequested = true;
    if (m_state == State::Programming || m_state == State::Stopped)
        return;
    endProbe();
    m_probeTimer.stop();
    setState(State::Stopped);
    emit stopped();
}

void PortStation::abort(const QString& reason, bool interrupted) {
    stop();
    if (m_job)
        m_job->abort(reason, interrupted);
}

void PortStation::setState(State state) {
    m_state = state;
    emit stateChanged();
}

void PortStation::setWaiting(Waiting waiting) {
    if (m_waiting == waiting)
        return;
    m_waiting = waiting;
    if (m_state == State::WaitingForBoard)
        emit stateChanged();
}

// Another attempt may help where the line failed; never after an interrupt or a stop.
bool PortStation::shouldRetry(const FlashResult& result) const {
    if (result.passed || m_stopRequested || result.attemptCount > m_settings.retries)
        return false;
    return result.failureKind == FlashFailure::Line ||
           (result.failureKind == FlashFailure::Mismatch && m_settings.retryMismatch);
}

void PortStation::startJob(const FlashResult* previous) {
    m_job = new FlashJob(m_port, device(), m_image, m_settings, this);
    if (previous)
        m_job->continueFrom(*previous);
    connect(m_job, &FlashJob::finished, this, &PortStation::onJobFinished);
    setState(State::Programming);
    emit jobStarted(m_job);
    m_job->start();
}

void PortStation::onJobFinished() {
    FlashJob* job = m_job;
    if (shouldRetry(job->result())) {
        const FlashResult previous = job->result();
        job->deleteLater();
        startJob(&previous);
        return;
    }
    m_lastResult = job->result();
    if (job->result().passed)
        ++m_passed;
    else
        ++m_failed;
    emit jobFinished(job);
    // The job may be inside its own port's signal: it goes once that has returned.
    job->deleteLater();
    m_job = nullptr;
    if (!m_watch || m_stopRequested) {
        setState(State::Stopped);
        emit stopped();
        return;
    }
    m_unanswered = 0;
    m_waiting = Waiting::Probing;
    setState(State::WaitingForRemoval);
    m_probeTimer.start();
}

void PortStation::probe() {
    const QString node = device();
    if (!QFileInfo::exists(node)) {
        if (m_state == State::WaitingForRemoval) {
            m_waiting = Waiting::DeviceMissing;
            setState(State::WaitingForBoard);
        } else {
            setWaiting(Waiting::DeviceMissing);
        }
        m_probeTimer.start();
        return;
    }
    m_probe.setPortName(node);
    if (!m_probe.open(QIODevice::ReadWrite) || !m_probe.setBaudRate(m_settings.baud)) {
        endProbe();
        onProbeUnanswered();
        return;
    }
    m_probe.clear();
    m_probe.readAll();
    m_probe.write(TargetProtocol::kWakeUp);
    m_answerTimer.start();
}

void PortStation::endProbe() {
    m_answerTimer.stop();
    if (m_probe.isOpen())
        m_probe.close();
}

void PortStation::onProbeAnswered() {
    if (!m_probe.isOpen() || m_probe.readAll().isEmpty())
        return;
    endProbe();
    if (m_state == State::WaitingForBoard) {
        startJob();
        return;
    }
    m_unanswered = 0;
    m_probeTimer.start();
}

void PortStation::onProbeUnanswered() {
    endProbe();
    if (m_state == State::WaitingForRemoval && ++m_unanswered >= kUnansweredProbesForRemoval) {
        m_waiting = Waiting::NoAnswer;
        setState(State::WaitingForBoard);
    } else if (m_state == State::WaitingForBoard) {
        setWaiting(Waiting::NoAnswer);
    }
    if (m_state != State::Stopped)
        m_probeTimer.start();
}
