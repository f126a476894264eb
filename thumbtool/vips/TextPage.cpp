#include "TextPage.hpp"

#include <vips/vips8>

#include <algorithm>
#include <cmath>
#include <iterator>

#include "../InputDescriptor.hpp"
#include "../Pixels.hpp"
#include "GLibHandles.hpp"
#include "VipsImages.hpp"

namespace thumbtool {

namespace {

using vips::VImage;

// Only the start of the file matters: a page shows at most kMaxLines lines.
constexpr std::size_t kMaxBytes = 16 * 1024;
constexpr int kMaxLines = 48;
constexpr std::size_t kMaxColumns = 120;

// The page in points (A4), its margin, and the font drawn on it.
constexpr double kPageWidth = 595;
constexpr double kPageHeight = 842;
constexpr double kMargin = 36;
constexpr const char* kFont = "DejaVu Sans Mono 14";
// Below this scale the glyphs collapse; draw larger and shrink the finished page instead.
constexpr double kMinScale = 0.25;

std::string firstLines(int fd) {
  std::string data(kMaxBytes, '\0');
  data.resize(readAt(fd, data.data(), data.size(), 0));
  std::string valid = takeString(g_utf8_make_valid(data.data(), static_cast<gssize>(data.size())));
  std::string result;
  int lines = 0;
  std::size_t start = 0;
  while (start <= valid.size() && lines < kMaxLines) {
    std::size_t end = valid.find('\n', start);
    std::string line =
        valid.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    // Cut long lines by characters, never inside a UTF-8 sequence.
    if (g_utf8_strlen(line.c_str(), static_cast<gssize>(line.size())) >
        static_cast<glong>(kMaxColumns)) {
      const char* cut = g_utf8_offset_to_pointer(line.c_str(), static_cast<glong>(kMaxColumns));
      line.resize(static_cast<std::size_t>(cut - line.c_str()));
    }
    result += line;
    result += '\n';
    ++lines;
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return result;
}

bool hasVisibleText(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return c != ' ' && c != '\n' && c != '\t' && c != '\r'; });
}

}  // namespace

std::optional<Image> textPage(int fd, Box box) {
  std::string text = firstLines(fd);
  if (!hasVisibleText(text)) {
    return std::nullopt;
  }
  // NUL and other control characters are not markup Pango accepts.
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
      c = ' ';
    }
  }
  std::string markup =
      takeString(g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size())));
  Dimensions page =
      fitInside(static_cast<int>(kPageWidth), static_cast<int>(kPageHeight), box, true);
  double scale = std::max(page.width / kPageWidth, kMinScale);
  try {
    int width = static_cast<int>(std::lround(kPageWidth * scale));
    int height = static_cast<int>(std::lround(kPageHeight * scale));
    int margin = static_cast<int>(std::lround(kMargin * scale));
    VImage ink =
        VImage::text(markup.c_str(), VImage::option()
                                         ->set("font", kFont)
                                         ->set("width", width - 2 * margin)
                                         ->set("dpi", static_cast<int>(std::lround(72 * scale)))
                                         ->set("wrap", VIPS_TEXT_WRAP_CHAR));
    // The text mask is ink coverage: dark on a white page, cut off at the bottom margin.
    VImage sheet =
        ink.embed(margin, margin, width, height - margin,
                  VImage::option()->set("extend", VIPS_EXTEND_BLACK))
            .embed(0, 0, width, height, VImage::option()->set("extend", VIPS_EXTEND_BLACK));
    VImage grey = (255 - sheet).cast(VIPS_FORMAT_UCHAR);
    VImage rgb = grey.bandjoin(grey).bandjoin(grey).copy(
        VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    if (width != page.width || height != page.height) {
      rgb = rgb.thumbnail_image(
          page.width, VImage::option()->set("height", page.height)->set("size", VIPS_SIZE_FORCE));
    }
    return toImage(rgb);
  } catch (const vips::VError&) {
    return std::nullopt;
  }
}

}  // namespace thumbtool
