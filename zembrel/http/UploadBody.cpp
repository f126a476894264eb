#include "zembrel/http/UploadBody.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zembrel::detail {

std::ptrdiff_t UploadElementReader::read(char* buffer, std::size_t capacity) {
  if (failed_) return -1;
  if (position_ == length_) {
    // Asked past the end: a piece of length 0 has not been checked yet.
    if (!endChecked_ && !checkEnd()) return -1;
    return 0;
  }
  const auto want = static_cast<std::size_t>(
      std::min<std::int64_t>(remaining(), static_cast<std::int64_t>(capacity)));
  if (want == 0) return 0;
  const std::ptrdiff_t count = readSome(buffer, want);
  // Ending before `length` is a failure too: the body must never come out
  // shorter than the length the request announced.
  if (count <= 0 || static_cast<std::size_t>(count) > want) {
    failed_ = true;
    if (count >= 0) failureErrno_ = 0;
    return -1;
  }
  position_ += count;
  // Checked at once: the reader of the last piece may never be asked again.
  if (position_ == length_ && !checkEnd()) return -1;
  return count;
}

bool UploadElementReader::checkEnd() {
  endChecked_ = true;
  if (endsHere()) return true;
  failed_ = true;
  return false;
}

std::unique_ptr<MemoryReader> MemoryReader::fromMemory(std::string bytes) {
  return std::make_unique<MemoryReader>(std::move(bytes));
}

MemoryReader::MemoryReader(std::string bytes)
    : UploadElementReader(static_cast<std::int64_t>(bytes.size())), bytes_(std::move(bytes)) {}

std::ptrdiff_t MemoryReader::readSome(char* buffer, std::size_t capacity) {
  std::memcpy(buffer, bytes_.data() + offset_, capacity);
  offset_ += capacity;
  return static_cast<std::ptrdiff_t>(capacity);
}

std::unique_ptr<FileReader> FileReader::fromFile(const std::filesystem::path& path) {
  File file = File::openForReading(path);
  if (!file.isOpen()) return nullptr;
  return std::make_unique<FileReader>(std::move(file));
}

FileReader::FileReader(File file) : UploadElementReader(file.size()), file_(std::move(file)) {}

std::ptrdiff_t FileReader::readSome(char* buffer, std::size_t capacity) {
  const std::ptrdiff_t count = file_.read(buffer, capacity);
  if (count < 0) noteErrno(file_.error());
  return count;
}

bool FileReader::endsHere() {
  // The size must still be the one announced; a file that grew would
  // otherwise lose its tail without anyone noticing.
  return !file_.sizeChanged();
}

UploadBody::UploadBody(std::vector<std::unique_ptr<UploadElementReader>> readers)
    : readers_(std::move(readers)) {
  for (const auto& reader : readers_) size_ += reader->length();
}

std::ptrdiff_t UploadBody::read(char* buffer, std::size_t capacity) {
  std::size_t filled = 0;
  while (filled < capacity && current_ < readers_.size()) {
    const std::ptrdiff_t count = readers_[current_]->read(buffer + filled, capacity - filled);
    if (count < 0) {
      failureErrno_ = readers_[current_]->failureErrno();
      return -1;
    }
    if (count == 0) {
      ++current_;
      continue;
    }
    filled += static_cast<std::size_t>(count);
  }
  return static_cast<std::ptrdiff_t>(filled);
}

}  // namespace zembrel::detail
