#include "zembrel/CocoaXMLParser.hpp"

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "zembrel/platform/TempDir.hpp"
#include "zembrel/xml/ElementTable.hpp"
#include "zembrel/platform/Text.hpp"

namespace zembrel {
namespace {

using namespace detail;

// One parse at a time in the process: the table and its counters are shared.
std::mutex& xmlParseLock() {
  static std::mutex lock;
  return lock;
}

struct ParserCtxtFree {
  void operator()(xmlParserCtxt* ctxt) const noexcept {
    // The default start-of-document handler builds a document node to hold
    // the internal DTD's entities; the context does not free it.
    if (ctxt->myDoc) xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    xmlFreeParserCtxt(ctxt);
  }
};
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtFree>;

// The parser of the current parse; null between parses. Guarded by the lock.
xmlParserCtxt* gTheParser = nullptr;

// Per-parse helpers for the events, reset with the rest of the state.
std::set<std::string, std::less<>> allowableNames;  // gAllowableElements as a set
bool currentElementAllowed = true;                  // gCurrentElement passes gAllowableElements
// Text of the last filled record, gathered here and stored in the record once
// it is complete (at the next collected start or the end of the parse): one
// allocation of the exact size per value instead of one per growth step.
std::string pendingValue;

void storePendingValue() {
  if (gTheElementArrayLength > 0 && !pendingValue.empty()) {
    gTheElementArray[gTheElementArrayLength - 1].value = pendingValue;
  }
  pendingValue.clear();
}

std::string_view viewOf(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

bool isAllowed(std::string_view name) {
  return !gAllowableElements || allowableNames.find(name) != allowableNames.end();
}

std::string errorText(int code, std::string_view description, int line, int column) {
  while (!description.empty() && (description.back() == '\n' || description.back() == '\r')) {
    description.remove_suffix(1);
  }
  std::string text = "Error " + std::to_string(code) + ", Description: ";
  text += description;
  text += ", Line: " + std::to_string(line) + ", Column: " + std::to_string(column);
  return text;
}

// Ends the parse with an error of our own (the parser's own errors arrive
// through onError), at the parser's position.
void failParse(int code, std::string_view description) {
  int line = gTheParser ? xmlSAX2GetLineNumber(gTheParser) : 0;
  int column = gTheParser ? xmlSAX2GetColumnNumber(gTheParser) : 0;
  gErrorString = errorText(code, description, line, column);
  gErrorOccurred = true;
  if (gTheParser) xmlStopParser(gTheParser);
}

// ---- Parser events. Trampolines with libxml2's signatures: nothing may
// unwind through the parser, so every failure stops it with an error.

// "prefix:localName" as written in the document. Namespace-aware events are
// used only because the parser is fastest with them; names are reported as
// if namespaces were not processed.
void appendQualifiedName(std::string& out, const xmlChar* localName, const xmlChar* prefix) {
  if (prefix) {
    out += viewOf(prefix);
    out += ':';
  }
  out += viewOf(localName);
}

// Without entity substitution the parser leaves references in attribute
// values ("&#38;" for "&amp;", "&name;" for an internal entity); resolve them
// as they would be in text.
std::string attributeValue(const xmlChar* begin, const xmlChar* end) {
  auto length = static_cast<int>(end - begin);
  if (std::memchr(begin, '&', static_cast<std::size_t>(length)) == nullptr) {
    return std::string(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(length));
  }
  std::unique_ptr<xmlChar, decltype(xmlFree)> decoded(
      xmlStringLenDecodeEntities(gTheParser, begin, length, XML_SUBSTITUTE_REF, 0, 0, 0), xmlFree);
  return std::string(viewOf(decoded.get()));
}

void onStartElement(void*, const xmlChar* localName, const xmlChar* prefix, const xmlChar*,
                    int namespaceCount, const xmlChar** namespaces, int attributeCount, int,
                    const xmlChar** attributes) noexcept {
  try {
    gCurrentElement.clear();
    appendQualifiedName(gCurrentElement, localName, prefix);
    currentElementAllowed = isAllowed(gCurrentElement);
    if (!currentElementAllowed) return;
    if (gTheElementArrayLength >= kElementTableSize) {
      // The table is full: never write past it, and never return a partial
      // document as if it were whole.
      failParse(XML_ERR_USER_STOP, "Document has too many elements (more than " +
                                       std::to_string(kElementTableSize) + ")");
      return;
    }
    storePendingValue();
    ElementRecord& record = gTheElementArray.emplace_back();
    record.elementName = gCurrentElement;
    record.attributes.reserve(static_cast<std::size_t>(namespaceCount + attributeCount));
    // Namespace declarations are attributes of the start tag as written.
    for (int i = 0; i < namespaceCount; ++i) {
      const xmlChar* declared = namespaces[2 * i];
      std::string name = declared ? "xmlns:" + std::string(viewOf(declared)) : "xmlns";
      record.attributes.emplace_back(std::move(name), std::string(viewOf(namespaces[2 * i + 1])));
    }
    // Five pointers per attribute: local name, prefix, URI, value start, value end.
    for (int i = 0; i < attributeCount; ++i) {
      const xmlChar** attribute = attributes + 5 * i;
      std::string name;
      appendQualifiedName(name, attribute[0], attribute[1]);
      record.attributes.emplace_back(std::move(name), attributeValue(attribute[3], attribute[4]));
    }
    // The parser has refused duplicate names already.
    std::sort(record.attributes.begin(), record.attributes.end());
    record.level = gTheLevel;
    ++gTheElementArrayLength;
    ++gTheLevel;
  } catch (...) {
    failParse(XML_ERR_NO_MEMORY, "Out of memory");
  }
}

void onEndElement(void*, const xmlChar* localName, const xmlChar* prefix, const xmlChar*) noexcept {
  if (!gAllowableElements) {
    --gTheLevel;
    return;
  }
  try {
    static std::string name;  // reused: ends are frequent; guarded by the parse lock
    name.clear();
    appendQualifiedName(name, localName, prefix);
    if (isAllowed(name)) --gTheLevel;
  } catch (...) {
    failParse(XML_ERR_NO_MEMORY, "Out of memory");
  }
}

void onCharacters(void*, const xmlChar* characters, int length) noexcept {
  // The test is on the most recently started element, and the text goes to
  // the most recently started collected one, even when it has already ended.
  if (!currentElementAllowed || gTheElementArrayLength == 0) return;
  try {
    auto piece = std::string_view(reinterpret_cast<const char*>(characters),
                                  static_cast<std::size_t>(std::max(length, 0)));
    pendingValue += trimWhitespaceAndNewlines(piece);
  } catch (...) {
    failParse(XML_ERR_NO_MEMORY, "Out of memory");
  }
}

void onCdataBlock(void*, const xmlChar*, int) noexcept {
  // CDATA sections contribute nothing; without this handler the parser would
  // report them as ordinary characters.
}

void onError(void*, xmlErrorPtr error) noexcept {
  if (!error || error->level != XML_ERR_FATAL) return;  // warnings and recoverable errors
  // The first fatal error is the cause: the parse stops there, and what the
  // parser reports while it unwinds (or after our own stop) is noise.
  if (gErrorOccurred) return;
  try {
    gErrorString = errorText(error->code, viewOf(reinterpret_cast<const xmlChar*>(error->message)),
                             error->line, error->int2);
  } catch (...) {
    gErrorString.clear();
  }
  gErrorOccurred = true;
  if (gTheParser) xmlStopParser(gTheParser);
}

xmlParserInputPtr refuseExternalEntity(void*, const xmlChar*, const xmlChar*) noexcept {
  return nullptr;  // nothing outside the document is ever read
}

xmlSAXHandler saxHandler() {
  xmlSAXHandler sax;
  // The SAX2 defaults keep the internal DTD's entity declarations, so that
  // internal entities expand into character data.
  xmlSAXVersion(&sax, 2);
  sax.startElementNs = onStartElement;
  sax.endElementNs = onEndElement;
  sax.characters = onCharacters;
  sax.ignorableWhitespace = onCharacters;
  sax.cdataBlock = onCdataBlock;
  sax.comment = nullptr;
  sax.processingInstruction = nullptr;
  sax.reference = nullptr;
  // No external DTD and no external entity, ever.
  sax.externalSubset = nullptr;
  sax.resolveEntity = refuseExternalEntity;
  sax.warning = nullptr;
  sax.error = nullptr;
  sax.fatalError = nullptr;
  sax.serror = onError;
  return sax;
}

void initParserOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

// What the parser reads: the caller's text or an open file, in the pieces it
// asks for, so neither is copied whole into the parser's buffer.
struct DocumentInput {
  std::string_view text;  // used when there is no file
  int fd = -1;            // not owned
  int readErrno = 0;      // set when reading the file failed
};

int readDocument(void* context, char* buffer, int length) noexcept {
  auto* input = static_cast<DocumentInput*>(context);
  auto wanted = static_cast<std::size_t>(std::max(length, 0));
  if (input->fd < 0) {
    auto count = std::min(wanted, input->text.size());
    std::memcpy(buffer, input->text.data(), count);
    input->text.remove_prefix(count);
    return static_cast<int>(count);
  }
  for (;;) {
    auto count = ::read(input->fd, buffer, wanted);
    if (count >= 0) return static_cast<int>(count);
    if (errno != EINTR) {
      input->readErrno = errno;
      return -1;
    }
  }
}

int closeDocument(void*) noexcept { return 0; }  // the caller owns the file

ParserCtxtPtr newParser(DocumentInput& input) {
  xmlSAXHandler sax = saxHandler();
  ParserCtxtPtr ctxt(xmlCreateIOParserCtxt(&sax, nullptr, readDocument, closeDocument, &input,
                                           XML_CHAR_ENCODING_NONE));
  if (!ctxt) return nullptr;
  // No entity substitution (which would load external entities), no DTD
  // loading or validation, no network; whatever process-wide defaults a host
  // may have changed.
  xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET | XML_PARSE_NOWARNING);
  ctxt->replaceEntities = 0;
  ctxt->loadsubset = 0;
  ctxt->validate = 0;
  return ctxt;
}

std::string ioFailureText(const std::string& path, int error) {
  return errorText(XML_IO_LOAD_ERROR, "failed to load \"" + path + "\": " + std::strerror(error), 0,
                   0);
}

void resetParseState(const std::optional<std::vector<std::string>>& withElements) {
  gTheElementArray.reserve(kElementTableSize);
  // Release the previous parse's texts instead of keeping them for as long
  // as the process lives; only the records of the last parse are readable.
  gTheElementArray.clear();
  gTheLevel = 0;
  gTheElementArrayLength = 0;
  gAllowableElements = withElements;
  allowableNames.clear();
  if (withElements) allowableNames.insert(withElements->begin(), withElements->end());
  currentElementAllowed = isAllowed(gCurrentElement);
  gErrorOccurred = false;
  pendingValue.clear();
}

ElementEntry entryOf(const ElementRecord& record) {
  return ElementEntry{record.elementName, record.value, record.attributes};
}

std::int32_t findNextElementLocked(std::int32_t start, std::int32_t end, std::int32_t level) {
  for (std::int32_t i = start; i < end; ++i) {
    if (gTheElementArray[i].level == level) return i;
  }
  return end;
}

// Entries of the records strictly between start and end; the caller holds the
// lock and keeps -1 <= start and end <= gTheElementArrayLength.
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
  for (std::int32_t i = start + 1; i < end; ++i) {
    const ElementRecord& record = gTheElementArray[i];
    if (flatten) {
      entries.push_back(entryOf(record));
      continue;
    }
    // 64-bit so that a host's level of INT32_MAX cannot overflow.
    if (record.level != std::int64_t{level} + 1) continue;
    std::int32_t next = findNextElementLocked(i + 1, end, record.level);
    auto children = processElementsLocked(i, next, record.level);
    if (children.empty()) {
      entries.push_back(entryOf(record));
    } else {
      entries.push_back(ElementEntry{record.elementName, std::move(children), record.attributes});
    }
  }
  return entries;
}

XMLResult processXMLFileLocked(const std::string& text,
                               const std::optional<std::vector<std::string>>& withElements) {
  initParserOnce();
  resetParseState(withElements);
  bool isPath = !text.empty() && text.front() == '/';
  FileDescriptor file;
  DocumentInput input;
  if (isPath) {
    file = FileDescriptor(::open(text.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
      gErrorString = ioFailureText(text, errno);
      gErrorOccurred = true;
      return gErrorString;
    }
    input.fd = file.get();
  } else {
    input.text = text;
  }
  auto parser = newParser(input);
  if (!parser) return errorText(XML_ERR_NO_MEMORY, "Cannot create the parser", 0, 0);
  gTheParser = parser.get();
  struct ForgetParser {
    ~ForgetParser() { gTheParser = nullptr; }
  } forgetParser;
  xmlParseDocument(parser.get());
  storePendingValue();
  std::string().swap(pendingValue);  // do not keep a large buffer between parses
  if (input.readErrno != 0) {
    gErrorString = ioFailureText(text, input.readErrno);
    gErrorOccurred = true;
  }
  if (!gErrorOccurred && !parser->wellFormed) {
    // Ended as malformed without a fatal error reaching us: report the
    // parser's last error rather than a partial document.
    const xmlError& last = parser->lastError;
    gErrorString = errorText(last.code, viewOf(reinterpret_cast<const xmlChar*>(last.message)),
                             last.line, last.int2);
    gErrorOccurred = true;
  }
  parser.reset();

  if (gErrorOccurred) return gErrorString;
  auto entries = processElementsLocked(-1, gTheElementArrayLength, 0);
  if (gTheElementArrayLength == 1 && entries.empty())
    entries.push_back(entryOf(gTheElementArray[0]));
  return entries;
}

}  // namespace

XMLResult CocoaXMLParser::processXMLFile(const std::string& text, bool andFlatten) {
  return processXMLFile(text, std::nullopt, andFlatten);
}

XMLResult CocoaXMLParser::processXMLFile(
    const std::string& text, const std::optional<std::vector<std::string>>& withElements) {
  try {
    std::lock_guard guard(xmlParseLock());
    return processXMLFileLocked(text, withElements);
  } catch (...) {
    return errorText(XML_ERR_NO_MEMORY, "Out of memory", 0, 0);
  }
}

XMLResult CocoaXMLParser::processXMLFile(
    const std::string& text, const std::optional<std::vector<std::string>>& withElements,
    bool andFlatten) {
  try {
    std::lock_guard guard(xmlParseLock());
    flatten = andFlatten;
    return processXMLFileLocked(text, withElements);
  } catch (...) {
    return errorText(XML_ERR_NO_MEMORY, "Out of memory", 0, 0);
  }
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

}  // namespace zembrel
