// thumbtool SOURCE OUTPUT [WIDTHxHEIGHT [FORMAT]]: writes a thumbnail (or the icon) of any
// document as PNG, TIFF, BMP, GIF or JPEG. Exit status 0 once it got as far as writing, 255 for
// too few arguments or an unknown format; the only message it ever prints is the unknown format
// one, on standard output.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "CommandLine.hpp"
#include "Preview.hpp"

namespace {

constexpr int kFailure = 255;

// Written in place, not through a temporary file: the bytes are complete before the file is
// opened, so a failed decode never leaves an empty file. The outcome does not change the exit
// status.
void writeFile(const std::string& path, const thumbtool::Bytes& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    return;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  close(fd);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Libraries deep in the decoders (fonts, codecs) may still write to the error stream; the program
// prints nothing there. Sanitizer builds keep it so that their reports are seen.
void silenceErrorStream() {
  if (kSanitized) {
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
    if (bytes) {
      writeFile(output, *bytes);
    }
  } catch (...) {
    // Out of memory on a hostile file: nothing is written, as for any failed preview.
  }
  return 0;
}
