#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::detail {

// The bytes of the records of one parse, in large blocks: a record costs its
// texts and a few words, not one heap string (and its allocator overhead) per
// name, value and attribute. Nothing moves once stored; clear() frees all.
class TextStore {
 public:
  // A stable copy of `bytes`, valid until clear().
  const char* store(std::string_view bytes);
  void clear();

 private:
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;  // unused room of the last shared block
  std::size_t room_ = 0;
};

// One collected element of the current or last parse. Its bytes live in the
// table's TextStore as one piece: the name, the attribute section, the value.
// The attribute section is a varint count, then per attribute (sorted by name)
// a varint name length, a varint value length, the name and the value.
// Lengths fit 32 bits: a document has at most 1 GiB and entity expansion adds
// at most as much.
struct ElementRecord {
  const char* bytes = nullptr;
  std::uint32_t nameLength = 0;
  std::uint32_t attributesLength = 0;  // bytes of the attribute section
  std::uint32_t valueLength = 0;       // trimmed character data
  std::int32_t level = 0;              // collected elements open when this one started

  std::string_view name() const { return {bytes, nameLength}; }
  std::string_view attributeSection() const { return {bytes + nameLength, attributesLength}; }
  std::string_view value() const { return {bytes + nameLength + attributesLength, valueLength}; }
};

// Appends the attribute section for `attributes` (already sorted by name).
void appendAttributeSection(
    std::string& out, const std::vector<std::pair<std::string_view, std::string_view>>& attributes);

// Hands `each` the name and value of every attribute of a section written by
// appendAttributeSection, in order, as views into the section.
void forEachAttribute(std::string_view section,
                      void (*each)(void* context, std::string_view name, std::string_view value),
                      void* context);

inline constexpr std::int32_t kElementTableSize = 100000;

// The extractor's process-wide state. Read and written only while holding
// xmlParseLock(); a parse resets the count and level, nothing is cleared at
// its end, so the last parse's records stay readable.
// Room for kElementTableSize records is reserved once, so the table never
// moves; records exist for the filled part only (size == gTheElementArrayLength).
extern std::vector<ElementRecord> gTheElementArray;
extern TextStore gTheElementText;                                   // the records' bytes
extern std::int32_t gTheElementArrayLength;                         // records filled
extern std::int32_t gTheLevel;                                      // collected elements open
extern std::optional<std::vector<std::string>> gAllowableElements;  // absent: every element
extern std::string gCurrentElement;  // most recently started element, collected or not
extern bool gErrorOccurred;
extern std::string gErrorString;
extern bool flatten;  // keeps its value from one call to the next

}  // namespace zembrel::detail
