// thumbtool run as a child process on documents made here; every output is decoded back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Requirements.hpp"
#include "Samples.hpp"
#include "ServerProcess.hpp"
#include "TimeScale.hpp"

namespace thumbtool::test {
namespace {

namespace fs = std::filesystem;
using zembrel::test::readFile;
using zembrel::test::ScopedTempDir;
using zembrel::test::writeFile;

class ThumbtoolTest : public testing::Test {
 protected:
  fs::path file(const std::string& name) const { return dir_.path() / name; }

  // A 1200x800 JPEG: left half red, right half blue.
  fs::path photo() {
    fs::path path = file("photo.jpg");
    if (!fs::exists(path)) {
      writeJpeg(path, 1200, 800);
    }
    return path;
  }

  // Runs thumbtool, expects exit 0 and silence, and decodes the output.
  Decoded thumbnail(const std::vector<std::string>& arguments) {
    RunResult run = runThumbtool(arguments);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    std::optional<Decoded> decoded = decodeImage(arguments.at(1));
    EXPECT_TRUE(decoded.has_value()) << "no readable output for " << arguments.at(0);
    return decoded.value_or(Decoded{});
  }

  ScopedTempDir dir_;
};

bool isWhite(const std::vector<int>& rgb) {
  return rgb[0] >= 250 && rgb[1] >= 250 && rgb[2] >= 250;
}
bool isRed(const std::vector<int>& rgb) { return rgb[0] > 200 && rgb[1] < 60 && rgb[2] < 60; }
bool isBlue(const std::vector<int>& rgb) { return rgb[0] < 60 && rgb[1] < 60 && rgb[2] > 200; }

// ---- the failure table and the argument rules

TEST_F(ThumbtoolTest, FewerThanTwoArgumentsFailSilently) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, {photo().string()}}) {
    RunResult run = runThumbtool(arguments);
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
  auto entries = std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator());
  EXPECT_EQ(entries, 1) << "nothing written beside the photo";
}

TEST_F(ThumbtoolTest, UnknownFormatsArePrintedAsTypedOnStandardOutput) {
  for (std::string name : {"webp", "jpeg", "tif", "JPEG", "%s%d%n", "", "png "}) {
    fs::path out = file("out");
    RunResult run = runThumbtool({photo().string(), out.string(), "64x64", name});
    EXPECT_EQ(run.exitStatus, 255) << name;
    EXPECT_EQ(run.out, "unknown format: " + name + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(fs::exists(out)) << name;
  }
}

TEST_F(ThumbtoolTest, FormatNamesInAnyCaseSelectTheEncoding) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"PNG", "png"}, {"Jpg", "jpeg"}, {"tIfF", "tiff"}, {"bmp", "bmp"}, {"GIF", "gif"}};
  for (const auto& [name, loader] : cases) {
    fs::path out = file("case-" + name);
    Decoded image = thumbnail({photo().string(), out.string(), "100x100", name});
    EXPECT_EQ(image.loader, loader) << name;
    EXPECT_EQ(image.width, 100) << name;
    EXPECT_EQ(image.height, 67) << name;
  }
}

TEST_F(ThumbtoolTest, DefaultsAre200SquareAndPng) {
  Decoded image = thumbnail({photo().string(), file("default").string()});
  EXPECT_EQ(image.loader, "png");
  EXPECT_EQ(image.width, 200);
  EXPECT_EQ(image.height, 133);
}

struct SizeCase {
  const char* size;
  int width;
  int height;
};

class ThumbtoolSizeTest : public ThumbtoolTest, public testing::WithParamInterface<SizeCase> {};

// The photo is 1200x800; a side of zero or less leaves that side unbounded.
TEST_P(ThumbtoolSizeTest, SizeArgumentBoundsTheThumbnail) {
  Decoded image = thumbnail({photo().string(), file("sized.png").string(), GetParam().size});
  EXPECT_EQ(image.width, GetParam().width) << GetParam().size;
  EXPECT_EQ(image.height, GetParam().height) << GetParam().size;
}

