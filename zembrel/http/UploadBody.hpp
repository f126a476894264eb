#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "zembrel/platform/File.hpp"
#include "zembrel/platform/HttpStream.hpp"

namespace zembrel::detail {

// One piece of a request body, read front to back once, on the uploading
// thread. Its length is known before the first byte is read.
class UploadElementReader {
 public:
  explicit UploadElementReader(std::int64_t length) : length_(length) {}
  UploadElementReader(const UploadElementReader&) = delete;
  UploadElementReader& operator=(const UploadElementReader&) = delete;
  virtual ~UploadElementReader() = default;

  std::int64_t length() const { return length_; }
  std::int64_t remaining() const { return length_ - position_; }

  // Up to `capacity` bytes: the count (0 once all `length` bytes were read),
  // or -1 when the piece cannot give exactly `length` bytes. A failure sticks.
  std::ptrdiff_t read(char* buffer, std::size_t capacity);

  // After a failure: the OS error number, or 0 when the source ended early or
  // holds more than `length` bytes.
  int failureErrno() const { return failureErrno_; }

 protected:
  void noteErrno(int osError) { failureErrno_ = osError; }

 private:
  // Reads 1 to `capacity` bytes (0 < capacity <= remaining()): the count, 0
  // when the source ended, -1 on failure (after noteErrno()).
  virtual std::ptrdiff_t readSome(char* buffer, std::size_t capacity) = 0;
  // Called once `length` bytes were read: false when the source has changed
  // and holds more (or other) bytes than announced.
  virtual bool endsHere() { return true; }
  bool checkEnd();

  const std::int64_t length_;
  std::int64_t position_ = 0;  // 0 <= position_ <= length_
  bool failed_ = false;
  bool endChecked_ = false;  // endsHere() was asked
  int failureErrno_ = 0;
};

// Bytes held in memory: field parts, a part's header lines, the closing line.
class MemoryReader final : public UploadElementReader {
 public:
  static std::unique_ptr<MemoryReader> fromMemory(std::string bytes);
  explicit MemoryReader(std::string bytes);

 private:
  std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override;
  std::string bytes_;
  std::size_t offset_ = 0;
};

// A file's bytes read in blocks straight from the file. Its length is the
// file's size when opened; a file that then shrinks or grows fails the read
// rather than send a body of another length than announced.
class FileReader final : public UploadElementReader {
 public:
  // Opens a regular file, following symbolic links. Null when it cannot be
  // opened for reading or is not a regular file.
  static std::unique_ptr<FileReader> fromFile(const std::filesystem::path& path);
  explicit FileReader(File file);

 private:
  std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override;
  bool endsHere() override;
  File file_;
};

// The streamed POST's request body: its pieces, sent one after the other as
// one stream. Read by the network stream on the uploading thread.
class UploadBody final : public RequestBody {
 public:
  explicit UploadBody(std::vector<std::unique_ptr<UploadElementReader>> readers);

  std::int64_t size() const override { return size_; }
  // Fills the buffer across piece boundaries.
  std::ptrdiff_t read(char* buffer, std::size_t capacity) override;
  int failureErrno() const override { return failureErrno_; }

 private:
  std::vector<std::unique_ptr<UploadElementReader>> readers_;
  std::size_t current_ = 0;  // the piece being read
  std::int64_t size_ = 0;
  int failureErrno_ = 0;
};

}  // namespace zembrel::detail
