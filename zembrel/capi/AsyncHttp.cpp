// The HTTP operations of their own through the C interface: the streamed
// POST and the resumable upload, each reporting to its zembrel_op.

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zembrel/capi/Operation.hpp"
#include "zembrel/capi/Settings.hpp"
#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/PostProgress.hpp"
#include "zembrel/http/ResumableUpload.hpp"
#include "zembrel/http/ResumeStore.hpp"
#include "zembrel/http/RetryPolicy.hpp"
#include "zembrel/http/StreamedPost.hpp"

using zembrel::capi::startChecked;
using zembrel::detail::Outcome;

namespace {

// The names and values of a NULL-terminated pairs list; an odd last element
// is ignored.
std::vector<std::string> pairList(const char* const* list) {
  std::vector<std::string> flat =
      zembrel::capi::textList(list).value_or(std::vector<std::string>{});
  flat.resize(zembrel::detail::pairedCount(flat));
  return flat;
}

std::vector<std::pair<std::string, std::string>> pairsOf(const char* const* list) {
  const std::vector<std::string> flat = pairList(list);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::size_t i = 0; i < flat.size(); i += 2) pairs.emplace_back(flat[i], flat[i + 1]);
  return pairs;
}

// Keeps an operation object alive from its start to its end: a cycle through
// its owner's keepAlive that the operation breaks when it ends.
template <class Operation>
struct SelfHold {
  std::shared_ptr<Operation> operation;
};

// Most bytes of a POST's answer that its op keeps in memory: a page or a
// document saying where the upload went, far above what upload services send.
constexpr std::size_t kKeptAnswerBytes = std::size_t{16} << 20;

zembrel_op* startPost(const zembrel_settings& settings, const char* url, const char* const* fields,
                      const char* filePart, const char* filePath, const char* const* headers,
                      zembrel_progress_fn progress, zembrel_done_fn done, void* userData) {
  return zembrel::capi::newOperation(progress, done, userData, [&](zembrel_op* op) {
    zembrel::detail::StreamedPostArguments arguments;
    arguments.url = zembrel::capi::text(url);
    arguments.userAgent = settings.userAgent;
    arguments.transfer = settings.transfer;
    std::vector<std::string> fieldList = pairList(fields);
    if (filePath != nullptr) {
      if (auto refused = zembrel::capi::localFileRefusal(filePath)) return op->finish(*refused);
      fieldList.push_back(zembrel::capi::text(filePart));  // the file's part name
      arguments.filePath = filePath;
    }
    arguments.fields = std::move(fieldList);
    if (headers != nullptr) arguments.headers = pairList(headers);

    auto hold = std::make_shared<SelfHold<zembrel::detail::StreamedPost>>();
    zembrel::detail::StreamedPost::Owner owner;
    owner.progressed = [op](std::int64_t done, std::int64_t total) {
      op->reportProgress(done, total);
    };
    // The answer stays with the op: concurrent POSTs would overwrite each
    // other's in the shared response file.
    owner.keepAnswerUpTo = kKeptAnswerBytes;
    owner.finished = [op, weak = std::weak_ptr(hold)](const Outcome& outcome) {
      zembrel::capi::OperationExtras extras;
      const auto held = weak.lock();
      if (auto answer = held && held->operation ? held->operation->takeAnswer() : std::nullopt) {
        extras.responseHead = std::move(answer->headers);
        extras.responseBody = std::move(answer->body);
      }
      op->finish(outcome, std::move(extras));
    };
    owner.keepAlive = hold;
    hold->operation = std::make_shared<zembrel::detail::StreamedPost>(
        std::move(owner), zembrel::detail::PostProgress{},
        zembrel::capi::progressIntervalOf(settings));
    const auto context = zembrel::detail::MainContext::threadDefault();
    std::weak_ptr<zembrel::detail::StreamedPost> weak = hold->operation;
    // The POST lives on this thread: a cancel from elsewhere is handed over.
    op->setCancel([context, weak] {
      zembrel::detail::performOn(context, [weak] {
        if (auto post = weak.lock()) post->cancel();
      });
    });
    // A POST that cannot start has already ended with its outcome.
    hold->operation->start(arguments);
  });
}

