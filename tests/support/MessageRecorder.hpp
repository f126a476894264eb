#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zembrel::test {

// Records every host message of the process while it exists, with the thread
// it arrived on and when. Replaces any handler set before and removes its own
// when destroyed.
class MessageRecorder {
 public:
  struct Message {
    std::string text;
    std::thread::id thread;
    std::chrono::steady_clock::time_point at;
  };
  MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;
  ~MessageRecorder();

  std::vector<Message> messages() const;
  std::vector<std::string> texts() const;
  // Every message but progress: "#complete|…", "#error|…" and anything else.
  std::vector<Message> finals() const;
  void clear();
  // Runs the main context until a final message arrived (or the deadline).
  bool waitForFinal(std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;
  // Runs the main context until a progress message reports at least `bytes`.
  bool waitForProgress(std::uint64_t bytes,
                       std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
};

// Descriptors the process has open now, so a test can tell that an operation
// left none behind.
int openDescriptorCount();

}  // namespace zembrel::test
