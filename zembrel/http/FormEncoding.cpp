#include "zembrel/http/FormEncoding.hpp"

#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {

std::string multipartContentType() {
  std::string value = "multipart/form-data; boundary=";
  value += kBoundary;
  return value;
}

std::string quotedHeaderParameter(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"': safe += "%22"; break;
      case '\r': safe += "%0D"; break;
      case '\n': safe += "%0A"; break;
      default: safe += c;
    }
  }
  return safe;
}

std::string multipartFieldPart(std::string_view name, std::string_view value) {
  std::string part;
  part.reserve(64 + name.size() + value.size());
  part += "--";
  part += kBoundary;
  part += "\r\nContent-Disposition: form-data; name=\"";
  part += quotedHeaderParameter(name);
  part += "\"\r\n\r\n";
  part += value;
  part += "\r\n";
  return part;
}

std::string multipartFieldParts(const std::vector<std::string>& fields) {
  std::string parts;
  for (std::size_t i = 0; i < pairedCount(fields); i += 2) parts += multipartFieldPart(fields[i], fields[i + 1]);
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