zembrel_op* startResumable(const zembrel_settings& asked, const char* endpoint,
                           const char* filePath, const char* const* metadata,
                           const char* const* headers, zembrel_progress_fn progress,
                           zembrel_done_fn done, void* userData) {
  zembrel::detail::ResumableUpload::Settings settings;
  settings.endpoint = zembrel::capi::text(endpoint);
  settings.filePath =
      std::filesystem::absolute(zembrel::capi::text(filePath)).lexically_normal().string();
  settings.metadata = pairsOf(metadata);
  // The caller's headers replace the user agent of the settings.
  if (asked.userAgent && !asked.userAgent->empty())
    settings.headers.set("User-Agent", *asked.userAgent);
  for (const auto& [name, value] : pairsOf(headers)) settings.headers.set(name, value);
  settings.retryDelays = zembrel::detail::defaultRetryDelays();
  settings.progressInterval =
      std::chrono::duration<double>(zembrel::capi::progressIntervalOf(asked));
  settings.stateFolder = zembrel::detail::ResumeStore::defaultFolder();
  settings.transfer = asked.transfer;

  return zembrel::capi::newOperation(progress, done, userData, [&](zembrel_op* op) {
    if (auto refused = zembrel::capi::localFileRefusal(settings.filePath))
      return op->finish(*refused);
    auto hold = std::make_shared<SelfHold<zembrel::detail::ResumableUpload>>();
    zembrel::detail::ResumableUpload::Owner owner;
    owner.progressed = [op](std::int64_t done, std::int64_t total) {
      op->reportProgress(done, total);
    };
    // The upload holds itself through `hold` until it ends: its owner, and with
    // it this cycle, goes then.
    owner.finished = [op, hold](const Outcome& outcome) {
      zembrel::capi::OperationExtras extras;
      if (hold->operation) extras.location = hold->operation->uploadUrl();
      op->finish(outcome, std::move(extras));
    };
    auto upload = zembrel::detail::ResumableUpload::create(std::move(settings), std::move(owner));
    if (!upload) {
      return op->finish(Outcome::failed("Setup", 0,
                                        "the upload cannot start: an endpoint that is not http "
                                        "or https, or metadata that cannot be sent"));
    }
    hold->operation = upload;
    const auto context = zembrel::detail::MainContext::threadDefault();
    std::weak_ptr<zembrel::detail::ResumableUpload> weak = upload;
    op->setCancel([context, weak] {
      zembrel::detail::performOn(context, [weak] {
        if (auto running = weak.lock()) running->cancel();
      });
    });
    upload->start();
  });
}

}  // namespace

extern "C" {

zembrel_op* zembrel_post_async_with(const zembrel_settings* settings, const char* url,
                                    const char* const* fields, const char* file_part,
                                    const char* file_path, const char* const* headers,
                                    zembrel_progress_fn progress, zembrel_done_fn done,
                                    void* user_data) {
  return startChecked([&] {
    return startPost(zembrel::capi::settingsOf(settings), url, fields, file_part, file_path,
                     headers, progress, done, user_data);
  });
}

zembrel_op* zembrel_post_async(const char* url, const char* const* fields, const char* file_part,
                               const char* file_path, const char* const* headers,
                               zembrel_progress_fn progress, zembrel_done_fn done,
                               void* user_data) {
  return zembrel_post_async_with(nullptr, url, fields, file_part, file_path, headers, progress,
                                 done, user_data);
}

zembrel_op* zembrel_resumable_upload_async_with(const zembrel_settings* settings,
                                                const char* endpoint, const char* file_path,
                                                const char* const* metadata,
                                                const char* const* headers,
                                                zembrel_progress_fn progress, zembrel_done_fn done,
                                                void* user_data) {
  return startChecked([&] {
    return startResumable(zembrel::capi::settingsOf(settings), endpoint, file_path, metadata,
                          headers, progress, done, user_data);
  });
}

zembrel_op* zembrel_resumable_upload_async(const char* endpoint, const char* file_path,
                                           const char* const* metadata, const char* const* headers,
                                           zembrel_progress_fn progress, zembrel_done_fn done,
                                           void* user_data) {
  return zembrel_resumable_upload_async_with(nullptr, endpoint, file_path, metadata, headers,
                                             progress, done, user_data);
}

}  // extern "C"
