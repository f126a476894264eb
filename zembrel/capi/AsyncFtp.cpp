// The FTP operations of their own through the C interface: an upload, a tree
// listing and the directory commands, each on a connection of its own, driven
// on a worker thread and reporting to its zembrel_op (which hands everything
// to the starting thread's context).

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "zembrel/capi/Json.hpp"
#include "zembrel/capi/Operation.hpp"
#include "zembrel/capi/Settings.hpp"
#include "zembrel/core/CancelToken.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/ftp/FtpClient.hpp"
#include "zembrel/ftp/FtpDirectoryCommand.hpp"
#include "zembrel/ftp/FtpTreeWalk.hpp"
#include "zembrel/ftp/FtpUploadOperation.hpp"

using zembrel::capi::finishOnWorkerThread;
using zembrel::capi::newOperation;
using zembrel::capi::OperationExtras;
using zembrel::capi::startChecked;
using zembrel::detail::FtpClient;
using zembrel::detail::Outcome;

namespace {

// The server's reply that an FTP upload or listing ended on, where one did
// (its success or its refusal): reachable with zembrel_op_reply_code(). A
// failure of libcurl's and a cancel leave none.
void keepFinalReply(const Outcome& outcome, OperationExtras& extras) {
  if (outcome.ok()) {
    extras.replyCode = outcome.status;
  } else if (outcome.cause == Outcome::Cause::ServerRefused) {
    extras.replyCode = static_cast<int>(outcome.causeCode);
  } else {
    return;
  }
  extras.replyText = zembrel::detail::peerText(outcome.words);
}

zembrel_op* startFtpUpload(const zembrel_settings& settings, const char* localPath, const char* url,
                           bool resume, zembrel_progress_fn progress, zembrel_done_fn done,
                           void* userData) {
  const std::string path = zembrel::capi::text(localPath);
  const std::string destination = zembrel::capi::text(url);
  return newOperation(progress, done, userData, [&](zembrel_op* op) {
    // The transfer reports every block: the op spaces them out.
    op->setProgressInterval(zembrel::capi::progressIntervalOf(settings));
    if (auto refused = zembrel::capi::localFileRefusal(path)) return op->finish(*refused);
    struct stat info {};
    const std::int64_t total = ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
    auto client = std::make_shared<FtpClient>();
    auto stop = std::make_shared<zembrel::detail::UploadStop>();
    stop->progress = [op, total](std::uint64_t bytes) {
      op->reportProgress(static_cast<std::int64_t>(bytes), total);
    };
    op->setCancel([stop] { stop->request(); });
    finishOnWorkerThread(op, [client, stop, path, destination, resume,
                              transfer = settings.transfer](OperationExtras& extras) {
      Outcome outcome =
          zembrel::detail::FtpUploadOperation(*client, stop, path, destination, resume, transfer)
              .run();
      keepFinalReply(outcome, extras);
      return outcome;
    });
  });
}

// How a listing ended, as an outcome: its last reply, a cancel, the entry
// limit, or no answer at all.
Outcome listingOutcome(const zembrel::detail::FtpTreeWalk& walk) {
  if (auto ended = walk.outcome()) return *ended;
  return Outcome::failedBecause(Outcome::Cause::NoConnection, 0, "Could not connect to server", 0,
                                "the server gave no answer");
}

// Starts `work(client, lease, token, extras)` on a worker thread, on a
// connection of its own; a URL that cannot be used ends the op at once, as
// libcurl would refuse it.
template <class Work>
zembrel_op* startOnOwnConnection(bool urlUsable, zembrel_done_fn done, void* userData, Work work) {
  return newOperation(nullptr, done, userData, [&](zembrel_op* op) {
    auto token = zembrel::detail::makeCancelToken();
    op->setCancel([token] { token->request(); });
    if (!urlUsable) return op->finish(zembrel::detail::malformedUrlOutcome());
    auto client = std::make_shared<FtpClient>();
    finishOnWorkerThread(op, [client, token, work = std::move(work)](OperationExtras& extras) {
      auto lease = client->connection().acquire();
      if (!lease) throw std::bad_alloc();  // libcurl could not make a handle
      return work(*client, lease, *token, extras);
    });
  });
}

zembrel_op* startFtpList(const zembrel_settings& settings, const char* url, int level,
                         zembrel_done_fn done, void* userData) {
  const std::string where = zembrel::capi::text(url);
  return startOnOwnConnection(
      zembrel::detail::FtpTreeWalk::canList(where), done, userData,
      [where, level, transfer = settings.transfer](FtpClient& client, auto& lease,
                                                   const zembrel::detail::CancelToken& token,
                                                   OperationExtras& extras) {
        const std::atomic<bool> noUploadWaits{false};
        zembrel::detail::FtpTreeWalk walk(lease, client.replies(), token, noUploadWaits, transfer);
        const zembrel::ListingResult listing = walk.run(where, static_cast<long long>(level));
        Outcome outcome = listingOutcome(walk);
        if (outcome.ok()) extras.resultJson = zembrel::capi::listingJson(listing);
        keepFinalReply(outcome, extras);
        return outcome;
      });
}

// MKD (`make`) or RMD; the last reply stays reachable, failed or not.
zembrel_op* startDirectoryCommand(const zembrel_settings& settings, const char* url, bool make,
                                  zembrel_done_fn done, void* userData) {
  const std::string where = zembrel::capi::text(url);
  return startOnOwnConnection(
      zembrel::detail::canRunDirectoryCommand(where), done, userData,
      [where, make, transfer = settings.transfer](FtpClient& client, auto& lease,
                                                  const zembrel::detail::CancelToken& token,
                                                  OperationExtras& extras) {
        const Outcome outcome = zembrel::detail::runDirectoryCommand(lease, client.replies(),
                                                                     token, where, make, transfer);
        extras.replyCode = client.replies().code();
        // A server's text, made safe as in every result: one line, no "|".
        if (auto text = client.replies().text()) extras.replyText = zembrel::detail::peerText(*text);
        return outcome;
      });
}

}  // namespace

