#pragma once

// The C++ face of the operations of zembrel.h: one RAII handle per operation,
// std::function callbacks and a plain result value. Header-only over the C
// interface, so it shares the C interface's stable ABI.
//
// Callbacks run on the thread-default GLib main context of the thread that
// started the operation, never inside the start call; `done` runs exactly
// once. An exception thrown by a callback is dropped (it must not cross the
// library).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zembrel/zembrel.h"

namespace zembrel {

// How an operation ended, as a value.
struct OperationResult {
  // Where the operation stands, as zembrel_op_status() tells.
  enum class Status { Running = 0, Succeeded = 1, Failed = 2, Cancelled = 3 };
  Status status = Status::Running;  // how it ended, or Running
  int httpStatus = 0;           // the final HTTP status; 0 when none (FTP: replyCode)
  std::string errorDomain;      // when failed: "POSIX", "NetDB", "Custom", "FTP", "Connect", …
  int errorCode = 0;            // when failed: the code within the domain
  std::string errorMessage;     // when failed: in words
  std::string message;          // the final host message, "#complete|200"
  std::optional<std::string> location;     // a resumable upload's URL
  std::optional<std::string> listingJson;  // a listing, as `zembrel ftp-list` prints it
  // A simple request's or a POST's answer: one "Name: value\n" line per
  // header, then an empty line; and the body, decoded (it may hold zero
  // bytes; a POST keeps up to 16 MiB).
  std::optional<std::string> responseHeaders;  // the answer's header lines
  std::optional<std::string> responseBody;  // the answer's body
  // An FTP operation's last reply (an upload's or listing's final one); 0 when none.
  int replyCode = 0;
  std::optional<std::string> replyText;  // and its text
  std::optional<std::string> password;   // a keyring lookup's item
  std::optional<std::string> account;    // and its account

  // Ended well, and no HTTP status of 400 or more.
  bool ok() const { return status == Status::Succeeded && httpStatus < 400; }
};

// What one operation asks in place of the library's defaults (see
// zembrel_settings in zembrel.h); each absent member keeps the default.
struct OperationSettings {
  using Seconds = std::chrono::duration<double>;  // a span of time, in seconds
  std::optional<Seconds> connectTimeout;    // default 30 s
  std::optional<Seconds> stallTimeout;      // default 60 s
  std::optional<std::string> caFile;        // PEM certificates trusted, in place of the default
  std::optional<std::string> proxy;         // "" for none; absent: the environment's
  std::optional<Seconds> progressInterval;  // default 0.2 s
  std::optional<std::string> userAgent;     // the User-Agent header sent
};

// What an operation calls back, on the context of the thread that started it.
struct OperationCallbacks {
  std::function<void(std::int64_t done, std::int64_t total)> progress;  // total -1: unknown
  std::function<void(const OperationResult& result)> done;               // exactly once
};

// One operation; holds one reference to it. Dropping the handle does not stop
// the operation (cancel() does): its callbacks still come.
class Operation {
 public:
  // No operation.
  Operation() = default;
  // Takes over the reference that a start function of zembrel.h returned.
  explicit Operation(zembrel_op* adopted) : op_(adopted) {}
  // Moves the reference over.
  Operation(Operation&& other) noexcept : op_(std::exchange(other.op_, nullptr)) {}
  // Swaps the references.
  Operation& operator=(Operation&& other) noexcept {
    std::swap(op_, other.op_);
    return *this;
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;
  ~Operation() { zembrel_op_unref(op_); }

  // Whether an operation was started.
  explicit operator bool() const { return op_ != nullptr; }
  // From any thread; after the end it changes nothing.
  void cancel() const { zembrel_op_cancel(op_); }
  // Whether it started and has not ended.
  bool running() const { return op_ != nullptr && zembrel_op_status(op_) == ZEMBREL_OP_RUNNING; }
  // The result so far (Status::Running while it runs).
  OperationResult result() const { return resultOf(op_); }

  // The result of any zembrel_op, as a value.
  static OperationResult resultOf(const zembrel_op* op) {
    OperationResult result;
    if (op == nullptr) return result;
    result.status = static_cast<OperationResult::Status>(zembrel_op_status(op));
    result.httpStatus = zembrel_op_http_status(op);
    result.errorCode = zembrel_op_error_code(op);
    if (const char* text = zembrel_op_error_domain(op)) result.errorDomain = text;
    if (const char* text = zembrel_op_error_message(op)) result.errorMessage = text;
    if (const char* text = zembrel_op_message(op)) result.message = text;
    if (const char* text = zembrel_op_location(op)) result.location = text;
    if (char* json = zembrel_op_result_json(op)) {
      result.listingJson = json;
      zembrel_free(json);
    }
    std::size_t length = 0;
    if (const void* body = zembrel_op_response_body(op, &length))
      result.responseBody.emplace(static_cast<const char*>(body), length);
    if (const char* text = zembrel_op_response_headers(op)) result.responseHeaders = text;
    result.replyCode = zembrel_op_reply_code(op);
    if (const char* text = zembrel_op_reply_text(op)) result.replyText = text;
    if (const char* text = zembrel_op_password(op)) result.password = text;
    if (const char* text = zembrel_op_account(op)) result.account = text;
    return result;
  }

 private:
  zembrel_op* op_ = nullptr;
};

namespace operations_detail {

// The callbacks, alive from the start until `done` has run.
struct Box {
  OperationCallbacks callbacks;

