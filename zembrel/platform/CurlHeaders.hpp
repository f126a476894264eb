#pragma once

// Include only from .cpp files: this pulls in libcurl's header.

#include <initializer_list>
#include <string_view>

#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/HeaderFields.hpp"

namespace zembrel::detail {

// libcurl's list for the fields, in their order, then an entry that drops
// each of libcurl's own headers named in `withoutDefaults` unless the fields
// set it, so the request carries exactly the headers given. Throws
// std::bad_alloc when libcurl cannot extend the list.
CurlSlistPtr curlHeaderList(const HeaderFields& fields,
                            std::initializer_list<std::string_view> withoutDefaults);

}  // namespace zembrel::detail
