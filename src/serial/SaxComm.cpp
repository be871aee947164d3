#include "serial/SaxComm.h"

#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"
#include "serial/PortNames.h"
#include "serial/TerminalDisplay.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#endif

using namespace std::chrono_literals;

namespace {

// Settings whose meaning the control gives them; the rest are only kept.
enum SettingNumber {
    ShowReceived = 6,         // Boolean: received bytes are shown in the display
    ReceiveBufferSize = 59,   // bytes held for the program before the line is left waiting
    SendTypedKeys = 62,       // Boolean: keys typed into the display go out on the line
    TransmitBufferSize = 82,  // upper bound of the transmit queue
    ScrollbackLines = 93,     // lines the display keeps above its screen
    RaiseReceiveEvents = 126, // non-zero: received bytes are held and announced by SerialEvent
};

// How long the line may take no byte at all before sending gives up on it.
constexpr std::chrono::milliseconds kSendStallLimit = 5s;
// How often a close looks whether the system has put the queued bytes on the line.
constexpr std::chrono::milliseconds kDrainPoll = 10ms;
// What closing may take beyond the time the queued bytes need at the line rate.
constexpr std::chrono::milliseconds kDrainSlack = 500ms;

[[noreturn]] void throwInvalidLineSettings(const QString& settings) {
    throw RunTimeError(ErrorNumber::InvalidPropertyValue,
                       QStringLiteral("Invalid property value: line settings \"%1\" are not "
                                      "\"baud,parity,data bits,stop bits\" (e.g. 9600,n,8,1)")
                           .arg(settings));
}

} // namespace

class SaxComm::Transmitter final : public QIODevice {
public:
    explicit Transmitter(SaxComm& comm) : QIODevice(&comm), m_comm(comm) {}
    bool isSequential() const override { return true; }
    qint64 bytesToWrite() const override { return m_comm.unsentCount(); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        if (m_comm.enqueue(data, size))
            return size;
        setErrorString(m_comm.m_lostErrorDescription);
        return -1;
    }

private:
    SaxComm& m_comm;
};

SaxComm::SaxComm(QWidget* parent)
    : QFrame(parent), m_port(new QSerialPort(this)), m_display(new TerminalDisplay(this)),
      m_transmitter(new Transmitter(*this)) {
    setFrameStyle(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_display);
    m_settings.insert(ShowReceived, true);
    m_settings.insert(RaiseReceiveEvents, 0);
    m_settings.insert(SendTypedKeys, true);
    m_settings.insert(63, 0);
    m_settings.insert(ReceiveBufferSize, 1048576);
    m_settings.insert(TransmitBufferSize, kTransmitQueueLimit);
    m_settings.insert(ScrollbackLines, m_display->scrollbackLines());
    m_settings.insert(35, QString());
    m_programFolder = QDir::currentPath();

    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(kSendStallLimit);
    connect(&m_stallTimer, &QTimer::timeout, this, &SaxComm::onStall);
    m_drainTimer.setInterval(kDrainPoll);
    connect(&m_drainTimer, &QTimer::timeout, this, &SaxComm::checkDrained);
    connect(m_port, &QSerialPort::bytesWritten, this, &SaxComm::onBytesWritten);
    connect(m_port, &QSerialPort::readyRead, this, &SaxComm::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &SaxComm::onErrorOccurred);
    connect(m_display, &TerminalDisplay::keyBytes, this, &SaxComm::sendTypedKeys);
}

SaxComm::~SaxComm() {
    closePort();
}

bool SaxComm::PortIsOpen() const {
    return m_port->isOpen();
}

QString SaxComm::portDevice() const {
    return PortNames::deviceFor(m_portNumber, m_programFolder);
}

