#include "Worker.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "BuildFlags.hpp"
#include "ChildProcess.hpp"
#include "HeapAhead.hpp"
#include "Landlock.hpp"
#include "RunGroup.hpp"
#include "Seccomp.hpp"
#include "WriteAll.hpp"

namespace thumbtool {

namespace {

// Memory a worker may use: its share of the run's budget as an address-space limit, which makes
// allocations fail (and decoders give up cleanly) even where no control group holds the total.
// A sanitizer build can have no such limit; there the parent watches the worker's resident size
// instead.
constexpr rlim_t kWorkerMemory = kChildMemory;
// The reply file's descriptor in the worker, then the input it was given (if any), then its end
// of the socket it waits on before it takes its task; everything above them is closed.
constexpr int kReplyFd = 3;
constexpr int kInputFd = kInputFdInWorker;
constexpr int kGoFd = kInputFdInWorker + 1;
// Heap each side grows ahead (see HeapAhead.hpp): the worker, as much as a PDF's preparation and
// rendering turned out to fault in (8 MiB saved no more faults); thumbtool, for the reply and
// the encoding that follows.
constexpr std::size_t kWorkerHeapAhead = std::size_t{4} << 20;
constexpr std::size_t kParentHeapAhead = std::size_t{1} << 20;
// Exit status of a worker that could not confine itself (nothing was decoded).
constexpr int kSetupFailed = 3;

// Messages: one kind byte, the payload length (32 bits, host order), the payload.
constexpr char kTypeMessage = 'T';
constexpr char kRefusedMessage = 'R';
constexpr char kImageMessage = 'I';
constexpr std::size_t kHeaderBytes = 5;
constexpr std::size_t kMaxTypeBytes = 255;
// An image payload starts with width, height and channels, 32 bits each.
constexpr std::size_t kImageHeaderBytes = 12;

std::size_t maxImagePayload(Box box) {
  return kImageHeaderBytes + static_cast<std::size_t>(box.width) * box.height * 4;
}

// The most a worker may write: its content type, a refusal, and one image.
std::size_t maxReplyBytes(Box box) {
  return 2 * kHeaderBytes + kMaxTypeBytes + kHeaderBytes + maxImagePayload(box);
}

// MIME types are short and plain: a type and a subtype, each starting with a letter or digit.
// Anything else from a worker is not used.
bool looksLikeContentType(const std::string& text) {
  std::size_t slash = text.find('/');
  if (text.size() > kMaxTypeBytes || slash == std::string::npos || slash == 0 ||
      slash + 1 == text.size() || text.find('/', slash + 1) != std::string::npos ||
      !std::isalnum(static_cast<unsigned char>(text[0])) ||
      !std::isalnum(static_cast<unsigned char>(text[slash + 1]))) {
    return false;
  }
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == '+' ||
           c == '.' || c == '_';
  });
}

std::uint32_t readWord(const unsigned char* p) {
  std::uint32_t value = 0;
  std::memcpy(&value, p, sizeof value);
  return value;
}

std::optional<Image> parseImage(const unsigned char* payload, std::size_t length, Box box) {
  if (length < kImageHeaderBytes) {
    return std::nullopt;
  }
  std::uint32_t width = readWord(payload);
  std::uint32_t height = readWord(payload + 4);
  std::uint32_t channels = readWord(payload + 8);
  if (width < 1 || height < 1 || width > static_cast<std::uint32_t>(box.width) ||
      height > static_cast<std::uint32_t>(box.height) || (channels != 3 && channels != 4) ||
      length - kImageHeaderBytes != std::size_t{width} * height * channels) {
    return std::nullopt;
  }
  Image image(static_cast<int>(width), static_cast<int>(height), static_cast<int>(channels));
  std::memcpy(image.pixels.data(), payload + kImageHeaderBytes, image.pixels.size());
  return image;
}

// Every complete message in what the worker sent; a malformed one ends the reading and drops
// any image (a worker that breaks the protocol is not trusted for its pixels).
void parseReplies(const std::vector<unsigned char>& bytes, Box box, WorkerResult& result) {
  std::size_t at = 0;
  while (bytes.size() - at >= kHeaderBytes) {
    char kind = static_cast<char>(bytes[at]);
    std::size_t length = readWord(&bytes[at + 1]);
    if (bytes.size() - at - kHeaderBytes < length) {
      return;  // cut off when the worker was stopped
    }
    const unsigned char* payload = &bytes[at + kHeaderBytes];
    at += kHeaderBytes + length;
    if (kind == kTypeMessage) {
      std::string type(reinterpret_cast<const char*>(payload), length);
      if (looksLikeContentType(type)) {
        result.contentType = type;
      }
    } else if (kind == kRefusedMessage && length == 0) {
      result.refused = true;
    } else if (kind == kImageMessage && !result.image) {
      result.image = parseImage(payload, length, box);
      if (!result.image) {
        return;
      }
    } else {
      result.image.reset();
      return;
    }
  }
}

