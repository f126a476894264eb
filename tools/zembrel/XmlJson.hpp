#pragma once

#include <memory>
#include <ostream>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::cli {

// Writes a JSON list of extracted entries as they come, each
// {"element","value","attributes"} (value a string or a nested list), then
// "]" and a line feed from finish(). Each entry is released once written, so
// a large extraction is never held as JSON too. Bytes that are not UTF-8 are
// written as U+FFFD.
class XmlJsonListWriter {
 public:
  explicit XmlJsonListWriter(std::ostream& out);
  XmlJsonListWriter(const XmlJsonListWriter&) = delete;
  XmlJsonListWriter& operator=(const XmlJsonListWriter&) = delete;
  ~XmlJsonListWriter();

  void entry(ElementEntry&& entry);
  void finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes an extraction result as JSON: the list of entries as above, or a
// list holding the one error text. Consumes the result, so large texts are
// moved rather than copied.
void writeXmlResultJson(std::ostream& out, XMLResult&& result);

}  // namespace zembrel::cli