void SaxComm::setPortIsOpen(bool open) {
    if (open == m_port->isOpen())
        return;
    if (!open) {
        if (m_closing)
            return;
        // The bytes the port has handed to the system are still on their way down the line:
        // ten bits a byte at the line rate, twice over, and some slack for the system.
        const qint64 queued = unsentCount() + kernelQueued();
        const auto lineTime =
            std::chrono::milliseconds(queued * 10 * 1000 * 2 / std::max(1, m_baudRate));
        m_drainDeadline = std::chrono::steady_clock::now() + lineTime + kDrainSlack;
        m_closing = true;
        checkDrained();
        if (m_closing)
            m_drainTimer.start();
        return;
    }

    const QString device = portDevice();
    m_device = device;
    m_port->setPortName(device);
    if (!m_port->open(QIODevice::ReadWrite)) {
        const int number = m_port->error();
        QString reason = m_port->errorString();
        m_port->clearError();
        // A refusal the user can cure gets the cure: the group to join, or the holder to close.
        if (number == QSerialPort::PermissionError) {
            if (const QString advice = PortNames::permissionAdvice(device); !advice.isEmpty())
                reason += QStringLiteral("; ") + advice;
        }
        throw RunTimeError(number, QStringLiteral("COM%1 (%2) could not be opened: %3")
                                       .arg(m_portNumber)
                                       .arg(device, reason));
    }
    try {
        applyLineSettings();
    } catch (...) {
        m_port->close();
        throw;
    }
    // Whatever arrived before the port was opened is not part of this session.
    m_port->clear(QSerialPort::AllDirections);
    m_rxQueue.clear();
    m_txPending.clear();
    m_transmitter->open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    m_lostPending = false;
    m_lostErrorNumber = 0;
    m_lostErrorDescription.clear();
}

void SaxComm::setPortNumber(qint16 portNumber) {
    m_portNumber = portNumber;
}

void SaxComm::setLineSettings(const QString& settings) {
    const QStringList parts = settings.split(u',');
    if (parts.size() != 4)
        throwInvalidLineSettings(settings);
    const std::optional<qint32> baud = NumberText::plainInt32(parts.at(0));
    const QString parity = parts.at(1).trimmed().toLower();
    const QString dataBits = parts.at(2).trimmed();
    const QString stopBits = parts.at(3).trimmed();
    if (!baud || *baud <= 0)
        throwInvalidLineSettings(settings);

    static const QHash<QString, QSerialPort::Parity> parities = {
        {QStringLiteral("n"), QSerialPort::NoParity},
        {QStringLiteral("e"), QSerialPort::EvenParity},
        {QStringLiteral("o"), QSerialPort::OddParity},
        {QStringLiteral("m"), QSerialPort::MarkParity},
        {QStringLiteral("s"), QSerialPort::SpaceParity}};
    static const QHash<QString, QSerialPort::DataBits> dataBitCounts = {
        {QStringLiteral("5"), QSerialPort::Data5},
        {QStringLiteral("6"), QSerialPort::Data6},
        {QStringLiteral("7"), QSerialPort::Data7},
        {QStringLiteral("8"), QSerialPort::Data8}};
    static const QHash<QString, QSerialPort::StopBits> stopBitCounts = {
        {QStringLiteral("1"), QSerialPort::OneStop},
        {QStringLiteral("1.5"), QSerialPort::OneAndHalfStop},
        {QStringLiteral("2"), QSerialPort::TwoStop}};
    if (!parities.contains(parity) || !dataBitCounts.contains(dataBits) ||
        !stopBitCounts.contains(stopBits))
        throwInvalidLineSettings(settings);

    m_baudRate = *baud;
    m_parity = parities.value(parity);
    m_dataBits = dataBitCounts.value(dataBits);
    m_stopBits = stopBitCounts.value(stopBits);
    m_lineSettings = settings;
    if (m_port->isOpen())
        applyLineSettings();
}

void SaxComm::applyLineSettings() {
    const bool applied = m_port->setBaudRate(m_baudRate) && m_port->setParity(m_parity) &&
                         m_port->setDataBits(m_dataBits) && m_port->setStopBits(m_stopBits) &&
                         m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!applied) {
        const int number = m_port->error();
        const QString reason = m_port->errorString();
        m_port->clearError();
        throw RunTimeError(number, QStringLiteral("COM%1 (%2) does not accept the line settings "
                                                  "%3: %4")
                                       .arg(m_portNumber)
                                       .arg(m_device, m_lineSettings, reason));
    }
}

void SaxComm::SendText(const char* bytes, qsizetype size) {
    requireOpen();
    enqueue(bytes, size);
}

