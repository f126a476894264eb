#include "zembrel/core/MessageText.hpp"

#include <cinttypes>
#include <cstdio>

namespace zembrel::detail {

std::string progressMessageText(std::int64_t bytes) {
  char text[48];
  std::snprintf(text, sizeof text, "#progress|%5" PRId64, bytes);
  return text;
}

std::string completeMessageText(std::int32_t status) {
  char text[32];
  std::snprintf(text, sizeof text, "#complete|%3" PRId32, status);
  return text;
}

std::string errorMessageText(std::string_view text, std::int64_t code) {
  std::string message = "#error|";
  message.append(text);
  message += '|';
  message += std::to_string(code);
  return message;
}

}  // namespace zembrel::detail
