#include <cinttypes>
#include <cstdio>
#include <string>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/HostChannel.hpp"

namespace zembrel {
namespace {

std::string progressMessage(std::int64_t bytes) {
  char text[48];
  std::snprintf(text, sizeof text, "#progress|%5" PRId64, bytes);
  return text;
}

}  // namespace

void Zembrel::sendOpenToApplicationWithString(std::string_view message) {
  detail::deliverHostMessage(message);
}

void Zembrel::sendAppleEventProgress() {
  sendOpenToApplicationWithString(progressMessage(getPOSTProgress()));
}

void Zembrel::sendAppleEventFTPProgress(std::uint64_t bytes) {
  sendOpenToApplicationWithString(progressMessage(static_cast<std::int64_t>(bytes)));
}

void Zembrel::sendAppleEventCompleteWithStatusCode(std::uint32_t status) {
  char text[32];
  std::snprintf(text, sizeof text, "#complete|%3" PRId32, static_cast<std::int32_t>(status));
  sendOpenToApplicationWithString(text);
}

void Zembrel::sendAppleEventError(std::string_view text, std::int32_t withCode) {
  std::string message = "#error|";
  message.append(text);
  message += '|';
  message += std::to_string(withCode);
  sendOpenToApplicationWithString(message);
}

}  // namespace zembrel
