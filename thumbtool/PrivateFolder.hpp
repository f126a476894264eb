// A private folder (mode 0700) in the temporary folder, for one thumbnailer's output.
#pragma once

#include <string>

namespace thumbtool {

class PrivateFolder {
 public:
  PrivateFolder();
  // Removes the folder with everything in it, however deep; links are removed, never
  // followed, and folders the thumbnailer locked (mode 0) are opened up first.
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // Empty when the folder could not be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace thumbtool
