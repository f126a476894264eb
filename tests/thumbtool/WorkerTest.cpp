// The render worker and its system-call filter, exercised in this process (which starts no
// threads of its own, so forking it is sound).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Seccomp.hpp"
#include "ServerProcess.hpp"
#include "TimeScale.hpp"
#include "Worker.hpp"

namespace thumbtool {
namespace {

namespace fs = std::filesystem;
using zembrel::test::ScopedTempDir;
using zembrel::test::writeFile;

bool refused(long rc) { return rc < 0 && errno == EPERM; }

struct FilterCase {
  const char* name;
  std::function<bool(const fs::path& folder)> behavesAsExpected;
};

// Each check runs inside a confined child and says whether the call was refused (or, for the
// calls a decoder needs, allowed).
const std::vector<FilterCase> kFilterCases = {
    {"network socket", [](const fs::path&) { return refused(socket(AF_INET, SOCK_STREAM, 0)); }},
    {"local socket", [](const fs::path&) { return refused(socket(AF_UNIX, SOCK_STREAM, 0)); }},
    {"create a file",
     [](const fs::path& folder) {
       std::string path = (folder / "new").string();
       return refused(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) &&
              access(path.c_str(), F_OK) != 0;
     }},
    {"open for writing",
     [](const fs::path& folder) {
       return refused(open((folder / "existing").c_str(), O_RDWR | O_CLOEXEC));
     }},
    {"open for appending",
     [](const fs::path& folder) {
       return refused(openat(AT_FDCWD, (folder / "existing").c_str(), O_APPEND | O_CLOEXEC));
     }},
    {"remove a file",
     [](const fs::path& folder) {
       return refused(unlink((folder / "existing").c_str())) &&
              access((folder / "existing").c_str(), F_OK) == 0;
     }},
    {"start a program",
     [](const fs::path&) {
       char* argv[] = {const_cast<char*>("true"), nullptr};
       return refused(execv("/bin/true", argv));
     }},
    {"start a process", [](const fs::path&) { return refused(fork()); }},
    {"signal another process", [](const fs::path&) { return refused(kill(getppid(), 0)); }},
    {"read a file",
     [](const fs::path& folder) {
       int fd = open((folder / "existing").c_str(), O_RDONLY | O_CLOEXEC);
       char c = 0;
       bool ok = fd >= 0 && read(fd, &c, 1) == 1 && c == 'x';
       close(fd);
       return ok;
     }},
    {"start a thread",
     [](const fs::path&) {
       bool ran = false;
       std::thread([&ran] { ran = true; }).join();
       return ran;
     }},
    {"signal itself", [](const fs::path&) { return kill(getpid(), 0) == 0; }},
};

TEST(RenderWorkerFilterTest, RefusesWhatADecoderNeverNeedsAndAllowsTheRest) {
  ScopedTempDir dir;
  writeFile(dir.path() / "existing", "x");
  int results[2];
  ASSERT_EQ(pipe(results), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(results[0]);
    std::string verdicts;
    if (confineRenderWorker()) {
      for (const FilterCase& c : kFilterCases) {
        verdicts += c.behavesAsExpected(dir.path()) ? '1' : '0';
      }
    }
    ssize_t written = write(results[1], verdicts.data(), verdicts.size());
    _exit(written == static_cast<ssize_t>(verdicts.size()) ? 0 : 1);
  }
  close(results[1]);
  std::string verdicts;
  char buffer[64];
  for (ssize_t n; (n = read(results[0], buffer, sizeof buffer)) > 0;) {
    verdicts.append(buffer, static_cast<std::size_t>(n));
  }
  close(results[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_EQ(verdicts.size(), kFilterCases.size()) << "the filter could not be loaded";
  for (std::size_t i = 0; i < kFilterCases.size(); ++i) {
    EXPECT_EQ(verdicts[i], '1') << kFilterCases[i].name;
  }
}

struct WorkerCase {
  const char* name;
  WorkerTask task;
  bool expectImage;
  std::optional<bool> expectFinished;  // nothing: depends on the build's kind of memory limit
};

std::ostream& operator<<(std::ostream& out, const WorkerCase& c) { return out << c.name; }

const Box kBox{200, 100};

Image sized(int width, int height) {
  Image image(width, height, 3);
  std::fill(image.pixels.begin(), image.pixels.end(), 7);
  return image;
}

class WorkerTest : public testing::TestWithParam<WorkerCase> {};

// Every case must end within the deadline plus a little, however the task behaves.
TEST_P(WorkerTest, EndsWithinItsLimitsAndReturnsOnlyWellFormedPixels) {
  const WorkerCase& c = GetParam();
  auto start = std::chrono::steady_clock::now();
  WorkerResult result = runInWorker(c.task, kBox, Deadline(std::chrono::seconds(3)));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, zembrel::test::scaled(std::chrono::seconds(5)));
  EXPECT_EQ(result.image.has_value(), c.expectImage);
  if (c.expectFinished) {
    EXPECT_EQ(result.finished, *c.expectFinished);
  }
  if (result.image) {
    EXPECT_EQ(result.image->pixels, sized(result.image->width, result.image->height).pixels);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, WorkerTest,
    testing::Values(
        WorkerCase{"FittingImage", [](WorkerReply& r) { r.image(sized(200, 100)); }, true, true},
        WorkerCase{"ImageWiderThanTheBox", [](WorkerReply& r) { r.image(sized(201, 10)); }, false,
                   true},
        WorkerCase{"ImageTallerThanTheBox", [](WorkerReply& r) { r.image(sized(10, 101)); }, false,
                   true},
        WorkerCase{"NoImage", [](WorkerReply&) {}, false, true},
        WorkerCase{"Flood",
                   [](WorkerReply& r) {
                     // Writes past the reply's size limit fail; the whole message before it
                     // stands, the cut one is ignored.
                     for (int i = 0; i < 100; ++i) {
                       r.image(sized(200, 100));
                     }
                   },
                   true, true},
        WorkerCase{"Crash",
                   [](WorkerReply& r) {
                     r.image(sized(10, 10));
                     std::abort();
                   },
                   false, false},
        WorkerCase{"Overrun",
                   [](WorkerReply&) { std::this_thread::sleep_for(std::chrono::minutes(1)); },
                   false, false},
        WorkerCase{"MemoryBomb",
                   [](WorkerReply& r) {
                     // Past the limit the allocation fails (address-space limit) or the parent
                     // kills the worker (resident-size watch); either way no picture.
                     std::vector<std::vector<char>> hoard;
                     for (int i = 0; i < 64; ++i) {
                       hoard.emplace_back(std::size_t{64} << 20, 'x');
                     }
                     r.image(sized(10, 10));
                   },
                   false, std::nullopt}),
    [](const testing::TestParamInfo<WorkerCase>& info) { return std::string(info.param.name); });

TEST(WorkerReplyTest, TypesAreKeptOnlyWhenTheyLookLikeMimeTypes) {
  for (const auto& [sent, kept] :
       std::vector<std::pair<std::string, bool>>{{"image/png", true},
                                                 {"application/vnd.oasis.opendocument.text", true},
                                                 {"../../etc/passwd", false},
                                                 {"text/plain; charset=x", false},
                                                 {"plain", false},
                                                 {std::string(300, 'a') + "/b", false}}) {
    WorkerResult result = runInWorker([&](WorkerReply& r) { r.contentType(sent); }, kBox,
                                      Deadline(std::chrono::seconds(3)));
    EXPECT_EQ(result.contentType.has_value(), kept) << sent;
  }
  WorkerResult refusal =
      runInWorker([](WorkerReply& r) { r.refused(); }, kBox, Deadline(std::chrono::seconds(3)));
  EXPECT_TRUE(refusal.refused);
  EXPECT_TRUE(refusal.finished);
}

}  // namespace
}  // namespace thumbtool
