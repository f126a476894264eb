#include "zembrel/http/ResponseFile.hpp"

#include "zembrel/platform/TempDir.hpp"

namespace zembrel::detail {

std::optional<std::filesystem::path> responseFilePath() {
  auto dir = privateTempDir();
  if (!dir) return std::nullopt;
  return *dir / "kvRX_resp.html";
}

bool writeResponseFile(std::string_view head, std::string_view body) {
  auto path = responseFilePath();
  if (!path) return false;
  auto fd = createFreshFile(*path);
  if (!fd) return false;
  return writeAll(fd.get(), head.data(), head.size()) && writeAll(fd.get(), body.data(), body.size());
}

}  // namespace zembrel::detail
