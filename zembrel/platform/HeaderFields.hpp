#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zembrel::detail {

// The header fields of one HTTP request, in the order they were first set.
// Names compare without regard to letter case, as in HTTP: setting a name
// again replaces its value and keeps its place. CR and LF in a name or value
// become blanks, so no caller text can add header lines of its own; a name
// that is empty or holds ":" cannot be sent as one header and is ignored.
class HeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;

  void set(std::string_view name, std::string_view value);
  bool has(std::string_view name) const;
  const std::vector<Field>& fields() const { return fields_; }

 private:
  std::vector<Field> fields_;
};

}  // namespace zembrel::detail
