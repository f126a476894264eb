#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace zembrel::cli {

// Each command registers one subcommand; its callback stores the process's
// exit status in `exitCode`.
void addMd5Command(CLI::App& app, int& exitCode);
void addKeychainCommand(CLI::App& app, int& exitCode);
void addPostCommand(CLI::App& app, int& exitCode);
void addXmlCommand(CLI::App& app, int& exitCode);
void addParseResponseCommand(CLI::App& app, int& exitCode);
void addSimplePostCommand(CLI::App& app, int& exitCode);
void addFtpParseCommand(CLI::App& app, int& exitCode);
void addFtpCommands(CLI::App& app, int& exitCode);  // ftp-upload, ftp-list, ftp-mkdir, ftp-rmdir
void addResumableUploadCommand(CLI::App& app, int& exitCode);  // upload-resumable

// A repeatable option taking NAME VALUE each time, gathered flat in order.
void addPairsOption(CLI::App& command, const std::string& name, std::vector<std::string>& into,
                    const std::string& help);

}  // namespace zembrel::cli
