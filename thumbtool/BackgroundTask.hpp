// Work a render worker does on a second thread while it prepares something else (building its
// filter while a decoder loads). The thread gets a small stack:
// a worker's address-space limit is its decoder's, and a default stack would take 8 MiB of it.
#pragma once

#include <pthread.h>

#include <functional>

namespace thumbtool {

class BackgroundTask {
 public:
  // Starts the work; where no thread can be started, it runs in wait() instead.
  explicit BackgroundTask(std::function<void()> work);
  // Waits for the work (see wait()).
  ~BackgroundTask();
  BackgroundTask(const BackgroundTask&) = delete;
  BackgroundTask& operator=(const BackgroundTask&) = delete;

  // Returns once the work is done and its thread has ended. An exception the work throws is
  // dropped: the work is an optimisation, and the caller does without it.
  void wait();

 private:
  static void* run(void* task);
  void runWork() noexcept;

  std::function<void()> work_;
  pthread_t thread_{};
  bool started_ = false;
  bool done_ = false;
};

}  // namespace thumbtool