INSTANTIATE_TEST_SUITE_P(Cases, ThumbtoolSizeTest,
                         testing::Values(SizeCase{"640x480", 640, 427},
                                         SizeCase{" 640x480", 640, 427}, SizeCase{"1x2x3", 1, 1},
                                         SizeCase{"abcx50", 75, 50}, SizeCase{"-5x10", 15, 10},
                                         SizeCase{"99999999999x1", 2, 1}, SizeCase{"150", 150, 100},
                                         SizeCase{"300x100", 150, 100},
                                         SizeCase{"5000x5000", 1200, 800}));

TEST_F(ThumbtoolTest, ArgumentsAfterTheFourthAreIgnored) {
  thumbnail({photo().string(), file("four.gif").string(), "90x90", "gif"});
  thumbnail({photo().string(), file("five.gif").string(), "90x90", "gif", "extra", "more"});
  EXPECT_EQ(readFile(file("four.gif")), readFile(file("five.gif")));
}

TEST_F(ThumbtoolTest, TildeExpandsOnBothPathsAgainstHome) {
  writeJpeg(file("home-photo.jpg"), 300, 200);
  RunResult run = runThumbtool({"~/home-photo.jpg", "~/home-out.png"},
                               std::map<std::string, std::string>{{"HOME", dir_.path().string()}});
  EXPECT_EQ(run.exitStatus, 0);
  std::optional<Decoded> image = decodeImage(file("home-out.png"));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 200);
}

// File names are bytes here: a name that is not UTF-8 is still a file with a thumbnail.
TEST_F(ThumbtoolTest, PathsThatAreNotUtf8StillWork) {
  fs::path source = file("caf\xe9.jpg");
  writeFile(source, readFile(photo()));
  Decoded image = thumbnail({source.string(), file("out-\xff.png").string(), "50x50"});
  EXPECT_EQ(image.width, 50);
}

TEST_F(ThumbtoolTest, MissingSourceWritesNothingAndExitsZero) {
  RunResult run = runThumbtool({file("absent.jpg").string(), file("out.png").string()});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_FALSE(fs::exists(file("out.png")));
}

TEST_F(ThumbtoolTest, UnwritableOutputStillExitsZero) {
  RunResult run = runThumbtool({photo().string(), file("no/such/dir/out.png").string()});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out + run.err, "");
}

// ---- documents of each kind

TEST_F(ThumbtoolTest, EveryFormatDecodesFitsAndKeepsTheAspectRatio) {
  for (const char* format : {"png", "jpg", "bmp", "gif", "tiff"}) {
    fs::path out = file(std::string("fit.") + format);
    Decoded image = thumbnail({photo().string(), out.string(), "200x200", format});
    ASSERT_EQ(image.width, 200) << format;
    ASSERT_EQ(image.height, 133) << format;
    EXPECT_TRUE(isRed(image.rgbAt(10, 66))) << format;
    EXPECT_TRUE(isBlue(image.rgbAt(190, 66))) << format;
  }
}

// SOURCE names an open descriptor: the file behind it is rendered, not the icon, through the
// decoders and (for a text file) through a second worker too.
TEST_F(ThumbtoolTest, DescriptorPathsAsSourceGiveTheDocument) {
  writeFile(file("notes.txt"), "one\ntwo\n");
  for (const fs::path& document : {photo(), file("notes.txt")}) {
    for (const char* source : {"/dev/stdin", "/proc/self/fd/0"}) {
      fs::path out = file(document.filename().string() + "-stdin.png");
      RunOptions options;
      options.launcher = {"/bin/sh", "-c", "exec \"$@\" < '" + document.string() + "'", "sh"};
      RunResult run = runThumbtool({source, out.string(), "200x200"}, options);
      EXPECT_EQ(run.exitStatus, 0) << source;
      std::optional<Decoded> image = decodeImage(out);
      ASSERT_TRUE(image.has_value()) << source << " " << document;
      EXPECT_FALSE(looksLikeIcon(*image, 200)) << source << " " << document;
    }
  }
}

