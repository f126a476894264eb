// Untrusted documents are decoded only in a contained worker: a child process with limits on
// memory, CPU time and wall time whose system calls are filtered (it can read files but not
// change them, start nothing, open no socket). It hands back the finished pixels in an anonymous
// file; the parent checks their shape and never touches the document's bytes itself.
#pragma once

#include <sys/types.h>

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

// What a worker does before it takes its task (see StartedWorker). It runs `alongside` (the
// worker's own set-up: its heap and its system-call filter) once, and that must have finished
// when it returns: on a thread of its own (joined) where the preparation takes a while, so that
// the two overlap, else simply first. No thread of it may outlive it, as the filter is loaded
// into the worker's one remaining thread.
using WorkerPreparation = std::function<void(const std::function<void()>& alongside)>;

// Where the worker finds the input descriptor it was given (see InputDescriptor.hpp for
// libraries that open files by name).
inline constexpr int kInputFdInWorker = 4;

// A worker started ahead of its run: it does its preparation (loading what the document's
// decoder needs, which must not read the input beyond its first bytes) while thumbtool picks the
// run's user and makes its group, and waits to be told to go on before it becomes that user,
// confines itself and starts the task. One that is never told to go on is killed and reaped.
class StartedWorker {
 public:
  StartedWorker() = default;
  ~StartedWorker();
  StartedWorker(StartedWorker&& other) noexcept;
  StartedWorker& operator=(StartedWorker&& other) noexcept;
  StartedWorker(const StartedWorker&) = delete;
  StartedWorker& operator=(const StartedWorker&) = delete;

  // No process when it could not be started (the result of finish then says nothing ran).
  pid_t pid() const { return pid_; }
  // Lets the worker go on, as the user if one is given, and collects what it sent until it
  // ended, the deadline passed (then it is killed) or it broke its memory limit (killed too). An
  // image larger than the box, a malformed message or a message too long ends the worker and is
  // dropped.
  WorkerResult finish(const std::optional<RunUser>& user);

 private:
  friend StartedWorker startWorker(const WorkerTask&, Box, const Deadline&, int,
                                   const WorkerPreparation&);
  void stop();

  pid_t pid_ = -1;
  int reply_ = -1;
  int go_ = -1;  // thumbtool's end of the worker's go-ahead socket
  Box box_{};
  const Deadline* deadline_ = nullptr;
};

// Starts a worker for the task. The input descriptor, if one is given, is the only one the
// worker inherits besides its reply file; prepare runs in the worker straight away, with what
// thumbtool's own user may read.
StartedWorker startWorker(const WorkerTask& task, Box box, const Deadline& deadline,
                          int input = -1, const WorkerPreparation& prepare = {});

// Starts a worker and lets it go on at once (see StartedWorker).
WorkerResult runInWorker(const WorkerTask& task, Box box, const Deadline& deadline,
                         int input = -1, const std::optional<RunUser>& user = std::nullopt,
                         const WorkerPreparation& prepare = {});

}  // namespace thumbtool
