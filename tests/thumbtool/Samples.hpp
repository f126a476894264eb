// Sample documents made on the fly, and a way to run thumbtool and read back what it wrote.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace thumbtool::test {

// ---- making samples

// An RGB JPEG whose left half is red and right half blue; orientation 1 writes no EXIF tag.
void writeJpeg(const std::filesystem::path& path, int width, int height, int orientation = 1);

// A CMYK JPEG of pure cyan ink, without a colour profile.
void writeCmykJpeg(const std::filesystem::path& path, int width, int height);

// A PNG with alpha, fully transparent black.
void writeTransparentPng(const std::filesystem::path& path, int width, int height);

// A one-page PDF with the given media box in points, a coloured band 20 points in from its
// lower left corner and a line of text; the page is shown turned by rotate degrees.
void writePdf(const std::filesystem::path& path, int widthPoints, int heightPoints,
              int rotate = 0);

// A short Motion-JPEG AVI video (320x240, 10 frames).
void writeAvi(const std::filesystem::path& path);

// A private data folder (for XDG_DATA_HOME) that declares the type application/x-thumbtool-sample
// for "*.thumbtoolsample" files, with the given thumbnailers (file name -> Exec line) for it,
// each with TryExec=tryExec. Nothing when update-mime-database is missing.
std::optional<std::filesystem::path> sampleThumbnailers(
    const std::filesystem::path& data, const std::map<std::string, std::string>& execs,
    const std::string& tryExec = "sh");

// ---- running thumbtool

struct RunOptions {
  std::map<std::string, std::string> environment;  // overrides the test's variables
  std::vector<std::string> launcher;               // put before the program, e.g. setpriv
  std::filesystem::path workingFolder;             // empty: the test's own
  std::chrono::seconds timeout{120};               // then the program is killed by its pid
};

struct RunResult {
  int exitStatus = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
  double seconds = 0;        // wall time
  long peakResidentKiB = 0;  // the largest of the program and the children it waited for
  // The whole process tree's proportional resident size, sampled every 10 ms while it runs:
  // what the program and everything it started held at once.
  long peakTreeKiB = 0;
  bool timedOut = false;
};

// Runs any program (argv[0] a path) with the options.
RunResult runProgram(const std::vector<std::string>& argv, const RunOptions& options);

// Runs the built thumbtool with the given arguments; extraEnvironment overrides variables.
RunResult runThumbtool(const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& extraEnvironment = {});
RunResult runThumbtool(const std::vector<std::string>& arguments, const RunOptions& options);

// Why bubblewrap cannot set up thumbtool's kind of sandbox here (many containers and chroots
// allow no user namespaces), run through the launcher; nothing when it can. Tests that need
// thumbnailers to run skip with this reason.
std::optional<std::string> sandboxProblem(const std::vector<std::string>& launcher = {});

// ---- reading back

struct Decoded {
  int width = 0;
  int height = 0;
  int bands = 0;
  std::string loader;  // "png", "jpeg", "bmp", "gif", "tiff"
  // RGB at (x, y), alpha dropped.
  std::vector<int> rgbAt(int x, int y) const;
  std::vector<unsigned char> rgba;  // 4 bytes a pixel, rows packed
};

// Decodes any of the five output formats; nothing when the file is missing or malformed.
std::optional<Decoded> decodeImage(const std::filesystem::path& path);

// Theme icons are square and keep their alpha; thumbnails of the test's documents are neither.
bool looksLikeIcon(const Decoded& image, int side);

}  // namespace thumbtool::test
