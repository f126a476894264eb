#include "zembrel/capi/Bridge.hpp"

#include <cstdlib>
#include <cstring>

namespace zembrel::capi {

std::optional<std::string> optionalText(const char* value) {
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::vector<std::string>> textList(const char* const* list) {
  if (list == nullptr) return std::nullopt;
  std::vector<std::string> values;
  for (; *list != nullptr; ++list) values.emplace_back(*list);
  return values;
}

char* copyOut(std::string_view value) noexcept {
  auto* copy = static_cast<char*>(std::malloc(value.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, value.data(), value.size());
  copy[value.size()] = '\0';
  return copy;
}

}  // namespace zembrel::capi
