#include "foundation/CommandGuard.h"

#include <utility>

namespace CommandGuard {

namespace {

int g_holds = 0;

std::function<void(bool)>& observer() {
    static std::function<void(bool)> f;
    return f;
}

} // namespace

bool busy() {
    return g_holds > 0;
}

Hold::Hold() {
    if (g_holds++ == 0 && observer())
        observer()(true);
}

Hold::~Hold() {
    if (--g_holds == 0 && observer())
        observer()(false);
}

void setObserver(std::function<void(bool busy)> observer_) {
    observer() = std::move(observer_);
}

} // namespace CommandGuard
