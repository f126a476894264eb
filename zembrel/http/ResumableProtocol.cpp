#include "zembrel/http/ResumableProtocol.hpp"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <set>

#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {
namespace {

constexpr std::string_view kTusBodyType = "application/offset+octet-stream";
constexpr std::string_view kDraftBodyType = "application/partial-upload";

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The comma-separated items of a list field, trimmed, empty ones skipped.
std::vector<std::string_view> listItems(std::string_view value) {
  std::vector<std::string_view> items;
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    const std::string_view item = trimBlanks(value.substr(0, comma));
    if (!item.empty()) items.push_back(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

bool listHas(const std::optional<std::string>& value, std::string_view wanted) {
  if (!value) return false;
  const auto items = listItems(*value);
  return std::any_of(items.begin(), items.end(),
                     [wanted](std::string_view item) { return item == wanted; });
}

// The integer members of an Upload-Limit dictionary that the client uses. A
// known member whose value is no integer voids the whole field.
void readUploadLimit(const std::string& value, ServerCapabilities& caps) {
  ServerCapabilities read;
  for (std::string_view member : listItems(value)) {
    const std::size_t equals = member.find('=');
    const std::string_view key = trimBlanks(member.substr(0, equals));
    std::optional<std::int64_t> number;
    if (equals != std::string_view::npos) number = parseByteCount(trimBlanks(member.substr(equals + 1)));
    std::optional<std::int64_t>* slot = nullptr;
    if (key == "max-size") slot = &read.maxSize;
    if (key == "max-append-size") slot = &read.maxAppendSize;
    if (key == "max-age") slot = &read.maxAgeSeconds;
    if (!slot) continue;
    if (!number) return;
    *slot = number;
  }
  caps.maxSize = read.maxSize;
  caps.maxAppendSize = read.maxAppendSize;
  caps.maxAgeSeconds = read.maxAgeSeconds;
}

bool metadataNameAllowed(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && c != ',';
  });
}

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (two ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0u);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// RFC 8187 attr-char: what an extended parameter value keeps unescaped.
bool attrChar(unsigned char c) {
  if (std::isalnum(c)) return true;
  return std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

void setCommon(ResumableDialect dialect, HeaderFields& fields) {
  if (dialect == ResumableDialect::Tus) {
    fields.set("Tus-Resumable", kTusVersion);
  } else {
    fields.set("Upload-Draft-Interop-Version", kDraftInteropVersion);
  }
}

}  // namespace

ResponseHead::ResponseHead(int status, std::string_view serialized) : status_(status) {
  bool statusLine = true;
  while (!serialized.empty()) {
    const std::size_t end = serialized.find("\r\n");
    const std::string_view line = serialized.substr(0, end);
    serialized.remove_prefix(end == std::string_view::npos ? serialized.size() : end + 2);
    if (statusLine) {
      statusLine = false;
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    fields_.emplace_back(std::string(line.substr(0, colon)),
                         std::string(trimBlanks(line.substr(colon + 1))));
  }
}

std::optional<std::string> ResponseHead::field(std::string_view name) const {
  for (const auto& [fieldName, value] : fields_) {
    if (sameName(fieldName, name)) return value;
  }
  return std::nullopt;
}

ServerCapabilities capabilitiesFromProbe(const ResponseHead& head) {
  ServerCapabilities caps;
  const bool answered = head.status() >= 200 && head.status() < 300;
  if (answered && head.field("Upload-Draft-Interop-Version") == std::string(kDraftInteropVersion)) {
    caps.dialect = ResumableDialect::IetfDraft;
    caps.termination = true;  // part of the draft itself
    if (auto limit = head.field("Upload-Limit")) readUploadLimit(*limit, caps);
    return caps;
  }
  if (!answered) return caps;
  if (auto versions = head.field("Tus-Version"))
    caps.tusVersionRefused = !listHas(versions, kTusVersion);
  const auto extensions = head.field("Tus-Extension");
  caps.creationWithUpload = listHas(extensions, "creation-with-upload");
  caps.termination = listHas(extensions, "termination");
  if (auto max = parseByteCount(head.field("Tus-Max-Size")); max && *max > 0) caps.maxSize = max;
  return caps;
}

std::optional<std::int64_t> parseByteCount(std::optional<std::string_view> value) {
  if (!value || value->empty() || value->size() > 19) return std::nullopt;
  std::uint64_t number = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (number > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<std::int64_t>(number);
}

std::optional<bool> parseStructuredBoolean(std::optional<std::string_view> value) {
  if (value == "?1") return true;
  if (value == "?0") return false;
  return std::nullopt;
}

std::optional<std::int64_t> parseHttpDate(std::string_view value) {
  std::tm parts{};
  const std::string text(value);
  const char* end = ::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (!end || *end != '\0') return std::nullopt;
  return static_cast<std::int64_t>(::timegm(&parts));
}

std::optional<std::string> tusMetadataValue(
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::set<std::string_view> seen;
  std::string value;
  for (const auto& [name, content] : pairs) {
    if (!metadataNameAllowed(name) || !seen.insert(name).second) return std::nullopt;
    if (!value.empty()) value += ',';
    value += name;
    if (!content.empty()) {
      value += ' ';
      value += base64(content);
    }
  }
  return value;
}

HeaderFields probeFields(const HeaderFields& caller) {
  HeaderFields fields = caller;
  // Named so that a server of the draft can tell a client of it; tus
  // servers take no version on OPTIONS.
  fields.set("Upload-Draft-Interop-Version", kDraftInteropVersion);
  return fields;
}

HeaderFields creationFields(ResumableDialect dialect, const HeaderFields& caller,
                            std::int64_t uploadLength, const std::optional<std::string>& metadata,
                            const std::optional<std::string>& fileName, std::int64_t bodyBytes,
                            bool completesUpload) {
  HeaderFields fields = caller;
  setCommon(dialect, fields);
  fields.set("Upload-Length", std::to_string(uploadLength));
  if (dialect == ResumableDialect::Tus) {
    if (metadata && !metadata->empty()) fields.set("Upload-Metadata", *metadata);
    if (bodyBytes > 0) fields.set("Content-Type", kTusBodyType);
  } else {
    fields.set("Upload-Complete", completesUpload ? "?1" : "?0");
    if (fileName) {
      fields.set("Content-Disposition", "inline; filename=\"" + quotedHeaderParameter(*fileName) +
                                            "\"; filename*=UTF-8''" +
                                            percentEscape(*fileName, &attrChar));
    }
  }
  return fields;
}

HeaderFields offsetFields(ResumableDialect dialect, const HeaderFields& caller) {
  HeaderFields fields = caller;
  setCommon(dialect, fields);
  return fields;
}

HeaderFields appendFields(ResumableDialect dialect, const HeaderFields& caller,
                          std::int64_t offset, bool completesUpload) {
  HeaderFields fields = caller;
  setCommon(dialect, fields);
  fields.set("Upload-Offset", std::to_string(offset));
  if (dialect == ResumableDialect::Tus) {
    fields.set("Content-Type", kTusBodyType);
  } else {
    fields.set("Content-Type", kDraftBodyType);
    fields.set("Upload-Complete", completesUpload ? "?1" : "?0");
  }
  return fields;
}

HeaderFields terminationFields(ResumableDialect dialect, const HeaderFields& caller) {
  return offsetFields(dialect, caller);
}

}  // namespace zembrel::detail
