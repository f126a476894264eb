#include "Worker.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
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
#include <vector>

#include "BuildFlags.hpp"
#include "ChildProcess.hpp"
#include "Seccomp.hpp"
#include "WriteAll.hpp"

namespace thumbtool {

namespace {

// Memory a worker may use: the address-space limit makes allocations fail (and decoders give
// up cleanly); the parent also watches the resident size, which is the only memory limit a
// sanitizer build can have.
constexpr rlim_t kWorkerMemory = rlim_t{1} << 30;
// How often the parent looks at the worker's resident size, in milliseconds.
constexpr int kWatchInterval = 20;

// The reply pipe's descriptor in the worker; everything above it is closed.
constexpr int kReplyFd = 3;
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

std::optional<long long> residentBytes(int statm) {
  char text[128];
  ssize_t n = pread(statm, text, sizeof text - 1, 0);
  if (n <= 0) {
    return std::nullopt;
  }
  text[n] = '\0';
  long long size = 0;
  long long resident = 0;
  if (std::sscanf(text, "%lld %lld", &size, &resident) != 2) {
    return std::nullopt;
  }
  return resident * sysconf(_SC_PAGESIZE);
}

// Reads the worker's messages until it closes the pipe (true), or until the deadline passes,
// it floods the pipe or its resident size breaks the limit (false).
bool collect(pid_t pid, int pipe, std::size_t maxBytes, const Deadline& deadline,
             std::vector<unsigned char>& received) {
  std::string statmPath = "/proc/" + std::to_string(pid) + "/statm";
  int statm = open(statmPath.c_str(), O_RDONLY | O_CLOEXEC);
  bool ended = false;
  for (;;) {
    if (deadline.passed()) {
      break;
    }
    if (statm >= 0) {
      std::optional<long long> resident = residentBytes(statm);
      if (resident && *resident > static_cast<long long>(kWorkerMemory)) {
        break;
      }
    }
    pollfd readable{pipe, POLLIN, 0};
    if (poll(&readable, 1, deadline.pollTimeout(kWatchInterval)) <= 0) {
      continue;
    }
    constexpr std::size_t kChunk = 64 * 1024;
    std::size_t before = received.size();
    received.resize(before + kChunk);
    ssize_t n = read(pipe, received.data() + before, kChunk);
    received.resize(before + static_cast<std::size_t>(n > 0 ? n : 0));
    if (n == 0) {
      ended = true;
      break;
    }
    if ((n < 0 && errno != EINTR && errno != EAGAIN) || received.size() > maxBytes) {
      break;
    }
  }
  if (statm >= 0) {
    close(statm);
  }
  return ended;
}

// In the worker: no input, no output (the error stream stays, for sanitizer reports; the
// program silences it otherwise), the reply pipe at kReplyFd and nothing else open.
bool prepareDescriptors(int replyFd) {
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0) {
    return false;
  }
  if (replyFd != kReplyFd && dup2(replyFd, kReplyFd) < 0) {
    return false;
  }
  return close_range(kReplyFd + 1, ~0U, 0) == 0;
}

[[noreturn]] void runWorker(const WorkerTask& task, int replyFd, pid_t parent,
                            const Deadline& deadline) {
  ChildLimits limits;
  if (!kSanitizedBuild) {
    limits.addressSpace = kWorkerMemory;
  }
  limits.cpuSeconds = static_cast<rlim_t>(deadline.remainingSeconds());
  limits.fileSize = 0;
  int status = kSetupFailed;
  if (limitThisChild(limits, parent) && prepareDescriptors(replyFd)) {
    // A reply the parent no longer reads fails with EPIPE instead of killing the worker.
    signal(SIGPIPE, SIG_IGN);
    // Fewer malloc arenas: each one reserves 64 MiB of address space.
    mallopt(M_ARENA_MAX, 2);
    if (confineRenderWorker()) {
      WorkerReply reply(kReplyFd);
      try {
        task(reply);
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

WorkerResult runInWorker(const WorkerTask& task, Box box, const Deadline& deadline) {
  WorkerResult result;
  int fds[2];
  if (deadline.passed() || pipe2(fds, O_CLOEXEC) != 0) {
    return result;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    runWorker(task, fds[1], parent, deadline);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  std::size_t maxBytes = 2 * kHeaderBytes + kMaxTypeBytes + kHeaderBytes + maxImagePayload(box);
  std::vector<unsigned char> received;
  bool ended = collect(pid, fds[0], maxBytes, deadline, received);
  close(fds[0]);
  std::optional<int> status;
  if (ended) {
    status = waitForChild(pid, deadline);
  } else {
    killChild(pid);
  }
  parseReplies(received, box, result);
  result.finished = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  if (!result.finished) {
    result.image.reset();
  }
  return result;
}

}  // namespace thumbtool
