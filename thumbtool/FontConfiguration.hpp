// The system's font configuration, read on a thread of its own while the worker loads the
// decoder that will need it: reading it (some thirty files of rules) costs about as much as
// rendering a simple page.
#pragma once

#include <thread>

namespace thumbtool {

class FontConfigurationLoad {
 public:
  // Starts reading, where the font library can be loaded. In a worker that root started (it
  // will decode as the run's user), only the system's configuration is read: what the
  // environment names below a home folder is not root's to parse for a document.
  FontConfigurationLoad();
  // Waits until the configuration is read: the worker is single-threaded again.
  ~FontConfigurationLoad();
  FontConfigurationLoad(const FontConfigurationLoad&) = delete;
  FontConfigurationLoad& operator=(const FontConfigurationLoad&) = delete;

 private:
  std::thread reader_;
};

}  // namespace thumbtool
