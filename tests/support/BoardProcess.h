#pragma once

#include <QProcess>
#include <QStringList>
#include <QtTest>

#include <csignal>

// The simulated target board running as its own process, linked into a program folder as
// COMn; it is stopped when the object goes.
class BoardProcess {
public:
    BoardProcess(const QString& executable, const QStringList& arguments) {
        m_process.start(executable, arguments);
        if (QTest::qWaitFor([this] { return m_process.canReadLine() || hasExited(); }, 5000) &&
            m_process.canReadLine())
            m_device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~BoardProcess() {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    // The pseudo-terminal the board printed, empty when it did not start.
    QString device() const { return m_device; }
    QString log() {
        m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_log;
    }
    bool hasExited() const { return m_process.state() == QProcess::NotRunning; }
    // Sends the board a signal: SIGUSR1 unplugs it, SIGUSR2 plugs a new one in.
    void signal(int number) { ::kill(static_cast<pid_t>(m_process.processId()), number); }

private:
    QProcess m_process;
    QString m_device;
    QString m_log;
};
