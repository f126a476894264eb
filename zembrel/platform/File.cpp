#include "zembrel/platform/File.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zembrel::detail {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::release() noexcept {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

File File::openForReading(const std::filesystem::path& path) {
  File file;
  // O_NONBLOCK: opening a named pipe without a writer returns at once instead
  // of waiting for one (it is then refused below). Regular files ignore it;
  // so do the reads of /proc files, which are regular but never block on it.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    file.error_ = errno;
    return file;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    file.error_ = errno;
    return file;
  }
  if (!S_ISREG(info.st_mode)) {
    file.error_ = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return file;
  }
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  file.fd_ = std::move(fd);
  file.size_ = static_cast<std::int64_t>(info.st_size);
  return file;
}

std::ptrdiff_t File::read(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t count = ::read(fd_.get(), buffer, capacity);
    if (count >= 0) return count;
    if (errno != EINTR) {
      error_ = errno;
      return -1;
    }
  }
}

std::ptrdiff_t File::readAt(char* buffer, std::size_t capacity, std::int64_t offset) {
  for (;;) {
    const ssize_t count = ::pread(fd_.get(), buffer, capacity, static_cast<off_t>(offset));
    if (count >= 0) return count;
    if (errno != EINTR) {
      error_ = errno;
      return -1;
    }
  }
}

bool File::sizeChanged() const {
  struct stat info {};
  if (::fstat(fd_.get(), &info) != 0) return true;
  return static_cast<std::int64_t>(info.st_size) != size_;
}

std::optional<std::string> File::readAll(std::int64_t maxBytes) {
  if (!isOpen()) return std::nullopt;
  std::string bytes;
  // The size is a hint only (files under /proc claim 0 bytes); the cap holds
  // whatever the file turns out to hold.
  bytes.reserve(static_cast<std::size_t>(std::clamp<std::int64_t>(size_, 0, maxBytes)));
  constexpr std::size_t kBlock = 1 << 16;
  for (;;) {
    if (static_cast<std::int64_t>(bytes.size()) > maxBytes) {
      error_ = EFBIG;
      return std::nullopt;
    }
    const std::size_t used = bytes.size();
    // One byte past the cap tells "exactly at the cap" from "over it".
    const auto room = static_cast<std::size_t>(
        std::min<std::int64_t>(kBlock, maxBytes + 1 - static_cast<std::int64_t>(used)));
    bytes.resize(used + room);
    const std::ptrdiff_t count = read(bytes.data() + used, room);
    if (count < 0) return std::nullopt;
    bytes.resize(used + static_cast<std::size_t>(count));
    if (count == 0) return bytes;
  }
}

}  // namespace zembrel::detail
