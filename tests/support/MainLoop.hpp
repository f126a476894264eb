#pragma once

#include <chrono>
#include <functional>

namespace zembrel::test {

// Iterates the main thread's GLib context until `done` holds or the deadline
// passes; true when `done` held. Never sleeps blindly: it wakes for every event.
bool runMainContextUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Iterates the main context for the given time, dispatching whatever comes.
void runMainContextFor(std::chrono::milliseconds duration);

}  // namespace zembrel::test
