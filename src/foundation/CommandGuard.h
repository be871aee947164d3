#pragma once

#include <functional>

// One command at a time on the line. A command, and a message box that waits for the user, hold
// the guard while they run; a command asked for meanwhile is refused, whichever way it was asked
// for: window modality stops the mouse and the keyboard, but not assistive technology, and not a
// dialog that was hidden while its handler still runs.
namespace CommandGuard {

bool busy();

class Hold {
public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

// Told true when the first hold begins and false when the last one ends.
void setObserver(std::function<void(bool busy)> observer);

} // namespace CommandGuard
