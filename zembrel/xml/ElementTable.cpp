#include "zembrel/xml/ElementTable.hpp"

#include <algorithm>
#include <cstring>

namespace zembrel::detail {
namespace {

std::size_t varintSize(std::size_t value) {
  std::size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

char* putVarint(char* out, std::size_t value) {
  for (; value >= 0x80; value >>= 7) *out++ = static_cast<char>((value & 0x7F) | 0x80);
  *out++ = static_cast<char>(value);
  return out;
}

char* putBytes(char* out, std::string_view bytes) {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

// Reads a varint written by putVarint; the section is our own, so it is
// well-formed, but a short one still never reads past its end.
std::size_t readVarint(std::string_view& in) {
  std::size_t value = 0;
  for (int shift = 0; !in.empty() && shift < 64; shift += 7) {
    auto byte = static_cast<unsigned char>(in.front());
    in.remove_prefix(1);
    value |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  return value;
}

std::string_view take(std::string_view& in, std::size_t count) {
  count = std::min(count, in.size());
  auto taken = in.substr(0, count);
  in.remove_prefix(count);
  return taken;
}

}  // namespace

const char* TextStore::store(std::string_view bytes) {
  // Large pieces get a block of their own, so a shared block never wastes
  // more than a sixteenth of itself at its end.
  if (bytes.size() > kBlockSize / 16) {
    auto block = std::make_unique_for_overwrite<char[]>(bytes.size());
    std::memcpy(block.get(), bytes.data(), bytes.size());
    blocks_.push_back(std::move(block));
    return blocks_.back().get();
  }
  if (bytes.size() > room_) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
    free_ = blocks_.back().get();
    room_ = kBlockSize;
  }
  char* stored = free_;
  if (!bytes.empty()) std::memcpy(stored, bytes.data(), bytes.size());
  free_ += bytes.size();
  room_ -= bytes.size();
  return stored;
}

void TextStore::clear() {
  std::vector<std::unique_ptr<char[]>>().swap(blocks_);
  free_ = nullptr;
  room_ = 0;
}

void appendAttributeSection(
    std::string& out,
    const std::vector<std::pair<std::string_view, std::string_view>>& attributes) {
  // Sized first and written in place: this runs once per element.
  std::size_t bytes = varintSize(attributes.size());
  for (const auto& [name, value] : attributes) {
    bytes += varintSize(name.size()) + varintSize(value.size()) + name.size() + value.size();
  }
  const std::size_t start = out.size();
  out.resize(start + bytes);
  char* p = putVarint(out.data() + start, attributes.size());
  for (const auto& [name, value] : attributes) {
    p = putVarint(p, name.size());
    p = putVarint(p, value.size());
    p = putBytes(putBytes(p, name), value);
  }
}

void forEachAttribute(std::string_view section,
                      void (*each)(void* context, std::string_view name, std::string_view value),
                      void* context) {
  auto count = readVarint(section);
  for (std::size_t i = 0; i < count && !section.empty(); ++i) {
    auto nameLength = readVarint(section);
    auto valueLength = readVarint(section);
    auto name = take(section, nameLength);
    auto value = take(section, valueLength);
    each(context, name, value);
  }
}

// Reserved by the first parse rather than at load time, so hosts that never
// extract do not pay for the table; pages of unused records are never touched.
std::vector<ElementRecord> gTheElementArray;
TextStore gTheElementText;
std::int32_t gTheElementArrayLength = 0;
std::int32_t gTheLevel = 0;
std::optional<std::vector<std::string>> gAllowableElements;
std::string gCurrentElement;
bool gErrorOccurred = false;
std::string gErrorString;
bool flatten = false;

}  // namespace zembrel::detail
