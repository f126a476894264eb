// OUTPUT is replaced only by a complete picture: links are replaced and never followed, FIFOs,
// devices and folders are left alone, and any failure leaves the old file as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Requirements.hpp"
#include "Samples.hpp"
#include "ServerProcess.hpp"

namespace thumbtool::test {
namespace {

namespace fs = std::filesystem;
using zembrel::test::readFile;
using zembrel::test::writeFile;

enum class AtOutput { link, fifo, device, folder, oldFile };

struct OutputCase {
  const char* name;
  AtOutput at;
  bool sourceExists;
  bool folderUnwritable;  // the old file may be written, its folder not
};

std::ostream& operator<<(std::ostream& out, const OutputCase& c) { return out << c.name; }

class OutputFileTest : public testing::TestWithParam<OutputCase> {
 protected:
  zembrel::test::ScopedTempDir dir_;
};

TEST_P(OutputFileTest, OutputIsReplacedWholeOrNotAtAll) {
  const OutputCase& c = GetParam();
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  fs::path source = dir_.path() / "photo.jpg";
  if (c.sourceExists) {
    writeJpeg(source, 120, 80);
  }
  fs::path folder = dir_.path() / "folder";
  fs::path output = folder / "out.png";
  fs::path victim = dir_.path() / "victim";
  fs::create_directory(folder);
  writeFile(victim, "keep");
  switch (c.at) {
    case AtOutput::link:
      fs::create_symlink(victim, output);
      break;
    case AtOutput::fifo:
      ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
      break;
    case AtOutput::device:
      // A private copy of /dev/null's node: only root may make one.
      if (mknod(output.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        ZEMBREL_SKIP_WITHOUT("root", "making a device node needs root");
      }
      break;
    case AtOutput::folder:
      fs::create_directory(output);
      break;
    case AtOutput::oldFile:
      writeFile(output, "old");
      break;
  }
  RunOptions options;
  options.timeout = std::chrono::seconds(60);
  if (c.folderUnwritable && geteuid() == 0) {
    // Root writes anywhere: an unprivileged user who owns only the old file stands in.
    ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);
    options.launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  } else if (c.folderUnwritable) {
    fs::permissions(folder, fs::perms::owner_write, fs::perm_options::remove);
  }
  RunResult run = runThumbtool({source.string(), output.string(), "60x60"}, options);
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);

  EXPECT_FALSE(run.timedOut) << "thumbtool hung";
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(readFile(victim), "keep") << "a link's target was written";
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"out.png"}) << "a temporary file was left";
  switch (c.at) {
    case AtOutput::link:
      ASSERT_FALSE(fs::is_symlink(output));
      EXPECT_EQ(decodeImage(output).value_or(Decoded{}).width, 60) << "the new picture";
      break;
    case AtOutput::fifo:
      EXPECT_TRUE(fs::is_fifo(output));
      break;
    case AtOutput::device:
      EXPECT_TRUE(fs::is_character_file(output));
      break;
    case AtOutput::folder:
      EXPECT_TRUE(fs::is_directory(output) && fs::is_empty(output));
      break;
    case AtOutput::oldFile:
      EXPECT_EQ(readFile(output), "old");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, OutputFileTest,
    testing::Values(OutputCase{"LinkIsReplacedItsTargetUntouched", AtOutput::link, true, false},
                    OutputCase{"FifoIsNeverOpened", AtOutput::fifo, true, false},
                    OutputCase{"DeviceIsLeftAlone", AtOutput::device, true, false},
                    OutputCase{"FolderIsLeftAlone", AtOutput::folder, true, false},
                    OutputCase{"UnwritableFolderKeepsTheOldFile", AtOutput::oldFile, true, true},
                    OutputCase{"FailedPreviewKeepsTheOldFile", AtOutput::oldFile, false, false}),
    [](const testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.name); });

