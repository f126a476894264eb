#include "XmlJson.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <variant>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Utf8.hpp"

namespace zembrel::cli {
namespace {

using Json = nlohmann::ordered_json;

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

// Length of the well-formed UTF-8 sequence at p[0] (lead byte >= 0x80), or 0.
std::size_t sequenceLength(const unsigned char* p, std::size_t left) {
  const Utf8Sequence sequence = utf8SequenceAt(p, left);
  return sequence.valid == sequence.length ? sequence.length : 0;
}

char* writeEscape(char* out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  *out++ = '\\';
  switch (c) {
    case '\b':
      *out++ = 'b';
      break;
    case '\t':
      *out++ = 't';
      break;
    case '\n':
      *out++ = 'n';
      break;
    case '\f':
      *out++ = 'f';
      break;
    case '\r':
      *out++ = 'r';
      break;
    case '"':
      *out++ = '"';
      break;
    case '\\':
      *out++ = '\\';
      break;
    default:
      *out++ = 'u';
      *out++ = '0';
      *out++ = '0';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 15];
  }
  return out;
}

// The rest of a string from its first ill-formed byte on, by the JSON
// library's own replacement rule, so that such text reads the same as before
// (it starts at a code point boundary, where that rule starts afresh too).
// Writes at most kEscapedBytesPerByte bytes per byte of `rest`.
char* writeReplacingIllFormed(char* out, std::string_view rest) {
  const std::string quoted =
      Json(std::string(rest)).dump(-1, ' ', false, Json::error_handler_t::replace);
  const std::size_t length = quoted.size() - 2;  // without the quotes
  std::memcpy(out, quoted.data() + 1, length);
  return out + length;
}

// Writes the escaped text without its quotes at `out`, which has room for
// kEscapedBytesPerByte bytes per byte of text; returns the end.
inline char* writeJsonBody(char* out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
#if defined(__SSE2__)
    // Sixteen bytes at a time while they need nothing: a byte needs
    // attention when it is a control byte, a quote, a backslash or non-ASCII
    // (below 0x20 as a signed byte). The store may run past what is kept;
    // the room for escapes covers it.
    if (i + 16 <= size) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i special =
          _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)),
                       _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      const std::size_t plain = mask == 0 ? 16 : static_cast<std::size_t>(__builtin_ctz(mask));
      out += plain;
      i += plain;
      if (plain == 16) continue;
    }
#endif
    const unsigned char c = p[i];
    const std::uint8_t kind = kByteClass[c];
    if (kind == 0) {
      *out++ = static_cast<char>(c);
      ++i;
    } else if (kind == 1) {
      out = writeEscape(out, c);
      ++i;
    } else {
      const std::size_t length = sequenceLength(p + i, size - i);
      if (length == 0) return writeReplacingIllFormed(out, text.substr(i));
      for (std::size_t k = 0; k < length; ++k) out[k] = static_cast<char>(p[i + k]);
      out += length;
      i += length;
    }
  }
  return out;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out.resize(start + kEscapedBytesPerByte * text.size() + 2);
  char* end = out.data() + start;
  *end++ = '"';
  end = writeJsonBody(end, text);
  *end++ = '"';
  out.resize(static_cast<std::size_t>(end - out.data()));
}

XmlJsonWriter::XmlJsonWriter(std::ostream& out)
    : out_(out), buffer_(std::make_unique_for_overwrite<char[]>(kBufferBytes)) {}

XmlJsonWriter::~XmlJsonWriter() = default;

void XmlJsonWriter::startEntry(std::string_view element) {
  if (!started_) {
    raw("[");
    started_ = true;
  } else if (needComma_) {
    raw(",");
  }
  raw("{\"element\":");
  string(element);
  raw(",\"value\":");
}

void XmlJsonWriter::text(std::string_view value) { string(value); }

void XmlJsonWriter::startChildren() {
  raw("[");
  needComma_ = false;
}

void XmlJsonWriter::endChildren() { raw("]"); }

void XmlJsonWriter::attribute(std::string_view name, std::string_view value) {
  if (firstAttribute_) {
    raw(",\"attributes\":{");
    firstAttribute_ = false;
  } else {
    raw(",");
  }
  string(name);
  raw(":");
  string(value);
}

void XmlJsonWriter::endEntry() {
  if (firstAttribute_) {
    raw(",\"attributes\":{}}");
  } else {
    raw("}}");
    firstAttribute_ = true;
  }
  needComma_ = true;
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
  if (started_) {
    raw("]\n");
  } else {
    raw("[]\n");
  }
  flush();
}

void XmlJsonWriter::string(std::string_view text) {
  // A long text goes out in pieces, so the buffer stays small. A cut falls
  // where a code point or an ill-formed byte starts, and the pieces give the
  // same bytes as the whole would.
  bool first = true;
  while (text.size() > kPieceBytes) {
    std::size_t cut = kPieceBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    if (cut == 0) break;  // no start of a code point: ill-formed text, kept whole
    piece(text.substr(0, cut), first, false);
    first = false;
    text.remove_prefix(cut);
  }
  piece(text, first, true);
}

void XmlJsonWriter::piece(std::string_view text, bool first, bool last) {
  const std::size_t most = kEscapedBytesPerByte * text.size() + 2;
  room(most);
  if (used_ + most <= kBufferBytes) {
    char* out = buffer_.get() + used_;
    if (first) *out++ = '"';
    out = writeJsonBody(out, text);
    if (last) *out++ = '"';
    used_ = static_cast<std::size_t>(out - buffer_.get());
    return;
  }
  // Only a long ill-formed text that could not be cut comes here.
  std::string escaped(most, '\0');
  char* out = escaped.data();
  if (first) *out++ = '"';
  out = writeJsonBody(out, text);
  if (last) *out++ = '"';
  out_.write(escaped.data(), out - escaped.data());
}

void XmlJsonWriter::flush() {
  out_.write(buffer_.get(), static_cast<std::streamsize>(used_));
  used_ = 0;
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
