// The extractor alone, without the command line's JSON output: parses the
// file given, builds the result (tree, or flat with --flatten) and prints the
// number of top-level entries.
#include <cstdio>
#include <cstring>
#include <string>

#include "zembrel/CocoaXMLParser.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: extract PATH [--flatten]\n");
    return 2;
  }
  bool flatten = argc > 2 && std::strcmp(argv[2], "--flatten") == 0;
  auto result = zembrel::CocoaXMLParser::processXMLFile(argv[1], flatten);
  if (auto* error = std::get_if<std::string>(&result)) {
    std::fprintf(stderr, "%s\n", error->c_str());
    return 1;
  }
  std::printf("%zu\n", std::get<std::vector<zembrel::ElementEntry>>(result).size());
  return 0;
}
