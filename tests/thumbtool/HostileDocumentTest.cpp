// Small hostile documents (made by make_hostile.py) in each format thumbtool decodes: each must
// end within the render budget and the memory limit with an image, exit status 0 and silence.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "Samples.hpp"
#include "ServerProcess.hpp"
#include "Subprocess.hpp"
#include "TimeScale.hpp"

namespace thumbtool::test {
namespace {

namespace fs = std::filesystem;

// The render budget is 10 s; the rest is start-up and the icon. Scaled by the run's time
// scale: the point is that the run ends, not how fast.
constexpr double kMaxSeconds = 15;
constexpr long kMaxResidentKiB = 512 * 1024;

enum class Expect { icon, thumbnail, either };

struct HostileCase {
  const char* file;
  Expect expect;
  const char* why;
};

std::ostream& operator<<(std::ostream& out, const HostileCase& c) { return out << c.file; }

class HostileDocumentTest : public testing::TestWithParam<HostileCase> {
 protected:
  static void SetUpTestSuite() {
    folder_ = new zembrel::test::ScopedTempDir();
    zembrel::test::ChildOptions quiet;
    quiet.out = zembrel::test::Output::discard;
    ASSERT_EQ(zembrel::test::runProgram(
                  {"/usr/bin/python3", THUMBTOOL_HOSTILE_SCRIPT, folder_->path().string()}, quiet)
                  .status,
              0);
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  static zembrel::test::ScopedTempDir* folder_;
};

zembrel::test::ScopedTempDir* HostileDocumentTest::folder_ = nullptr;

TEST_P(HostileDocumentTest, EndsInTimeWithinMemoryWithAnImage) {
  const HostileCase& hostile = GetParam();
  fs::path source = folder_->path() / hostile.file;
  fs::path out = folder_->path() / (std::string(hostile.file) + ".png");
  RunResult run = runThumbtool({source.string(), out.string()});
  EXPECT_EQ(run.exitStatus, 0) << hostile.why;
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_LT(run.seconds, zembrel::test::scaledSeconds(kMaxSeconds)) << hostile.why;
  EXPECT_LT(run.peakResidentKiB, kMaxResidentKiB) << hostile.why;
  EXPECT_LT(run.peakTreeKiB, kMaxResidentKiB)
      << "thumbtool, its workers and sandboxes together: " << hostile.why;
  std::optional<Decoded> image = decodeImage(out);
  ASSERT_TRUE(image.has_value()) << "no image written: " << hostile.why;
  EXPECT_LE(image->width, 200);
  EXPECT_LE(image->height, 200);
  if (hostile.expect == Expect::icon) {
    EXPECT_TRUE(looksLikeIcon(*image, 200)) << hostile.why;
  } else if (hostile.expect == Expect::thumbnail) {
    EXPECT_FALSE(looksLikeIcon(*image, 200)) << hostile.why;
  }
}

// Where no control group can be made (an unprivileged user), per-process shares and the watch on
// the sandbox's tree hold the same budget. Run as nobody from root, on the documents whose
// renderers (the general image stack, video thumbnailers) the kernel must stop.
TEST_F(HostileDocumentTest, AsAnUnprivilegedUserTheBudgetHoldsToo) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run thumbtool as nobody";
  }
  fs::path outputs = folder_->path() / "nobody";
  fs::create_directories(outputs);
  fs::permissions(outputs, fs::perms::all);
  fs::permissions(folder_->path(),
                  fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  RunOptions options;
  options.launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  for (const char* file : {"tiled-huge.tif", "png-frame-huge.mkv", "progressive-frame-huge.avi"}) {
    fs::path out = outputs / (std::string(file) + ".png");
    RunResult run = runThumbtool({(folder_->path() / file).string(), out.string()}, options);
    EXPECT_EQ(run.exitStatus, 0) << file;
    EXPECT_LT(run.seconds, kMaxSeconds) << file;
    EXPECT_LT(run.peakTreeKiB, kMaxResidentKiB) << file;
    EXPECT_TRUE(decodeImage(out).has_value()) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, HostileDocumentTest,
    testing::Values(
        HostileCase{"progressive-huge.jpg", Expect::icon,
                    "1.5 GB of coefficients: refused from the header"},
        HostileCase{"progressive-cmyk-huge.jpg", Expect::icon,
                    "CMYK needs the general image stack, but the bomb is refused first"},
        HostileCase{"many-scans.jpg", Expect::icon, "3300 scans: stopped at the scan limit"},
        HostileCase{"many-fills.pdf", Expect::icon, "minutes of fills: killed at the deadline"},
        HostileCase{"turbulence.svg", Expect::icon, "minutes of filter: killed at the deadline"},
        HostileCase{"interlaced-huge.png", Expect::icon,
                    "decoded interlaced it needs 1 GB at once: refused from the header"},
        HostileCase{"huge-canvas.gif", Expect::either, "one pixel on a 16000x16000 canvas"},
        HostileCase{"jbig2-huge-page.pdf", Expect::icon,
                    "an 80000x80000 page bitmap in 742 bytes: stopped at the run's budget"},
        HostileCase{"tiled-huge.tif", Expect::either,
                    "192 MB tiles, two at once: stopped at the run's budget"},
        HostileCase{"png-frame-huge.mkv", Expect::icon,
                    "a video thumbnailer decoding a 16000x16000 frame: stopped in its sandbox"},
        HostileCase{"progressive-frame-huge.avi", Expect::icon,
                    "1.3 GB of coefficients in a video frame: stopped in its sandbox"},
        HostileCase{"combining.txt", Expect::thumbnail, "a page of text, however it is shaped"}),
    [](const testing::TestParamInfo<HostileCase>& info) {
      std::string name = info.param.file;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
          c = '_';
        }
      }
      return name;
    });

}  // namespace
}  // namespace thumbtool::test
