// `zembrel upload-resumable` as people and scripts run it: killed mid-way and
// run again, it resumes where the server stopped instead of starting over.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ResumableFixtures.hpp"
#include "ScopedEnvironment.hpp"
#include "Subprocess.hpp"
#include "TimeScale.hpp"

namespace zembrel {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kFileSize = 16 * 1024 * 1024 + 77;

std::vector<std::int64_t> progressOf(const std::string& out) {
  std::vector<std::int64_t> values;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#progress|", 0) == 0) values.push_back(std::stoll(line.substr(10)));
  }
  return values;
}

std::string lastLine(const std::string& out) {
  std::string last;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) last = line;
  return last;
}

class ResumableCli : public ::testing::Test {
 protected:
  test::ScopedTempDir state_;
  test::ScopedTempDir files_;
  test::ScopedEnvironment stateHome_{"XDG_STATE_HOME", state_.path().string()};
};

TEST_F(ResumableCli, KilledRunResumesWhenRunAgain) {
  const std::string bytes = test::patternedBytes(kFileSize, 7);
  const std::string file = (files_.path() / "video.bin").string();
  test::writeFile(file, bytes);
  test::TusServer server;
  // The first run's append stalls for good after 9 MB: the run is killed
  // there. The stall happens once; the second run passes.
  test::FaultProxy proxy(server.port(), {"--stall-at", "9000000", "--stall-seconds", "60"});
  const std::vector<std::string> arguments = {"upload-resumable", proxy.endpoint(), file,
                                              "--interval", "0.05"};

  std::vector<std::string> argv{ZEMBREL_CLI_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  test::ChildOptions quiet;
  quiet.out = test::Output::discard;
  test::Subprocess first(argv, quiet);
  const auto deadline = std::chrono::steady_clock::now() + test::scaled(30s);
  while (proxy.stats()["events"].empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  first.kill();
  ASSERT_FALSE(proxy.stats()["events"].empty()) << "the first run never reached the stall";
  ASSERT_EQ(test::keptEntries(state_.path()), 1);

  const test::ProgramRun again =
      test::runCommand(ZEMBREL_CLI_PATH, arguments, "", test::scaled(60s));
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(lastLine(again.out), "#complete|204");
  const auto progress = progressOf(again.out);
  for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1], progress[i]);

  // One upload was created, by the first run; the second went on with it
  // from the server's offset.
  int creations = 0;
  std::int64_t resumedAt = -1;
  for (const auto& line : server.log()) {
    if (line["method"] == "POST" && line["status"] == 201) ++creations;
    if (line["method"] == "PATCH" && line["status"] == 204)
      resumedAt = std::stoll(line["headers"]["upload-offset"].get<std::string>());
  }
  EXPECT_EQ(creations, 1);
  EXPECT_GT(resumedAt, 4 * 1024 * 1024);
  ASSERT_FALSE(progress.empty());
  EXPECT_GE(progress.front(), resumedAt) << "resumed bytes count as done from the start";
  const auto url = server.lastUrlOf("PATCH");
  ASSERT_TRUE(url);
  EXPECT_EQ(test::sha256Hex(server.stored(*url).value_or("")), test::sha256Hex(bytes));
  EXPECT_EQ(test::keptEntries(state_.path()), 0);
}

TEST_F(ResumableCli, ExitsNonZeroUnlessComplete) {
  const std::string file = (files_.path() / "a.txt").string();
  test::writeFile(file, "hello");
  struct Case {
    const char* why;
    std::vector<std::string> arguments;
    int status;
    const char* last;
  };
  const std::string refused = "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/files";
  const std::vector<Case> cases = {
      {"nobody listens", {"upload-resumable", refused, file, "--retries", "0"}, 1,
       "#error|POSIX|111"},
      {"missing file", {"upload-resumable", refused, file + ".none"}, 1, "#error|Setup|0"},
      {"metadata without a value", {"upload-resumable", refused, file, "--metadata", "a"}, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ProgramRun run = test::runCommand(ZEMBREL_CLI_PATH, c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(lastLine(run.out), c.last);
  }
}

}  // namespace
}  // namespace zembrel
