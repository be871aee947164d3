#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The simulated target board running as its own process, linked into a program folder as
// COMn; it is stopped when the object goes. With record, it keeps every byte it receives.
class BoardProcess {
public:
    BoardProcess(const QString& executable, const QStringList& arguments, bool record = false) {
        m_process.start(executable,
                        record ? arguments + QStringList{QStringLiteral("--record"), recordPath()}
                               : arguments);
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
    // Every byte the board has received so far, in order (with record).
    QByteArray received() const {
        QFile file(recordPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool hasExited() const { return m_process.state() == QProcess::NotRunning; }
    // Sends the board a signal: SIGUSR1 unplugs it, SIGUSR2 plugs a new one in.
    void signal(int number) { ::kill(static_cast<pid_t>(m_process.processId()), number); }

private:
    QString recordPath() const { return m_recordDir.filePath(QStringLiteral("received.bin")); }

    QTemporaryDir m_recordDir;
    QProcess m_process;
    QString m_device;
    QString m_log;
};
