#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::cli {

// Writes a JSON list of extracted entries as they are visited, each
// {"element","value","attributes"} (value a string or a nested list), then
// "]" and a line feed from finish(). Output goes out in blocks of a few tens
// of KiB, so a large extraction is never held as JSON. Bytes that are not
// UTF-8 are written as U+FFFD.
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
  void string(std::string_view text);
  void flushIfFull();
  void flush();

  std::ostream& out_;
  std::string buffer_;
  bool started_ = false;       // "[" of the result list written
  bool finished_ = false;
  bool needComma_ = false;     // an entry precedes in the list being written
  bool firstAttribute_ = true;  // no attribute of the current entry written yet
};

// Appends `text` to `out` as a JSON string: quotes, the escapes \b \t \n \f \r
// \" \\ and \u00XX for other control bytes, everything else as it is; each
// maximal ill-formed UTF-8 sequence becomes U+FFFD.
void appendJsonString(std::string& out, std::string_view text);

// Writes an extraction result as JSON: the list of entries as above, or a
// list holding the one error text.
void writeXmlResultJson(std::ostream& out, const XMLResult& result);

}  // namespace zembrel::cli
