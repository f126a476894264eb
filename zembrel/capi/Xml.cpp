// The XML extractor through the C interface.

#include "zembrel/CocoaXMLParser.hpp"
#include "zembrel/capi/Bridge.hpp"
#include "zembrel/capi/Json.hpp"

using zembrel::CocoaXMLParser;
using zembrel::capi::copyOut;
using zembrel::capi::guarded;
using zembrel::capi::text;
using zembrel::capi::textList;

extern "C" {

char* zembrel_xml(const char* text_or_path, const char* const* elements, int flatten) {
  return guarded<char*>(nullptr, [&] {
    return copyOut(zembrel::capi::xmlResultJson(
        CocoaXMLParser::processXMLFile(text(text_or_path), textList(elements), flatten != 0)));
  });
}

char* zembrel_xml_process_elements(int32_t start, int32_t end, int32_t level) {
  return guarded<char*>(nullptr, [&] {
    return copyOut(
        zembrel::capi::elementEntriesJson(CocoaXMLParser::processElements(start, end, level)));
  });
}

int32_t zembrel_xml_find_next_element(int32_t start, int32_t end, int32_t level) {
  return guarded<int32_t>(end, [&] { return CocoaXMLParser::findNextElement(start, end, level); });
}

}  // extern "C"
