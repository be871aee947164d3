#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (a service manager stopping the program, Ctrl+C in the
// terminal that started it, a session ending) into a signal from the message loop, so the
// program can end the way it ends by itself: ports drained and closed, records and settings
// written. Which signal came is passed along, since Ctrl+C and a stop request may mean
// different things and give different exit statuses.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the handlers could not be installed; the reason is in errno.
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void terminationRequested(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
