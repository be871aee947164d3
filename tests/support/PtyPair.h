#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;

// A pseudo-terminal pair for serial tests: the program opens the slave side as its serial
// port; the test side holds the master in raw mode, records every byte that reaches it and can
// answer like a target board. Both ends are closed when the pair is destroyed.
class PtyPair : public QObject {
    Q_OBJECT
public:
    PtyPair();
    ~PtyPair() override;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    // Writes bytes to the program; what does not fit now follows from the message loop.
    void send(const QByteArray& bytes);
    void setResponder(std::function<void(const QByteArray&)> responder) {
        m_responder = std::move(responder);
    }
    // Stops reading the line, so that what the program sends piles up in the pseudo-terminal.
    void pauseReading(bool paused);
    // The far end goes away: the master side is closed and the device with it.
    void hangUp();
    // The line is hung up as by a modem dropping its carrier: the device stays, opens are cut.
    void hangUpLine();
    int slaveBaudRate() const;
    bool slaveIsEightNoParityOneStop() const;

private:
    void readMaster();
    void writePending();

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QByteArray m_received;
    QByteArray m_pending;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    std::function<void(const QByteArray&)> m_responder;
};
