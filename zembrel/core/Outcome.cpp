#include "zembrel/core/Outcome.hpp"

#include <utility>

namespace zembrel::detail {

Outcome Outcome::succeeded(std::int32_t status, std::string replyText) {
  Outcome outcome;
  outcome.kind = Kind::Succeeded;
  outcome.status = status;
  outcome.words = std::move(replyText);
  return outcome;
}

Outcome Outcome::failed(std::string domain, std::int64_t code, std::string words,
                        DomainSource source) {
  Outcome outcome;
  outcome.kind = Kind::Failed;
  outcome.domain = std::move(domain);
  outcome.code = code;
  outcome.words = std::move(words);
  outcome.domainSource = source;
  return outcome;
}

Outcome Outcome::refusedByPeer(std::string replyText, std::int64_t replyCode) {
  std::string words = replyText;
  return failedBecause(Cause::ServerRefused, replyCode, std::move(replyText), replyCode,
                       std::move(words), DomainSource::Peer);
}

Outcome Outcome::failedBecause(Cause cause, std::int64_t causeCode, std::string domain,
                               std::int64_t code, std::string words, DomainSource source) {
  Outcome outcome = failed(std::move(domain), code, std::move(words), source);
  outcome.cause = cause;
  outcome.causeCode = causeCode;
  return outcome;
}

Outcome Outcome::cancelled() {
  Outcome outcome;
  outcome.kind = Kind::Cancelled;
  return outcome;
}

namespace {
constexpr const char* kBusyDomain = "setup";
}  // namespace

Outcome Outcome::busy() { return failed(kBusyDomain, 0, "a streamed POST of this instance runs"); }

bool Outcome::isBusy() const {
  return kind == Kind::Failed && domainSource == DomainSource::Ours && domain == kBusyDomain &&
         code == 0;
}

}  // namespace zembrel::detail