void SaxComm::requireOpen() const {
    if (m_port->isOpen() && !m_closing)
        return;
    if (m_lostErrorNumber != 0)
        throw RunTimeError(m_lostErrorNumber, m_lostErrorDescription);
    throw RunTimeError(ErrorNumber::PortNotOpen,
                       QStringLiteral("COM%1 is not open").arg(m_portNumber));
}

qint64 SaxComm::unsentCount() const {
    return m_txPending.size() + m_port->bytesToWrite();
}

QIODevice* SaxComm::transmitter() const {
    return m_transmitter;
}

bool SaxComm::enqueue(const char* bytes, qint64 size) {
    if (!m_port->isOpen() || m_closing)
        return false;
    m_txPending.append(bytes, size);
    pumpTransmitQueue();
    return true;
}

void SaxComm::pumpTransmitQueue() {
    // Each call is one write to the port while it has room, so what is sent in two calls goes
    // to the port as two writes.
    const qint64 room = m_transmitLimit - m_port->bytesToWrite();
    const qint64 chunk = std::min<qint64>(room, m_txPending.size());
    if (chunk > 0) {
        if (m_port->write(m_txPending.constData(), chunk) != chunk) {
            closeLostPort(QSerialPort::WriteError, lostCause());
            return;
        }
        m_txPending.remove(0, chunk);
    }
    if (unsentCount() > 0 && !m_stallTimer.isActive())
        m_stallTimer.start();
}

void SaxComm::onBytesWritten(qint64 bytes) {
    m_stallTimer.stop();
    if (!m_txPending.isEmpty())
        pumpTransmitQueue();
    else if (m_port->bytesToWrite() > 0)
        m_stallTimer.start();
    emit m_transmitter->bytesWritten(bytes);
}

void SaxComm::onStall() {
    if (!m_port->isOpen() || unsentCount() == 0)
        return;
    closeLostPort(
        QSerialPort::TimeoutError,
        QStringLiteral("the line took no data for %1 seconds")
            .arg(std::chrono::duration_cast<std::chrono::seconds>(kSendStallLimit).count()));
}

qint64 SaxComm::kernelQueued() const {
#ifdef Q_OS_UNIX
    int queued = 0;
    if (m_port->isOpen() && ::ioctl(m_port->handle(), TIOCOUTQ, &queued) == 0)
        return queued;
#endif
    return 0;
}

void SaxComm::checkDrained() {
    if (!m_closing)
        return;
    const bool drained = !m_port->isOpen() || (unsentCount() == 0 && kernelQueued() == 0);
    if (drained || std::chrono::steady_clock::now() >= m_drainDeadline)
        finishClose();
}

void SaxComm::finishClose() {
    // A line lost meanwhile is announced by its own event; the close has nothing to add.
    const qint64 unsent = m_port->isOpen() ? unsentCount() + kernelQueued() : 0;
    closePort();
    m_closing = false;
    if (unsent > 0)
        emit portClosed(QSerialPort::TimeoutError,
                        QStringLiteral("COM%1 (%2) was closed with %3 bytes not sent: the line "
                                       "took no more data")
                            .arg(m_portNumber)
                            .arg(m_device)
                            .arg(unsent));
    else
        emit portClosed(0, QString());
}

void SaxComm::closePort() {
    m_drainTimer.stop();
    m_stallTimer.stop();
    m_txPending.clear();
    if (m_port->isOpen())
        m_port->close();
    m_transmitter->close();
}

void SaxComm::setDisplayText(const QByteArray& text) {
    m_display->write(text);
}

qint32 SaxComm::ReceivedCount() const {
    return static_cast<qint32>(m_rxQueue.size());
}

QByteArray SaxComm::ReceivedData() {
    QByteArray bytes = std::exchange(m_rxQueue, {});
    // The queue has room again: take what the port has been holding back.
    if (!bytes.isEmpty() && m_port->isOpen() && m_port->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &SaxComm::onReadyRead, Qt::QueuedConnection);
    return bytes;
}

QVariant SaxComm::Setting(int number) const {
    return m_settings.value(number);
}

