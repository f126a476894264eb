// The command line's exit status for the HTTP commands: 0 only after
// "#complete" with a status below 400, 1 after a failure or an HTTP error
// status, 2 for a usage error.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Subprocess.hpp"
#include "HttpTestServer.hpp"

namespace zembrel {
namespace {

struct CliCase {
  const char* name;
  std::vector<std::string> arguments;  // "URL" and "REFUSED" stand for the server and a dead port
  int status;
  const char* lastLine;  // "" when nothing is printed
};

const CliCase kCases[] = {
    {"PostCompletes", {"post", "URL", "--field", "a", "1"}, 0, "#complete|200"},
    {"PostOf404Fails", {"post", "URL?status=404", "--field", "a", "1"}, 1, "#complete|404"},
    {"PostOfMissingFileSendsNothing", {"post", "URL", "--file", "/nonexistent/photo.jpg"}, 1, ""},
    {"PostOfFolderSendsNothing", {"post", "URL", "--file", "/"}, 1, ""},
    {"PostRefused", {"post", "REFUSED"}, 1, "#error|POSIX|111"},
    {"PostIntervalZeroIsUsage", {"post", "URL", "--interval", "0"}, 2, ""},
    {"PostIntervalTooShortIsUsage", {"post", "URL", "--interval", "0.01"}, 2, ""},
    {"SimplePostCompletes", {"simple-post", "URL"}, 0, "#complete|200"},
    {"SimplePostOf500Fails", {"simple-post", "URL?status=500"}, 1, "#complete|500"},
    {"SimplePostRefused", {"simple-post", "REFUSED"}, 1, "#error|POSIX|111"},
    {"SimplePostUnknownEncodingIsUsage",
     {"simple-post", "URL", "--field", "a", "1", "--encoding", "jsonn"}, 2, ""},
    {"SimplePostDefaultEncodingByName",
     {"simple-post", "URL", "--field", "a", "1", "--encoding", "Multipart"}, 0, "#complete|200"},
};

class HttpCli : public ::testing::TestWithParam<CliCase> {
 protected:
  static void SetUpTestSuite() { server_ = new test::HttpTestServer(); }
  static void TearDownTestSuite() { delete server_; }
  static inline test::HttpTestServer* server_ = nullptr;
};

TEST_P(HttpCli, ExitsAsTheOutcome) {
  std::vector<std::string> arguments = GetParam().arguments;
  for (auto& argument : arguments) {
    if (argument.rfind("URL", 0) == 0) argument = server_->url("/cli" + argument.substr(3));
    if (argument == "REFUSED") argument = "http://127.0.0.1:" + std::to_string(test::closedPort());
  }
  const auto run = test::runCommand(ZEMBREL_CLI_PATH, arguments);
  EXPECT_EQ(run.status, GetParam().status) << run.out;
  std::string last = run.out;
  if (!last.empty() && last.back() == '\n') last.pop_back();
  last = last.substr(last.rfind('\n') + 1);
  EXPECT_EQ(last, GetParam().lastLine);
}

INSTANTIATE_TEST_SUITE_P(Commands, HttpCli, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel
