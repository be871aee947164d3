#pragma once

#include <QByteArray>
#include <QFrame>
#include <QHash>
#include <QSerialPort>
#include <QVariant>

#include <chrono>

class TerminalDisplay;

// The serial terminal control: one serial port joined to a terminal display. In its terminal
// configuration received bytes are shown; in its capture configuration they are handed to the
// program one at a time through SerialEvent. It reports through its event, its properties and
// thrown failures, and shows no messages itself.
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
    // Opening uses the current port number and line settings; closing first sends what is
    // still queued. Throws when the port cannot be opened or queued bytes could not be sent.
    void setPortIsOpen(bool open);

    qint16 PortNumber() const { return m_portNumber; }
    void setPortNumber(qint16 portNumber);

    // "baud,parity,data bits,stop bits", for example "9600,n,8,1"; throws when malformed.
    QString LineSettings() const { return m_lineSettings; }
    void setLineSettings(const QString& settings);

    // Puts each byte on the line, in order. Holds the caller back (yielding to the message
    // loop, without spinning) while the transmit queue is full. Throws when the port is closed
    // or the line takes nothing for too long.
    void SendText(const QByteArray& bytes) { SendText(bytes.constData(), bytes.size()); }
    void SendText(const char* bytes, qsizetype size);

    // Text for the terminal display, escape sequences included; accepted with the port closed.
    void setDisplayText(const QByteArray& text);

    qint32 EventCode() const { return m_eventCode; }
    qint32 ReceivedCount() const;
    // The oldest waiting byte as a one-element array, removed from the queue; empty when none.
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
    void drainTransmitQueue();
    qint64 kernelQueued() const;
    QString lostCause() const;
    void closeLostPort(QSerialPort::SerialPortError error, const QString& cause);
    void sendTypedKeys(const QByteArray& bytes);
    void waitForTransmitRoom();

    QSerialPort* m_port;
    TerminalDisplay* m_display;
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
    qsizetype m_rxHead = 0;
    qint32 m_eventCode = 0;
    bool m_deliveryPosted = false;
    bool m_inEvent = false;
    bool m_receivePending = false;
    bool m_lostPending = false;
    int m_lostErrorNumber = 0;
    QString m_lostErrorDescription;
};
