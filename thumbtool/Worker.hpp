// Untrusted documents are decoded only in a contained worker: a child process with limits on
// memory, CPU time and wall time whose system calls are filtered (it can read files but not
// change them, start nothing, open no socket). It hands back the finished pixels in an anonymous
// file; the parent checks their shape and never touches the document's bytes itself.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Deadline.hpp"
#include "Image.hpp"
#include "RunUser.hpp"

namespace thumbtool {

// The worker's side of the reply file. Each call appends one message; one that would pass the
// reply's size limit is cut short, and the parent then ignores it.
class WorkerReply {
 public:
  explicit WorkerReply(int fd) : fd_(fd) {}

  // The document's content type, sent before the slow work so that the parent can pick the
  // right icon even when the worker is then killed.
  void contentType(const std::string& type);
  // The document was recognised and refused (it breaks a decoder limit): nothing else is to be
  // tried on it.
  void refused();
  void image(const Image& image);

 private:
  // The message header with the first part of the payload, then the rest of it (pixels are
  // written straight from the image, never copied).
  void send(char kind, const std::string& head, const void* rest = nullptr,
            std::size_t restLength = 0);

  int fd_;
};

struct WorkerResult {
  std::optional<std::string> contentType;  // checked to look like a MIME type
  std::optional<Image> image;              // checked to fit the box
  bool refused = false;
  // The worker exited by itself with status 0, in time and within its limits.
  bool finished = false;
};

using WorkerTask = std::function<void(WorkerReply&)>;

// Where the worker finds the input descriptor it was given (see InputDescriptor.hpp for
// libraries that open files by name).
inline constexpr int kInputFdInWorker = 4;

// Runs the task in a new worker and collects what it sent until it ended, the deadline passed
// (then it is killed) or it broke its memory limit (killed too). An image larger than the box,
// a malformed message or a message too long ends the worker and is dropped. The input
// descriptor, if one is given, is the only one the worker inherits besides its reply file. With
// a user, the worker becomes that user once its descriptors are in place, before the task;
// prepare (which must not read the input beyond its first bytes) runs just before that, while
// the worker still reads what thumbtool's own user may.
WorkerResult runInWorker(const WorkerTask& task, Box box, const Deadline& deadline,
                         int input = -1, const std::optional<RunUser>& user = std::nullopt,
                         const std::function<void()>& prepare = {});

}  // namespace thumbtool
