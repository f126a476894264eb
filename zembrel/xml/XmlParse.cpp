#include "zembrel/xml/XmlParse.hpp"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "zembrel/platform/File.hpp"
#include "zembrel/platform/Text.hpp"
#include "zembrel/xml/ElementTable.hpp"
#include "zembrel/xml/XmlDocument.hpp"

namespace zembrel::detail {
namespace {

// Entity expansion may add at most this many bytes, or as many as the document
// has when that is more: enough for any sensible use of entities, while one
// small entity referenced thousands of times ends in an error instead of
// gigabytes of text.
constexpr std::uint64_t kMinExpansionCap = std::uint64_t{32} << 20;
// The parser's own limit on nested entity references.
constexpr int kMaxEntityDepth = 40;
// A pending record buffer larger than this is released once stored rather than
// kept for the next element.
constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;

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
// Entity replacement texts are parsed by parsers of their own, which hand
// their events over with themselves as context.
xmlParserCtxt* gTheParser = nullptr;

// ---- Per-parse state of the events, reset with the rest.

std::set<std::string, std::less<>> allowableNames;  // gAllowableElements as a set
bool currentElementAllowed = true;                  // gCurrentElement passes gAllowableElements

// The last filled record while it still takes text: its name and attribute
// section, then its value so far. Stored in the table in one piece at the next
// collected start or at the end of the parse.
std::string pendingRecord;
bool recordPending = false;
std::uint32_t pendingNameLength = 0;
std::uint32_t pendingAttributesLength = 0;

// The open run of character data. The parser hands text over in pieces of its
// own choosing (a few hundred bytes, its buffer's end, a line end, a switch to
// non-ASCII text); the pieces of one run are joined and trimmed together. A
// run ends where the document itself splits the text: at markup, a reference,
// a CDATA section, a comment or a processing instruction.
const void* runContext = nullptr;  // the parser whose text the run holds; null: no run
std::size_t runStart = 0;          // where the run begins in pendingRecord

// Lines of the start tags of the open elements, collected or not: without a
// tree the parser does not know them when it reports a mismatched end tag.
std::vector<int> openElementLines;

std::uint64_t expansionBytes = 0;  // bytes made by entity expansion in this parse
std::uint64_t expansionCap = 0;

// Reused between elements: attribute views and the decoded values they may
// point into (a deque, so that adding one never moves the others).
std::vector<std::pair<std::string_view, std::string_view>> attributeViews;
std::deque<std::string> decodedValues;
std::string entityName;

// The texts the parser hands over for the five predefined entities.
const xmlChar* predefinedTexts[5] = {};

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
void failParse(int code, std::string_view description) noexcept {
  try {
    int line = gTheParser ? xmlSAX2GetLineNumber(gTheParser) : 0;
    int column = gTheParser ? xmlSAX2GetColumnNumber(gTheParser) : 0;
    gErrorString = errorText(code, description, line, column);
  } catch (...) {
    gErrorString.clear();
  }
  gErrorOccurred = true;
  if (gTheParser) xmlStopParser(gTheParser);
}

// Counts `bytes` made by entity expansion; false, with the parse failed, once
// the parse's expansions pass the cap.
bool countExpansion(std::size_t bytes) noexcept {
  expansionBytes += bytes;
  if (expansionBytes <= expansionCap) return true;
  try {
    failParse(XML_ERR_ENTITY_LOOP,
              "Entity expansion exceeds " + std::to_string(expansionCap) + " bytes");
  } catch (...) {
    failParse(XML_ERR_NO_MEMORY, "Out of memory");
  }
  return false;
}

// ---- Text runs and records.

void closeRun() noexcept {
  if (!runContext) return;
  runContext = nullptr;
  std::string_view run(pendingRecord.data() + runStart, pendingRecord.size() - runStart);
  auto trimmed = trimWhitespaceAndNewlines(run);
  if (trimmed.size() != run.size()) {
    std::memmove(pendingRecord.data() + runStart, trimmed.data(), trimmed.size());
    pendingRecord.resize(runStart + trimmed.size());
  }
}

// The record's fields are set once its bytes are stored: a record that could
// not be stored stays empty rather than pointing nowhere.
void storePendingRecord() {
  closeRun();
  if (!recordPending) return;
  recordPending = false;
  const char* bytes = gTheElementText.store(pendingRecord);
  ElementRecord& record = gTheElementArray[gTheElementArrayLength - 1];
  record.bytes = bytes;
  record.nameLength = pendingNameLength;
  record.attributesLength = pendingAttributesLength;
  record.valueLength = static_cast<std::uint32_t>(pendingRecord.size() - pendingNameLength -
                                                  pendingAttributesLength);
  pendingRecord.clear();
  if (pendingRecord.capacity() > kKeptBufferBytes) std::string().swap(pendingRecord);
}

// Whether a piece of characters is the text of a character reference or a
// predefined entity. The parser hands the document's own text over from its
// input buffer, or, past non-ASCII bytes, from a buffer of its own after the
// cursor has passed it; a reference's text comes from neither, right after
// the cursor passed "&#...;". Character data never holds "&", so input that
// ends in a character reference at the cursor means one was just read.
bool isReferenceText(const xmlParserCtxt* ctxt, const xmlChar* text) {
  const xmlParserInput* input = ctxt->input;
  if (!input || (text >= input->base && text < input->end)) return false;
  if (std::find(std::begin(predefinedTexts), std::end(predefinedTexts), text) !=
      std::end(predefinedTexts)) {
    return true;
  }
  const xmlChar* p = input->cur;
  if (!p || p == input->base || p[-1] != ';') return false;
  --p;
  while (p > input->base && std::isxdigit(p[-1])) --p;
  if (p > input->base && p[-1] == 'x') --p;
  return p - input->base >= 2 && p[-1] == '#' && p[-2] == '&';
}

// ---- Attribute values.

void appendUtf8(std::string& out, unsigned long codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x110000) {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// "#38" or "#x26", as the parser has checked it already.
void appendCharacterReference(std::string& out, std::string_view digits) {
  int base = 10;
  if (digits.starts_with('x')) {
    base = 16;
    digits.remove_prefix(1);
  }
  unsigned long codePoint = 0;
  for (char c : digits) {
    int digit = std::isdigit(static_cast<unsigned char>(c))
                    ? c - '0'
                    : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (digit < 0 || digit >= base) return;
    codePoint = codePoint * base + static_cast<unsigned long>(digit);
    if (codePoint >= 0x110000) return;
  }
  appendUtf8(out, codePoint);
}

// Without entity substitution (which would also load external entities) the
// parser leaves references in attribute values: "&#38;" for an ampersand and
// "&name;" for an internal entity. Resolves them as they are in text; white
// space in an entity's replacement text becomes a blank, as the document's own
// does. Bytes from replacement texts count toward the expansion cap; false
// when it is passed.
bool decodeAttributeText(std::string& out, std::string_view text, int depth) {
  for (;;) {
    auto ampersand = text.find('&');
    auto literal = text.substr(0, ampersand);
    if (depth == 0) {
      out += literal;
    } else {
      if (!countExpansion(literal.size())) return false;
      auto from = out.size();
      out += literal;
      std::replace_if(
          out.begin() + static_cast<std::ptrdiff_t>(from), out.end(),
          [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    }
    if (ampersand == std::string_view::npos) return true;
    text.remove_prefix(ampersand + 1);
    auto semicolon = text.find(';');
    if (semicolon == std::string_view::npos) {  // not the parser's doing; kept as it is
      out += '&';
      out += text;
      return true;
    }
    auto name = text.substr(0, semicolon);
    text.remove_prefix(semicolon + 1);
    if (name.starts_with('#')) {
      appendCharacterReference(out, name.substr(1));
      continue;
    }
    entityName.assign(name);
    const auto* nameZ = reinterpret_cast<const xmlChar*>(entityName.c_str());
    const xmlEntity* entity = xmlGetPredefinedEntity(nameZ);
    if (!entity && gTheParser && gTheParser->myDoc)
      entity = xmlGetDocEntity(gTheParser->myDoc, nameZ);
    // An undeclared entity has been reported by the parser, and an external
    // one is never read: both add nothing.
    if (!entity || !entity->content) continue;
    if (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY) {
      out += viewOf(entity->content);
    } else if (entity->etype == XML_INTERNAL_GENERAL_ENTITY) {
      if (depth >= kMaxEntityDepth) {
        failParse(XML_ERR_ENTITY_LOOP, "Detected an entity reference loop");
        return false;
      }
      if (!decodeAttributeText(out, viewOf(entity->content), depth + 1)) return false;
    }
  }
}

// Sorts attributes by name; a start tag mostly has a few, for which an
// insertion sort is cheapest.
void sortByName(std::vector<std::pair<std::string_view, std::string_view>>& attributes) {
  if (attributes.size() > 16) {
    std::sort(attributes.begin(), attributes.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return;
  }
  for (std::size_t i = 1; i < attributes.size(); ++i) {
    auto moving = attributes[i];
    std::size_t j = i;
    for (; j > 0 && moving.first < attributes[j - 1].first; --j) attributes[j] = attributes[j - 1];
    attributes[j] = moving;
  }
}

// ---- Parser events. Trampolines with libxml2's signatures: nothing may
// unwind through the parser, so every failure stops it with an error. After
// an error, a parser of an entity's text may still run to its end; its events
// are ignored.

void onStartElement(void* context, const xmlChar* name, const xmlChar** attributes) noexcept {
  closeRun();
  if (gErrorOccurred) return;
  try {
    openElementLines.push_back(xmlSAX2GetLineNumber(context));
    bool expanded = context != gTheParser;  // inside an entity's replacement text
    gCurrentElement.assign(viewOf(name));
    if (expanded) {
      std::size_t bytes = gCurrentElement.size();
      for (auto** a = attributes; a && a[0]; a += 2)
        bytes += viewOf(a[0]).size() + viewOf(a[1]).size();
      if (!countExpansion(bytes)) return;
    }
    currentElementAllowed = isAllowed(gCurrentElement);
    if (!currentElementAllowed) return;
    if (gTheElementArrayLength >= kElementTableSize) {
      // The table is full: never write past it, and never return a partial
      // document as if it were whole.
      failParse(XML_ERR_USER_STOP, "Document has too many elements (more than " +
                                       std::to_string(kElementTableSize) + ")");
      return;
    }
    storePendingRecord();
    attributeViews.clear();
    std::size_t decoded = 0;
    for (auto** a = attributes; a && a[0]; a += 2) {
      std::string_view value = viewOf(a[1]);
      if (value.find('&') != std::string_view::npos) {
        if (decoded == decodedValues.size()) decodedValues.emplace_back();
        std::string& out = decodedValues[decoded++];
        out.clear();
        if (!decodeAttributeText(out, value, 0)) return;
        value = out;
      }
      attributeViews.emplace_back(viewOf(a[0]), value);
    }
    // Attribute order carries no meaning; the parser has refused duplicates,
    // so the names alone order them.
    sortByName(attributeViews);
    pendingRecord.assign(gCurrentElement);
    appendAttributeSection(pendingRecord, attributeViews);
    pendingNameLength = static_cast<std::uint32_t>(gCurrentElement.size());
    pendingAttributesLength = static_cast<std::uint32_t>(pendingRecord.size() - pendingNameLength);
    gTheElementArray.emplace_back().level = gTheLevel;
    recordPending = true;
    ++gTheElementArrayLength;
    ++gTheLevel;
  } catch (...) {
    failParse(XML_ERR_NO_MEMORY, "Out of memory");
  }
}

void onEndElement(void*, const xmlChar* name) noexcept {
  closeRun();
  if (!openElementLines.empty()) openElementLines.pop_back();
  if (!gAllowableElements || allowableNames.find(viewOf(name)) != allowableNames.end()) {
    --gTheLevel;
  }
}

void onCharacters(void* context, const xmlChar* characters, int length) noexcept {
  if (gErrorOccurred) return;
  auto piece = std::string_view(reinterpret_cast<const char*>(characters),
                                static_cast<std::size_t>(std::max(length, 0)));
  if (context != gTheParser && !countExpansion(piece.size())) return;
  // The test is on the most recently started element, and the text goes to
  // the most recently started collected one, even when it has already ended.
  if (!currentElementAllowed || !recordPending) return;
  try {
    const auto* ctxt = static_cast<const xmlParserCtxt*>(context);
    if (isReferenceText(ctxt, characters)) {
      closeRun();
      pendingRecord += trimWhitespaceAndNewlines(piece);
      return;
    }
    if (runContext != context) {
      closeRun();
      runContext = context;
      runStart = pendingRecord.size();
    }
    pendingRecord += piece;
  } catch (...) {
    failParse(XML_ERR_NO_MEMORY, "Out of memory");
  }
}

// Events that contribute nothing but end a run of text.
void onReference(void*, const xmlChar*) noexcept { closeRun(); }
void onCdataBlock(void*, const xmlChar*, int) noexcept { closeRun(); }
void onComment(void*, const xmlChar*) noexcept { closeRun(); }
void onProcessingInstruction(void*, const xmlChar*, const xmlChar*) noexcept { closeRun(); }

// Every error, warnings aside, comes here; the parser has recorded it in the
// reporting parser's last error by then.
void onError(void* context, const char*, ...) noexcept {
  const auto* ctxt = static_cast<const xmlParserCtxt*>(context);
  if (!ctxt || ctxt->lastError.level != XML_ERR_FATAL) return;  // recoverable errors
  // The first fatal error is the cause: the parse stops there, and what the
  // parser reports while it unwinds (or after our own stop) is noise.
  if (gErrorOccurred) return;
  const xmlError& error = ctxt->lastError;
  try {
    std::string description(viewOf(reinterpret_cast<const xmlChar*>(error.message)));
    // "Opening and ending tag mismatch: a line 0 and b": give the real line.
    auto unknownLine = description.find(" line 0 and ");
    if (error.code == XML_ERR_TAG_NAME_MISMATCH && unknownLine != std::string::npos &&
        !openElementLines.empty()) {
      description.replace(unknownLine + 6, 1, std::to_string(openElementLines.back()));
    }
    gErrorString = errorText(error.code, description, error.line, error.int2);
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
  // Namespace processing off: the element events without namespaces, so that
  // names are reported as written and xmlns declarations as attributes.
  sax.startElementNs = nullptr;
  sax.endElementNs = nullptr;
  sax.startElement = onStartElement;
  sax.endElement = onEndElement;
  sax.characters = onCharacters;
  sax.ignorableWhitespace = onCharacters;
  sax.reference = onReference;
  sax.cdataBlock = onCdataBlock;
  sax.comment = onComment;
  sax.processingInstruction = onProcessingInstruction;
  // No external DTD and no external entity, ever.
  sax.externalSubset = nullptr;
  sax.resolveEntity = refuseExternalEntity;
  sax.warning = nullptr;
  sax.error = onError;
  sax.fatalError = onError;
  sax.serror = nullptr;
  // Marked as a handler without the namespace events: the parser keeps to
  // the events above, in the document and in entities' replacement texts.
  sax.initialized = 1;
  return sax;
}

void initParserOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    const char* names[] = {"lt", "gt", "amp", "apos", "quot"};
    for (std::size_t i = 0; i < std::size(names); ++i) {
      const xmlEntity* entity = xmlGetPredefinedEntity(reinterpret_cast<const xmlChar*>(names[i]));
      predefinedTexts[i] = entity ? entity->content : nullptr;
    }
  });
}

// ---- Input.

// What the parser reads: a document in memory, or a file read as the parser
// asks for it. Either way the text's pieces are joined whatever the reads'
// sizes, so a file is not read whole first.
struct DocumentInput {
  std::string_view text;  // used when there is no file
  File* file = nullptr;
  std::int64_t left = 0;  // bytes the file may still give
  int readError = 0;      // set when reading the file failed
};

int readDocument(void* context, char* buffer, int length) noexcept {
  auto* input = static_cast<DocumentInput*>(context);
  auto wanted = static_cast<std::size_t>(std::max(length, 0));
  if (!input->file) {
    auto count = std::min(wanted, input->text.size());
    std::memcpy(buffer, input->text.data(), count);
    input->text.remove_prefix(count);
    return static_cast<int>(count);
  }
  // One byte past the cap tells a file at the cap from a larger one.
  wanted = static_cast<std::size_t>(std::min<std::int64_t>(wanted, input->left + 1));
  auto count = input->file->read(buffer, wanted);
  if (count < 0) {
    input->readError = input->file->error();
    return -1;
  }
  input->left -= count;
  if (input->left < 0) {
    input->readError = EFBIG;
    return -1;
  }
  return static_cast<int>(count);
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
  std::string reason;
  if (error == EINVAL) {
    reason = "not a regular file";
  } else if (error == EFBIG) {
    reason = "larger than " + std::to_string(kMaxDocumentBytes) + " bytes";
  } else {
    reason = std::strerror(error);
  }
  return errorText(XML_IO_LOAD_ERROR, "failed to load \"" + path + "\": " + reason, 0, 0);
}

// Runs one parse of `input`, `documentBytes` long, into the table. The outcome
// is in the table and the error flag; `path` names a file input in errors.
void parseInput(DocumentInput& input, std::int64_t documentBytes, const std::string& path) {
  expansionCap =
      std::max<std::uint64_t>(kMinExpansionCap, static_cast<std::uint64_t>(documentBytes));
  auto parser = newParser(input);
  if (!parser) {
    gErrorString = errorText(XML_ERR_NO_MEMORY, "Cannot create the parser", 0, 0);
    gErrorOccurred = true;
    return;
  }
  gTheParser = parser.get();
  struct ForgetParser {
    ~ForgetParser() { gTheParser = nullptr; }
  } forgetParser;
  xmlParseDocument(parser.get());
  storePendingRecord();
  std::string().swap(pendingRecord);  // do not keep a large buffer between parses
  if (input.readError != 0) {
    gErrorString = ioFailureText(path, input.readError);
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
}

void refuseTooLarge() {
  gErrorString =
      errorText(XML_ERR_USER_STOP,
                "Document is larger than " + std::to_string(kMaxDocumentBytes) + " bytes", 0, 0);
  gErrorOccurred = true;
}

}  // namespace

std::mutex& xmlParseLock() {
  static std::mutex lock;
  return lock;
}

void resetParseState(const std::optional<std::vector<std::string>>& withElements) {
  gTheElementArray.reserve(kElementTableSize);
  // Release the previous parse's texts instead of keeping them for as long
  // as the process lives; only the records of the last parse are readable.
  gTheElementArray.clear();
  gTheElementText.clear();
  gTheLevel = 0;
  gTheElementArrayLength = 0;
  gAllowableElements = withElements;
  allowableNames.clear();
  if (withElements) allowableNames.insert(withElements->begin(), withElements->end());
  currentElementAllowed = isAllowed(gCurrentElement);
  gErrorOccurred = false;
  pendingRecord.clear();
  recordPending = false;
  runContext = nullptr;
  openElementLines.clear();
  expansionBytes = 0;
}

void parseTextOrPath(const std::string& text) {
  if (text.empty() || text.front() != '/') {
    parseDocument(text);
    return;
  }
  initParserOnce();
  // A named pipe, a device or a folder is refused at once: reading one would
  // hang or never end.
  File file = File::openForReading(text);
  int error = !file.isOpen() ? file.error() : file.size() > kMaxDocumentBytes ? EFBIG : 0;
  if (error != 0) {
    gErrorString = ioFailureText(text, error);
    gErrorOccurred = true;
    return;
  }
  DocumentInput input;
  input.file = &file;
  input.left = kMaxDocumentBytes;
  parseInput(input, file.size(), text);
}

void parseDocument(std::string_view document) {
  initParserOnce();
  if (static_cast<std::int64_t>(document.size()) > kMaxDocumentBytes) {
    refuseTooLarge();
    return;
  }
  DocumentInput input;
  input.text = document;
  parseInput(input, static_cast<std::int64_t>(document.size()), {});
}

std::string outOfMemoryText() { return errorText(XML_ERR_NO_MEMORY, "Out of memory", 0, 0); }

}  // namespace zembrel::detail
