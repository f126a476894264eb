#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zembrel::test {

// Changes environment variables of the test process and puts every one back
// as it was (value or absence) when the object goes. The one way the tests
// change their environment; a child gets its own through ChildOptions.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  // Sets each name to its value; an absent value unsets the name.
  ScopedEnvironment(
      std::initializer_list<std::pair<std::string, std::optional<std::string>>> changes);
  // Sets one name; an absent value unsets it.
  ScopedEnvironment(const std::string& name, const std::optional<std::string>& value);
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment();

  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);
  // The value the name had before this object first changed it.
  std::optional<std::string> original(const std::string& name) const;

 private:
  void remember(const std::string& name);

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;  // in change order
};

}  // namespace zembrel::test
