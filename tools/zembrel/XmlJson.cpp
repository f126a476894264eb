#include "XmlJson.hpp"

#include <nlohmann/json.hpp>

namespace zembrel::cli {
namespace {

using Json = nlohmann::ordered_json;

// Writes JSON as it goes, without building the whole document as a JSON tree
// first: a large extraction is not held twice. nlohmann's serializer does the
// escaping of every string.
class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out)
      : out_(out),
        serializer_(nlohmann::detail::output_adapter<char>(out), ' ',
                    Json::error_handler_t::replace) {}

  void string(std::string&& text) { serializer_.dump(Json(std::move(text)), false, false, 0); }
  void raw(const char* text) { out_ << text; }

  void entries(std::vector<ElementEntry>&& list) {
    raw("[");
    bool first = true;
    for (auto& entry : list) {
      if (!first) raw(",");
      first = false;
      raw("{\"element\":");
      string(std::move(entry.element));
      raw(",\"value\":");
      if (auto* text = std::get_if<std::string>(&entry.value)) {
        string(std::move(*text));
      } else {
        entries(std::move(std::get<std::vector<ElementEntry>>(entry.value)));
      }
      raw(",\"attributes\":{");
      bool firstAttribute = true;
      for (auto& [name, value] : entry.attributes) {
        if (!firstAttribute) raw(",");
        firstAttribute = false;
        string(std::move(name));
        raw(":");
        string(std::move(value));
      }
      raw("}}");
      // Each entry's texts are released once written.
      entry = ElementEntry{};
    }
    raw("]");
  }

 private:
  std::ostream& out_;
  nlohmann::detail::serializer<Json> serializer_;
};

}  // namespace

void writeXmlResultJson(std::ostream& out, XMLResult&& result) {
  JsonWriter writer(out);
  if (auto* error = std::get_if<std::string>(&result)) {
    writer.raw("[");
    writer.string(std::move(*error));
    writer.raw("]");
  } else {
    writer.entries(std::move(std::get<std::vector<ElementEntry>>(result)));
  }
  out << '\n';
}

}  // namespace zembrel::cli
