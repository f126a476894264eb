#pragma once

// Stop requests for a running FTP upload. The process-wide flags
// (cancelUpload, closeConnection) are set by the host's thread and taken by
// the upload's worker when it ends; both sides go through these two calls,
// which share one lock, so a request can never land just after an upload
// ended and then stop the next upload instead.

#include <atomic>

namespace zembrel::detail {

// Asks the running upload of the instance (its `doingUpload`) to stop, and
// with `close` to drop its connection afterwards. False, and nothing set,
// when the instance runs no upload.
bool requestUploadStop(const std::atomic<bool>& doingUpload, bool close);

// What was asked of an upload that ends now.
struct UploadStopRequests {
  bool cancelled = false;
  bool closeConnection = false;
};

// Ends the instance's upload: clears `doingUpload` and takes (clears) the
// stop requests made for it.
UploadStopRequests endUpload(std::atomic<bool>& doingUpload);

}  // namespace zembrel::detail
