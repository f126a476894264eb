#pragma once

// Real servers for the resumable upload tests: the tus server of
// tests/servers (npm packages installed by scripts/test) and the fault proxy
// in front of it.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ServerProcess.hpp"

namespace zembrel::test {

// tus_server.js on 127.0.0.1, storing into a private folder and logging every
// request. `options` are its command-line options (--draft, --fail ...).
class TusServer {
 public:
  explicit TusServer(const std::vector<std::string>& options = {});

  int port() const { return process_.port(); }
  std::string endpoint() const;  // http://127.0.0.1:PORT/files
  const std::filesystem::path& storeDir() const { return store_; }
  // One JSON object per request, in the order they ended.
  std::vector<nlohmann::json> log() const;
  // The bytes the server holds for the upload at this URL (its last path
  // segment names the stored file); absent when it holds none.
  std::optional<std::string> stored(const std::string& uploadUrl) const;
  // The upload URL of the last request of this method in the log.
  std::optional<std::string> lastUrlOf(const std::string& method) const;

 private:
  ScopedTempDir dir_;
  std::filesystem::path store_;
  ServerProcess process_;
};

// fault_proxy.py in front of `upstreamPort`; `options` as the script takes.
class FaultProxy {
 public:
  FaultProxy(int upstreamPort, const std::vector<std::string>& options);

  std::string endpoint() const;  // http://127.0.0.1:PORT/files
  nlohmann::json stats() const;
  pid_t pid() const { return process_.pid(); }

 private:
  ScopedTempDir dir_;
  ServerProcess process_;
};

// The kept resumable upload entries under $XDG_STATE_HOME.
int keptEntries(const std::filesystem::path& stateHome);
// The SHA-256 of the bytes as hex digits, for messages that stay short.
std::string sha256Hex(const std::string& bytes);
// `size` bytes that differ from one position to the next.
std::string patternedBytes(std::size_t size, unsigned seed);

}  // namespace zembrel::test