void SaxComm::setSetting(int number, const QVariant& value) {
    m_settings.insert(number, value);
    switch (number) {
    case ScrollbackLines:
        m_display->setScrollbackLines(std::max(0, value.toInt()));
        break;
    case ReceiveBufferSize:
        m_port->setReadBufferSize(std::max<qint64>(0, value.toLongLong()));
        break;
    case TransmitBufferSize:
        m_transmitLimit = std::clamp<qint64>(value.toLongLong(), 1, kTransmitQueueLimit);
        break;
    case RaiseReceiveEvents:
    case ShowReceived:
        // Bytes may be waiting in the port for a configuration that takes them.
        if (m_port->isOpen() && m_port->bytesAvailable() > 0)
            QMetaObject::invokeMethod(this, &SaxComm::onReadyRead, Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

bool SaxComm::displaysReceivedBytes() const {
    return Setting(ShowReceived).toBool();
}

bool SaxComm::capturesReceivedBytes() const {
    return Setting(RaiseReceiveEvents).toInt() != 0;
}

qint64 SaxComm::receiveQueueLimit() const {
    const qint64 limit = Setting(ReceiveBufferSize).toLongLong();
    return limit > 0 ? limit : 1048576;
}

void SaxComm::onReadyRead() {
    if (!m_port->isOpen())
        return;
    const bool capture = capturesReceivedBytes();
    const bool show = displaysReceivedBytes();
    if (!capture && !show)
        return; // held in the port until a configuration takes them
    qint64 wanted = m_port->bytesAvailable();
    if (capture)
        wanted = std::min<qint64>(wanted, receiveQueueLimit() - ReceivedCount());
    if (wanted <= 0)
        return;
    const QByteArray bytes = m_port->read(wanted);
    if (show)
        m_display->write(bytes);
    if (capture) {
        m_rxQueue.append(bytes);
        m_receivePending = true;
        scheduleDelivery();
    }
}

void SaxComm::scheduleDelivery() {
    if (m_deliveryPosted)
        return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(this, &SaxComm::deliverEvents, Qt::QueuedConnection);
}

void SaxComm::deliverEvents() {
    m_deliveryPosted = false;
    // The event is never raised inside its own handler: what arrives meanwhile is announced
    // once the handler has returned.
    if (m_inEvent)
        return;
    if (m_receivePending) {
        m_receivePending = false;
        if (ReceivedCount() > 0)
            raise(comEvReceive);
    }
    if (m_lostPending && !m_inEvent) {
        m_lostPending = false;
        raise(comEvDeviceLost);
    }
}

void SaxComm::raise(qint32 code) {
    m_inEvent = true;
    m_eventCode = code;
    emit SerialEvent();
    m_inEvent = false;
    if (m_receivePending || m_lostPending)
        scheduleDelivery();
}

void SaxComm::onErrorOccurred(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError:
        if (m_port->isOpen())
            closeLostPort(error, lostCause());
        break;
    default:
        break;
    }
}

QString SaxComm::lostCause() const {
    // When a read merely finds the end of the line, the port's own text describes whatever
    // system call failed last, not the loss; the device node and the line say what happened.
    if (!QFileInfo::exists(m_device))
        return QStringLiteral("the device was removed");
#ifdef Q_OS_UNIX
    pollfd line{static_cast<int>(m_port->handle()), POLLIN, 0};
    if (::poll(&line, 1, 0) == 1 && (line.revents & POLLHUP))
        return QStringLiteral("the device hung up");
#endif
    return m_port->errorString();
}

void SaxComm::closeLostPort(QSerialPort::SerialPortError error, const QString& cause) {
    m_lostErrorNumber = error;
    m_lostErrorDescription = QStringLiteral("The connection on COM%1 (%2) was lost: %3")
                                 .arg(m_portNumber)
                                 .arg(m_device, cause);
    // The port reports the same error again and again while it stays open.
    closePort();
    m_port->clearError();
    m_lostPending = true;
    emit lineLost();
    scheduleDelivery();
    if (m_closing)
        finishClose();
}

void SaxComm::sendTypedKeys(const QByteArray& bytes) {
    if (!m_port->isOpen() || !Setting(SendTypedKeys).toBool())
        return;
    try {
        SendText(bytes);
    } catch (const std::exception&) {
        // A lost line is announced by its own event; a typed key has nothing more to say.
    }
}

void SaxComm::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    m_display->setGeometry(contentsRect());
}
