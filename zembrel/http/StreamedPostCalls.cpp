// The instance's side of the streamed POST: it starts one StreamedPost at a
// time and forwards to it.

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/ZembrelImpl.hpp"
#include "zembrel/http/StreamedPost.hpp"
#include "zembrel/platform/Clock.hpp"

namespace zembrel {

bool Zembrel::Impl::postRunning() const { return post && post->running(); }

detail::PostProgress& Zembrel::Impl::postProgress() {
  return post ? post->progress() : progressBeforeFirstPost;
}

std::optional<std::string> Zembrel::MIMETypeForFile(const std::string& filePath) {
  return detail::mimeTypeForFileName(filePath);
}

bool Zembrel::doPostWithURL(const std::string& url,
                            const std::optional<std::string>& userAgentString,
                            const std::optional<std::vector<std::string>>& fieldValuePairs,
                            const std::optional<std::string>& filePath,
                            const std::optional<std::vector<std::string>>& headerValuePairs) {
  if (impl_->postRunning()) return false;
  try {
    std::weak_ptr<Zembrel> weakSelf = weak_from_this();
    detail::StreamedPost::Owner owner;
    owner.send = [weakSelf](const std::string& message) {
      if (auto self = weakSelf.lock()) self->sendOpenToApplicationWithString(message);
    };
    // The POST holds the instance until it ends, so an upload in any shape
    // keeps it alive.
    owner.keepAlive = shared_from_this();
    auto post = std::make_shared<detail::StreamedPost>(std::move(owner), impl_->postProgress(),
                                                       impl_->progressEventInterval);
    impl_->post = post;
    return post->start({url, userAgentString, fieldValuePairs, filePath, headerValuePairs, {}});
  } catch (...) {
    sendAppleEventError("Setup", 0);
    return false;
  }
}

void Zembrel::cancelUpload() {
  // Held here: the POST may hold the last reference to this instance.
  if (auto post = impl_->post) post->cancel();
}

std::int64_t Zembrel::getPOSTProgress() {
  return impl_->postProgress().estimate(detail::monotonicSeconds());
}

}  // namespace zembrel
