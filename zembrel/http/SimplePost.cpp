#include <string>
#include <string_view>
#include <vector>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/core/ZembrelImpl.hpp"
#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/SimpleRequest.hpp"
#include "zembrel/platform/HeaderFields.hpp"
#include "zembrel/platform/TransferError.hpp"

namespace zembrel {
namespace {

using namespace detail;

}  // namespace

std::string Zembrel::doSimplePostWithURL(
    const std::string& url, const std::string& userAgentString,
    const std::optional<std::vector<std::string>>& fieldValuePairs,
    const std::optional<std::string>& postEncoding,
    const std::optional<std::vector<std::string>>& headerValuePairs) {
  // Held for the call: another thread may drop the host's last reference.
  const auto keep = weak_from_this().lock();
  if (impl_->postRunning()) return requestResultText(Outcome::busy());
  try {
    SimpleRequest operation(
        simpleUrlRequest(url, userAgentString, fieldValuePairs, postEncoding, headerValuePairs));
    return requestResultText(operation.run());
  } catch (...) {
    const TransferError error = outOfMemoryError();
    return requestResultText(Outcome::failed(error.domain, error.code, error.message));
  }
}

}  // namespace zembrel
