// zembrel: the command-line host. Drives every operation of the library and
// prints host messages and results (text or JSON) on stdout.

#include <CLI/CLI.hpp>

#include <cstdio>

#include "Commands.hpp"

#ifndef ZEMBREL_VERSION
#define ZEMBREL_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  CLI::App app{"zembrel: uploads over HTTP and FTP, FTP directories, keyring passwords, digests"};
  app.set_version_flag("--version", "zembrel " ZEMBREL_VERSION);
  app.require_subcommand(1);

  int exitCode = 0;
  zembrel::cli::addMd5Command(app, exitCode);
  zembrel::cli::addKeychainCommand(app, exitCode);
  zembrel::cli::addPostCommand(app, exitCode);
  zembrel::cli::addXmlCommand(app, exitCode);
  zembrel::cli::addParseResponseCommand(app, exitCode);
  zembrel::cli::addSimplePostCommand(app, exitCode);
  zembrel::cli::addFtpParseCommand(app, exitCode);
  zembrel::cli::addFtpCommands(app, exitCode);
  zembrel::cli::addResumableUploadCommand(app, exitCode);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;  // usage error
  }
  std::fflush(stdout);
  return exitCode;
}
