#pragma once

// The requests and answers of resumable uploads, in both dialects a server
// may speak: tus 1.0.0 and the IETF resumable uploads draft. Pure functions:
// no transfer happens here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zembrel/platform/HeaderFields.hpp"

namespace zembrel::detail {

enum class ResumableDialect {
  Tus,        // tus 1.0.0: core, creation, creation-with-upload, termination
  IetfDraft,  // the IETF draft at interop version kDraftInteropVersion
};

inline constexpr std::string_view kTusVersion = "1.0.0";
inline constexpr std::string_view kDraftInteropVersion = "8";

// The head of one answer as HttpStream serialises it: the status line, then
// header lines ended by CR LF.
class ResponseHead {
 public:
  ResponseHead(int status, std::string_view serialized);

  int status() const { return status_; }
  // The value of the first field with this name (any letter case), without
  // blanks around it; absent when there is none.
  std::optional<std::string> field(std::string_view name) const;

 private:
  int status_;
  std::vector<std::pair<std::string, std::string>> fields_;
};

// What the OPTIONS probe tells of the endpoint.
struct ServerCapabilities {
  ResumableDialect dialect = ResumableDialect::Tus;
  bool creationWithUpload = false;  // tus: the creation request may carry bytes
  bool termination = false;         // an upload can be deleted on the server
  bool tusVersionRefused = false;   // tus versions listed, but not ours
  std::optional<std::int64_t> maxSize;        // bytes of the largest upload
  std::optional<std::int64_t> maxAppendSize;  // draft: most bytes per request
  std::optional<std::int64_t> maxAgeSeconds;  // draft: an upload's lifetime
};

// Reads a probe's answer. A server that names the draft's interop version is
// spoken to in the draft; anything else in tus, with the extensions it lists
// (none when it lists none, or did not answer the probe with 2xx).
ServerCapabilities capabilitiesFromProbe(const ResponseHead& head);

// A non-negative decimal integer as the upload headers carry it; absent for
// anything else (signs, blanks inside, overflow past 63 bits).
std::optional<std::int64_t> parseByteCount(std::optional<std::string_view> value);
// A structured-field Boolean: "?1" true, "?0" false, anything else absent.
std::optional<bool> parseStructuredBoolean(std::optional<std::string_view> value);
// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") as seconds since 1970.
std::optional<std::int64_t> parseHttpDate(std::string_view value);

// The Upload-Metadata value for name/value pairs: "name base64(value)" joined
// by ",", a name alone for an empty value. Absent when a name is empty,
// repeated, or holds a blank, a comma or a byte outside printable ASCII.
std::optional<std::string> tusMetadataValue(
    const std::vector<std::pair<std::string, std::string>>& pairs);

// Header fields of each request: the caller's fields first, then the
// protocol's, which replace a caller's field of the same name.
HeaderFields probeFields(const HeaderFields& caller);
// Creation at the endpoint. `metadata` is the tus value (absent: none); the
// draft carries only a "filename" as Content-Disposition. `bodyBytes` are the
// first bytes sent along (tus with creation-with-upload; 0 otherwise).
HeaderFields creationFields(ResumableDialect dialect, const HeaderFields& caller,
                            std::int64_t uploadLength, const std::optional<std::string>& metadata,
                            const std::optional<std::string>& fileName, std::int64_t bodyBytes,
                            bool completesUpload);
HeaderFields offsetFields(ResumableDialect dialect, const HeaderFields& caller);
HeaderFields appendFields(ResumableDialect dialect, const HeaderFields& caller,
                          std::int64_t offset, bool completesUpload);
HeaderFields terminationFields(ResumableDialect dialect, const HeaderFields& caller);

}  // namespace zembrel::detail