// A rerun replaces the picture but not who may read it: the old file's mode stays, and its owner
// too where thumbtool may give it (as root).
// A run ended while it writes OUTPUT (here by the file-size limit, at its first block, so that
// it ends at that very point) leaves no file of its own in OUTPUT's folder, and the old picture
// as it was. The limit is below the size of any thumbnail, even of this two-colour picture
// (about 470 bytes).
TEST(OutputFileEndTest, ARunEndedWhileWritingLeavesNoTemporaryFile) {
  zembrel::test::ScopedTempDir dir;
  const fs::path source = dir.path() / "photo.jpg";
  writeJpeg(source, 640, 480);
  const fs::path folder = dir.path() / "out";
  fs::create_directory(folder);
  const fs::path out = folder / "t.png";
  writeFile(out, "old");
  RunOptions options;
  options.launcher = {"prlimit", "--fsize=128:unlimited", "--"};
  RunResult run = runThumbtool({source.string(), out.string()}, options);
  if (run.exitStatus == 127 || run.err.find("prlimit") != std::string::npos) {
    ZEMBREL_SKIP_WITHOUT("prlimit", "util-linux's prlimit cannot set the limit here");
  }
  EXPECT_EQ(run.exitStatus, -1) << "the run was to end by the file-size limit";
  EXPECT_EQ(readFile(out), "old");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"t.png"});
}

TEST(OutputModeTest, ReplacedFileKeepsItsModeAndOwner) {
  zembrel::test::ScopedTempDir dir;
  fs::path source = dir.path() / "photo.jpg";
  writeJpeg(source, 120, 80);
  struct ModeCase {
    mode_t mode;
    bool otherOwner;
  };
  for (ModeCase c : {ModeCase{0600, false}, ModeCase{0640, false}, ModeCase{0604, true}}) {
    if (c.otherOwner && geteuid() != 0) {
      continue;  // only root may give a file away
    }
    fs::path output = dir.path() / ("out-" + std::to_string(c.mode) + ".png");
    writeFile(output, "old");
    ASSERT_EQ(chmod(output.c_str(), c.mode), 0);
    if (c.otherOwner) {
      ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);
    }
    RunResult run = runThumbtool({source.string(), output.string(), "60x60"});
    EXPECT_EQ(run.exitStatus, 0);
    struct stat info {};
    ASSERT_EQ(stat(output.c_str(), &info), 0);
    EXPECT_EQ(decodeImage(output).value_or(Decoded{}).width, 60) << "the new picture";
    EXPECT_EQ(info.st_mode & 07777, c.mode) << std::oct << c.mode;
    EXPECT_EQ(info.st_uid, c.otherOwner ? 65534U : geteuid()) << std::oct << c.mode;
  }
}

// A picture shows what its document holds: whoever may not read the document may not read its
// picture either, whether OUTPUT is new (the umask allowing more) or replaced (its mode more),
// nor get it as the owner of the file it replaces (one another user put in a sticky folder).
TEST(OutputModeTest, PictureIsNoMoreReadableThanItsDocument) {
  zembrel::test::ScopedTempDir dir;
  struct ReadersCase {
    mode_t document;
    mode_t oldOutput;  // 0: there is none
    mode_t expected;
    bool oldOutputTheirs = false;  // owned by another user (root only)
  };
  for (ReadersCase c :
       {ReadersCase{0600, 0, 0600}, ReadersCase{0640, 0, 0640}, ReadersCase{0604, 0, 0644},
        ReadersCase{0644, 0, 0644}, ReadersCase{0600, 0644, 0600}, ReadersCase{0640, 0666, 0660},
        ReadersCase{0600, 0666, 0600, true}}) {
    if (c.oldOutputTheirs && geteuid() != 0) {
      continue;  // only root may give a file away
    }
    char name[32];
    std::snprintf(name, sizeof name, "%o-%o", static_cast<unsigned>(c.document),
                  static_cast<unsigned>(c.oldOutput));
    fs::path source = dir.path() / (std::string(name) + ".txt");
    writeFile(source, "a private line\n");
    ASSERT_EQ(chmod(source.c_str(), c.document), 0);
    fs::path output = dir.path() / (std::string(name) + ".png");
    if (c.oldOutput != 0) {
      writeFile(output, "old");
      ASSERT_EQ(chmod(output.c_str(), c.oldOutput), 0);
      if (c.oldOutputTheirs) {
        ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);
      }
    }
    RunOptions options;
    options.launcher = {"/bin/sh", "-c", "umask 022; exec \"$@\"", "sh"};
    RunResult run = runThumbtool({source.string(), output.string(), "60x60"}, options);
    EXPECT_EQ(run.exitStatus, 0);
    struct stat info {};
    ASSERT_EQ(stat(output.c_str(), &info), 0) << name;
    EXPECT_TRUE(decodeImage(output).has_value()) << name << ": the new picture";
    EXPECT_EQ(info.st_mode & 07777, c.expected) << name;
    EXPECT_EQ(info.st_uid, geteuid()) << name << ": given to one who may not read the document";
  }
}

}  // namespace
}  // namespace thumbtool::test
