#include "foundation/TerminationSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
int g_pipe[2] = {-1, -1};

extern "C" void onSignal(int signalNumber) {
    // Only async-signal-safe work here: the message loop does the rest.
    const int savedErrno = errno;
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const auto written = ::write(g_pipe[0], &byte, 1);
    errno = savedErrno;
}
#endif

} // namespace

TerminationSignals::TerminationSignals(QObject* parent)
#ifdef Q_OS_UNIX
    : TerminationSignals({SIGTERM, SIGINT, SIGHUP}, parent){}
#else
    : QObject(parent) {
}
#endif

      TerminationSignals::TerminationSignals(const QList<int>& signalNumbers, QObject* parent)
    : QObject(parent), m_signalNumbers(signalNumbers) {
#ifdef Q_OS_UNIX
    if (g_pipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[1], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        // Two signals close together arrive in one read; each is reported.
        char bytes[16];
        const auto count = ::read(g_pipe[1], bytes, sizeof bytes);
        for (qsizetype i = 0; i < count; ++i)
            emit terminationRequested(static_cast<unsigned char>(bytes[i]));
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : m_signalNumbers) {
        if (::sigaction(signalNumber, &action, nullptr) != 0) {
            m_notifier.reset();
            return;
        }
    }
#endif
}

TerminationSignals::~TerminationSignals() {
#ifdef Q_OS_UNIX
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (int signalNumber : m_signalNumbers)
        ::sigaction(signalNumber, &action, nullptr);
#endif
}
