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

ElementEntry entryOf(const ElementRecord& record) {
  return ElementEntry{std::string(record.name()), std::string(record.value()),
                      readAttributeSection(record.attributeSection())};
}

std::int32_t findNextElementLocked(std::int32_t start, std::int32_t end, std::int32_t level) {
  for (std::int32_t i = start; i < end; ++i) {
    if (gTheElementArray[i].level == level) return i;
  }
  return end;
}

std::vector<ElementEntry> processElementsLocked(std::int32_t start, std::int32_t end,
                                                std::int32_t level);

// Hands `emit` the entries of the records strictly between start and end, one
// at a time; the caller holds the lock and keeps -1 <= start and
// end <= gTheElementArrayLength.
template <class Emit>
void forEachEntry(std::int32_t start, std::int32_t end, std::int32_t level, Emit&& emit) {
  for (std::int32_t i = start + 1; i < end; ++i) {
    const ElementRecord& record = gTheElementArray[i];
    if (flatten) {
      emit(entryOf(record));
      continue;
    }
    // 64-bit so that a host's level of INT32_MAX cannot overflow.
    if (record.level != std::int64_t{level} + 1) continue;
    std::int32_t next = findNextElementLocked(i + 1, end, record.level);
    auto children = processElementsLocked(i, next, record.level);
    if (children.empty()) {
      emit(entryOf(record));
    } else {
      emit(ElementEntry{std::string(record.name()), std::move(children),
                        readAttributeSection(record.attributeSection())});
    }
  }
}

std::vector<ElementEntry> processElementsLocked(std::int32_t start, std::int32_t end,
                                                std::int32_t level) {
  std::vector<ElementEntry> entries;
  if (flatten) {
    entries.reserve(static_cast<std::size_t>(std::max(end - start - 1, 0)));
  } else {
    // Sized first: the entries are large, and growing would move them all.
    std::size_t count = 0;
    for (std::int32_t i = start + 1; i < end; ++i) {
      count += gTheElementArray[i].level == std::int64_t{level} + 1;
    }
    entries.reserve(count);
  }
  forEachEntry(start, end, level,
               [&](ElementEntry&& entry) { entries.push_back(std::move(entry)); });
  return entries;
}

// The result of the parse in the table, entry by entry; false when the parse
// failed (nothing is handed over then).
template <class Emit>
bool emitResult(Emit&& emit) {
  if (gErrorOccurred) return false;
  bool any = false;
  forEachEntry(-1, gTheElementArrayLength, 0, [&](ElementEntry&& entry) {
    any = true;
    emit(std::move(entry));
  });
  // A document of one collected element is its own result.
  if (!any && gTheElementArrayLength == 1) emit(entryOf(gTheElementArray[0]));
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
  emitResult([&](ElementEntry&& entry) { entries.push_back(std::move(entry)); });
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
    if (!emitResult(eachEntry)) return gErrorString;
    return std::nullopt;
  });
}

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
