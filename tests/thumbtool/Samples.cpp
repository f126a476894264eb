#include "Samples.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vips/vips8>

#include "ServerProcess.hpp"
#include "Subprocess.hpp"

namespace thumbtool::test {

using zembrel::test::readFile;
using zembrel::test::writeFile;

namespace {

using vips::VImage;

// The proportional resident size of a process and all its descendants together, in KiB: a page
// shared by several of them counts once in all. Processes that are gone count nothing.
constexpr long long kTreeSampleMs = 10;

long treeProportionalKiB(pid_t root) {
  long total = 0;
  std::vector<pid_t> pending = {root};
  while (!pending.empty()) {
    std::string folder = "/proc/" + std::to_string(pending.back());
    pending.pop_back();
    std::ifstream rollup(folder + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
      if (line.rfind("Pss:", 0) == 0) {
        total += std::stol(line.substr(4));
        break;
      }
    }
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(folder + "/task", error)) {
      std::ifstream children(task.path() / "children");
      for (pid_t child = 0; children >> child;) {
        pending.push_back(child);
      }
    }
  }
  return total;
}

void ensureVips() {
  static const bool ready = [] {
    if (VIPS_INIT("thumbtool_tests") != 0) {
      throw std::runtime_error("libvips does not start");
    }
    vips_cache_set_max(0);
    return true;
  }();
  static_cast<void>(ready);
}

VImage halves(int width, int height) {
  VImage left = VImage::black(width / 2, height).new_from_image({255, 0, 0});
  VImage right = VImage::black(width - width / 2, height).new_from_image({0, 0, 255});
  return left.join(right, VIPS_DIRECTION_HORIZONTAL)
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

void putLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out += static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

std::string chunk(const std::string& id, const std::string& body) {
  std::string out = id;
  putLe(out, static_cast<std::uint32_t>(body.size()), 4);
  out += body;
  if (body.size() % 2 != 0) {
    out += '\0';
  }
  return out;
}

std::string list(const std::string& type, const std::string& body) {
  return chunk("LIST", type + body);
}

std::optional<Decoded> decodeBmp(const std::string& data) {
  auto le = [&](std::size_t offset, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
      value = value << 8 | static_cast<unsigned char>(data[offset + static_cast<std::size_t>(i)]);
    }
    return value;
  };
  if (data.size() < 54 || data[0] != 'B' || data[1] != 'M' || le(14, 4) != 40 || le(28, 2) != 24 ||
      le(30, 4) != 0) {
    return std::nullopt;  // only the classic 24-bit uncompressed layout is accepted
  }
  Decoded result;
  result.loader = "bmp";
  result.width = static_cast<int>(le(18, 4));
  result.height = static_cast<int>(le(22, 4));
  result.bands = 3;
  std::size_t offset = le(10, 4);
  std::size_t row = (static_cast<std::size_t>(result.width) * 3 + 3) & ~std::size_t{3};
  if (result.width <= 0 || result.height <= 0 || le(2, 4) != data.size() ||
      offset + row * static_cast<std::size_t>(result.height) != data.size()) {
    return std::nullopt;
  }
  result.rgba.resize(static_cast<std::size_t>(result.width) * result.height * 4);
  for (int y = 0; y < result.height; ++y) {
    const char* in = data.data() + offset + row * static_cast<std::size_t>(result.height - 1 - y);
    for (int x = 0; x < result.width; ++x) {
      unsigned char* out = &result.rgba[(static_cast<std::size_t>(y) * result.width + x) * 4];
      out[0] = static_cast<unsigned char>(in[x * 3 + 2]);
      out[1] = static_cast<unsigned char>(in[x * 3 + 1]);
      out[2] = static_cast<unsigned char>(in[x * 3 + 0]);
      out[3] = 255;
    }
  }
  return result;
}

}  // namespace

void writeJpeg(const std::filesystem::path& path, int width, int height, int orientation) {
  ensureVips();
  VImage image = halves(width, height);
  if (orientation != 1) {
    image.set("orientation", orientation);
  }
  image.jpegsave(path.c_str());
}

void writeCmykJpeg(const std::filesystem::path& path, int width, int height) {
  ensureVips();
  VImage::black(width, height, VImage::option()->set("bands", 4))
      .new_from_image({255, 0, 0, 0})
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_CMYK))
      .jpegsave(path.c_str());
}

