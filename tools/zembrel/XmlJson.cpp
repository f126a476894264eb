#include "XmlJson.hpp"

#include <nlohmann/json.hpp>

namespace zembrel::cli {
namespace {

using Json = nlohmann::ordered_json;

Json entriesJson(std::vector<ElementEntry>&& entries) {
  Json list = Json::array();
  for (auto& entry : entries) {
    Json object = Json::object();
    object["element"] = std::move(entry.element);
    if (auto* text = std::get_if<std::string>(&entry.value)) {
      object["value"] = std::move(*text);
    } else {
      object["value"] = entriesJson(std::move(std::get<std::vector<ElementEntry>>(entry.value)));
    }
    Json attributes = Json::object();
    for (auto& [name, value] : entry.attributes) attributes[name] = value;
    object["attributes"] = std::move(attributes);
    list.push_back(std::move(object));
  }
  entries.clear();
  return list;
}

}  // namespace

void writeXmlResultJson(std::ostream& out, XMLResult&& result) {
  Json json = Json::array();
  if (auto* error = std::get_if<std::string>(&result)) {
    json.push_back(std::move(*error));
  } else {
    json = entriesJson(std::move(std::get<std::vector<ElementEntry>>(result)));
  }
  // Serialised straight into the stream: no second copy of a large document.
  nlohmann::detail::serializer<Json> serializer(nlohmann::detail::output_adapter<char>(out), ' ',
                                                Json::error_handler_t::replace);
  serializer.dump(json, false, false, 0);
  out << '\n';
}

}  // namespace zembrel::cli
