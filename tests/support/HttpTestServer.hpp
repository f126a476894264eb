#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ServerProcess.hpp"

namespace zembrel::test {

// One request as the test HTTP server received it.
struct RecordedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::int64_t bodyLength = 0;
  std::string bodySha256;
  bool complete = false;   // the whole announced body arrived
  std::string body;        // empty when the request asked for nostore=1

  // The value of the first header with this name (case-insensitive), if any.
  std::optional<std::string> header(const std::string& name) const;

  // The multipart boundary that the request's Content-Type names (a test
  // failure is recorded unless it is the fixed prefix and 32 random hex
  // digits); without one, the boundary of a multipart body's first line; ""
  // when there is none.
  std::string boundary() const;
  // `expected` with every kBoundaryToken replaced by boundary().
  std::string withBoundary(std::string expected) const;
};

// Stands for the boundary of a request in expected bodies and headers.
inline constexpr const char* kBoundaryToken = "{BOUNDARY}";

// tests/servers/http_server.py on 127.0.0.1, recording into a private folder.
class HttpTestServer {
 public:
  HttpTestServer();

  // "http://127.0.0.1:PORT" + pathAndQuery.
  std::string url(const std::string& pathAndQuery = "/") const;
  int port() const { return process_.port(); }

  // All requests recorded so far, in arrival order (a request is recorded
  // once its body is read or cut off).
  std::vector<RecordedRequest> requests() const;
  // Waits until at least `count` requests are recorded or the deadline (times
  // the run's time scale) passes.
  std::vector<RecordedRequest> waitForRequests(
      std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;

 private:
  ScopedTempDir records_;
  ServerProcess process_;
};

}  // namespace zembrel::test
