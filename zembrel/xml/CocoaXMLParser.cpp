#include "zembrel/CocoaXMLParser.hpp"

#include <algorithm>
#include <mutex>
#include <string_view>

#include "zembrel/xml/ElementTable.hpp"
#include "zembrel/xml/XmlDocument.hpp"
#include "zembrel/xml/XmlParse.hpp"

namespace zembrel {
namespace {

using namespace detail;

std::int32_t findNextElementLocked(std::int32_t start, std::int32_t end, std::int32_t level) {
  for (std::int32_t i = start; i < end; ++i) {
    if (gTheElementArray[i].level == level) return i;
  }
  return end;
}

// Whether a record in [start, end) has the level; 64-bit so that a host's
// level of INT32_MAX cannot overflow.
bool anyAtLevel(std::int32_t start, std::int32_t end, std::int64_t level) {
  for (std::int32_t i = start; i < end; ++i) {
    if (gTheElementArray[i].level == level) return true;
  }
  return false;
}

void visitAttributesAndEnd(const ElementRecord& record, ElementVisitor& visitor) {
  forEachAttribute(
      record.attributeSection(),
      [](void* context, std::string_view name, std::string_view value) {
        static_cast<ElementVisitor*>(context)->attribute(name, value);
      },
      &visitor);
  visitor.endEntry();
}

// The entry of a record with its text as value.
void visitTextEntry(const ElementRecord& record, ElementVisitor& visitor) {
  visitor.startEntry(record.name());
  visitor.text(record.value());
  visitAttributesAndEnd(record, visitor);
}

// Walks the entries of the records strictly between start and end, by the
// tree rule below `level` or flat; the caller holds the lock and keeps
// -1 <= start and end <= gTheElementArrayLength. Recursion is as deep as the
// document, which the parser limits.
void walkEntries(std::int32_t start, std::int32_t end, std::int32_t level,
                 ElementVisitor& visitor) {
  for (std::int32_t i = start + 1; i < end; ++i) {
    const ElementRecord& record = gTheElementArray[i];
    if (flatten) {
      visitTextEntry(record, visitor);
      continue;
    }
    if (record.level != std::int64_t{level} + 1) continue;
    std::int32_t next = findNextElementLocked(i + 1, end, record.level);
    if (!anyAtLevel(i + 1, next, std::int64_t{record.level} + 1)) {
      visitTextEntry(record, visitor);
      continue;
    }
    visitor.startEntry(record.name());
    visitor.startChildren();
    walkEntries(i, next, record.level, visitor);
    visitor.endChildren();
    visitAttributesAndEnd(record, visitor);
  }
}

// Builds the entries a walk visits, handing each top-level one to `emit`.
template <class Emit>
class EntryBuilder final : public ElementVisitor {
 public:
  explicit EntryBuilder(Emit& emit) : emit_(emit) {}

  void startEntry(std::string_view element) override {
    open_.push_back(ElementEntry{std::string(element), std::string(), {}});
  }
  void text(std::string_view value) override { open_.back().value = std::string(value); }
  void startChildren() override { open_.back().value = std::vector<ElementEntry>(); }
  void endChildren() override {}
  void attribute(std::string_view name, std::string_view value) override {
    open_.back().attributes.emplace_back(name, value);
  }
  void endEntry() override {
    ElementEntry entry = std::move(open_.back());
    open_.pop_back();
    if (open_.empty()) {
      emit_(std::move(entry));
    } else {
      std::get<std::vector<ElementEntry>>(open_.back().value).push_back(std::move(entry));
    }
  }