void writeTransparentPng(const std::filesystem::path& path, int width, int height) {
  ensureVips();
  VImage::black(width, height, VImage::option()->set("bands", 4))
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
      .pngsave(path.c_str());
}

void writePdf(const std::filesystem::path& path, int widthPoints, int heightPoints, int rotate) {
  std::ostringstream box;
  box << "[0 0 " << widthPoints << " " << heightPoints << "]";
  std::string content = "0.2 0.4 0.8 rg 20 20 100 40 re f BT /F1 24 Tf 0 0 0 rg 30 " +
                        std::to_string(heightPoints - 60) + " Td (Thumbnail) Tj ET";
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /Rotate " + std::to_string(rotate) + " /MediaBox " + box.str() +
          " /Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
  };
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  writeFile(path, pdf);
}

void writeAvi(const std::filesystem::path& path) {
  ensureVips();
  constexpr int kWidth = 320;
  constexpr int kHeight = 240;
  constexpr int kFrames = 10;
  VipsBlob* blob = halves(kWidth, kHeight).jpegsave_buffer();
  std::size_t length = 0;
  const void* bytes = vips_blob_get(blob, &length);
  std::string frame(static_cast<const char*>(bytes), length);
  vips_area_unref(VIPS_AREA(blob));

  std::string avih;
  for (std::uint32_t value :
       {100000u, 0u, 0u, 0x10u /* has index */, std::uint32_t{kFrames}, 0u, 1u, 0u,
        std::uint32_t{kWidth}, std::uint32_t{kHeight}, 0u, 0u, 0u, 0u}) {
    putLe(avih, value, 4);
  }
  std::string strh = "vidsMJPG";
  for (std::uint32_t value :
       {0u, 0u, 0u, 1u, 10u, 0u, std::uint32_t{kFrames}, 0u, 0xffffffffu, 0u}) {
    putLe(strh, value, 4);
  }
  putLe(strh, 0, 4);  // frame rectangle left, top
  putLe(strh, kWidth, 2);
  putLe(strh, kHeight, 2);
  std::string strf;
  for (std::uint32_t value : {40u, std::uint32_t{kWidth}, std::uint32_t{kHeight}}) {
    putLe(strf, value, 4);
  }
  putLe(strf, 1, 2);
  putLe(strf, 24, 2);
  strf += "MJPG";
  putLe(strf, kWidth * kHeight * 3, 4);
  for (int i = 0; i < 4; ++i) {
    putLe(strf, 0, 4);
  }
  std::string movi;
  std::string index;
  for (int i = 0; i < kFrames; ++i) {
    index += "00dc";
    putLe(index, 0x10, 4);  // key frame
    putLe(index, static_cast<std::uint32_t>(4 + movi.size()), 4);
    putLe(index, static_cast<std::uint32_t>(frame.size()), 4);
    movi += chunk("00dc", frame);
  }
  std::string body =
      "AVI " +
      list("hdrl", chunk("avih", avih) + list("strl", chunk("strh", strh) + chunk("strf", strf))) +
      list("movi", movi) + chunk("idx1", index);
  std::string riff = "RIFF";
  putLe(riff, static_cast<std::uint32_t>(body.size()), 4);
  writeFile(path, riff + body);
}

std::optional<std::filesystem::path> sampleThumbnailers(
    const std::filesystem::path& data, const std::map<std::string, std::string>& execs,
    const std::string& tryExec) {
  std::filesystem::create_directories(data / "thumbnailers");
  for (const auto& [name, exec] : execs) {
    writeFile(data / "thumbnailers" / name, "[Thumbnailer Entry]\nTryExec=" + tryExec +
                                                "\nExec=" + exec +
                                                "\nMimeType=application/x-thumbtool-sample;\n");
  }
  std::filesystem::create_directories(data / "mime" / "packages");
  writeFile(
      data / "mime" / "packages" / "sample.xml",
      "<?xml version=\"1.0\"?><mime-info "
      "xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">"
      "<mime-type type=\"application/x-thumbtool-sample\"><glob pattern=\"*.thumbtoolsample\"/>"
      "</mime-type></mime-info>");
  zembrel::test::ChildOptions quiet;
  quiet.out = zembrel::test::Output::discard;
  quiet.err = zembrel::test::Output::discard;
  try {
    if (zembrel::test::runProgram({"update-mime-database", (data / "mime").string()}, quiet)
            .status != 0) {
      return std::nullopt;
    }
  } catch (const std::runtime_error&) {
    return std::nullopt;  // not installed
  }
  return data;
}