// Everything the worker wrote to its reply file, at most maxBytes.
std::vector<unsigned char> readReplies(int reply, std::size_t maxBytes) {
  struct stat info {};
  std::vector<unsigned char> bytes;
  if (fstat(reply, &info) != 0 || info.st_size <= 0) {
    return bytes;
  }
  bytes.resize(std::min(static_cast<std::size_t>(info.st_size), maxBytes));
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = pread(reply, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

// What the worker is told once its run is set up: go on (as the user, if it has one) or stop.
struct GoAhead {
  bool go;
  bool hasUser;
  RunUser user;
};

// In the worker: no standard input or output (the error stream stays, for sanitizer reports;
// the program silences it otherwise), the reply file at kReplyFd, the input (if any) at
// kInputFd, the go-ahead socket at kGoFd, and nothing else open.
bool prepareDescriptors(int replyFd, int inputFd, int goFd) {
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0) {
    return false;
  }
  // Out of the way of the numbers they are moved to.
  int reply = fcntl(replyFd, F_DUPFD_CLOEXEC, 10);
  int input = inputFd >= 0 ? fcntl(inputFd, F_DUPFD_CLOEXEC, 10) : -1;
  int go = fcntl(goFd, F_DUPFD_CLOEXEC, 10);
  if (reply < 0 || go < 0 || (inputFd >= 0 && input < 0) || dup2(reply, kReplyFd) < 0 ||
      dup2(go, kGoFd) < 0) {
    return false;
  }
  if (input >= 0 ? dup2(input, kInputFd) < 0 : (close(kInputFd) != 0 && errno != EBADF)) {
    return false;
  }
  return close_range(kGoFd + 1, ~0U, 0) == 0;
}

// Blocks until thumbtool says whether to go on; a closed socket (thumbtool gave the run up) is a
// stop. Async-signal-safe.
GoAhead awaitGoAhead() {
  GoAhead message{};
  std::size_t done = 0;
  auto* bytes = reinterpret_cast<char*>(&message);
  while (done < sizeof message) {
    ssize_t n = read(kGoFd, bytes + done, sizeof message - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return GoAhead{false, false, {}};
    }
    done += static_cast<std::size_t>(n);
  }
  close(kGoFd);
  return message;
}

// A worker that root started: its user, then the parent-death signal again (changing user
// clears it).
bool becomeWorkerUser(const GoAhead& goAhead, pid_t parent) {
  return !goAhead.hasUser || (becomeRunUser(goAhead.user) && dieWithParent(parent));
}

// In the worker: its preparation, with its own set-up (heap and filter) alongside; the worker is
// single-threaded again when this returns.
std::vector<sock_filter> prepareWorker(const WorkerPreparation& prepare) {
  std::vector<sock_filter> filter;
  bool setUp = false;
  const std::function<void()> alongside = [&filter, &setUp] {
    if (!setUp) {
      setUp = true;
      growHeapAhead(kWorkerHeapAhead);
      filter = renderWorkerFilter();
    }
  };
  try {
    if (prepare) {
      prepare(alongside);
    }
  } catch (...) {
    // Nothing prepared: the task loads what it needs itself.
  }
  // Done here when the preparation never ran it (or threw before it did); once begun it is not
  // begun again, and one that failed leaves no filter (the worker then takes no task).
  alongside();
  return filter;
}

// What the worker is to do.
struct WorkerJob {
  const WorkerTask& task;
  const WorkerPreparation& prepare;
};

// The descriptors the worker is handed.
struct WorkerFiles {
  int reply;
  int input;
  int go;
};

[[noreturn]] void runWorker(const WorkerJob& job, const WorkerFiles& files, std::size_t maxReply,
                            pid_t parent, const Deadline& deadline) {
  ChildLimits limits;
  if (!kSanitizedBuild) {
    limits.addressSpace = kWorkerMemory;
  }
  limits.cpuSeconds = static_cast<rlim_t>(deadline.remainingSeconds());
  // The reply file is the only one the worker can write (it opens none): this caps the reply.
  limits.fileSize = maxReply;
  int status = kSetupFailed;
  // Root's worker decodes as the run's own user: it keeps only the descriptors it was given
  // (decoders read the document through its descriptor where that user may not open it by
  // name). The filter and Landlock hold the rest (no writes, no programs, no sockets, no signals
  // or limits for others, no reach into other processes).
  bool ready = limitThisChild(limits, parent) &&
               prepareDescriptors(files.reply, files.input, files.go);
  // One malloc arena for all threads: each further one reserves 64 MiB of address space.
  mallopt(M_ARENA_MAX, 1);
  // The Landlock domain comes before the preparation, which runs as thumbtool's own user (for
  // root, a library that keeps caches would rewrite them). Where the kernel has no Landlock the
  // filter stands alone, and the preparation reads only trusted data all the same.
  std::vector<sock_filter> filter;
  if (ready) {
    static_cast<void>(enterLandlockDomain());
    filter = prepareWorker(job.prepare);
  }
  // The input is read only from here on: inside the run's group, as the run's user.
  GoAhead goAhead = ready ? awaitGoAhead() : GoAhead{false, false, {}};
  if (goAhead.go && becomeWorkerUser(goAhead, parent)) {
    if (loadFilter(filter)) {
      WorkerReply reply(kReplyFd);
      try {
        job.task(reply);
      } catch (const std::bad_alloc&) {
        reply.refused();
      } catch (...) {
      }
      status = 0;
    }
  }
  // No exit handlers: they belong to the parent.
  _exit(status);
}

}  // namespace

