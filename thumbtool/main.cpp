// thumbtool SOURCE OUTPUT [WIDTHxHEIGHT [FORMAT]]: writes a thumbnail (or the icon) of any
// document as PNG, TIFF, BMP, GIF or JPEG. Exit status 0 once it got as far as writing, 255 for
// too few arguments or an unknown format; the only message it ever prints is the unknown format
// one, on standard output.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "BuildFlags.hpp"
#include "CommandLine.hpp"
#include "OutputFile.hpp"
#include "Preview.hpp"

namespace {

constexpr int kFailure = 255;

// Workers and pipes get the lowest free descriptors: with a standard stream closed, one of
// them would become "standard output".
void openStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      int null = open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) {
        close(null);
      }
    }
  }
}

// Libraries deep in the decoders (fonts, codecs) may still write to the error stream; the program
// prints nothing there. Sanitizer builds keep it so that their reports are seen.
void silenceErrorStream() {
  if (thumbtool::kSanitizedBuild) {
    return;
  }
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    return kFailure;
  }
  openStandardStreams();
  silenceErrorStream();
  const std::string source = thumbtool::expandTilde(argv[1]);
  const std::string output = thumbtool::expandTilde(argv[2]);
  thumbtool::RequestedSize size;
  if (argc > 3) {
    size = thumbtool::parseSize(argv[3]);
  }
  const std::string formatName = argc > 4 ? argv[4] : "png";
  // Checked before the image is made: the outcome is the same and no work is wasted.
  std::optional<thumbtool::Format> format = thumbtool::formatNamed(formatName);
  if (!format) {
    std::string message = "unknown format: " + formatName + "\n";
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fflush(stdout);
    return kFailure;
  }
  try {
    auto image =
        thumbtool::imageWithPreviewOfFileAtPath(source, thumbtool::boxForSize(size), false);
    if (!image) {
      return 0;
    }
    auto bytes = thumbtool::encodeImage(*image, *format);
    // Written to a new file that replaces OUTPUT only once it is complete; a failure leaves
    // OUTPUT as it was. The outcome does not change the exit status.
    if (bytes) {
      thumbtool::replaceFile(output, *bytes, thumbtool::readersOf(source));
    }
  } catch (...) {
    // Out of memory on a hostile file: nothing is written, as for any failed preview.
  }
  return 0;
}