RunResult runProgram(const std::vector<std::string>& program, const RunOptions& options) {
  zembrel::test::ChildOptions child;
  child.environment = options.environment;
  child.launcher = options.launcher;
  child.workingFolder = options.workingFolder;
  child.err = zembrel::test::Output::capture;
  // A killed sandbox never shows in the waited-for children's peak: sample
  // the whole tree while it runs.
  long peakTree = 0;
  child.whileRunning = [&peakTree](pid_t pid) {
    peakTree = std::max(peakTree, treeProportionalKiB(pid));
  };
  child.sampleEvery = std::chrono::milliseconds(kTreeSampleMs);
  const zembrel::test::ProgramRun run = zembrel::test::runProgram(program, child, options.timeout);
  RunResult result;
  result.exitStatus = run.status;
  result.out = run.out;
  result.err = run.err;
  result.seconds = run.seconds;
  result.peakResidentKiB = run.peakResidentKiB;
  result.timedOut = run.timedOut;
  result.peakTreeKiB = peakTree;
  return result;
}

RunResult runThumbtool(const std::vector<std::string>& arguments, const RunOptions& options) {
  std::vector<std::string> argv = {THUMBTOOL_EXECUTABLE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv, options);
}

RunResult runThumbtool(const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& extraEnvironment) {
  RunOptions options;
  options.environment = extraEnvironment;
  return runThumbtool(arguments, options);
}

std::optional<std::string> sandboxProblem(const std::vector<std::string>& launcher) {
  RunOptions options;
  options.launcher = launcher;
  options.timeout = std::chrono::seconds(30);
  RunResult run;
  try {
    run = runProgram({"bwrap",
                      "--unshare-all",
                      "--unshare-user",
                      "--uid",
                      "65534",
                      "--gid",
                      "65534",
                      "--disable-userns",
                      "--cap-drop",
                      "ALL",
                      "--die-with-parent",
                      "--ro-bind",
                      "/usr",
                      "/usr",
                      "--symlink",
                      "usr/bin",
                      "/bin",
                      "--symlink",
                      "usr/lib",
                      "/lib",
                      "--symlink",
                      "usr/lib64",
                      "/lib64",
                      "--proc",
                      "/proc",
                      "--dev",
                      "/dev",
                      "--",
                      "true"},
                     options);
  } catch (const std::exception& error) {
    return std::string(error.what());
  }
  if (run.exitStatus == 0) {
    return std::nullopt;
  }
  return run.err.empty() ? "bwrap exited with status " + std::to_string(run.exitStatus) : run.err;
}

bool looksLikeIcon(const Decoded& image, int side) {
  return image.width == side && image.height == side && image.bands == 4;
}

std::vector<int> Decoded::rgbAt(int x, int y) const {
  const unsigned char* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
  return {p[0], p[1], p[2]};
}

std::optional<Decoded> decodeImage(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    return std::nullopt;
  }
  std::string data = readFile(path);
  if (data.size() >= 2 && data[0] == 'B' && data[1] == 'M') {
    return decodeBmp(data);
  }
  ensureVips();
  try {
    VImage image = VImage::new_from_buffer(data, "");
    Decoded result;
    const char* loader = "";
    if (image.get_typeof(VIPS_META_LOADER) != 0) {
      loader = image.get_string(VIPS_META_LOADER);
    }
    // "pngload_buffer" -> "png"
    result.loader = loader;
    result.loader = result.loader.substr(0, result.loader.find("load"));
    result.width = image.width();
    result.height = image.height();
    result.bands = image.bands();
    VImage rgba = image.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
    if (rgba.bands() == 3) {
      rgba = rgba.bandjoin(255);
    }
    std::size_t size = 0;
    void* memory = rgba.write_to_memory(&size);
    result.rgba.assign(static_cast<unsigned char*>(memory),
                       static_cast<unsigned char*>(memory) + size);
    g_free(memory);
    return result;
  } catch (const vips::VError&) {
    return std::nullopt;
  }
}

}  // namespace thumbtool::test
