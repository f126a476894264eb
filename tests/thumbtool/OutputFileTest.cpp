// OUTPUT is replaced only by a complete picture: links are replaced and never followed, FIFOs,
// devices and folders are left alone, and any failure leaves the old file as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Samples.hpp"
#include "ServerProcess.hpp"

namespace thumbtool::test {
namespace {

namespace fs = std::filesystem;
using zembrel::test::readFile;
using zembrel::test::ScopedTempDir;
using zembrel::test::writeFile;

constexpr uid_t kUnprivileged = 65534;

struct OutputCase {
  const char* name;
  // Prepares OUTPUT in the folder; returns the launcher to run thumbtool with, or nothing to
  // skip the case here.
  std::function<std::optional<std::vector<std::string>>(const fs::path& folder,
                                                        const fs::path& output)>
      prepare;
  bool sourceExists;
  // What must hold afterwards.
  std::function<void(const fs::path& folder, const fs::path& output)> check;
};

std::ostream& operator<<(std::ostream& out, const OutputCase& c) { return out << c.name; }

// Everything in the folder but OUTPUT and what the case made: no temporary file may remain.
std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

const std::vector<std::string> kAsIs;

const OutputCase kCases[] = {
    {"SymlinkIsReplacedItsTargetUntouched",
     [](const fs::path& folder, const fs::path& output) {
       writeFile(folder / "victim", "keep");
       fs::create_symlink(folder / "victim", output);
       return std::optional(kAsIs);
     },
     true,
     [](const fs::path& folder, const fs::path& output) {
       EXPECT_EQ(readFile(folder / "victim"), "keep");
       EXPECT_FALSE(fs::is_symlink(output));
       std::optional<Decoded> image = decodeImage(output);
       ASSERT_TRUE(image.has_value());
       EXPECT_EQ(image->width, 60);
     }},
    {"FifoIsNeverOpened",
     [](const fs::path&, const fs::path& output) {
       EXPECT_EQ(mkfifo(output.c_str(), 0600), 0);
       return std::optional(kAsIs);
     },
     true,
     [](const fs::path& folder, const fs::path& output) {
       EXPECT_TRUE(fs::is_fifo(output));
       EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"out.png"}));
     }},
    {"DeviceIsLeftAlone",
     [](const fs::path&, const fs::path& output) -> std::optional<std::vector<std::string>> {
       // A private copy of /dev/null's node: only root may make one.
       if (mknod(output.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
         return std::nullopt;
       }
       return kAsIs;
     },
     true,
     [](const fs::path&, const fs::path& output) { EXPECT_TRUE(fs::is_character_file(output)); }},
    {"FolderIsLeftAlone",
     [](const fs::path&, const fs::path& output) {
       fs::create_directory(output);
       return std::optional(kAsIs);
     },
     true,
     [](const fs::path& folder, const fs::path& output) {
       EXPECT_TRUE(fs::is_directory(output));
       EXPECT_TRUE(fs::is_empty(output));
       EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"out.png"}));
     }},
    {"UnwritableFolderKeepsTheOldFile",
     [](const fs::path& folder, const fs::path& output) {
       // The old file may be written, its folder not: only a new file there would do.
       writeFile(output, "old");
       std::vector<std::string> launcher;
       if (geteuid() == 0) {
         EXPECT_EQ(chown(output.c_str(), kUnprivileged, kUnprivileged), 0);
         launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
       } else {
         fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
       }
       return std::optional(launcher);
     },
     true,
     [](const fs::path& folder, const fs::path& output) {
       EXPECT_EQ(readFile(output), "old");
       EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"out.png"}));
       fs::permissions(folder, fs::perms::owner_all);
     }},
    {"FailedPreviewKeepsTheOldFile",
     [](const fs::path&, const fs::path& output) {
       writeFile(output, "old");
       return std::optional(kAsIs);
     },
     false, [](const fs::path&, const fs::path& output) { EXPECT_EQ(readFile(output), "old"); }},
};

class OutputFileTest : public testing::TestWithParam<OutputCase> {
 protected:
  ScopedTempDir dir_;
};

TEST_P(OutputFileTest, OutputIsReplacedWholeOrNotAtAll) {
  const OutputCase& c = GetParam();
  // The source beside the output folder, readable by an unprivileged user.
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::others_read |
                                   fs::perms::others_exec | fs::perms::group_read |
                                   fs::perms::group_exec);
  fs::path source = dir_.path() / "photo.jpg";
  if (c.sourceExists) {
    writeJpeg(source, 120, 80);
  }
  fs::path folder = dir_.path() / "folder";
  fs::create_directory(folder);
  fs::path output = folder / "out.png";
  std::optional<std::vector<std::string>> launcher = c.prepare(folder, output);
  if (!launcher) {
    GTEST_SKIP() << "this case needs root";
  }
  RunOptions options;
  options.launcher = *launcher;
  options.timeout = std::chrono::seconds(60);
  RunResult run = runThumbtool({source.string(), output.string(), "60x60"}, options);
  EXPECT_FALSE(run.timedOut) << "thumbtool hung";
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out + run.err, "");
  c.check(folder, output);
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputFileTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<OutputCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace thumbtool::test
