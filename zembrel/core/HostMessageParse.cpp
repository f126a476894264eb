// Host messages taken apart, for hosts, the command line and the Python
// package, so that none of them splits the texts by hand.

#include <charconv>

#include "zembrel/HostMessages.hpp"

namespace zembrel {
namespace {

constexpr std::string_view kProgress = "#progress|";
constexpr std::string_view kComplete = "#complete|";
constexpr std::string_view kError = "#error|";
// The simple request's busy refusal keeps the text hosts know; its code reads as 0.
constexpr std::string_view kBusyRefusal = "#error|setup|nil";

// A signed decimal, after the blanks that right-align it; the whole field.
std::optional<std::int64_t> decimalField(std::string_view field) {
  const std::size_t digits = field.find_first_not_of(' ');
  if (digits == std::string_view::npos) return std::nullopt;
  field.remove_prefix(digits);
  std::int64_t value = 0;
  const char* last = field.data() + field.size();
  const auto [end, error] = std::from_chars(field.data(), last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

}  // namespace

std::optional<HostMessage> parseHostMessage(std::string_view text) {
  HostMessage message;
  if (text.starts_with(kProgress) || text.starts_with(kComplete)) {
    const bool progress = text.starts_with(kProgress);
    const auto value = decimalField(text.substr(progress ? kProgress.size() : kComplete.size()));
    if (!value) return std::nullopt;
    message.kind = progress ? HostMessage::Kind::Progress : HostMessage::Kind::Complete;
    message.value = *value;
    return message;
  }
  if (!text.starts_with(kError)) return std::nullopt;
  const std::string_view rest = text.substr(kError.size());
  const std::size_t bar = rest.rfind('|');
  if (bar == std::string_view::npos) return std::nullopt;
  message.kind = HostMessage::Kind::Error;
  message.domain = rest.substr(0, bar);
  if (text == kBusyRefusal) return message;
  const auto code = decimalField(rest.substr(bar + 1));
  if (!code) return std::nullopt;
  message.code = *code;
  return message;
}

}  // namespace zembrel