// Root's workers decode as an unprivileged user of the run's own, which may not open a file
// only root may read: every decoder still reads it, through the descriptor it is handed.
TEST_F(ThumbtoolTest, DocumentsOnlyRootMayReadStillDecodeAsRoot) {
  if (geteuid() != 0) {
    ZEMBREL_SKIP_WITHOUT("root", "runs as root only");
  }
  writePdf(file("private.pdf"), 595, 842);
  writeTransparentPng(file("private.png"), 64, 48);
  writeFile(file("private.txt"), "one\ntwo\n");
  fs::copy_file(photo(), file("private.jpg"));
  writeCmykJpeg(file("private-cmyk.jpg"), 120, 80);
  for (const char* name :
       {"private.jpg", "private-cmyk.jpg", "private.pdf", "private.png", "private.txt"}) {
    fs::permissions(file(name), fs::perms::owner_read);
    Decoded image = thumbnail({file(name).string(), file(name + std::string(".out.png")).string(),
                               "200x200"});
    EXPECT_FALSE(looksLikeIcon(image, 200)) << name << ": the document, not its icon";
    EXPECT_GT(image.width, 0) << name;
  }
}

// Root of a user namespace that maps only itself (one an unprivileged user or a rootless
// container makes) cannot become a run's user: it decodes as itself, as before, rather than
// giving every document its icon.
TEST_F(ThumbtoolTest, RootOfANamespaceThatMapsOnlyItselfStillDecodes) {
  const std::vector<std::string> inNamespace = {"unshare", "--user", "--map-root-user"};
  RunOptions probe;
  probe.launcher = inNamespace;
  try {
    if (runProgram({"/bin/true"}, probe).exitStatus != 0) {
      ZEMBREL_SKIP_WITHOUT("user namespaces", "unshare cannot make a user namespace here");
    }
  } catch (const std::runtime_error&) {
    ZEMBREL_SKIP_WITHOUT("unshare", "unshare is not installed");
  }
  writeFile(file("notes.txt"), "one\ntwo\n");
  for (const fs::path& document : {photo(), file("notes.txt")}) {
    fs::path out = file(document.filename().string() + "-namespace.png");
    RunOptions options;
    options.launcher = inNamespace;
    RunResult run = runThumbtool({document.string(), out.string(), "200x200"}, options);
    EXPECT_EQ(run.exitStatus, 0) << document << run.err;
    std::optional<Decoded> image = decodeImage(out);
    ASSERT_TRUE(image.has_value()) << document;
    EXPECT_FALSE(looksLikeIcon(*image, 200)) << document << ": the document, not its icon";
  }
}

TEST_F(ThumbtoolTest, SmallRastersAreNotEnlarged) {
  writeJpeg(file("small.jpg"), 64, 48);
  writeTransparentPng(file("small.png"), 64, 48);
  for (const char* name : {"small.jpg", "small.png"}) {
    Decoded image =
        thumbnail({file(name).string(), file(std::string(name) + ".out.png").string(), "640x480"});
    EXPECT_EQ(image.width, 64) << name;
    EXPECT_EQ(image.height, 48) << name;
  }
}

TEST_F(ThumbtoolTest, ExifRotatedJpegComesOutUpright) {
  // Stored 300x100 with red left and blue right; orientation 6 means "turn clockwise to view",
  // so the upright picture is 100x300 with red on top.
  writeJpeg(file("rotated.jpg"), 300, 100, 6);
  Decoded image =
      thumbnail({file("rotated.jpg").string(), file("rotated.png").string(), "200x200"});
  EXPECT_EQ(image.width, 67);
  EXPECT_EQ(image.height, 200);
  EXPECT_TRUE(isRed(image.rgbAt(33, 10)));
  EXPECT_TRUE(isBlue(image.rgbAt(33, 190)));
}

