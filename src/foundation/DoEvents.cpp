#include "foundation/DoEvents.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <utility>

namespace {

// Processing events costs a system call even when nothing is pending; within this interval the
// window cannot tell the difference, so calls closer together than it are answered at once.
constexpr std::chrono::microseconds kYieldInterval{500};

std::function<void()>& observer() {
    static std::function<void()> f;
    return f;
}

} // namespace

void DoEvents() {
    if (observer())
        observer()();
    using Clock = std::chrono::steady_clock;
    static Clock::time_point lastYield;
    const auto now = Clock::now();
    if (now - lastYield < kYieldInterval)
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    lastYield = Clock::now();
}

void WaitForEvents(std::chrono::milliseconds maxWait) {
    // A timer bounds the wait; the event loop itself sleeps until a socket, timer or window
    // event wakes it.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(maxWait);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void setDoEventsObserver(std::function<void()> observer_) {
    observer() = std::move(observer_);
}
