#include "zembrel/ftp/KnownHosts.hpp"

#include <glib.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace zembrel::detail {
namespace {

// Keys of every kind fit in far less: a longer line is no key line, and is
// skipped.
constexpr std::size_t kLongestLine = 64 * 1024;

}  // namespace

std::string decodeBase64(const std::string& text) {
  gsize length = 0;
  std::unique_ptr<guchar, decltype(&g_free)> bytes(g_base64_decode(text.c_str(), &length),
                                                   &g_free);
  return bytes ? std::string(reinterpret_cast<const char*>(bytes.get()), length) : std::string();
}

bool isRevokedHostKey(const std::string& path, std::string_view rawKey) {
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.size() > kLongestLine) continue;
    // "@revoked HOSTS TYPE KEY [COMMENT]"
    std::istringstream fields(line);
    std::string marker, hosts, type, key;
    if (!(fields >> marker >> hosts >> type >> key) || marker != "@revoked") continue;
    const std::string decoded = decodeBase64(key);
    if (!decoded.empty() && decoded == rawKey) return true;
  }
  return false;
}

}  // namespace zembrel::detail
