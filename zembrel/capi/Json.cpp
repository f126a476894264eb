#include "zembrel/capi/Json.hpp"

#include <nlohmann/json.hpp>

#include <variant>

namespace zembrel::capi {
namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json entriesJson(const std::vector<ElementEntry>& entries) {
  Json list = Json::array();
  for (const auto& entry : entries) {
    Json attributes = Json::object();
    for (const auto& [name, value] : entry.attributes) attributes[name] = value;
    Json value;
    if (const auto* text = std::get_if<std::string>(&entry.value)) {
      value = *text;
    } else {
      value = entriesJson(std::get<std::vector<ElementEntry>>(entry.value));
    }
    list.push_back(
        Json{{"element", entry.element}, {"value", std::move(value)}, {"attributes", attributes}});
  }
  return list;
}

Json ftpEntriesJson(const std::vector<FtpEntry>& entries) {
  Json list = Json::array();
  for (const auto& entry : entries) {
    list.push_back(Json{{"name", entry.name},
                        {"directory", entry.directory},
                        {"children", ftpEntriesJson(entry.children)}});
  }
  return list;
}

}  // namespace

std::string xmlResultJson(const XMLResult& result) {
  if (const auto* error = std::get_if<std::string>(&result)) return dump(Json::array({*error}));
  return elementEntriesJson(std::get<std::vector<ElementEntry>>(result));
}

std::string elementEntriesJson(const std::vector<ElementEntry>& entries) {
  return dump(entriesJson(entries));
}

std::string listingJson(const ListingResult& listing) {
  Json out = {{"directories", ftpEntriesJson(listing.directories)}};
  if (listing.result) out["result"] = *listing.result;
  return dump(out);
}

std::string stringListJson(const std::vector<std::string>& values) { return dump(Json(values)); }

std::string snapshotJson(const Zembrel::Snapshot& s) {
  Json out = {
      {"postInProgress", s.postInProgress},
      {"hasResponseData", s.hasResponseData},
      {"hasProgressTimer", s.hasProgressTimer},
      {"hasRateTimer", s.hasRateTimer},
      {"bodySize", s.bodySize},
      {"fileSize", s.fileSize},
      {"smallFileProgressBytes", s.smallFileProgressBytes},
      {"initialProgressVal", s.initialProgressVal},
      {"progressBytes", s.progressBytes},
      {"lastProgressBytes", s.lastProgressBytes},
      {"progressEventInterval", s.progressEventInterval},
      {"uploadRate", s.uploadRate},
      {"timeIntervalFromStart", s.timeIntervalFromStart},
      {"startTime", s.startTime},
      {"firstBytesWritten", s.firstBytesWritten},
      {"bodySizeIsLessThanBuffer", s.bodySizeIsLessThanBuffer},
      {"bodyFilePath", s.bodyFilePath},
      {"cookieStr", s.cookieStr},
      {"hasCurlHandle", s.hasCurlHandle},
      {"hasMultiHandle", s.hasMultiHandle},
      {"doingUpload", s.doingUpload},
      {"lastFTPCode", s.lastFTPCode},
      {"lastFTPDescription", nullptr},
  };
  if (s.lastFTPDescription) out["lastFTPDescription"] = *s.lastFTPDescription;
  return dump(out);
}

std::string hostMessageJson(const HostMessage& message) {
  switch (message.kind) {
    case HostMessage::Kind::Progress:
      return dump(Json{{"kind", "progress"}, {"value", message.value}});
    case HostMessage::Kind::Complete:
      return dump(Json{{"kind", "complete"}, {"value", message.value}});
    case HostMessage::Kind::Error:
      break;
  }
  return dump(Json{{"kind", "error"}, {"domain", message.domain}, {"code", message.code}});
}

}  // namespace zembrel::capi
