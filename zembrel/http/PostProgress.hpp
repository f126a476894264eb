#pragma once

#include <cstdint>

namespace zembrel::detail {

// The progress record of a streamed POST: plain values, owned by the POST
// that writes them and read by the instance's snapshot. A new POST starts
// from the record of the one before (its rate, its small-file value), as
// progress estimates always have. One thread: the one that runs the POST.
struct PostProgress {
  std::int64_t bodySize = 0;                // bytes of the whole request body
  std::int64_t fileSize = 0;                // bytes of the file being sent
  std::int64_t smallFileProgressBytes = 0;  // reported while the body went out at once
  std::int64_t initialProgressVal = 0;      // stays 0
  std::int32_t progressBytes = 0;           // stays 0
  // The whole last progress value, not its low 32 bits, so that progress past
  // 2 GiB can never go back.
  std::int64_t lastProgressBytes = 0;
  double uploadRate = 0;                  // bytes per second
  double timeIntervalFromStart = 0;       // seconds from the start to the last estimate
  double startTime = 0;                   // monotonic clock at the start, seconds
  std::int64_t firstBytesWritten = 0;     // bytes at the first rate sample; 0 = none yet
  bool bodySizeIsLessThanBuffer = false;  // the first sample covered 95% of the file

  // The record a new POST starts from: the floor, the first sample and the
  // small-file flag start again; the rest keeps its last values.
  PostProgress nextUpload() const;
  // One rate sample, every half second: `requestBytesWritten` is what the
  // network took so far, framing included.
  void sampleRate(std::int64_t requestBytesWritten, double now);
  // Estimated bytes of the file sent by `now`; never below the value returned
  // before during one upload.
  std::int64_t estimate(double now);
};

}  // namespace zembrel::detail
