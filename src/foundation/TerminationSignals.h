#pragma once

#include <QList>
#include <QObject>

#include <memory>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (a service manager stopping the program, Ctrl+C in the
// terminal that started it, a session ending) into a signal from the message loop, so the
// program can end the way it ends by itself: ports drained and closed, records and settings
// written. Which signal came is passed along, since Ctrl+C and a stop request may mean
// different things and give different exit statuses. A program may watch other signals the same
// way (the simulated board is unplugged and plugged in by SIGUSR1 and SIGUSR2).
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    TerminationSignals(const QList<int>& signalNumbers, QObject* parent);
    ~TerminationSignals() override;

    // False when the handlers could not be installed; the reason is in errno.
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void terminationRequested(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    QList<int> m_signalNumbers;
};
