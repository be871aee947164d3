#pragma once

#include <chrono>
#include <functional>

// Yields to the message loop: processes the window events that are pending and returns.
// Long loops call it on most passes, so a call with nothing pending costs almost nothing.
void DoEvents();

// Lets the message loop block until an event arrives (or maxWait passes), then processes what
// is pending: the way to wait for something without spinning a core.
void WaitForEvents(std::chrono::milliseconds maxWait);

// Observes every DoEvents call, for tests that check where a loop yields.
void setDoEventsObserver(std::function<void()> observer);
