#include "zembrel/http/ResponseFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "zembrel/detail/Owned.hpp"
#include "zembrel/platform/TempDir.hpp"

namespace zembrel::detail {
namespace {

// Answers up to this size stay in memory; most answers are far smaller.
constexpr std::size_t kInMemoryBytes = std::size_t{1} << 20;

FileDescriptor unnamedFileIn(const std::filesystem::path& dir) {
  FileDescriptor fd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd || (errno != EOPNOTSUPP && errno != EISDIR)) return fd;
  // File systems without unnamed files: a fresh name, removed at once.
  const auto path = dir / ("spool-" + uniqueString());
  fd = createFreshFile(path);
  if (fd) ::unlink(path.c_str());
  return fd;
}

// Copies all of `from` (from its start) to the end of `to`.
bool copyAll(int from, int to) {
  off_t offset = 0;
  for (;;) {
    const ssize_t copied = ::copy_file_range(from, &offset, to, nullptr, std::size_t{1} << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL) return false;
    // No kernel copy between these files: read and write.
    char block[1 << 16];
    for (;;) {
      const ssize_t got = ::pread(from, block, sizeof block, offset);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) return true;
      if (!writeAll(to, block, static_cast<std::size_t>(got))) return false;
      offset += got;
    }
  }
}

}  // namespace

std::optional<std::filesystem::path> responseFilePath() {
  auto dir = privateTempDir();
  if (!dir) return std::nullopt;
  return *dir / "kvRX_resp.html";
}

bool ResponseSpool::append(std::string_view bytes) {
  if (!spill_ && memory_.size() + bytes.size() <= kInMemoryBytes) {
    memory_.append(bytes);
  } else {
    if (!spill_) {
      auto dir = privateTempDir();
      if (!dir) return false;
      spill_ = unnamedFileIn(*dir);
      if (!spill_) return false;
    }
    if (!writeAll(spill_.get(), bytes.data(), bytes.size())) return false;
  }
  size_ += static_cast<std::int64_t>(bytes.size());
  return true;
}

bool ResponseSpool::saveAsResponseFile(std::string_view head) const {
  const auto target = responseFilePath();
  if (!target) return false;
  auto staging = *target;
  staging += "." + uniqueString();
  FileDescriptor fd = createFreshFile(staging);
  if (!fd) return false;
  const bool written = writeAll(fd.get(), head.data(), head.size()) &&
                       writeAll(fd.get(), memory_.data(), memory_.size()) &&
                       (!spill_ || copyAll(spill_.get(), fd.get()));
  if (!written || ::rename(staging.c_str(), target->c_str()) != 0) {
    ::unlink(staging.c_str());
    return false;
  }
  return true;
}

template <>
void Destroy<ResponseSpool>::operator()(ResponseSpool* spool) const noexcept {
  delete spool;
}

}  // namespace zembrel::detail
