#pragma once

// The C++ face of the operations of zembrel.h: one RAII handle per operation,
// std::function callbacks and a plain result value. Header-only over the C
// interface, so it shares the C interface's stable ABI.
//
// Callbacks run on the thread-default GLib main context of the thread that
// started the operation, never inside the start call; `done` runs exactly
// once. An exception thrown by a callback is dropped (it must not cross the
// library).

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
  int httpStatus = 0;           // the final HTTP status; 0 when none
  std::string errorDomain;      // when failed: "POSIX", "NetDB", "Custom", "HTTP", "FTP", …
  int errorCode = 0;            // when failed: the code within the domain
  std::string errorMessage;     // when failed: in words
  std::string message;          // the final host message, "#complete|200"
  std::optional<std::string> location;     // a resumable upload's URL
  std::optional<std::string> listingJson;  // a listing, as `zembrel ftp-list` prints it

  // Ended well, and no HTTP status of 400 or more.
  bool ok() const { return status == Status::Succeeded && httpStatus < 400; }
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

template <class Start>
Operation start(OperationCallbacks callbacks, Start startWith) {
  auto box = std::make_unique<Box>(Box{std::move(callbacks)});
  zembrel_op* op = startWith(&Box::progress, &Box::done, box.get());
  if (op != nullptr) box.release();  // freed after `done`
  return Operation(op);
}

}  // namespace operations_detail

using Pairs = std::vector<std::pair<std::string, std::string>>;

// A form POST: the fields, and with a file that file as the part `filePart`.
inline Operation postAsync(const std::string& url, const Pairs& fields,
                           const std::optional<std::string>& filePart,
                           const std::optional<std::string>& filePath, const Pairs& headers,
                           OperationCallbacks callbacks) {
  const operations_detail::Pairs cFields(fields), cHeaders(headers);
  return operations_detail::start(std::move(callbacks), [&](auto progress, auto done, void* data) {
    return zembrel_post_async(url.c_str(), cFields.get(), filePart ? filePart->c_str() : nullptr,
                              filePath ? filePath->c_str() : nullptr, cHeaders.get(), progress,
                              done, data);
  });
}

// A resumable upload; the result's `location` is the upload's URL.
inline Operation resumableUploadAsync(const std::string& endpoint, const std::string& filePath,
                                      const Pairs& metadata, const Pairs& headers,
                                      OperationCallbacks callbacks) {
  const operations_detail::Pairs cMetadata(metadata), cHeaders(headers);
  return operations_detail::start(std::move(callbacks), [&](auto progress, auto done, void* data) {
    return zembrel_resumable_upload_async(endpoint.c_str(), filePath.c_str(), cMetadata.get(),
                                          cHeaders.get(), progress, done, data);
  });
}

// An FTP upload; with `resume` the server's copy is continued.
inline Operation ftpUploadAsync(const std::string& localPath, const std::string& url, bool resume,
                                OperationCallbacks callbacks) {
  return operations_detail::start(std::move(callbacks), [&](auto progress, auto done, void* data) {
    return zembrel_ftp_upload_async(localPath.c_str(), url.c_str(), resume ? 1 : 0, progress, done,
                                    data);
  });
}

// An FTP listing down to `level`; the result's `listingJson` holds the tree.
inline Operation ftpListAsync(const std::string& url, int level, OperationCallbacks callbacks) {
  return operations_detail::start(std::move(callbacks), [&](auto, auto done, void* data) {
    return zembrel_ftp_list_async(url.c_str(), level, done, data);
  });
}

}  // namespace zembrel
