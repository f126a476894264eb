// Cutting listing text into lines and turning accepted lines into entries.

#include <climits>

#include "zembrel/Ftp.hpp"
#include "zembrel/FtpParse.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/ftp/FtpFlags.hpp"

namespace zembrel {
namespace {

// Length of the white space or line-end character that starts `text` (ASCII
// and the Unicode spaces, UTF-8 encoded), 0 when there is none.
std::size_t spaceAtStart(std::string_view text) {
  if (text.empty()) return 0;
  const auto c = static_cast<unsigned char>(text[0]);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  auto starts = [&](std::string_view prefix) { return text.starts_with(prefix); };
  if (starts("\xC2\x85") || starts("\xC2\xA0")) return 2;
  if (starts("\xE1\x9A\x80") || starts("\xE2\x80\xA8") || starts("\xE2\x80\xA9") ||
      starts("\xE2\x80\xAF") || starts("\xE2\x81\x9F") || starts("\xE3\x80\x80"))
    return 3;
  if (text.size() >= 3 && c == 0xE2 && static_cast<unsigned char>(text[1]) == 0x80 &&
      static_cast<unsigned char>(text[2]) >= 0x80 && static_cast<unsigned char>(text[2]) <= 0x8A)
    return 3;  // U+2000 .. U+200A
  return 0;
}

std::size_t spaceAtEnd(std::string_view text) {
  for (std::size_t width = 1; width <= 3 && width <= text.size(); ++width) {
    if (spaceAtStart(text.substr(text.size() - width)) == width) return width;
  }
  return 0;
}

std::string_view trimmed(std::string_view name) {
  for (std::size_t n = spaceAtStart(name); n != 0; n = spaceAtStart(name)) name.remove_prefix(n);
  for (std::size_t n = spaceAtEnd(name); n != 0; n = spaceAtEnd(name)) name.remove_suffix(n);
  return name;
}

// One complete line: an entry when the parser accepts it. Empty lines and
// lines it rejects (a "total" line, a lone carriage return) are skipped.
void takeLine(Zembrel& instance, std::string_view line) {
  if (line.empty() || line.size() > static_cast<std::size_t>(INT_MAX)) return;
  ftplistresult parsed{};
  if (ftpparse(&parsed, line.data(), static_cast<int>(line.size())) != 1) return;
  if (!parsed.name || parsed.namelength < 0) return;
  instance.createDictOfPath(
      std::string_view(parsed.name, static_cast<std::size_t>(parsed.namelength)),
      parsed.flagmaybedir);
}

void takeBlock(Zembrel& instance, std::string_view block) {
  while (!block.empty()) {
    const std::size_t feed = block.find('\n');
    if (feed == std::string_view::npos) {
      // The block ends inside a line: keep it until the rest arrives.
      listBuff.append(block);
      return;
    }
    const std::string_view piece = block.substr(0, feed);
    block.remove_prefix(feed + 1);
    if (listBuff.empty()) {
      takeLine(instance, piece);
    } else {
      listBuff.append(piece);
      std::string line;
      line.swap(listBuff);
      takeLine(instance, line);
    }
  }
}

}  // namespace

std::size_t curlListingWriteCallback(char* data, std::size_t size, std::size_t nitems,
                                     void* instance) noexcept {
  const std::size_t length = size * nitems;
  try {
    takeBlock(*static_cast<Zembrel*>(instance), std::string_view(data, length));
  } catch (...) {
    // Out of memory: the entries gathered so far stand; the rest is dropped.
    listBuff.clear();
  }
  return length;
}

void Zembrel::createDictOfPath(std::string_view name, std::int32_t andDirFlag) {
  const std::string_view clean = trimmed(name);
  // An empty name cannot be listed or addressed: no entry, like "." and "..".
  if (clean.empty() || clean == "." || clean == "..") return;
  ftpList.push_back(FtpEntry{std::string(clean), andDirFlag != 0, {}});
}

void Zembrel::beginDirectoryList() {
  listBuff.clear();
  ftpList.clear();
}

std::vector<FtpEntry> Zembrel::endDirectoryList(bool transferCompleted) {
  if (transferCompleted && !listBuff.empty()) {
    // The server's last line came without a line feed.
    std::string line;
    line.swap(listBuff);
    takeLine(*this, line);
  }
  listBuff.clear();
  std::vector<FtpEntry> entries;
  entries.swap(ftpList);
  return entries;
}

}  // namespace zembrel
