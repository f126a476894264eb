// The FTP operations of their own through the C interface: an upload and a
// tree listing, each on a connection of its own, driven on a worker thread
// and reporting to its zembrel_op (which hands everything to the starting
// thread's context).

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "zembrel/capi/Json.hpp"
#include "zembrel/capi/Operation.hpp"
#include "zembrel/core/CancelToken.hpp"
#include "zembrel/ftp/FtpClient.hpp"
#include "zembrel/ftp/FtpTreeWalk.hpp"
#include "zembrel/ftp/FtpUploadOperation.hpp"

using zembrel::capi::guarded;
using zembrel::detail::FtpClient;
using zembrel::detail::Outcome;

namespace {

// Runs `work` on a thread of its own; false when no thread could be made.
template <class Work>
bool onWorkerThread(Work work) {
  try {
    std::thread(std::move(work)).detach();
    return true;
  } catch (...) {
    return false;
  }
}

zembrel_op* startFtpUpload(const char* localPath, const char* url, bool resume,
                           zembrel_progress_fn progress, zembrel_done_fn done, void* userData) {
  const std::string path = zembrel::capi::text(localPath);
  const std::string destination = zembrel::capi::text(url);
  auto* op = new zembrel_op(progress, done, userData);
  // Nothing thrown below may leave the op without its end.
  try {
    if (auto refused = zembrel::capi::localFileRefusal(path)) {
      op->finish(*refused);
      return op;
    }
    struct stat info {};
    const std::int64_t total = ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
    auto client = std::make_shared<FtpClient>();
    auto stop = std::make_shared<zembrel::detail::UploadStop>();
    stop->progress = [op, total](std::uint64_t bytes) {
      op->reportProgress(static_cast<std::int64_t>(bytes), total);
    };
    op->setCancel([stop] { stop->token.request(); });
    const bool started = onWorkerThread([op, client, stop, path, destination, resume] {
      Outcome outcome = Outcome::failed("Setup", 0, "memory ran out");
      try {
        outcome =
            zembrel::detail::FtpUploadOperation(*client, stop, path, destination, resume).run();
      } catch (...) {
      }
      op->finish(outcome);
    });
    if (!started) op->finish(Outcome::failed("Setup", 0, "no thread for the upload"));
  } catch (...) {
    op->finish(Outcome::failed("Setup", 0, "memory ran out"));
  }
  return op;
}

// How a listing ended, as an outcome: its last reply, a cancel, the entry
// limit, or no answer at all.
Outcome listingOutcome(const zembrel::detail::FtpTreeWalk& walk) {
  if (auto ended = walk.outcome()) return *ended;
  return Outcome::failed("Could not connect to server", 0, "the server gave no answer");
}

zembrel_op* startFtpList(const char* url, int level, zembrel_done_fn done, void* userData) {
  const std::string where = zembrel::capi::text(url);
  auto* op = new zembrel_op(nullptr, done, userData);
  // Nothing thrown below may leave the op without its end.
  try {
    auto token = zembrel::detail::makeCancelToken();
    op->setCancel([token] { token->request(); });
    if (!zembrel::detail::FtpTreeWalk::canList(where)) {
      op->finish(zembrel::detail::malformedUrlOutcome());
      return op;
    }
    auto client = std::make_shared<FtpClient>();
    const bool started = onWorkerThread([op, client, token, where, level] {
      Outcome outcome = Outcome::failed("Setup", 0, "memory ran out");
      zembrel::capi::OperationExtras extras;
      try {
        auto lease = client->connection().acquire();
        if (!lease) throw std::bad_alloc();  // libcurl could not make a handle
        const std::atomic<bool> noUploadWaits{false};
        zembrel::detail::FtpTreeWalk walk(lease, client->replies(), *token, noUploadWaits);
        const zembrel::ListingResult listing = walk.run(where, static_cast<long long>(level));
        outcome = listingOutcome(walk);
        if (outcome.ok()) extras.resultJson = zembrel::capi::listingJson(listing);
      } catch (...) {
      }
      op->finish(outcome, std::move(extras));
    });
    if (!started) op->finish(Outcome::failed("Setup", 0, "no thread for the listing"));
  } catch (...) {
    op->finish(Outcome::failed("Setup", 0, "memory ran out"));
  }
  return op;
}

}  // namespace

extern "C" {

zembrel_op* zembrel_ftp_upload_async(const char* local_path, const char* url, int resume,
                                     zembrel_progress_fn progress, zembrel_done_fn done,
                                     void* user_data) {
  return guarded<zembrel_op*>(nullptr, [&]() -> zembrel_op* {
    if (!zembrel::capi::threadMayStartOperations()) return nullptr;
    return startFtpUpload(local_path, url, resume != 0, progress, done, user_data);
  });
}

zembrel_op* zembrel_ftp_list_async(const char* url, int level, zembrel_done_fn done,
                                   void* user_data) {
  return guarded<zembrel_op*>(nullptr, [&]() -> zembrel_op* {
    if (!zembrel::capi::threadMayStartOperations()) return nullptr;
    return startFtpList(url, level, done, user_data);
  });
}

}  // extern "C"
