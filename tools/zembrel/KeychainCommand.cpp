#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Commands.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::cli {
namespace {

// All of standard input, byte for byte: a password may end in a line feed or
// hold any byte. Absent when it cannot be read.
std::optional<std::string> readStandardInput() {
  std::string bytes;
  char block[4096];
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
    if (got > 0) {
      bytes.append(block, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return bytes;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

}  // namespace

void addKeychainCommand(CLI::App& app, int& exitCode) {
  auto* keychain = app.add_subcommand("keychain", "Keep passwords in the user's keyring");
  keychain->require_subcommand(1);

  struct StoreArguments {
    std::string service;
    std::string account;
    std::string oldService;
  };
  auto store = std::make_shared<StoreArguments>();
  auto* storeCommand = keychain->add_subcommand(
      "store", "Store the password read from standard input (all of it) for SERVICE");
  storeCommand->add_option("SERVICE", store->service, "Service name")->required();
  storeCommand->add_option("ACCOUNT", store->account, "Account name")->required();
  storeCommand->add_option("--old-service", store->oldService,
                           "Service name whose item is removed first (a rename)");
  storeCommand->callback([store, &exitCode] {
    // Never from the command line: it would show in the process list.
    const auto password = readStandardInput();
    if (!password) {
      std::cerr << "zembrel: cannot read the password from standard input\n";
      exitCode = 1;
      return;
    }
    auto zembrel = Zembrel::initZembrel();
    zembrel->addGenericPassword(*password, store->service, store->account, store->oldService);
    exitCode = zembrel->lastKeychainStatus() == 0 ? 0 : 1;
  });

  auto getService = std::make_shared<std::string>();
  auto* getCommand =
      keychain->add_subcommand("get", "Print [password, account] of SERVICE as JSON");
  getCommand->add_option("SERVICE", *getService, "Service name")->required();
  getCommand->callback([getService, &exitCode] {
    auto zembrel = Zembrel::initZembrel();
    const nlohmann::json result = zembrel->genericPasswordByServiceName(*getService);
    std::cout << result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    // A missing item prints ["",""] and fails, as a lookup that found nothing.
    exitCode = zembrel->lastKeychainStatus() == 0 ? 0 : 1;
  });

  auto deleteService = std::make_shared<std::string>();
  auto* deleteCommand = keychain->add_subcommand("delete", "Delete the item of SERVICE");
  deleteCommand->add_option("SERVICE", *deleteService, "Service name")->required();
  deleteCommand->callback([deleteService, &exitCode] {
    auto zembrel = Zembrel::initZembrel();
    zembrel->deleteGenericPasswordFromServiceName(*deleteService);
    exitCode = zembrel->lastKeychainStatus() == 0 ? 0 : 1;
  });
}

}  // namespace zembrel::cli
