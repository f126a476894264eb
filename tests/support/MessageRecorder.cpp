#include "MessageRecorder.hpp"

#include <dirent.h>

#include "MainLoop.hpp"
#include "zembrel/HostMessages.hpp"

namespace zembrel::test {

MessageRecorder::MessageRecorder() {
  setHostMessageHandler([this](std::string_view text) {
    std::lock_guard lock(mutex_);
    messages_.push_back(
        {std::string(text), std::this_thread::get_id(), std::chrono::steady_clock::now()});
  });
}

MessageRecorder::~MessageRecorder() { setHostMessageHandler(nullptr); }

std::vector<MessageRecorder::Message> MessageRecorder::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> MessageRecorder::texts() const {
  std::vector<std::string> out;
  for (const auto& m : messages()) out.push_back(m.text);
  return out;
}

std::vector<MessageRecorder::Message> MessageRecorder::finals() const {
  std::vector<Message> out;
  for (const auto& m : messages()) {
    if (m.text.rfind("#progress|", 0) != 0) out.push_back(m);
  }
  return out;
}

void MessageRecorder::clear() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

bool MessageRecorder::waitForFinal(std::chrono::milliseconds deadline) const {
  return runMainContextUntil([this] { return !finals().empty(); }, deadline);
}

bool MessageRecorder::waitForProgress(std::uint64_t bytes,
                                      std::chrono::milliseconds deadline) const {
  return runMainContextUntil(
      [&] {
        for (const auto& m : messages()) {
          if (m.text.rfind("#progress|", 0) == 0 && std::stoull(m.text.substr(10)) >= bytes)
            return true;
        }
        return !finals().empty();
      },
      deadline);
}

int openDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the listing's own descriptor
}

}  // namespace zembrel::test