 private:
  Emit& emit_;
  std::vector<ElementEntry> open_;  // the entries being built, outermost first
};

std::vector<ElementEntry> processElementsLocked(std::int32_t start, std::int32_t end,
                                                std::int32_t level) {
  std::vector<ElementEntry> entries;
  auto append = [&](ElementEntry&& entry) { entries.push_back(std::move(entry)); };
  EntryBuilder builder(append);
  walkEntries(start, end, level, builder);
  return entries;
}

// Walks the result of the parse in the table; false when the parse failed
// (nothing is visited then).
bool visitResult(ElementVisitor& visitor) {
  if (gErrorOccurred) return false;
  walkEntries(-1, gTheElementArrayLength, 0, visitor);
  // A document of one collected element is its own result, when the walk
  // above had no entry.
  const bool none =
      flatten ? gTheElementArrayLength == 0 : !anyAtLevel(0, gTheElementArrayLength, 1);
  if (none && gTheElementArrayLength == 1) visitTextEntry(gTheElementArray[0], visitor);
  return true;
}

// Runs one parse of `text` and hands the table to `build` for the result; the
// flatten flag changes first when a new value is given.
template <class Build>
auto parseThen(const std::string& text, const std::optional<std::vector<std::string>>& withElements,
               std::optional<bool> andFlatten, Build&& build) -> decltype(build()) {
  try {
    std::lock_guard guard(xmlParseLock());
    if (andFlatten) flatten = *andFlatten;
    resetParseState(withElements);
    parseTextOrPath(text);
    return build();
  } catch (...) {
    return outOfMemoryText();
  }
}

XMLResult resultLocked() {
  if (gErrorOccurred) return gErrorString;
  std::vector<ElementEntry> entries;
  auto append = [&](ElementEntry&& entry) { entries.push_back(std::move(entry)); };
  EntryBuilder builder(append);
  visitResult(builder);
  return entries;
}

}  // namespace

XMLResult CocoaXMLParser::processXMLFile(const std::string& text, bool andFlatten) {
  return processXMLFile(text, std::nullopt, andFlatten);
}

XMLResult CocoaXMLParser::processXMLFile(
    const std::string& text, const std::optional<std::vector<std::string>>& withElements) {
  return parseThen(text, withElements, std::nullopt, resultLocked);
}

XMLResult CocoaXMLParser::processXMLFile(
    const std::string& text, const std::optional<std::vector<std::string>>& withElements,
    bool andFlatten) {
  return parseThen(text, withElements, andFlatten, resultLocked);
}

std::optional<std::string> CocoaXMLParser::processXMLFile(
    const std::string& text, const std::optional<std::vector<std::string>>& withElements,
    bool andFlatten, const std::function<void(ElementEntry&&)>& eachEntry) {
  return parseThen(text, withElements, andFlatten, [&]() -> std::optional<std::string> {
    EntryBuilder builder(eachEntry);
    if (!visitResult(builder)) return gErrorString;
    return std::nullopt;
  });
}

std::optional<std::string> CocoaXMLParser::processXMLFile(
    const std::string& text, const std::optional<std::vector<std::string>>& withElements,
    bool andFlatten, ElementVisitor& visitor) {
  return parseThen(text, withElements, andFlatten, [&]() -> std::optional<std::string> {
    if (!visitResult(visitor)) return gErrorString;
    return std::nullopt;
  });
}

ElementVisitor::~ElementVisitor() = default;

std::vector<ElementEntry> CocoaXMLParser::processElements(std::int32_t start, std::int32_t withEnd,
                                                          std::int32_t atLevel) {
  try {
    std::lock_guard guard(xmlParseLock());
    start = std::clamp(start, -1, gTheElementArrayLength);
    withEnd = std::clamp(withEnd, 0, gTheElementArrayLength);
    return processElementsLocked(start, withEnd, atLevel);
  } catch (...) {
    return {};
  }
}

std::int32_t CocoaXMLParser::findNextElement(std::int32_t start, std::int32_t end,
                                             std::int32_t level) {
  std::lock_guard guard(xmlParseLock());
  auto from = std::clamp(start, 0, gTheElementArrayLength);
  auto to = std::clamp(end, 0, gTheElementArrayLength);
  auto found = findNextElementLocked(from, to, level);
  return found < to ? found : end;
}

namespace detail {

XMLResult processXMLDocument(std::string document, bool andFlatten) {
  try {
    std::lock_guard guard(xmlParseLock());
    flatten = andFlatten;
    resetParseState(std::nullopt);
    parseDocument(document);
    std::string().swap(document);
    return resultLocked();
  } catch (...) {
    return outOfMemoryText();
  }
}

}  // namespace detail
}  // namespace zembrel
