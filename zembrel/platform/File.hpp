#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zembrel::detail {

// Owns an open file descriptor.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() noexcept;

 private:
  int fd_ = -1;
};

// A local file opened for reading. The one way the library opens a file that
// a caller names, for uploads and readers alike: only regular files (symbolic
// links followed) are opened, and the open never blocks, so a named pipe, a
// device or a folder is refused at once instead of hanging the caller or
// feeding it endless bytes. Use on one thread at a time.
class File {
 public:
  // Opens `path`; on failure the result is closed and error() says why: the
  // OS error, EISDIR for a folder, EINVAL for anything else that is not a
  // regular file.
  static File openForReading(const std::filesystem::path& path);

  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;

  bool isOpen() const { return static_cast<bool>(fd_); }
  int error() const { return error_; }
  int descriptor() const { return fd_.get(); }
  // Bytes in the file when it was opened.
  std::int64_t size() const { return size_; }

  // Up to `capacity` bytes from the current position: the count, 0 at the
  // end, or -1 with error() set. Interrupted reads are retried.
  std::ptrdiff_t read(char* buffer, std::size_t capacity);

  // Like read(), from `offset` bytes into the file; the current position
  // stays where it is, so one open file can serve several readers in turn.
  std::ptrdiff_t readAt(char* buffer, std::size_t capacity, std::int64_t offset);

  // Whether the file on disk no longer holds size() bytes (true as well when
  // its state cannot be read): a reader that stops at size() would otherwise
  // miss bytes added meanwhile.
  bool sizeChanged() const;

  // The rest of the file, when it holds at most `maxBytes`; absent with error()
  // EFBIG when it holds more, or with the OS error when reading fails.
  std::optional<std::string> readAll(std::int64_t maxBytes);

 private:
  File() = default;

  FileDescriptor fd_;
  std::int64_t size_ = 0;
  int error_ = 0;
};

}  // namespace zembrel::detail
