#include "zembrel/platform/HeaderFields.hpp"

#include <strings.h>

#include <algorithm>

namespace zembrel::detail {
namespace {

std::string singleLine(std::string_view text) {
  std::string line(text);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return line;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

void HeaderFields::set(std::string_view name, std::string_view value) {
  std::string key = singleLine(name);
  if (key.empty() || key.find(':') != std::string::npos) return;
  for (auto& [existing, current] : fields_) {
    if (sameName(existing, key)) {
      current = singleLine(value);
      return;
    }
  }
  fields_.emplace_back(std::move(key), singleLine(value));
}

bool HeaderFields::has(std::string_view name) const {
  return std::any_of(fields_.begin(), fields_.end(),
                     [name](const Field& field) { return sameName(field.first, name); });
}

}  // namespace zembrel::detail
