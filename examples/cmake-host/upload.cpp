// upload: posts a file to a URL as a form with the C++ interface, printing
// progress. Usage: upload URL FILE
#include <zembrel/Zembrel.hpp>
// The main loop is the library's too: zembrel_iterate() runs it, so this
// host needs no GLib headers of its own.
#include <zembrel/zembrel.h>

#include <filesystem>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " URL FILE\n";
    return 2;
  }
  const std::string url = argv[1];
  const std::string file = argv[2];
  std::error_code error;
  const auto total = std::filesystem::file_size(file, error);
  if (error) {
    std::cerr << file << ": " << error.message() << '\n';
    return 1;
  }

  std::string final;
  zembrel::setHostMessageHandler([&](std::string_view message) {
    if (message.starts_with("#progress|")) {
      const long long sent = std::stoll(std::string(message.substr(10)));
      std::cout << "progress " << sent << " of " << total << " bytes ("
                << (total > 0 ? 100 * sent / static_cast<long long>(total) : 100) << "%)\n";
    } else {
      std::cout << message << '\n';
      final = message;
    }
  });

  auto uploader = zembrel::Zembrel::initZembrel();
  uploader->setProgressEventInterval(0.1);
  if (!uploader->doPostWithURL(url, "cmake-host/1.0",
                               std::vector<std::string>{"title", "Uploaded from C++", "file"},
                               file, std::nullopt)) {
    std::cerr << "could not start the upload\n";
    return 1;
  }
  while (final.empty()) zembrel_iterate(1);
  zembrel::setHostMessageHandler(nullptr);
  return final.starts_with("#complete|") ? 0 : 1;
}
