#pragma once

#include <QByteArray>
#include <QFrame>
#include <QHash>
#include <QSerialPort>
#include <QTimer>
#include <QVariant>

#include <chrono>

class QIODevice;
class TerminalDisplay;

// The serial terminal control: one serial port joined to a terminal display. In its terminal
// configuration received bytes are shown; in its capture configuration they are held for the
// program and announced through SerialEvent. Everything it sends goes through one transmit queue
// that the port drains as the line takes bytes; nothing it does waits for the line. It reports
// through its event, its signals, its properties and thrown failures, and shows no messages.
class SaxComm : public QFrame {
    Q_OBJECT
public:
    // Event codes.
    static constexpr qint32 comEvReceive = 2;
    // The device went away (unplugged, far end closed): the port has been closed.
    static constexpr qint32 comEvDeviceLost = 1100;

    // Transmit bytes the control lets queue before it holds the sender back.
    static constexpr qint64 kTransmitQueueLimit = 4096;

    explicit SaxComm(QWidget* parent = nullptr);
    ~SaxComm() override;

    bool PortIsOpen() const;
    // Opening uses the current port number and line settings, and throws when the port cannot
    // be opened. Closing returns at once: the port closes when what is queued has gone down the
    // line, or when the line has had twice the time it needs for it, and portClosed says so.
    void setPortIsOpen(bool open);
    // True from a close asked for until the port has closed.
    bool isClosing() const { return m_closing; }

    qint16 PortNumber() const { return m_portNumber; }
    void setPortNumber(qint16 portNumber);

    // "baud,parity,data bits,stop bits", for example "9600,n,8,1"; throws when malformed.
    QString LineSettings() const { return m_lineSettings; }
    void setLineSettings(const QString& settings);

    // Queues each byte for the line, in order, and returns at once. Throws when the port is
    // closed or closing. A line that takes nothing for too long is lost, as an unplugged one.
    void SendText(const QByteArray& bytes) { SendText(bytes.constData(), bytes.size()); }
    void SendText(const char* bytes, qsizetype size);
    // Throws what SendText would throw when the port takes no bytes now.
    void requireOpen() const;
    // Bytes queued and not yet handed to the system.
    qint64 unsentCount() const;
    // A write-only device over the transmit queue, open while the port is, for a sender that
    // follows back-pressure: its bytesToWrite() is the queue and bytesWritten() follows the
    // line; it closes (aboutToClose) when the port does.
    QIODevice* transmitter() const;
    // The transmit queue's bound, as the settings give it.
    qint64 transmitLimit() const { return m_transmitLimit; }

    // Text for the terminal display, escape sequences included; accepted with the port closed.
    void setDisplayText(const QByteArray& text);

    qint32 EventCode() const { return m_eventCode; }
    qint32 ReceivedCount() const;
    // Every waiting received byte, oldest first, removed from the queue; empty when none.
    QByteArray ReceivedData();

    // The numbered settings; unknown numbers are kept and read back.
    QVariant Setting(int number) const;
    void setSetting(int number, const QVariant& value);

    void setSetting2(qint32 value) { setSetting(2, value); }
    void setSetting6(bool value) { setSetting(6, value); }
    QString Setting35() const { return Setting(35).toString(); }
    void setSetting35(const QString& value) { setSetting(35, value); }
    void setSetting59(qint32 value) { setSetting(59, value); }
    void setSetting62(bool value) { setSetting(62, value); }
    void setSetting63(qint32 value) { setSetting(63, value); }
    void setSetting82(qint32 value) { setSetting(82, value); }
    void setSetting93(qint32 value) { setSetting(93, value); }
    void setSetting98(qint32 value) { setSetting(98, value); }
    void setSetting111(qint32 value) { setSetting(111, value); }
    void setSetting126(qint32 value) { setSetting(126, value); }

    // The folder in which COMn links are looked for.
    void setProgramFolder(const QString& folder) { m_programFolder = folder; }
    // The device that the current port number stands for.
    QString portDevice() const;

    // The failure that closed the port when the device was lost.
    int lostErrorNumber() const { return m_lostErrorNumber; }
    QString lostErrorDescription() const { return m_lostErrorDescription; }
    // True from the loss of the device until its event has been raised.
    bool lostEventPending() const { return m_lostPending; }

    TerminalDisplay* display() const { return m_display; }

signals:
    void SerialEvent();
    // The port closed after setPortIsOpen(false). errorNumber is 0 when everything queued went
    // down the line; otherwise description says how many bytes were left.
    void portClosed(int errorNumber, const QString& description);
    // The line was lost and the port closed; its event follows once the program is back in the
    // message loop.
    void lineLost();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    bool displaysReceivedBytes() const;
    bool capturesReceivedBytes() const;
    qint64 receiveQueueLimit() const;
    void applyLineSettings();
    void onReadyRead();
    void onErrorOccurred(QSerialPort::SerialPortError error);
    void scheduleDelivery();
    void deliverEvents();
    void raise(qint32 code);
    qint64 kernelQueued() const;
    QString lostCause() const;
    void closeLostPort(QSerialPort::SerialPortError error, const QString& cause);
    void sendTypedKeys(const QByteArray& bytes);
    bool enqueue(const char* bytes, qint64 size);
    void pumpTransmitQueue();
    void onBytesWritten(qint64 bytes);
    void onStall();
    void checkDrained();
    void finishClose();
    void closePort();

    class Transmitter;

    QSerialPort* m_port;
    TerminalDisplay* m_display;
    Transmitter* m_transmitter;
    // Bytes waiting for room in the port's own queue.
    QByteArray m_txPending;
    QTimer m_stallTimer;
    QTimer m_drainTimer;
    std::chrono::steady_clock::time_point m_drainDeadline;
    bool m_closing = false;
    QString m_programFolder;
    // The device the port was last opened on, as messages name it.
    QString m_device;
    qint16 m_portNumber = 1;
    QString m_lineSettings = QStringLiteral("9600,n,8,1");
    qint32 m_baudRate = 9600;
    QSerialPort::Parity m_parity = QSerialPort::NoParity;
    QSerialPort::DataBits m_dataBits = QSerialPort::Data8;
    QSerialPort::StopBits m_stopBits = QSerialPort::OneStop;
    QHash<int, QVariant> m_settings;
    // The transmit queue's bound as the settings give it, kept at hand for every byte sent.
    qint64 m_transmitLimit = kTransmitQueueLimit;

    QByteArray m_rxQueue;
    qint32 m_eventCode = 0;
    bool m_deliveryPosted = false;
    bool m_inEvent = false;
    bool m_receivePending = false;
    bool m_lostPending = false;
    int m_lostErrorNumber = 0;
    QString m_lostErrorDescription;
};
