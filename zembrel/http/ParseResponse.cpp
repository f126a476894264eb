#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/TempDir.hpp"

namespace zembrel {
namespace {

using namespace detail;

std::optional<std::string> readWholeFile(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  for (;;) {
    auto count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
}

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    unsigned char lead = bytes[i];
    std::size_t length;
    std::uint32_t min;
    std::uint32_t codePoint;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, min = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, min = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, min = 0x10000, codePoint = lead & 0x07;
    } else {
      return false;
    }
    if (size - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
    }
    if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// True when the text starts like a saved response head: a status line or a
// "Name: value" header line.
bool startsWithResponseHead(std::string_view text) {
  if (text.starts_with("HTTP/")) return true;
  std::size_t i = 0;
  while (i < text.size() &&
         (std::isalnum(static_cast<unsigned char>(text[i])) ||
          std::string_view("!#$%&'*+-.^_`|~").find(text[i]) != std::string_view::npos)) {
    ++i;
  }
  return i > 0 && text.substr(i).starts_with(": ");
}

// Where the XML starts: the first "<", looked for after the head when the file
// has one, so that a "<" in a header value (a Link header, say) is not taken
// for the document.
std::size_t xmlStart(std::string_view text) {
  if (text.starts_with("<")) return 0;
  std::size_t from = 0;
  if (startsWithResponseHead(text)) {
    auto lf = text.find("\n\n");
    auto crlf = text.find("\r\n\r\n");
    if (lf != std::string_view::npos && (crlf == std::string_view::npos || lf < crlf)) {
      from = lf + 2;
    } else if (crlf != std::string_view::npos) {
      from = crlf + 4;
    }
  }
  return text.find('<', from);
}

}  // namespace

XMLResult Zembrel::parseResponseFile(const std::string& path, bool andFlatten) {
  try {
    auto text = readWholeFile(path);
    if (!text || !isValidUtf8(*text)) return std::vector<ElementEntry>{};
    auto start = xmlStart(*text);
    if (start == std::string::npos) return std::vector<ElementEntry>{};
    if (start > 0) text->erase(0, start);
    return CocoaXMLParser::processXMLFile(*text, andFlatten);
  } catch (...) {
    return std::vector<ElementEntry>{};
  }
}

}  // namespace zembrel
