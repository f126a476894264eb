#include "CommandLine.hpp"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace thumbtool {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::optional<std::string> homeOfUser(const std::string& user) {
  if (user.empty()) {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
      return std::string(home);
    }
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int rc = user.empty() ? getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)
                        : getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

}  // namespace

int intValue(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Saturate as soon as the magnitude passes the 32-bit range, so no digit count overflows.
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > 1LL << 32) {
      magnitude = 1LL << 32;
    }
  }
  long long value = negative ? -magnitude : magnitude;
  if (value > INT_MAX) {
    return INT_MAX;
  }
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(value);
}

RequestedSize parseSize(const std::string& text) {
  std::size_t cut = text.find('x');
  if (cut == std::string::npos) {
    int side = intValue(text);
    return {side, side};
  }
  std::size_t end = text.find('x', cut + 1);
  std::string second =
      text.substr(cut + 1, end == std::string::npos ? std::string::npos : end - cut - 1);
  return {intValue(text.substr(0, cut)), intValue(second)};
}

Box boxForSize(RequestedSize size) {
  auto side = [](int requested) {
    return requested <= 0 || requested > kMaxSide ? kMaxSide : requested;
  };
  return {side(size.width), side(size.height)};
}

std::optional<Format> formatNamed(const std::string& name) {
  static const struct {
    const char* name;
    Format format;
  } kFormats[] = {{"png", Format::png},
                  {"tiff", Format::tiff},
                  {"bmp", Format::bmp},
                  {"gif", Format::gif},
                  {"jpg", Format::jpg}};
  for (const auto& entry : kFormats) {
    std::string candidate = entry.name;
    if (candidate.size() != name.size()) {
      continue;
    }
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = name[i];
      if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      }
      same = c == candidate[i];
    }
    if (same) {
      return entry.format;
    }
  }
  return std::nullopt;
}

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') {
    return path;
  }
  std::size_t slash = path.find('/');
  std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::optional<std::string> home = homeOfUser(user);
  if (!home) {
    return path;
  }
  std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
  // "~/x" with a home of "/" must not become "//x".
  if (home->size() > 1 && home->back() == '/') {
    home->pop_back();
  }
  if (*home == "/" && !rest.empty()) {
    return rest;
  }
  return *home + rest;
}

}  // namespace thumbtool
