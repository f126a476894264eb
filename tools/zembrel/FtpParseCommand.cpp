// `zembrel ftp-parse [--now EPOCH]`: parses each line of stdin as an FTP LIST
// line and prints one JSON object per line.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <climits>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Commands.hpp"
#include "Utf8.hpp"
#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/FtpParseClock.hpp"

namespace zembrel::cli {
namespace {

// The bytes as UTF-8, each maximal ill-formed subsequence replaced by one
// U+FFFD (the Unicode standard's recommended practice, which common decoders
// follow), so the same listing gives the same text in every consumer.
std::string validUtf8(std::string_view bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    const Utf8Sequence sequence =
        utf8SequenceAt(reinterpret_cast<const unsigned char*>(bytes.data()) + i, bytes.size() - i);
    const std::size_t length = sequence.length;
    const std::size_t valid = sequence.valid;
    if (valid == length && length > 0) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out.append(kReplacement);
      i += valid == 0 ? 1 : valid;
    }
  }
  return out;
}

std::string parseLine(const std::string& line) {
  nlohmann::ordered_json object;
  ftplistresult entry{};
  // A line too long for the parser's length type cannot be an entry.
  const bool accepted = line.size() <= static_cast<std::size_t>(INT_MAX) &&
                        ftpparse(&entry, line.data(), static_cast<int>(line.size())) == 1;
  if (!accepted) {
    object["result"] = 0;
    return object.dump();
  }
  const auto view = [](const char* bytes, int length) {
    return bytes == nullptr ? std::string()
                            : validUtf8(std::string_view(bytes, static_cast<std::size_t>(length)));
  };
  object["result"] = 1;
  object["name"] = view(entry.name, entry.namelength);
  object["flagmaybedir"] = entry.flagmaybedir;
  object["flagmaybefile"] = entry.flagmaybefile;
  object["sizekind"] = entry.sizekind;
  object["size"] = entry.sizekind != 0 ? entry.size : 0;
  object["timekind"] = entry.timekind;
  object["modtime"] = entry.timekind != 0
                          ? static_cast<std::int64_t>(static_cast<std::uint64_t>(entry.modtime) -
                                                      static_cast<std::uint64_t>(ftpParseBase()))
                          : 0;
  object["idkind"] = entry.idkind;
  object["id"] = entry.idkind != 0 ? view(entry.id, entry.idlength) : std::string();
  return object.dump();
}

}  // namespace

void addFtpParseCommand(CLI::App& app, int& exitCode) {
  auto now = std::make_shared<std::optional<std::int64_t>>();
  auto* command = app.add_subcommand(
      "ftp-parse", "Parse FTP LIST lines from stdin; print one JSON object per line");
  command->add_option("--now", *now, "Current time for the year guess, in seconds since 1970 UTC");
  command->callback([now, &exitCode] {
    if (*now) {
      setFtpParseClock(**now);
    }
    std::ios::sync_with_stdio(false);
    std::string line;
    // Lines end at "\n" only: a carriage return stays in its line, an empty
    // line is a line, and a last piece without "\n" is one too.
    while (std::getline(std::cin, line)) {
      std::cout << parseLine(line) << '\n';
    }
    std::cout.flush();
    exitCode = std::cout ? 0 : 1;
  });
}

}  // namespace zembrel::cli