TEST_F(ThumbtoolTest, CmykJpegIsConvertedToRgb) {
  writeCmykJpeg(file("cyan.jpg"), 120, 80);
  Decoded image = thumbnail({file("cyan.jpg").string(), file("cyan.png").string(), "60x60"});
  EXPECT_EQ(image.width, 60);
  EXPECT_EQ(image.bands, 3);
  std::vector<int> rgb = image.rgbAt(30, 20);
  EXPECT_LT(rgb[0], 80) << "cyan ink absorbs red";
  EXPECT_GT(rgb[1], 100);
  EXPECT_GT(rgb[2], 150);
}

TEST_F(ThumbtoolTest, AlphaIsFlattenedOntoWhiteForJpegAndBmp) {
  writeTransparentPng(file("clear.png"), 80, 40);
  for (const char* format : {"jpg", "bmp"}) {
    Decoded image = thumbnail({file("clear.png").string(),
                               file(std::string("clear.") + format).string(), "200x200", format});
    EXPECT_EQ(image.bands, 3) << format;
    EXPECT_TRUE(isWhite(image.rgbAt(40, 20))) << format;
  }
  Decoded png = thumbnail({file("clear.png").string(), file("clear.out.png").string()});
  EXPECT_EQ(png.bands, 4) << "PNG keeps the alpha channel";
}

// The page as it is shown (turned by its /Rotate), scaled so that its longer side fills the box;
// the band drawn near the page's lower left corner must land where the turn puts it.
TEST_F(ThumbtoolTest, PdfFirstPageIsRenderedTurnedToFitTheBox) {
  struct Page {
    int width, height, rotate;
    const char* box;
    int expectWidth, expectHeight;
    int bandX, bandY;    // inside the band, in output pixels
    int paperX, paperY;  // plain paper
  };
  const Page pages[] = {
      {595, 842, 0, "200x200", 141, 200, 16, 190, 120, 100},
      {595, 842, 90, "200x200", 200, 141, 9, 16, 190, 120},
      {595, 842, 180, "200x200", 141, 200, 124, 9, 20, 100},
      {595, 842, 270, "200x200", 200, 141, 190, 124, 9, 20},
      // A small page is drawn larger, as vector pages are.
      {100, 50, 0, "400x400", 400, 200, 100, 60, 200, 180},
  };
  for (const Page& page : pages) {
    std::string name = "doc" + std::to_string(page.rotate) + "-" + page.box;
    writePdf(file(name + ".pdf"), page.width, page.height, page.rotate);
    Decoded image = thumbnail({file(name + ".pdf").string(), file(name + ".png").string(), page.box});
    EXPECT_EQ(image.width, page.expectWidth) << name;
    EXPECT_EQ(image.height, page.expectHeight) << name;
    std::vector<int> band = image.rgbAt(page.bandX, page.bandY);
    EXPECT_TRUE(band[2] > 150 && band[0] < 120) << name << ": the band is where the turn puts it";
    EXPECT_TRUE(isWhite(image.rgbAt(page.paperX, page.paperY))) << name << ": paper is white";
  }
}

TEST_F(ThumbtoolTest, SvgIsRenderedToFitTheBox) {
  writeFile(file("shape.svg"),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"50\">"
            "<rect width=\"100\" height=\"50\" fill=\"#ff0000\"/></svg>");
  Decoded image = thumbnail({file("shape.svg").string(), file("shape.png").string(), "200x200"});
  EXPECT_EQ(image.width, 200);
  EXPECT_EQ(image.height, 100);
  EXPECT_TRUE(isRed(image.rgbAt(100, 50)));
}

