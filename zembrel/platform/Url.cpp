#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {
namespace {

bool keptAsIs(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    // Unreserved marks.
    case '-': case '_': case '.': case '!': case '~': case '*': case '\'': case '(': case ')':
    // Reserved characters that carry no meaning inside a form component.
    case ';': case '/': case '?': case ':': case '@': case '$': case ',':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string percentEscape(std::string_view text, bool (*keep)(unsigned char)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (unsigned char c : text) {
    if (keep(c)) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0x0f];
    }
  }
  return escaped;
}

std::string escapeFormComponent(std::string_view text) { return percentEscape(text, &keptAsIs); }

}  // namespace zembrel::detail
