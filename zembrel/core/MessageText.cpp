#include "zembrel/core/MessageText.hpp"

#include <cinttypes>
#include <cstdio>

namespace zembrel::detail {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool isControlOrBar(unsigned char byte) { return byte < 0x20 || byte == 0x7f || byte == '|'; }

// U+0080..U+009F, encoded as C2 80..C2 9F.
bool isC1Control(std::string_view text, std::size_t at) {
  return at + 1 < text.size() && static_cast<unsigned char>(text[at]) == 0xc2 &&
         static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
         static_cast<unsigned char>(text[at + 1]) <= 0x9f;
}

}  // namespace

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

std::string peerText(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isControlOrBar(static_cast<unsigned char>(text[i]))) {
      safe += kReplacement;
    } else if (isC1Control(text, i)) {
      safe += kReplacement;
      ++i;
    } else {
      safe += text[i];
    }
  }
  return safe;
}

std::string peerErrorMessageText(std::string_view text, std::int64_t code) {
  return errorMessageText(peerText(text), code);
}

std::string replyResultText(std::string_view text, std::int64_t code) {
  return peerText(text) + '|' + std::to_string(code);
}

namespace {

std::string domainText(const Outcome& outcome) {
  return outcome.domainSource == Outcome::DomainSource::Peer ? peerText(outcome.domain)
                                                             : outcome.domain;
}

}  // namespace

std::string finalMessageText(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::Succeeded:
      return completeMessageText(outcome.status);
    case Outcome::Kind::Failed:
      return errorMessageText(domainText(outcome), outcome.code);
    case Outcome::Kind::Cancelled:
      break;
  }
  return errorMessageText("Upload Cancelled", 0);
}

std::string resultText(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::Succeeded:
      return replyResultText(outcome.words, outcome.status);
    case Outcome::Kind::Failed:
      return domainText(outcome) + '|' + std::to_string(outcome.code);
    case Outcome::Kind::Cancelled:
      break;
  }
  return "Cancelled by user|0";
}

std::string requestResultText(const Outcome& outcome) {
  if (outcome.isBusy()) return "#error|setup|nil";
  switch (outcome.kind) {
    case Outcome::Kind::Succeeded:
      return "#complete|" + std::to_string(outcome.status);
    case Outcome::Kind::Failed:
      return errorMessageText(domainText(outcome), outcome.code);
    case Outcome::Kind::Cancelled:
      break;
  }
  return errorMessageText("Cancelled", 0);
}

}  // namespace zembrel::detail
