#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zembrel::cli {

// Prints every host message on its own line on stdout, exactly as received,
// and runs the main thread's context until the final message (#complete or
// #error) has arrived. On a terminal it also draws a progress bar on stderr,
// fed by the "#progress|N" messages, when the total size is known.
class HostMessagePump {
 public:
  explicit HostMessagePump(std::optional<std::int64_t> totalBytes);
  HostMessagePump(const HostMessagePump&) = delete;
  HostMessagePump& operator=(const HostMessagePump&) = delete;
  ~HostMessagePump();  // unregisters the handler

  // Iterates the main context until the final message. Returns it.
  std::string runUntilFinal();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True for a message that ends an operation: "#complete|…" or "#error|…".
bool isFinalMessage(const std::string& message);

// The exit status for a final HTTP message: 0 for "#complete|STATUS" with a
// status below 400, 1 for an HTTP error status or "#error|…". The message
// itself is printed either way; scripts need the status to tell.
int httpExitStatus(const std::string& finalMessage);

// 0 for "#complete|…" whatever its status, 1 for anything else.
int completedExitStatus(const std::string& finalMessage);

}  // namespace zembrel::cli
