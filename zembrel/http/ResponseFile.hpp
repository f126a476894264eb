#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "zembrel/platform/File.hpp"

namespace zembrel::detail {

// The response file of the last HTTP transfer: "kvRX_resp.html" in the private
// temporary folder. Absent when that folder is refused.
std::optional<std::filesystem::path> responseFilePath();

// The body of an answer while it arrives. The first bytes stay in memory; the
// rest go to an unnamed file in the private temporary folder, so an answer of
// any size costs little memory. One transfer, on one thread.
class ResponseSpool {
 public:
  ResponseSpool() = default;
  ResponseSpool(const ResponseSpool&) = delete;
  ResponseSpool& operator=(const ResponseSpool&) = delete;

  // Keeps the bytes; false (and nothing kept) when the spill file cannot be
  // made or written.
  bool append(std::string_view bytes);
  std::int64_t size() const { return size_; }

  // Replaces the response file with `head` followed by the body. Written to a
  // new file beside it and renamed over it: a failure leaves the previous
  // response file as it was, and a link planted at its name is replaced, never
  // followed. False on failure (hosts are not told: the transfer completed).
  bool saveAsResponseFile(std::string_view head) const;

 private:
  std::string memory_;    // the first bytes, up to the spill threshold
  FileDescriptor spill_;  // the rest, once there is more
  std::int64_t size_ = 0;
};

}  // namespace zembrel::detail
