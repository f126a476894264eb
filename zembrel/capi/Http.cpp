// The streamed POST, the simple POST and saved responses through the C
// interface.

#include "zembrel/capi/Bridge.hpp"
#include "zembrel/capi/Json.hpp"

using zembrel::capi::copyOut;
using zembrel::capi::guarded;
using zembrel::capi::held;
using zembrel::capi::optionalText;
using zembrel::capi::text;
using zembrel::capi::textList;

extern "C" {

int zembrel_post(zembrel_handle* z, const char* url, const char* user_agent,
                 const char* const* field_value_pairs, const char* file_path,
                 const char* const* header_value_pairs) {
  if (z == nullptr) return 0;
  return guarded(0, [&] {
    return held(z)->doPostWithURL(text(url), optionalText(user_agent),
                                      textList(field_value_pairs), optionalText(file_path),
                                      textList(header_value_pairs))
               ? 1
               : 0;
  });
}

void zembrel_cancel_upload(zembrel_handle* z) {
  if (z == nullptr) return;
  guarded([&] { held(z)->cancelUpload(); });
}

int64_t zembrel_post_progress(zembrel_handle* z) {
  if (z == nullptr) return 0;
  return guarded<int64_t>(0, [&] { return held(z)->getPOSTProgress(); });
}

char* zembrel_mime_type_for_file(zembrel_handle* z, const char* path) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&] { return copyOut(held(z)->MIMETypeForFile(text(path))); });
}

char* zembrel_simple_post(zembrel_handle* z, const char* url, const char* user_agent,
                          const char* const* field_value_pairs, const char* encoding,
                          const char* const* header_value_pairs) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&] {
    return copyOut(held(z)->doSimplePostWithURL(text(url), text(user_agent),
                                                    textList(field_value_pairs),
                                                    optionalText(encoding),
                                                    textList(header_value_pairs)));
  });
}

char* zembrel_sent_cookies(zembrel_handle* z, const char* domain) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr,
                        [&] { return copyOut(held(z)->getSentCookies(optionalText(domain))); });
}

char* zembrel_parse_response_file(zembrel_handle* z, const char* path, int flatten) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&] {
    return copyOut(
        zembrel::capi::xmlResultJson(held(z)->parseResponseFile(text(path), flatten != 0)));
  });
}

}  // extern "C"
