#pragma once

#include <cstdint>
#include <memory>

#include "zembrel/platform/File.hpp"
#include "zembrel/platform/HttpStream.hpp"

namespace zembrel::detail {

// A stretch of an open local file sent as one request body: `length` bytes
// from `offset`, read in blocks straight from the file. The file is shared by
// the bodies of one upload, one after the other. A file that ends early, or
// that no longer has the size it had when opened once its last byte is read,
// fails the read: the server must never store bytes of another version of
// the file. Read on the uploading thread.
class FileSliceBody final : public RequestBody {
 public:
  FileSliceBody(std::shared_ptr<File> file, std::int64_t offset, std::int64_t length);

  std::int64_t size() const override { return length_; }
  std::ptrdiff_t read(char* buffer, std::size_t capacity) override;
  int failureErrno() const override { return failureErrno_; }

  // Whether a read failed: the file could not be read or has changed.
  bool failed() const { return failed_; }

 private:
  std::shared_ptr<File> file_;
  const std::int64_t offset_;
  const std::int64_t length_;
  std::int64_t position_ = 0;  // 0 <= position_ <= length_
  bool failed_ = false;
  int failureErrno_ = 0;
};

}  // namespace zembrel::detail
