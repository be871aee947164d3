#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The simulated target board running as its own process, linked into a program folder as
// COMn; it is stopped when the object goes.
class BoardProcess {
public:
    BoardProcess(const QString& executable, const QStringList& arguments);
    ~BoardProcess();
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    // The pseudo-terminal the board printed, empty when it did not start.
    QString device() const { return m_device; }
    // Everything the board has logged so far.
    QString log();
    bool hasExited() const { return m_process.state() == QProcess::NotRunning; }
    // Sends the board a signal: SIGUSR1 unplugs it, SIGUSR2 plugs a new one in.
    void signal(int number);

private:
    QProcess m_process;
    QString m_device;
    QString m_log;
};
