#include "BackgroundTask.hpp"

#include <utility>

namespace thumbtool {

namespace {

// Enough for the font library's configuration parser and the filter library's code generator,
// with room to spare.
constexpr std::size_t kStackBytes = 1 << 20;

}  // namespace

BackgroundTask::BackgroundTask(std::function<void()> work) : work_(std::move(work)) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    return;
  }
  started_ = pthread_attr_setstacksize(&attributes, kStackBytes) == 0 &&
             pthread_create(&thread_, &attributes, run, this) == 0;
  pthread_attr_destroy(&attributes);
}

BackgroundTask::~BackgroundTask() { wait(); }

void BackgroundTask::wait() {
  if (done_) {
    return;
  }
  if (started_) {
    pthread_join(thread_, nullptr);
  } else {
    runWork();
  }
  done_ = true;
}

void* BackgroundTask::run(void* task) {
  static_cast<BackgroundTask*>(task)->runWork();
  return nullptr;
}

void BackgroundTask::runWork() noexcept {
  try {
    if (work_) {
      work_();
    }
  } catch (...) {
    // Dropped: see wait().
  }
}

}  // namespace thumbtool
