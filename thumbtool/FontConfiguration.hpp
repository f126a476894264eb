// The system's font configuration, read on a thread of its own while the worker loads the
// decoder that will need it: reading it (some thirty files of rules) costs about as much as
// rendering a simple page.
#pragma once

#include <optional>

#include "BackgroundTask.hpp"

namespace thumbtool {

class FontConfigurationLoad {
 public:
  // Starts reading, where the font library can be loaded. A worker that root started (it will
  // decode as the run's user) reads only the system's configuration: nothing below a home folder,
  // and nothing at all when the environment names other configuration files, which the run's
  // user then reads once it decodes, as it would without this.
  FontConfigurationLoad();
  // Waits until the configuration is read: the worker is single-threaded again.
  ~FontConfigurationLoad() = default;
  FontConfigurationLoad(const FontConfigurationLoad&) = delete;
  FontConfigurationLoad& operator=(const FontConfigurationLoad&) = delete;

 private:
  std::optional<BackgroundTask> reader_;
};

}  // namespace thumbtool
