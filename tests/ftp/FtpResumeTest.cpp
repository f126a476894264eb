// Resuming an FTP upload that a broken connection cut short: the local file
// goes on from the server file's size, whatever state the server file is in.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Subprocess.hpp"
#include "FtpTestSupport.hpp"
#include "MainLoop.hpp"
#include "zembrel/Ftp.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel {
namespace {

namespace fs = std::filesystem;
using test::FtpTestServer;
using test::MessageRecorder;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kSize = 2 * kMiB + 512 * 1024 + 3;

class FtpResume : public ::testing::Test {
 protected:
  void SetUp() override { test::writeRandomFile(file(), kSize, 5); }
  fs::path file() const { return local.path() / "data.bin"; }

  // One resumed upload: its messages.
  std::vector<std::string> resume(const std::string& url) {
    recorder.clear();
    // A refused start shows in the messages the callers compare.
    if (!zembrel->resumeUploadFile(file().string(), url)) return {"not started"};
    EXPECT_TRUE(recorder.waitForFinal());
    // Nothing may follow the final message: the worker has let the instance go.
    EXPECT_TRUE(test::settle(zembrel));
    return recorder.texts();
  }
  static std::vector<std::uint64_t> progressOf(const std::vector<std::string>& messages) {
    std::vector<std::uint64_t> values;
    for (const auto& text : messages) {
      if (text.rfind("#progress|", 0) == 0) values.push_back(std::stoull(text.substr(10)));
    }
    return values;
  }

  test::ScopedTempDir local;
  MessageRecorder recorder;
  std::shared_ptr<Zembrel> zembrel = Zembrel::initZembrel();
};

struct ServerFile {
  const char* name;
  std::optional<std::uint64_t> size;  // of the file the server holds; absent: none
  bool sameBytes;                     // a true prefix of the local file
  const char* final;
  const char* command;  // what stores the file: "APPE", "STOR" or none
  std::vector<std::string> serverOptions = {};
};

TEST_F(FtpResume, GoesOnFromTheServerFilesSize) {
  const std::vector<ServerFile> cases = {
      {"no server file", std::nullopt, true, "#complete|226", "STOR"},
      {"a part", kMiB + 7, true, "#complete|226", "APPE"},
      {"an empty file", 0, true, "#complete|226", "STOR"},
      {"all of it", kSize, true, "#complete|213", nullptr},
      {"more than the file", kSize + 1, false,
       "#error|The remote file is larger than the local file|0", nullptr},
      // The tail from where the server said goes on top of what it had.
      {"a size 1000 bytes short", kMiB + 7, true,
       "#error|The server's file has 2622443 bytes, the local file 2621443|0", "APPE",
       {"--fault", "SIZE:under=1000"}},
  };
  const std::string local = test::readFile(file());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FtpTestServer server(c.serverOptions);
    const fs::path remote = server.home() / "data.bin";
    if (c.size) test::writeFile(remote, c.sameBytes ? local.substr(0, *c.size) : local + "x");
    const auto messages = resume(server.url("/"));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), c.final);
    const auto progress = progressOf(messages);
    for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_LT(progress[i - 1], progress[i]);
    if (c.size && *c.size > 0 && *c.size <= kSize && c.serverOptions.empty()) {
      // What the server had counts as done from the first message on.
      ASSERT_FALSE(progress.empty());
      EXPECT_EQ(progress.front(), *c.size);
    }
    EXPECT_EQ(server.count("CMD APPE"), c.command && std::string(c.command) == "APPE" ? 1 : 0);
    EXPECT_EQ(server.count("CMD STOR"), c.command && std::string(c.command) == "STOR" ? 1 : 0);
    if (c.sameBytes && std::string(c.final).rfind("#complete|", 0) == 0) {
      EXPECT_TRUE(test::sameContents(file(), remote));
    }
  }
}

TEST_F(FtpResume, CutUploadCompletesByResuming) {
  // Every data connection of this server breaks after 1 MiB: the plain
  // upload fails, and each resume adds about a MiB until the file is there.
  FtpTestServer server({"--fault", "STOR:reset"});
  ASSERT_TRUE(zembrel->uploadFile(file().string(), server.url("/")));
  ASSERT_TRUE(recorder.waitForFinal());
  ASSERT_NE(recorder.texts().back(), "#complete|226");
  const fs::path remote = server.home() / "data.bin";

  std::string final;
  for (int attempt = 0; attempt < 4 && final != "#complete|226"; ++attempt) {
    const std::uint64_t before = fs::file_size(remote);
    ASSERT_GT(before, 0u);
    const auto messages = resume(server.url("/"));
    final = messages.back();
    const auto progress = progressOf(messages);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), before) << "attempt " << attempt;
    EXPECT_GT(fs::file_size(remote), before) << "attempt " << attempt;
  }
  EXPECT_EQ(final, "#complete|226");
  EXPECT_TRUE(test::sameContents(file(), remote));
  EXPECT_GE(server.count("CMD APPE"), 2);
}

TEST_F(FtpResume, CommandLineResumes) {
  FtpTestServer server;
  const std::string local = test::readFile(file());
  test::writeFile(server.home() / "data.bin", local.substr(0, kMiB));
  const test::ProgramRun run = test::runCommand(
      ZEMBREL_CLI_PATH, {"ftp-upload", file().string(), server.url("/"), "--resume"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("#progress|1048576\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("#complete|226"), std::string::npos);
  EXPECT_TRUE(test::sameContents(file(), server.home() / "data.bin"));
}

}  // namespace
}  // namespace zembrel
