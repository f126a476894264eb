#include "Requirements.hpp"

#include <cstdlib>

namespace zembrel::test {

bool isRequired(std::string_view capability) {
  const char* listed = std::getenv("ZEMBREL_TEST_REQUIRE");
  std::string_view names = listed ? listed : "";
  while (!names.empty()) {
    const std::size_t end = names.find_first_of(" ,");
    if (names.substr(0, end) == capability) return true;
    if (end == std::string_view::npos) break;
    names.remove_prefix(end + 1);
  }
  return false;
}

void noteMissing(std::string_view capability, const std::string& reason) {
  if (isRequired(capability)) {
    ADD_FAILURE() << "this run requires " << capability << " (ZEMBREL_TEST_REQUIRE), but "
                  << reason;
  }
}

}  // namespace zembrel::test
