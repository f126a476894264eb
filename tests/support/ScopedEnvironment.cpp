#include "ScopedEnvironment.hpp"

#include <cstdlib>

namespace zembrel::test {
namespace {

std::optional<std::string> valueOf(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void apply(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace

ScopedEnvironment::ScopedEnvironment(
    std::initializer_list<std::pair<std::string, std::optional<std::string>>> changes) {
  for (const auto& [name, value] : changes) {
    remember(name);
    apply(name, value);
  }
}

ScopedEnvironment::ScopedEnvironment(const std::string& name,
                                     const std::optional<std::string>& value) {
  remember(name);
  apply(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) apply(it->first, it->second);
}

void ScopedEnvironment::set(const std::string& name, const std::string& value) {
  remember(name);
  apply(name, value);
}

void ScopedEnvironment::unset(const std::string& name) {
  remember(name);
  apply(name, std::nullopt);
}

std::optional<std::string> ScopedEnvironment::original(const std::string& name) const {
  for (const auto& [savedName, value] : saved_) {
    if (savedName == name) return value;
  }
  return valueOf(name);
}

void ScopedEnvironment::remember(const std::string& name) {
  for (const auto& entry : saved_) {
    if (entry.first == name) return;
  }
  saved_.emplace_back(name, valueOf(name));
}

}  // namespace zembrel::test
