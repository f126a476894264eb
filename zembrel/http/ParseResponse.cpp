#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/File.hpp"
#include "zembrel/platform/Text.hpp"
#include "zembrel/xml/XmlDocument.hpp"

namespace zembrel {
namespace {

using namespace detail;

// A saved answer is at most as large as the largest document the extractor
// takes, plus its head.
constexpr std::int64_t kMaxResponseFileBytes = kMaxDocumentBytes + (std::int64_t{1} << 20);

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
    // Only a regular file is read (a pipe or device would hang or never
    // end), and only up to the cap.
    File file = File::openForReading(path);
    if (file.size() > kMaxResponseFileBytes) return std::vector<ElementEntry>{};  // unread
    auto text = file.readAll(kMaxResponseFileBytes);
    if (!text || !isValidUtf8(*text)) return std::vector<ElementEntry>{};
    auto start = xmlStart(*text);
    if (start == std::string::npos) return std::vector<ElementEntry>{};
    if (start > 0) text->erase(0, start);
    // Handed over, so its bytes are gone before the result is built.
    return processXMLDocument(std::move(*text), andFlatten);
  } catch (...) {
    return std::vector<ElementEntry>{};
  }
}

}  // namespace zembrel