TEST_F(ThumbtoolTest, VideoGoesThroughItsThumbnailer) {
  if (!fs::exists("/usr/share/thumbnailers/ffmpegthumbnailer.thumbnailer")) {
    GTEST_SKIP() << "ffmpegthumbnailer is not installed: no video thumbnailer to test";
  }
  if (std::optional<std::string> problem = sandboxProblem()) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "thumbnailers run only in a sandbox, and bubblewrap cannot set one up "
                         "here: " + *problem);
  }
  writeAvi(file("clip.avi"));
  Decoded image = thumbnail({file("clip.avi").string(), file("clip.png").string(), "160x160"});
  // 320x240 frames: the thumbnailer's picture is fitted into the box.
  EXPECT_EQ(image.width, 160);
  EXPECT_EQ(image.height, 120);
  EXPECT_TRUE(isRed(image.rgbAt(50, 60))) << "the frame's red half, not an icon";
}

// One that fails (exit 1, after writing a picture) must be passed over, one that chatters must
// not reach thumbtool's output, and the source's folder is out of their reach.
TEST_F(ThumbtoolTest, ThumbnailersAreCheckedSilencedAndConfined) {
  if (std::optional<std::string> problem = sandboxProblem()) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "thumbnailers run only in a sandbox, and bubblewrap cannot set one up "
                         "here: " + *problem);
  }
  const std::string small = "/usr/share/icons/Adwaita/32x32/mimetypes/text-x-generic.png";
  const std::string large = "/usr/share/icons/Adwaita/48x48/mimetypes/text-x-generic.png";
  if (!fs::exists(small) || !fs::exists(large)) {
    GTEST_SKIP() << "the Adwaita icon theme is not installed";
  }
  auto data =
      sampleThumbnailers(dir_.path() / "data",
                         {{"a-fails.thumbnailer", "sh -c 'cp \"$1\" \"$0\"; exit 1' %o " + small},
                          {"b-works.thumbnailer",
                           "sh -c 'echo chatter; echo chatter >&2; echo x > \"$2.touched\"; "
                           "cp \"$1\" \"$0\"' %o " +
                               large + " %i"}});
  if (!data) {
    GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
  }
  fs::path source = file("sample.thumbtoolsample");
  writeFile(source, std::string(512, '\x01'));
  fs::path out = file("sample.png");
  RunResult run =
      runThumbtool({source.string(), out.string()},
                   std::map<std::string, std::string>{{"XDG_DATA_HOME", data->string()}});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  std::optional<Decoded> image = decodeImage(out);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 48) << "the working thumbnailer's picture, not enlarged";
  EXPECT_EQ(image->height, 48);
  EXPECT_FALSE(fs::exists(source.string() + ".touched")) << "the source folder is out of reach";
}

// Thumbnailers that hang are killed when the run's render budget (10 s, shared by all of them)
// is spent, and the icon is written instead.
TEST_F(ThumbtoolTest, HangingThumbnailersAreKilledAtTheTimeLimit) {
  if (std::optional<std::string> problem = sandboxProblem()) {
    ZEMBREL_SKIP_WITHOUT("bubblewrap",
                         "thumbnailers run only in a sandbox, and bubblewrap cannot set one up "
                         "here: " + *problem);
  }
  auto data = sampleThumbnailers(dir_.path() / "data",
                                 {{"hangs.thumbnailer", "sh -c 'sleep 120' %i %o"},
                                  {"hangs-too.thumbnailer", "sh -c 'sleep 120' %i %o"}});
  if (!data) {
    GTEST_SKIP() << "update-mime-database (shared-mime-info) is not available";
  }
  fs::path source = file("stuck.thumbtoolsample");
  writeFile(source, std::string(512, '\x01'));
  RunResult run =
      runThumbtool({source.string(), file("stuck.png").string(), "64x64"},
                   std::map<std::string, std::string>{{"XDG_DATA_HOME", data->string()}});
  EXPECT_EQ(run.exitStatus, 0);
  // Less than two budgets, however slow the machine: a scaled bound would lose the point.
  EXPECT_LT(run.seconds, 19) << "one budget for both, not 10 s each";
  std::optional<Decoded> image = decodeImage(file("stuck.png"));
  ASSERT_TRUE(image.has_value());
  EXPECT_TRUE(looksLikeIcon(*image, 64));
}

