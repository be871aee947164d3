#include "support/PtyPair.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

PtyPair::PtyPair() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    // The test side must see bytes exactly as sent: no echo, no line-ending translation.
    termios raw{};
    ::tcgetattr(m_slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_slave, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PtyPair::readMaster);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &PtyPair::writePending);
}

PtyPair::~PtyPair() {
    hangUp();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPair::send(const QByteArray& bytes) {
    m_pending += bytes;
    writePending();
}

void PtyPair::writePending() {
    // What the pseudo-terminal cannot take now goes out from the message loop when it has room
    // again, so that the program on the other side can read meanwhile.
    while (m_master >= 0 && !m_pending.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pending.constData(), m_pending.size());
        if (n > 0)
            m_pending.remove(0, n);
        else if (n >= 0 || errno != EINTR)
            break;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(m_master >= 0 && !m_pending.isEmpty());
}

void PtyPair::pauseReading(bool paused) {
    if (m_notifier)
        m_notifier->setEnabled(!paused);
}

void PtyPair::hangUp() {
    m_notifier.reset();
    m_writeNotifier.reset();
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PtyPair::hangUpLine() {
    ::ioctl(m_slave, TIOCVHANGUP);
}

void PtyPair::readMaster() {
    char buffer[4096];
    for (ssize_t n; (n = ::read(m_master, buffer, sizeof buffer)) > 0;) {
        m_received.append(buffer, n);
        if (m_responder)
            m_responder(QByteArray(buffer, n));
    }
}

int PtyPair::slaveBaudRate() const {
    // The rates the program's tests set.
    const std::pair<speed_t, int> speeds[] = {{B9600, 9600}, {B19200, 19200}, {B115200, 115200}};
    termios settings{};
    if (::tcgetattr(m_slave, &settings) != 0)
        return -1;
    for (const auto& [code, rate] : speeds) {
        if (code == ::cfgetospeed(&settings))
            return rate;
    }
    return 0;
}

bool PtyPair::slaveIsEightNoParityOneStop() const {
    termios settings{};
    return ::tcgetattr(m_slave, &settings) == 0 && (settings.c_cflag & CSIZE) == CS8 &&
           !(settings.c_cflag & (PARENB | CSTOPB));
}
