#include "support/BoardProcess.h"

#include <QtTest>

#include <csignal>

BoardProcess::BoardProcess(const QString& executable, const QStringList& arguments) {
    m_process.start(executable, arguments);
    const bool printed = QTest::qWaitFor(
        [this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
        5000);
    if (printed && m_process.canReadLine())
        m_device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

BoardProcess::~BoardProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
}

void BoardProcess::signal(int number) {
    ::kill(static_cast<pid_t>(m_process.processId()), number);
}

QString BoardProcess::log() {
    m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
    return m_log;
}