TEST_F(ThumbtoolTest, TextFileBecomesAPageOfItsFirstLines) {
  std::string text;
  for (int i = 1; i <= 80; ++i) {
    text += "line " + std::to_string(i) + ": <markup> & \xff invalid UTF-8 \x01\n";
  }
  writeFile(file("notes.txt"), text);
  Decoded image = thumbnail({file("notes.txt").string(), file("notes.png").string(), "400x400"});
  EXPECT_EQ(image.height, 400);
  EXPECT_EQ(image.width, 283);  // A4 proportions
  EXPECT_TRUE(isWhite(image.rgbAt(5, 5))) << "margin";
  int dark = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      dark += image.rgbAt(x, y)[0] < 128 ? 1 : 0;
    }
  }
  EXPECT_GT(dark, 500) << "the page shows text";
}

TEST_F(ThumbtoolTest, UnknownDataAndEmptyFilesGetTheirIcon) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) {
    binary += static_cast<char>((i * 7919 + 13) % 256);
  }
  writeFile(file("blob.dat"), binary);
  writeFile(file("empty"), "");
  for (const char* name : {"blob.dat", "empty"}) {
    Decoded image =
        thumbnail({file(name).string(), file(std::string(name) + ".png").string(), "128x96"});
    // Theme icons are square, scaled to the box.
    EXPECT_EQ(image.width, 96) << name;
    EXPECT_EQ(image.height, 96) << name;
    EXPECT_EQ(image.bands, 4) << name;
  }
}

// Reading these could block forever or never end: their icon comes at once, well before the
// render budget (10 s) that a worker stuck on one would use up.
TEST_F(ThumbtoolTest, FoldersFifosDevicesAndKernelFilesGetAnIconAtOnce) {
  fs::create_directory(file("folder"));
  ASSERT_EQ(mkfifo(file("pipe").c_str(), 0600), 0);
  fs::create_symlink("/proc/kmsg", file("kmsg-link"));
  for (const std::string& name :
       {file("folder").string(), file("pipe").string(), std::string("/dev/zero"),
        std::string("/proc/kmsg"), file("kmsg-link").string(), std::string("/proc/self/maps")}) {
    if (!fs::exists(name)) {
      continue;
    }
    fs::path out = file("icon-" + std::to_string(std::hash<std::string>{}(name)) + ".png");
    RunResult run = runThumbtool({name, out.string(), "64x64"});
    EXPECT_EQ(run.exitStatus, 0) << name;
    // At once: well before the 10 s render budget could have been spent.
    EXPECT_LT(run.seconds, std::min(zembrel::test::scaledSeconds(5), 9.0)) << name;
    std::optional<Decoded> image = decodeImage(out);
    ASSERT_TRUE(image.has_value()) << name;
    EXPECT_TRUE(looksLikeIcon(*image, 64)) << name;
  }
}

TEST_F(ThumbtoolTest, TruncatedJpegWritesAThumbnailOrTheIconNeverAnEmptyFile) {
  std::string whole = readFile(photo());
  for (std::size_t length : {whole.size() / 2, std::size_t{200}, std::size_t{3}}) {
    fs::path cut = file("cut-" + std::to_string(length) + ".jpg");
    writeFile(cut, whole.substr(0, length));
    Decoded image = thumbnail({cut.string(), cut.string() + ".png", "100x100"});
    EXPECT_GT(image.width, 0) << length;
    EXPECT_LE(image.width, 100) << length;
    EXPECT_LE(image.height, 100) << length;
  }
}

}  // namespace
}  // namespace thumbtool::test
