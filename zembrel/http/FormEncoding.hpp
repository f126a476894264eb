#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zembrel::detail {

// The multipart boundary, the same for every request.
inline constexpr std::string_view kBoundary = "0xKhTmLbOuNdArY";

// "multipart/form-data; boundary=0xKhTmLbOuNdArY"
std::string multipartContentType();

// A name or file name made safe inside a quoted multipart header parameter:
// '"', CR and LF become %22, %0D and %0A (as browsers send them), so no field
// can end the quoted text or forge a header line.
std::string quotedHeaderParameter(std::string_view text);

// One field part: "--B\r\nContent-Disposition: form-data; name=\"N\"\r\n\r\nV\r\n".
std::string multipartFieldPart(std::string_view name, std::string_view value);

// The field parts of every complete pair of a flat name/value list, in order.
std::string multipartFieldParts(const std::vector<std::string>& fields);

// "n1=v1&n2=v2" over every complete pair, each side escaped for a form.
std::string urlEncodedPairs(const std::vector<std::string>& fields);

// Number of elements that form complete pairs: the count rounded down to even.
inline std::size_t pairedCount(const std::vector<std::string>& list) { return list.size() & ~std::size_t{1}; }

}  // namespace zembrel::detail
