#pragma once
// Lets go of large data (a result of a million texts, a list of them) on a pool thread: freeing it on
// the window thread would stall the window for tens of milliseconds. Texts are reference-counted
// atomically, so those still held elsewhere survive.
#include <functional>
#include <utility>

namespace background {

// Runs `job` on a pool thread, at a lower priority than the window's; at once when there is no
// application (at exit), since no window is left to keep responsive then.
void run(std::function<void()> job);

// Hands `value` to a pool thread, which destroys it.
template <class T> void releaseLater(T&& value) {
    run([v = std::forward<T>(value)]() mutable { [[maybe_unused]] auto gone = std::move(v); });
}

} // namespace background
