#include "zembrel/http/FormEncoding.hpp"

#include <strings.h>
#include <sys/random.h>

#include <cerrno>
#include <system_error>

#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {

std::string newMultipartBoundary() {
  unsigned char random[16];
  std::size_t filled = 0;
  while (filled < sizeof random) {
    const ssize_t got = ::getrandom(random + filled, sizeof random - filled, 0);
    if (got < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category());
    if (got > 0) filled += static_cast<std::size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string boundary(kBoundaryPrefix);
  for (unsigned char byte : random) {
    boundary += kHex[byte >> 4];
    boundary += kHex[byte & 0xF];
  }
  return boundary;
}

std::string multipartBoundaryFor(const std::optional<std::vector<std::string>>& headerValuePairs) {
  if (headerValuePairs) {
    for (std::size_t i = 0; i < pairedCount(*headerValuePairs); i += 2) {
      if (::strcasecmp((*headerValuePairs)[i].c_str(), "Content-Type") == 0)
        return std::string(kBoundaryPrefix);
    }
  }
  return newMultipartBoundary();
}

std::string multipartContentType(std::string_view boundary) {
  std::string value = "multipart/form-data; boundary=";
  value += boundary;
  return value;
}

std::string multipartClosingLine(std::string_view boundary) {
  std::string line = "--";
  line += boundary;
  line += "--\r\n";
  return line;
}

std::string quotedHeaderParameter(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"':
        safe += "%22";
        break;
      case '\r':
        safe += "%0D";
        break;
      case '\n':
        safe += "%0A";
        break;
      default:
        safe += c;
    }
  }
  return safe;
}

std::string multipartFieldPart(std::string_view boundary, std::string_view name,
                               std::string_view value) {
  std::string part;
  part.reserve(64 + name.size() + value.size());
  part += "--";
  part += boundary;
  part += "\r\nContent-Disposition: form-data; name=\"";
  part += quotedHeaderParameter(name);
  part += "\"\r\n\r\n";
  part += value;
  part += "\r\n";
  return part;
}

std::string multipartFieldParts(std::string_view boundary, const std::vector<std::string>& fields) {
  std::string parts;
  for (std::size_t i = 0; i < pairedCount(fields); i += 2)
    parts += multipartFieldPart(boundary, fields[i], fields[i + 1]);
  return parts;
}

std::string urlEncodedPairs(const std::vector<std::string>& fields) {
  std::string body;
  body.reserve(50);
  for (std::size_t i = 0; i < pairedCount(fields); i += 2) {
    if (i > 0) body += '&';
    body += escapeFormComponent(fields[i]);
    body += '=';
    body += escapeFormComponent(fields[i + 1]);
  }
  return body;
}

}  // namespace zembrel::detail
