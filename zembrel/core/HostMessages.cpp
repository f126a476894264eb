#include <string>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/platform/HostChannel.hpp"

namespace zembrel {

void Zembrel::sendOpenToApplicationWithString(std::string_view message) {
  detail::deliverHostMessage(message);
}

void Zembrel::sendAppleEventProgress() {
  sendOpenToApplicationWithString(detail::progressMessageText(getPOSTProgress()));
}

void Zembrel::sendAppleEventFTPProgress(std::uint64_t bytes) {
  sendOpenToApplicationWithString(detail::progressMessageText(static_cast<std::int64_t>(bytes)));
}

void Zembrel::sendAppleEventCompleteWithStatusCode(std::uint32_t status) {
  sendOpenToApplicationWithString(detail::completeMessageText(static_cast<std::int32_t>(status)));
}

void Zembrel::sendAppleEventError(std::string_view text, std::int32_t withCode) {
  sendOpenToApplicationWithString(detail::errorMessageText(text, withCode));
}

}  // namespace zembrel
