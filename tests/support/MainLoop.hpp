#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace zembrel::test {

// Iterates the main thread's GLib context until `done` holds or the deadline
// (times the run's time scale) passes; true when `done` held. Never sleeps
// blindly: it wakes for every event.
bool runMainContextUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Iterates the main context for the given time, dispatching whatever comes.
void runMainContextFor(std::chrono::milliseconds duration);

// Dispatches everything the main context has ready now, without blocking.
void drainMainContext();

// Runs the main context until the caller holds the only reference to
// `owner`: every worker thread and hand-off that kept it has ended, so
// nothing of its operations can still send a message. Then dispatches what is
// left. True when that happened before the deadline.
template <class T>
bool settle(const std::shared_ptr<T>& owner,
            std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  const bool alone = runMainContextUntil([&] { return owner.use_count() == 1; }, deadline);
  drainMainContext();
  return alone;
}

}  // namespace zembrel::test
