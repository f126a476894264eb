#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zembrel::detail {

// Every multipart boundary starts with this text.
inline constexpr std::string_view kBoundaryPrefix = "0xKhTmLbOuNdArY";

// A boundary for one request: the prefix and 32 random hex digits. A fixed
// boundary would let a field value forge a part of its own, and a file that
// holds the boundary line would break its own upload.
std::string newMultipartBoundary();

// The boundary of a request with these caller headers: a new one, unless the
// caller sets a Content-Type (in any letter case) of its own, which replaces
// ours and can only name the fixed text that callers know.
std::string multipartBoundaryFor(const std::optional<std::vector<std::string>>& headerValuePairs);

// "multipart/form-data; boundary=BOUNDARY"
std::string multipartContentType(std::string_view boundary);

// A name or file name made safe inside a quoted multipart header parameter:
// '"', CR and LF become %22, %0D and %0A (as browsers send them), so no field
// can end the quoted text or forge a header line.
std::string quotedHeaderParameter(std::string_view text);

// One field part: "--B\r\nContent-Disposition: form-data; name=\"N\"\r\n\r\nV\r\n".
std::string multipartFieldPart(std::string_view boundary, std::string_view name,
                               std::string_view value);

// The field parts of every complete pair of a flat name/value list, in order.
std::string multipartFieldParts(std::string_view boundary, const std::vector<std::string>& fields);

// The line that ends a multipart body: "--B--\r\n".
std::string multipartClosingLine(std::string_view boundary);

// "n1=v1&n2=v2" over every complete pair, each side escaped for a form.
std::string urlEncodedPairs(const std::vector<std::string>& fields);

// Number of elements that form complete pairs: the count rounded down to even.
inline std::size_t pairedCount(const std::vector<std::string>& list) {
  return list.size() & ~std::size_t{1};
}

}  // namespace zembrel::detail