void WorkerReply::send(char kind, const std::string& head, const void* rest,
                       std::size_t restLength) {
  std::string message(1, kind);
  auto length = static_cast<std::uint32_t>(head.size() + restLength);
  message.append(reinterpret_cast<const char*>(&length), sizeof length);
  message += head;
  if (writeAll(fd_, message.data(), message.size()) && restLength > 0) {
    writeAll(fd_, rest, restLength);
  }
}

void WorkerReply::contentType(const std::string& type) {
  send(kTypeMessage, type.substr(0, kMaxTypeBytes));
}

void WorkerReply::refused() { send(kRefusedMessage, {}); }

void WorkerReply::image(const Image& image) {
  std::string head;
  for (int value : {image.width, image.height, image.channels}) {
    auto word = static_cast<std::uint32_t>(value);
    head.append(reinterpret_cast<const char*>(&word), sizeof word);
  }
  send(kImageMessage, head, image.pixels.data(), image.pixels.size());
}

StartedWorker startWorker(const WorkerTask& task, Box box, const Deadline& deadline, int input,
                          const WorkerPreparation& prepare) {
  StartedWorker worker;
  worker.box_ = box;
  worker.deadline_ = &deadline;
  // Replies go to an anonymous file rather than a pipe: the worker never waits for thumbtool,
  // and thumbtool wakes once, when the worker has ended (a pipe costs a pair of context
  // switches per 64 KiB, which a busy machine makes expensive).
  worker.reply_ = memfd_create("thumbtool-reply", MFD_CLOEXEC);
  // A socket rather than a pipe: telling a worker that died meanwhile raises no SIGPIPE.
  int go[2] = {-1, -1};
  if (deadline.passed() || worker.reply_ < 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, go) != 0) {
    return worker;
  }
  worker.go_ = go[1];
  std::size_t maxBytes = maxReplyBytes(box);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    runWorker(WorkerJob{task, prepare}, WorkerFiles{worker.reply_, input, go[0]}, maxBytes,
              parent, deadline);
  }
  close(go[0]);
  // The worker first: a new process waits on its parent's processor until another one takes it,
  // which on the virtual machines measured took 2.5-4.5 ms; the worker's start is the longer path
  // of the two, and this one's next steps are short.
  sched_yield();
  worker.pid_ = pid;
  return worker;
}

WorkerResult StartedWorker::finish(const std::optional<RunUser>& user) {
  WorkerResult result;
  if (pid_ <= 0) {
    stop();
    return result;
  }
  GoAhead goAhead{true, user.has_value(), user.value_or(RunUser{})};
  // A worker that already ended has closed its end: the send fails and the wait below reaps it.
  static_cast<void>(send(go_, &goAhead, sizeof goAhead, MSG_NOSIGNAL));
  close(std::exchange(go_, -1));
  growHeapAhead(kParentHeapAhead);
  pid_t pid = std::exchange(pid_, -1);
  std::optional<int> status;
  if (kSanitizedBuild) {
    status = waitForChild(pid, *deadline_, [pid] {
      return treeProportionalBytes(pid) <= static_cast<long long>(kWorkerMemory);
    });
  } else {
    // The address-space limit holds the worker's memory: thumbtool sleeps until it ends.
    status = waitForChild(pid, *deadline_);
  }
  parseReplies(readReplies(reply_, maxReplyBytes(box_)), box_, result);
  result.finished = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  if (!result.finished) {
    result.image.reset();
  }
  stop();
  return result;
}

void StartedWorker::stop() {
  if (pid_ > 0) {
    killChild(std::exchange(pid_, -1));
  }
  for (int* fd : {&go_, &reply_}) {
    if (*fd >= 0) {
      close(std::exchange(*fd, -1));
    }
  }
}

StartedWorker::~StartedWorker() { stop(); }

StartedWorker::StartedWorker(StartedWorker&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reply_(std::exchange(other.reply_, -1)),
      go_(std::exchange(other.go_, -1)),
      box_(other.box_),
      deadline_(other.deadline_) {}

StartedWorker& StartedWorker::operator=(StartedWorker&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = std::exchange(other.pid_, -1);
    reply_ = std::exchange(other.reply_, -1);
    go_ = std::exchange(other.go_, -1);
    box_ = other.box_;
    deadline_ = other.deadline_;
  }
  return *this;
}

WorkerResult runInWorker(const WorkerTask& task, Box box, const Deadline& deadline, int input,
                         const std::optional<RunUser>& user,
                         const WorkerPreparation& prepare) {
  return startWorker(task, box, deadline, input, prepare).finish(user);
}

}  // namespace thumbtool
