#include "XmlJson.hpp"

#include <nlohmann/json.hpp>

namespace zembrel::cli {

using Json = nlohmann::ordered_json;

// nlohmann's serializer does the escaping of every string; the structure
// around them is written directly.
class XmlJsonListWriter::Impl {
 public:
  explicit Impl(std::ostream& out)
      : out_(out),
        serializer_(nlohmann::detail::output_adapter<char>(out), ' ',
                    Json::error_handler_t::replace) {}

  void string(std::string&& text) { serializer_.dump(Json(std::move(text)), false, false, 0); }
  void raw(const char* text) { out_ << text; }

  void entry(ElementEntry&& entry) {
    raw("{\"element\":");
    string(std::move(entry.element));
    raw(",\"value\":");
    if (auto* text = std::get_if<std::string>(&entry.value)) {
      string(std::move(*text));
    } else {
      raw("[");
      bool first = true;
      for (auto& child : std::get<std::vector<ElementEntry>>(entry.value)) {
        if (!first) raw(",");
        first = false;
        this->entry(std::move(child));
        // Each child's texts are released once written.
        child = ElementEntry{};
      }
      raw("]");
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
  }

  bool started = false;
  bool finished = false;

 private:
  std::ostream& out_;
  nlohmann::detail::serializer<Json> serializer_;
};

XmlJsonListWriter::XmlJsonListWriter(std::ostream& out) : impl_(std::make_unique<Impl>(out)) {}

XmlJsonListWriter::~XmlJsonListWriter() = default;

void XmlJsonListWriter::entry(ElementEntry&& entry) {
  impl_->raw(impl_->started ? "," : "[");
  impl_->started = true;
  impl_->entry(std::move(entry));
}

void XmlJsonListWriter::finish() {
  if (impl_->finished) return;
  impl_->finished = true;
  impl_->raw(impl_->started ? "]\n" : "[]\n");
}

void writeXmlResultJson(std::ostream& out, XMLResult&& result) {
  if (auto* error = std::get_if<std::string>(&result)) {
    out << "[" << Json(std::move(*error)).dump(-1, ' ', false, Json::error_handler_t::replace)
        << "]\n";
    return;
  }
  XmlJsonListWriter writer(out);
  for (auto& entry : std::get<std::vector<ElementEntry>>(result)) {
    writer.entry(std::move(entry));
    entry = ElementEntry{};
  }
  writer.finish();
}

}  // namespace zembrel::cli