  static void progress(zembrel_op*, std::int64_t done, std::int64_t total, void* data) noexcept {
    auto* box = static_cast<Box*>(data);
    try {
      if (box->callbacks.progress) box->callbacks.progress(done, total);
    } catch (...) {
    }
  }
  static void done(zembrel_op* op, void* data) noexcept {
    std::unique_ptr<Box> box(static_cast<Box*>(data));
    try {
      if (box->callbacks.done) box->callbacks.done(Operation::resultOf(op));
    } catch (...) {
    }
  }
};

// Flat, NULL-terminated "pairs" for the C interface; absent when empty.
class Pairs {
 public:
  explicit Pairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
    for (const auto& [name, value] : pairs) {
      pointers_.push_back(name.c_str());
      pointers_.push_back(value.c_str());
    }
    pointers_.push_back(nullptr);
  }
  const char* const* get() const { return pointers_.size() > 1 ? pointers_.data() : nullptr; }

 private:
  std::vector<const char*> pointers_;
};

// The C settings of one start call; false from valid() when a value was
// refused (out of range) or memory ran out.
class CSettings {
 public:
  explicit CSettings(const OperationSettings& asked) : settings_(zembrel_settings_new()) {
    valid_ = settings_ != nullptr;
    if (!valid_) return;
    if (asked.connectTimeout)
      take(zembrel_settings_set_connect_timeout(settings_, asked.connectTimeout->count()));
    if (asked.stallTimeout)
      take(zembrel_settings_set_stall_timeout(settings_, asked.stallTimeout->count()));
    if (asked.caFile) take(zembrel_settings_set_ca_file(settings_, asked.caFile->c_str()));
    if (asked.proxy) take(zembrel_settings_set_proxy(settings_, asked.proxy->c_str()));
    if (asked.progressInterval)
      take(zembrel_settings_set_progress_interval(settings_, asked.progressInterval->count()));
    if (asked.userAgent) take(zembrel_settings_set_user_agent(settings_, asked.userAgent->c_str()));
  }
  CSettings(const CSettings&) = delete;
  CSettings& operator=(const CSettings&) = delete;
  ~CSettings() { zembrel_settings_free(settings_); }

  bool valid() const { return valid_; }
  const zembrel_settings* get() const { return settings_; }

 private:
  void take(int result) { valid_ = valid_ && result == 0; }

