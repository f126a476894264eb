#include "zembrel/http/FileSlice.hpp"

#include <algorithm>

namespace zembrel::detail {

FileSliceBody::FileSliceBody(std::shared_ptr<File> file, std::int64_t offset, std::int64_t length)
    : file_(std::move(file)), offset_(offset), length_(length) {}

std::ptrdiff_t FileSliceBody::read(char* buffer, std::size_t capacity) {
  if (failed_) return -1;
  const auto want = static_cast<std::size_t>(
      std::min<std::int64_t>(length_ - position_, static_cast<std::int64_t>(capacity)));
  if (want == 0) return 0;
  const std::ptrdiff_t count = file_->readAt(buffer, want, offset_ + position_);
  if (count <= 0) {
    // 0: the file ended before the bytes it had when the upload began.
    failed_ = true;
    failureErrno_ = count < 0 ? file_->error() : 0;
    return -1;
  }
  position_ += count;
  // Checked as the last byte goes out: libcurl may not ask again.
  if (position_ == length_ && file_->sizeChanged()) {
    failed_ = true;
    failureErrno_ = 0;
    return -1;
  }
  return count;
}

}  // namespace zembrel::detail
