#include "XmlJson.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <variant>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zembrel::cli {
namespace {

using Json = nlohmann::ordered_json;

// Output is handed to the stream in blocks of about this size.
constexpr std::size_t kBlockBytes = std::size_t{64} << 10;

// What a byte of a string needs: copied as it is (0), an escape (1), or, as
// the lead of a multi-byte sequence, a check that the sequence is UTF-8 (2).
constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> classes{};
  for (int c = 0; c < 0x20; ++c) classes[c] = 1;
  classes['"'] = 1;
  classes['\\'] = 1;
  for (int c = 0x80; c < 0x100; ++c) classes[c] = 2;
  return classes;
}();

// Bytes up to the first one that is not copied as it is, from `from`.
std::size_t plainRun(const unsigned char* p, std::size_t from, std::size_t size) {
  std::size_t i = from;
#if defined(__SSE2__)
  // Sixteen bytes at a time: a byte needs attention when it is a control
  // byte, a quote, a backslash or non-ASCII (signed compare: below 0x20).
  const __m128i below = _mm_set1_epi8(0x20);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  for (; i + 16 <= size; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i special = _mm_or_si128(
        _mm_cmplt_epi8(bytes, below),
        _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
#endif
  while (i < size && kByteClass[p[i]] == 0) ++i;
  return i;
}

// Length of the well-formed UTF-8 sequence at p[0] (lead byte >= 0x80), or 0.
std::size_t sequenceLength(const unsigned char* p, std::size_t left) {
  const unsigned char lead = p[0];
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
    high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (left < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (p[k] < 0x80 || p[k] > 0xBF) return 0;
  }
  return length;
}

void appendEscape(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '\b': out += "\\b"; break;
    case '\t': out += "\\t"; break;
    case '\n': out += "\\n"; break;
    case '\f': out += "\\f"; break;
    case '\r': out += "\\r"; break;
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    default: {
      const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(escape, sizeof escape);
    }
  }
}

// The rest of a string from its first ill-formed byte on, by the JSON
// library's own replacement rule, so that such text reads the same as before
// (it starts at a code point boundary, where that rule starts afresh too).
void appendReplacingIllFormed(std::string& out, std::string_view rest) {
  const std::string quoted = Json(std::string(rest)).dump(-1, ' ', false,
                                                          Json::error_handler_t::replace);
  out.append(quoted, 1, quoted.size() - 2);
}

// The escaped text without its quotes.
void appendJsonBody(std::string& out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const std::size_t run = plainRun(p, i, size);
    out.append(text.data() + i, run - i);
    i = run;
    if (i == size) break;
    if (p[i] < 0x80) {
      appendEscape(out, p[i]);
      ++i;
      continue;
    }
    const std::size_t length = sequenceLength(p + i, size - i);
    if (length == 0) {
      appendReplacingIllFormed(out, text.substr(i));
      break;
    }
    out.append(text.data() + i, length);
    i += length;
  }
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  appendJsonBody(out, text);
  out += '"';
}

XmlJsonWriter::XmlJsonWriter(std::ostream& out) : out_(out) { buffer_.reserve(2 * kBlockBytes); }

XmlJsonWriter::~XmlJsonWriter() = default;

void XmlJsonWriter::startEntry(std::string_view element) {
  if (!started_) {
    buffer_ += '[';
    started_ = true;
  } else if (needComma_) {
    buffer_ += ',';
  }
  buffer_ += "{\"element\":";
  string(element);
  buffer_ += ",\"value\":";
}

void XmlJsonWriter::text(std::string_view value) { string(value); }

void XmlJsonWriter::startChildren() {
  buffer_ += '[';
  needComma_ = false;
}

void XmlJsonWriter::endChildren() { buffer_ += ']'; }

void XmlJsonWriter::attribute(std::string_view name, std::string_view value) {
  buffer_ += firstAttribute_ ? ",\"attributes\":{" : ",";
  firstAttribute_ = false;
  string(name);
  buffer_ += ':';
  string(value);
}

void XmlJsonWriter::endEntry() {
  buffer_ += firstAttribute_ ? ",\"attributes\":{}}" : "}}";
  firstAttribute_ = true;
  needComma_ = true;
  flushIfFull();
}

void XmlJsonWriter::entry(const ElementEntry& entry) {
  startEntry(entry.element);
  if (const auto* value = std::get_if<std::string>(&entry.value)) {
    text(*value);
  } else {
    startChildren();
    for (const auto& child : std::get<std::vector<ElementEntry>>(entry.value)) this->entry(child);
    endChildren();
  }
  for (const auto& [name, value] : entry.attributes) attribute(name, value);
  endEntry();
}

void XmlJsonWriter::finish() {
  if (finished_) return;
  finished_ = true;
  buffer_ += started_ ? "]\n" : "[]\n";
  flush();
}

void XmlJsonWriter::string(std::string_view text) {
  buffer_ += '"';
  // A long text goes out in blocks too, rather than whole in the buffer. A
  // cut falls where a code point or an ill-formed byte starts, and both
  // pieces give the same bytes as the whole would.
  while (text.size() > kBlockBytes) {
    std::size_t cut = kBlockBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    if (cut == 0) break;  // no start of a code point: ill-formed text, kept whole
    appendJsonBody(buffer_, text.substr(0, cut));
    flush();
    text.remove_prefix(cut);
  }
  appendJsonBody(buffer_, text);
  buffer_ += '"';
}

void XmlJsonWriter::flushIfFull() {
  if (buffer_.size() >= kBlockBytes) flush();
}

void XmlJsonWriter::flush() {
  out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
}

void writeXmlResultJson(std::ostream& out, const XMLResult& result) {
  if (const auto* error = std::get_if<std::string>(&result)) {
    out << "[" << Json(*error).dump(-1, ' ', false, Json::error_handler_t::replace) << "]\n";
    return;
  }
  XmlJsonWriter writer(out);
  for (const auto& entry : std::get<std::vector<ElementEntry>>(result)) writer.entry(entry);
  writer.finish();
}

}  // namespace zembrel::cli
