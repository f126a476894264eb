#include <filesystem>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/core/ZembrelImpl.hpp"
#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/ResumableUpload.hpp"
#include "zembrel/http/ResumeStore.hpp"
#include "zembrel/platform/HostChannel.hpp"

namespace zembrel {
namespace {

// Name/value pairs of a flat list; an odd last element is ignored.
std::vector<std::pair<std::string, std::string>> pairsOf(
    const std::optional<std::vector<std::string>>& list) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!list) return pairs;
  for (std::size_t i = 0; i < detail::pairedCount(*list); i += 2)
    pairs.emplace_back((*list)[i], (*list)[i + 1]);
  return pairs;
}

// "#error|Setup|0": the upload cannot start.
void sendSetupFailure() {
  detail::deliverHostMessage(
      detail::finalMessageText(detail::Outcome::failed("Setup", 0, "the upload cannot start")));
}

}  // namespace

bool Zembrel::doResumableUploadWithURL(
    const std::string& url, const std::string& filePath,
    const std::optional<std::vector<std::string>>& metadataValuePairs,
    const std::optional<std::vector<std::string>>& headerValuePairs) {
  if (impl_->resumableUpload) return false;
  try {
    detail::ResumableUpload::Settings settings;
    settings.endpoint = url;
    // The kept state is found by the absolute path, whatever the current
    // folder of a later run.
    settings.filePath = std::filesystem::absolute(filePath).lexically_normal().string();
    settings.metadata = pairsOf(metadataValuePairs);
    for (const auto& [name, value] : pairsOf(headerValuePairs)) settings.headers.set(name, value);
    settings.retryDelays = impl_->resumableRetryDelays;
    settings.progressInterval = std::chrono::duration<double>(impl_->progressEventInterval);
    settings.stateFolder = detail::ResumeStore::defaultFolder();

    std::weak_ptr<Zembrel> weakSelf = weak_from_this();
    detail::ResumableUpload::Owner owner;
    owner.send = [weakSelf](const std::string& message) {
      if (auto self = weakSelf.lock()) self->sendOpenToApplicationWithString(message);
    };
    owner.ended = [weakSelf] {
      if (auto self = weakSelf.lock()) self->impl_->resumableUpload.reset();
    };
    owner.keepAlive = shared_from_this();

    auto upload = detail::ResumableUpload::create(std::move(settings), std::move(owner));
    if (!upload) {
      sendSetupFailure();
      return false;
    }
    impl_->resumableUpload = upload;
    upload->start();
    return true;
  } catch (...) {
    impl_->resumableUpload.reset();
    sendSetupFailure();
    return false;
  }
}

void Zembrel::cancelResumableUpload() {
  // Held here: the upload lets go of the instance's pointer as it ends.
  if (auto upload = impl_->resumableUpload) upload->cancel();
}

void Zembrel::setResumableRetryDelays(std::vector<std::chrono::milliseconds> delays) {
  impl_->resumableRetryDelays = std::move(delays);
}

std::vector<std::chrono::milliseconds> Zembrel::resumableRetryDelays() const {
  return impl_->resumableRetryDelays;
}

}  // namespace zembrel
