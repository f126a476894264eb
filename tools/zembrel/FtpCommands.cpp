// `zembrel ftp-upload FILE URL`, `ftp-list URL [--level N]`, `ftp-mkdir URL`,
// `ftp-rmdir URL`: the FTP operations of the library.

#include <sys/stat.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Commands.hpp"
#include "HostMessagePump.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::cli {
namespace {

nlohmann::ordered_json entriesJson(const std::vector<FtpEntry>& entries) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const auto& entry : entries) {
    list.push_back({{"name", entry.name},
                    {"directory", entry.directory},
                    {"children", entriesJson(entry.children)}});
  }
  return list;
}

// Success when the reply code after the last "|" is 2xx (a listing ends with
// 226, a creation with 257, a removal with 250).
int exitCodeOf(const std::optional<std::string>& result) {
  const std::optional<std::int64_t> code = result ? resultCode(*result) : std::nullopt;
  return code && *code >= 200 && *code < 300 ? 0 : 1;
}

// Percent-escapes everything but the unreserved characters, so any password
// or account fits the URL's user part.
std::string escapeUserPart(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 15];
    }
  }
  return escaped;
}

// --password-from-keyring SERVICE: the password (and the account, unless the
// URL names a user) of the keyring item. The password is put into the URL in
// this process's memory only: the command line, `ps` and the shell history
// never hold it, and no message of the library prints a URL.
struct KeyringLogin {
  std::optional<std::string> service;

  // The URL to use, or nothing after printing why (exit status in exitCode).
  std::optional<std::string> apply(const std::string& url, int& exitCode) const {
    if (!service) return url;
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos) {
      std::cerr << "zembrel: the URL has no scheme\n";
      exitCode = 2;
      return std::nullopt;
    }
    const std::size_t hostStart = schemeEnd + 3;
    const std::size_t pathStart = std::min(url.find('/', hostStart), url.size());
    const std::string authority = url.substr(hostStart, pathStart - hostStart);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos) {
      std::cerr << "zembrel: the URL already carries a password; leave it out with "
                   "--password-from-keyring\n";
      exitCode = 2;
      return std::nullopt;
    }
    auto zembrel = Zembrel::initZembrel();
    const std::vector<std::string> item = zembrel->genericPasswordByServiceName(*service);
    const std::string password = item.empty() ? std::string() : item[0];
    const std::string account = item.size() > 1 ? item[1] : std::string();
    if (password.empty()) {
      std::cerr << "zembrel: no password in the keyring for service \"" << *service << "\"\n";
      exitCode = 1;
      return std::nullopt;
    }
    if (at != std::string::npos) {
      std::string result = url;
      result.insert(hostStart + at, ":" + escapeUserPart(password));
      return result;
    }
    if (account.empty()) {
      std::cerr << "zembrel: the keyring item of \"" << *service
                << "\" names no account and the URL no user\n";
      exitCode = 1;
      return std::nullopt;
    }
    std::string result = url;
    result.insert(hostStart, escapeUserPart(account) + ":" + escapeUserPart(password) + "@");
    return result;
  }
};

void addKeyringOption(CLI::App& command, const std::shared_ptr<KeyringLogin>& login) {
  command.add_option("--password-from-keyring", login->service,
                     "Take the password from this keyring service's item, and the user from it "
                     "unless URL names one; URL then holds no password");
}

// The worker drops its reference to the instance just after handing over the
// final message; let it finish before the process exits under it.
void waitForWorker(const std::shared_ptr<Zembrel>& zembrel) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (zembrel.use_count() > 1 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void addUpload(CLI::App& app, int& exitCode) {
  auto file = std::make_shared<std::string>();
  auto url = std::make_shared<std::string>();
  auto resume = std::make_shared<bool>(false);
  auto* command =
      app.add_subcommand("ftp-upload",
                         "Upload FILE to URL (ftp://, ftps://, ftpes:// or sftp://"
                         "user:password@host[:port]/path); prints the host messages until the "
                         "final one");
  command->add_option("FILE", *file, "Local file")->required();
  command->add_option("URL", *url, "Destination; ending with the host or \"/\" keeps the name")
      ->required();
  command->add_flag("--resume", *resume,
                    "Continue an upload cut short: append to the server's file from its size");
  auto login = std::make_shared<KeyringLogin>();
  addKeyringOption(*command, login);
  command->callback([file, url, resume, login, &exitCode] {
    const auto target = login->apply(*url, exitCode);
    if (!target) return;
    std::optional<std::int64_t> total;
    struct stat status {};
    if (::stat(file->c_str(), &status) == 0 && S_ISREG(status.st_mode)) total = status.st_size;
    auto zembrel = Zembrel::initZembrel();
    HostMessagePump pump(total);
    const bool started =
        *resume ? zembrel->resumeUploadFile(*file, *target) : zembrel->uploadFile(*file, *target);
    if (!started) {
      exitCode = 1;
      return;
    }
    const std::string final = pump.runUntilFinal();
    waitForWorker(zembrel);
    exitCode = final.rfind("#complete|", 0) == 0 ? 0 : 1;
  });
}

void addList(CLI::App& app, int& exitCode) {
  auto url = std::make_shared<std::string>();
  auto level = std::make_shared<std::optional<std::string>>();
  auto* command = app.add_subcommand(
      "ftp-list", "List the directory at URL and its subdirectories down to --level (0-5) as JSON");
  command->add_option("URL", *url, "Directory URL")->required();
  command->add_option("--level", *level, "Depth of subdirectories to list (above 5 counts as 5)");
  auto login = std::make_shared<KeyringLogin>();
  addKeyringOption(*command, login);
  command->callback([url, level, login, &exitCode] {
    const auto target = login->apply(*url, exitCode);
    if (!target) return;
    auto zembrel = Zembrel::initZembrel();
    const FtpLevel withLevel = level->has_value() ? FtpLevel{**level} : FtpLevel{};
    auto listing = zembrel->getDirectoryListFromURL(*target, withLevel);
    if (!listing) {
      exitCode = 1;
      return;
    }
    nlohmann::ordered_json out = {{"directories", entriesJson(listing->directories)}};
    if (listing->result) out["result"] = *listing->result;
    std::cout << out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    // The listing is printed either way; the status tells whether it is whole.
    exitCode = exitCodeOf(listing->result);
  });
}

void addDirectoryCommand(CLI::App& app, int& exitCode, const std::string& name,
                         const std::string& help, bool make) {
  auto url = std::make_shared<std::string>();
  auto* command = app.add_subcommand(name, help);
  command->add_option("URL", *url, "URL whose path names the directory")->required();
  auto login = std::make_shared<KeyringLogin>();
  addKeyringOption(*command, login);
  command->callback([url, make, login, &exitCode] {
    const auto target = login->apply(*url, exitCode);
    if (!target) return;
    auto zembrel = Zembrel::initZembrel();
    auto result =
        make ? zembrel->createDirectoryWithURL(*target) : zembrel->removeDirectoryWithURL(*target);
    if (result) std::cout << *result << '\n';
    exitCode = exitCodeOf(result);
  });
}

}  // namespace

void addFtpCommands(CLI::App& app, int& exitCode) {
  addUpload(app, exitCode);
  addList(app, exitCode);
  addDirectoryCommand(app, exitCode, "ftp-mkdir",
                      "Create the directory that URL's path names (relative to the login "
                      "directory); prints the server's reply as TEXT|CODE",
                      true);
  addDirectoryCommand(app, exitCode, "ftp-rmdir",
                      "Remove the directory that URL's path names; prints the server's reply as "
                      "TEXT|CODE",
                      false);
}

}  // namespace zembrel::cli
