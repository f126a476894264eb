// The main of every GoogleTest suite. Each run gets private folders for
// everything the code and its children keep per user (the temporary folder
// with its response file, the home folder, state and cache), so suites that
// CTest runs at once share no file; proxy variables of the environment are
// dropped, as every server of the tests is local. A run that skipped a case and failed none
// exits with kSkippedExitCode, which CTest reports as "Skipped", not passed.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "ScopedEnvironment.hpp"
#include "ServerProcess.hpp"

namespace {

// Registered as SKIP_RETURN_CODE of every test (tests/CMakeLists.txt).
constexpr int kSkippedExitCode = 77;

class PrivateFolders {
 public:
  PrivateFolders() {
    for (const char* name : {"HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
      const auto folder = root_.path() / name;
      std::filesystem::create_directory(folder);
      environment_.set(name, folder.string());
    }
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "HTTP_PROXY",
                             "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY"}) {
      environment_.unset(name);
    }
    // Last: the folders above were made under the inherited one. The
    // temporary folder is shared as /tmp is (sticky, open to all), since tests
    // run programs as another user too; the way to it can be passed, not listed.
    namespace fs = std::filesystem;
    const auto temporary = root_.path() / "tmp";
    fs::create_directory(temporary);
    fs::permissions(root_.path(), fs::perms::owner_all | fs::perms::group_exec |
                                      fs::perms::others_exec);
    fs::permissions(temporary, fs::perms::all | fs::perms::sticky_bit);
    environment_.set("TMPDIR", temporary.string());
  }

 private:
  zembrel::test::ScopedTempDir root_;
  zembrel::test::ScopedEnvironment environment_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::optional<PrivateFolders> folders;
  try {
    folders.emplace();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cannot make the test's private folders: %s\n", error.what());
    return 1;
  }
  // Bound before any test counts its open descriptors.
  zembrel::test::closedPort();
  const int failed = RUN_ALL_TESTS();
  if (failed == 0 && ::testing::UnitTest::GetInstance()->skipped_test_count() > 0) {
    return kSkippedExitCode;
  }
  return failed;
}