extern "C" {

zembrel_op* zembrel_ftp_upload_async_with(const zembrel_settings* settings, const char* local_path,
                                          const char* url, int resume, zembrel_progress_fn progress,
                                          zembrel_done_fn done, void* user_data) {
  return startChecked([&] {
    return startFtpUpload(zembrel::capi::settingsOf(settings), local_path, url, resume != 0,
                          progress, done, user_data);
  });
}

zembrel_op* zembrel_ftp_upload_async(const char* local_path, const char* url, int resume,
                                     zembrel_progress_fn progress, zembrel_done_fn done,
                                     void* user_data) {
  return zembrel_ftp_upload_async_with(nullptr, local_path, url, resume, progress, done, user_data);
}

zembrel_op* zembrel_ftp_list_async_with(const zembrel_settings* settings, const char* url,
                                        int level, zembrel_done_fn done, void* user_data) {
  return startChecked([&] {
    return startFtpList(zembrel::capi::settingsOf(settings), url, level, done, user_data);
  });
}

zembrel_op* zembrel_ftp_list_async(const char* url, int level, zembrel_done_fn done,
                                   void* user_data) {
  return zembrel_ftp_list_async_with(nullptr, url, level, done, user_data);
}

zembrel_op* zembrel_ftp_mkdir_async(const zembrel_settings* settings, const char* url,
                                    zembrel_done_fn done, void* user_data) {
  return startChecked([&] {
    return startDirectoryCommand(zembrel::capi::settingsOf(settings), url, true, done, user_data);
  });
}

zembrel_op* zembrel_ftp_rmdir_async(const zembrel_settings* settings, const char* url,
                                    zembrel_done_fn done, void* user_data) {
  return startChecked([&] {
    return startDirectoryCommand(zembrel::capi::settingsOf(settings), url, false, done, user_data);
  });
}

}  // extern "C"
