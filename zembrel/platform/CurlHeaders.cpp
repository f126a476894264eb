#include "zembrel/platform/CurlHeaders.hpp"

#include <new>
#include <string>

namespace zembrel::detail {

CurlSlistPtr curlHeaderList(const HeaderFields& fields,
                            std::initializer_list<std::string_view> withoutDefaults) {
  CurlSlistPtr list;
  auto append = [&list](const std::string& line) {
    curl_slist* longer = curl_slist_append(list.get(), line.c_str());
    if (!longer) throw std::bad_alloc();
    list.release();
    list.reset(longer);
  };
  for (const auto& [name, value] : fields.fields()) {
    // "Name:" with nothing after it would remove one of libcurl's headers;
    // "Name;" is its way to send a header with an empty value.
    append(value.empty() ? name + ";" : name + ": " + value);
  }
  for (auto name : withoutDefaults) {
    if (!fields.has(name)) append(std::string(name) + ":");
  }
  return list;
}

}  // namespace zembrel::detail
