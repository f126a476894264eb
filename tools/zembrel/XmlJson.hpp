#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::cli {

// Writes a JSON list of extracted entries as they are visited, each
// {"element","value","attributes"} (value a string or a nested list), then
// "]" and a line feed from finish(). Output goes out in blocks of at most a few
// hundred KiB, so a large extraction is never held as JSON. Bytes that are
// not UTF-8 are written as U+FFFD.
class XmlJsonWriter final : public ElementVisitor {
 public:
  explicit XmlJsonWriter(std::ostream& out);
  XmlJsonWriter(const XmlJsonWriter&) = delete;
  XmlJsonWriter& operator=(const XmlJsonWriter&) = delete;
  ~XmlJsonWriter() override;

  void startEntry(std::string_view element) override;
  void text(std::string_view value) override;
  void startChildren() override;
  void endChildren() override;
  void attribute(std::string_view name, std::string_view value) override;
  void endEntry() override;

  // One entry already built, written as the visits of its walk would.
  void entry(const ElementEntry& entry);
  void finish();

 private:
  // Texts are escaped in pieces of at most kPieceBytes, each straight into
  // the buffer, which has room for the largest escaped piece.
  static constexpr std::size_t kPieceBytes = std::size_t{64} << 10;
  static constexpr std::size_t kBufferBytes = 8 * kPieceBytes;

  // Markup: a literal, copied without a call.
  template <std::size_t N>
  void raw(const char (&text)[N]) {
    room(N - 1);
    for (std::size_t k = 0; k + 1 < N; ++k) buffer_[used_ + k] = text[k];
    used_ += N - 1;
  }
  void string(std::string_view text);
  // Writes a piece of a text, with the opening quote when first and the
  // closing one when last.
  void piece(std::string_view text, bool first, bool last);
  // Flushes unless `bytes` more fit.
  void room(std::size_t bytes) {
    if (used_ + bytes > kBufferBytes) flush();
  }
  void flush();

  std::ostream& out_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool started_ = false;  // "[" of the result list written
  bool finished_ = false;
  bool needComma_ = false;      // an entry precedes in the list being written
  bool firstAttribute_ = true;  // no attribute of the current entry written yet
};

// An escape is at most 6 bytes ("\u00XX") for one byte of text.
inline constexpr std::size_t kEscapedBytesPerByte = 6;

// Appends `text` to `out` as a JSON string: quotes, the escapes \b \t \n \f \r
// \" \\ and \u00XX for other control bytes, everything else as it is;
// ill-formed UTF-8 becomes U+FFFD exactly where the JSON library's own
// serializer puts it, so output is the same as it always was.
void appendJsonString(std::string& out, std::string_view text);

// Writes an extraction result as JSON: the list of entries as above, or a
// list holding the one error text.
void writeXmlResultJson(std::ostream& out, const XMLResult& result);

}  // namespace zembrel::cli