  zembrel_settings* settings_;
  bool valid_ = false;
};

template <class Start>
Operation start(OperationCallbacks callbacks, Start startWith) {
  auto box = std::make_unique<Box>(Box{std::move(callbacks)});
  zembrel_op* op = startWith(&Box::progress, &Box::done, box.get());
  if (op != nullptr) box.release();  // freed after `done`
  return Operation(op);
}

// Starts with C settings made of `settings`; no operation when one of its
// values was refused.
template <class Start>
Operation startWith(const OperationSettings& settings, OperationCallbacks callbacks, Start begin) {
  const CSettings cSettings(settings);
  if (!cSettings.valid()) return Operation();
  return start(std::move(callbacks), [&](auto progress, auto done, void* data) {
    return begin(cSettings.get(), progress, done, data);
  });
}

inline const char* orNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace operations_detail

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Every start function below returns an Operation that holds nothing when
// no operation started (a thread that may not start one, or settings that
// were refused); otherwise `done` follows exactly once.

// A form POST: the fields, and with a file that file as the part `filePart`.
inline Operation postAsync(const OperationSettings& settings, const std::string& url,
                           const Pairs& fields, const std::optional<std::string>& filePart,
                           const std::optional<std::string>& filePath, const Pairs& headers,
                           OperationCallbacks callbacks) {
  using operations_detail::orNull;
  const operations_detail::Pairs cFields(fields), cHeaders(headers);
  return operations_detail::startWith(
      settings, std::move(callbacks), [&](auto cSettings, auto progress, auto done, void* data) {
        return zembrel_post_async_with(cSettings, url.c_str(), cFields.get(), orNull(filePart),
                                       orNull(filePath), cHeaders.get(), progress, done, data);
      });
}

// As above, with the default settings.
inline Operation postAsync(const std::string& url, const Pairs& fields,
                           const std::optional<std::string>& filePart,
                           const std::optional<std::string>& filePath, const Pairs& headers,
                           OperationCallbacks callbacks) {
  return postAsync({}, url, fields, filePart, filePath, headers, std::move(callbacks));
}

// A resumable upload; the result's `location` is the upload's URL.
inline Operation resumableUploadAsync(const OperationSettings& settings,
                                      const std::string& endpoint, const std::string& filePath,
                                      const Pairs& metadata, const Pairs& headers,
                                      OperationCallbacks callbacks) {
  const operations_detail::Pairs cMetadata(metadata), cHeaders(headers);
  return operations_detail::startWith(
      settings, std::move(callbacks), [&](auto cSettings, auto progress, auto done, void* data) {
        return zembrel_resumable_upload_async_with(cSettings, endpoint.c_str(), filePath.c_str(),
                                                   cMetadata.get(), cHeaders.get(), progress, done,
                                                   data);
      });
}

// As above, with the default settings.
inline Operation resumableUploadAsync(const std::string& endpoint, const std::string& filePath,
                                      const Pairs& metadata, const Pairs& headers,
                                      OperationCallbacks callbacks) {
  return resumableUploadAsync({}, endpoint, filePath, metadata, headers, std::move(callbacks));
}

// An FTP upload; with `resume` the server's copy is continued.
inline Operation ftpUploadAsync(const OperationSettings& settings, const std::string& localPath,
                                const std::string& url, bool resume, OperationCallbacks callbacks) {
  return operations_detail::startWith(
      settings, std::move(callbacks), [&](auto cSettings, auto progress, auto done, void* data) {
        return zembrel_ftp_upload_async_with(cSettings, localPath.c_str(), url.c_str(),
                                             resume ? 1 : 0, progress, done, data);
      });
}

// As above, with the default settings.
inline Operation ftpUploadAsync(const std::string& localPath, const std::string& url, bool resume,
                                OperationCallbacks callbacks) {
  return ftpUploadAsync({}, localPath, url, resume, std::move(callbacks));
}

// An FTP listing down to `level`; the result's `listingJson` holds the tree.
inline Operation ftpListAsync(const OperationSettings& settings, const std::string& url, int level,
                              OperationCallbacks callbacks) {
  return operations_detail::startWith(
      settings, std::move(callbacks), [&](auto cSettings, auto, auto done, void* data) {
        return zembrel_ftp_list_async_with(cSettings, url.c_str(), level, done, data);
      });
}

// As above, with the default settings.
inline Operation ftpListAsync(const std::string& url, int level, OperationCallbacks callbacks) {
  return ftpListAsync({}, url, level, std::move(callbacks));
}

// A simple request: a GET, or with fields a POST shaped by `encoding`
// ("urlencoded", "raw", "multipart"; absent: multipart without naming it).
// The result's `httpStatus`, `responseHeaders` and `responseBody` hold the answer.
inline Operation requestAsync(const OperationSettings& settings, const std::string& url,
                              const std::vector<std::string>& fields,
                              const std::optional<std::string>& encoding, const Pairs& headers,
                              OperationCallbacks callbacks) {
  std::vector<const char*> cFields;
  for (const std::string& field : fields) cFields.push_back(field.c_str());
  cFields.push_back(nullptr);
  const operations_detail::Pairs cHeaders(headers);
  return operations_detail::startWith(
      settings, std::move(callbacks), [&](auto cSettings, auto progress, auto done, void* data) {
        return zembrel_request_async(
            cSettings, url.c_str(), fields.empty() ? nullptr : cFields.data(),
            operations_detail::orNull(encoding), cHeaders.get(), progress, done, data);
      });
}

// MKD or RMD of the URL's path; the result's `replyCode` and `replyText`
// hold the server's last reply, failed or not.
inline Operation ftpMakeDirectoryAsync(const OperationSettings& settings, const std::string& url,
                                       OperationCallbacks callbacks) {
  return operations_detail::startWith(
      settings, std::move(callbacks), [&](auto cSettings, auto, auto done, void* data) {
        return zembrel_ftp_mkdir_async(cSettings, url.c_str(), done, data);
      });
}

// As above, with the default settings.
inline Operation ftpRemoveDirectoryAsync(const OperationSettings& settings, const std::string& url,
                                         OperationCallbacks callbacks) {
  return operations_detail::startWith(
      settings, std::move(callbacks), [&](auto cSettings, auto, auto done, void* data) {
        return zembrel_ftp_rmdir_async(cSettings, url.c_str(), done, data);
      });
}

// The keyring calls, on a thread of the library's (a call may wait seconds
// for the keyring service). A lookup's result holds `password` and `account`;
// a missing item fails with "Keyring" -25300.
inline Operation keyringStoreAsync(const std::string& service, const std::string& account,
                                   const std::string& password,
                                   const std::optional<std::string>& oldService,
                                   OperationCallbacks callbacks) {
  return operations_detail::start(std::move(callbacks), [&](auto, auto done, void* data) {
    return zembrel_keyring_store_async(nullptr, service.c_str(), account.c_str(), password.c_str(),
                                       operations_detail::orNull(oldService), done, data);
  });
}

// As above, with the default settings.
inline Operation keyringLookupAsync(const std::string& service, OperationCallbacks callbacks) {
  return operations_detail::start(std::move(callbacks), [&](auto, auto done, void* data) {
    return zembrel_keyring_lookup_async(nullptr, service.c_str(), done, data);
  });
}

// As above, with the default settings.
inline Operation keyringDeleteAsync(const std::string& service, OperationCallbacks callbacks) {
  return operations_detail::start(std::move(callbacks), [&](auto, auto done, void* data) {
    return zembrel_keyring_delete_async(nullptr, service.c_str(), done, data);
  });
}

}  // namespace zembrel
