#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "zembrel/Export.hpp"

namespace zembrel {

// One element of an extracted document.
struct ElementEntry {
  // Attribute names and values, sorted by name: a map kept as one sorted
  // array. Attribute order carries no meaning in XML and a name cannot repeat
  // in a well-formed start tag, so sorting loses nothing and makes results
  // deterministic; one array per element costs a fraction of a tree map's
  // per-attribute nodes, which dominate documents of many small elements.
  using Attributes = std::vector<std::pair<std::string, std::string>>;

  std::string element;  // the name as written, prefix included
  // The element's trimmed text, or (tree result only) its children's entries.
  std::variant<std::string, std::vector<ElementEntry>> value;
  Attributes attributes;  // sorted by name

  bool operator==(const ElementEntry&) const = default;  // member by member, children included
};

// What an extraction gives: the list of entries, or after a parse error the
// one error text "Error <code>, Description: <text>, Line: <n>, Column: <n>".
using XMLResult = std::variant<std::vector<ElementEntry>, std::string>;

// Receives an extraction's result as it is walked, entry by entry in order,
// without any entry being built: for each entry startEntry, then its value
// (text, or startChildren, the children's entries, endChildren), then its
// attributes sorted by name, then endEntry. The views are valid only during
// the call. The calls run under the extractor's lock: they must not call the
// extractor. An exception from one ends the walk, and the call then returns
// the out-of-memory error text.
class ZEMBREL_API ElementVisitor {
 public:
  virtual ~ElementVisitor();
  // An entry begins, for the element of this name (as written).
  virtual void startEntry(std::string_view element) = 0;
  // The entry's value is this text (its trimmed character data).
  virtual void text(std::string_view value) = 0;
  // The entry's value is the list of its children's entries, which follow.
  virtual void startChildren() = 0;
  // The last child's entry has ended.
  virtual void endChildren() = 0;
  // One of the entry's attributes, after its value, in order of name.
  virtual void attribute(std::string_view name, std::string_view value) = 0;
  // The entry has ended.
  virtual void endEntry() = 0;
};

// Reduces an XML document to its elements, as a tree or flat in document
// order, optionally only the elements whose names are on a list.
//
// The working state (the element table and its counters) is process-wide, as
// the operations below expose it; a process-wide lock makes calls from several
// threads take turns, each seeing only its own parse. All calls run
// synchronously on the caller's thread. Results are plain values owned by the
// caller. Nothing throws: failures come back as the error text.
//
// Names are taken as written (no namespace processing: "p:a" is a name, and
// xmlns declarations are attributes). Character data is trimmed piece by
// piece, where the document splits it (markup, references, CDATA, comments),
// never where the parser's reads happen to end.
//
// External entities and external DTDs are never loaded and nothing is fetched
// from the network. Entity expansion may add at most 32 MiB, or the document's
// own size when larger; past that, and with more than 100,000 collected
// elements, the result is an error text. A path is read only when it names a
// regular file (a pipe, device or folder gives an error text at once) of at
// most 1 GiB; so is a document given as text.
class ZEMBREL_API CocoaXMLParser {
 public:
  CocoaXMLParser() = delete;

  // Sets the process-wide flatten flag, then extracts every element. `text` is
  // an absolute file path when it starts with "/", otherwise the document.
  static XMLResult processXMLFile(const std::string& text, bool andFlatten);

  // Extracts the elements named on the list (every element when absent; none
  // when empty), flat or as a tree as the flatten flag stands.
  static XMLResult processXMLFile(const std::string& text,
                                  const std::optional<std::vector<std::string>>& withElements);

  // Both at once: sets the flatten flag and extracts with the list, in one
  // turn, so another thread cannot change the flag in between.
  static XMLResult processXMLFile(const std::string& text,
                                  const std::optional<std::vector<std::string>>& withElements,
                                  bool andFlatten);

  // The same as the call above, but the result's entries are handed to
  // `eachEntry` one at a time, in order, instead of being returned as one
  // list, so a host that writes them out never holds them all. Returns the
  // error text after a failed parse (no entry is handed over then), nothing
  // otherwise. `eachEntry` runs under the extractor's lock: it must not call
  // the extractor.
  static std::optional<std::string> processXMLFile(
      const std::string& text, const std::optional<std::vector<std::string>>& withElements,
      bool andFlatten, const std::function<void(ElementEntry&&)>& eachEntry);

  // The same again, walking the result with `visitor` (see ElementVisitor):
  // a host that writes entries out copies no text of the document.
  static std::optional<std::string> processXMLFile(
      const std::string& text, const std::optional<std::vector<std::string>>& withElements,
      bool andFlatten, ElementVisitor& visitor);

  // The entries of the records strictly between `start` and `withEnd` of the
  // last parse, built by the tree rule below `atLevel` or flat. Indexes outside
  // the filled records are clamped to them.
  static std::vector<ElementEntry> processElements(std::int32_t start, std::int32_t withEnd,
                                                   std::int32_t atLevel);

  // The first record index in [start, end) of the last parse whose level is
  // `level`, or `end` when there is none.
  static std::int32_t findNextElement(std::int32_t start, std::int32_t end, std::int32_t level);
};

}  // namespace zembrel
