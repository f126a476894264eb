#pragma once

// The private part of Zembrel: what the instance keeps between the operations
// it starts. Each operation keeps its own state; the instance only holds the
// running (or last) one and the settings the next one starts with.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "zembrel/Zembrel.hpp"
#include "zembrel/http/PostProgress.hpp"

namespace zembrel {

namespace detail {
class StreamedPost;
class ResumableUpload;
}  // namespace detail

struct Zembrel::Impl {
  double progressEventInterval = 1.0;  // seconds; read when an upload starts
  // The running streamed POST, or the last one, whose progress record the
  // host may still read (getPOSTProgress, snapshot). Null before the first.
  std::shared_ptr<detail::StreamedPost> post;
  // The progress record before the first POST.
  detail::PostProgress progressBeforeFirstPost;
  std::string cookieStr;  // the last getSentCookies() result

  // The resumable upload in progress (null when none; it holds the instance
  // until it ends) and the retry delays the next one starts with.
  std::shared_ptr<detail::ResumableUpload> resumableUpload;
  std::vector<std::chrono::milliseconds> resumableRetryDelays;

  bool postRunning() const;
  detail::PostProgress& postProgress();
};

}  // namespace zembrel
