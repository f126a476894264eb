// `zembrel ftp-parse`: the built program is run on a listing and its output
// compared byte for byte; scripts depend on this exact form.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ServerProcess.hpp"

extern char** environ;

namespace zembrel {
namespace {

struct RunResult {
  int exitStatus = -1;
  std::string out;
};

// Runs the command line program with `input` on stdin; stdout is captured.
RunResult runCli(std::vector<std::string> args, const std::string& input) {
  test::ScopedTempDir dir;
  const auto inputPath = dir.path() / "input";
  test::writeFile(inputPath, input);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  args.insert(args.begin(), ZEMBREL_CLI_PATH);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  RunResult result;
  if (rc != 0) {
    ::close(pipeFds[0]);
    ADD_FAILURE() << "cannot start " << argv[0];
    return result;
  }
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    result.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult ftpParse(const std::string& input) {
  return runCli({"ftp-parse", "--now", "1796533200"}, input);
}

TEST(FtpParseCommand, OneJsonObjectPerLine) {
  const std::string input =
      "-rw-r--r-- 1 o g 5 Dec 25 23:59 f\r\n"  // carriage return kept in the name
      "\n"                                     // an empty line is a line
      "total 24\n"
      "+i77.3,/,\tphotos\n"
      "06-30-03  11:45PM       <DIR>          data";  // last piece without a line feed
  const RunResult r = ftpParse(input);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out,
            "{\"result\":1,\"name\":\"f\\r\",\"flagmaybedir\":0,\"flagmaybefile\":1,"
            "\"sizekind\":1,\"size\":5,\"timekind\":2,\"modtime\":1766707140,\"idkind\":0,"
            "\"id\":\"\"}\n"
            "{\"result\":0}\n"
            "{\"result\":0}\n"
            "{\"result\":1,\"name\":\"photos\",\"flagmaybedir\":1,\"flagmaybefile\":0,"
            "\"sizekind\":0,\"size\":0,\"timekind\":0,\"modtime\":0,\"idkind\":1,"
            "\"id\":\"77.3\"}\n"
            "{\"result\":1,\"name\":\"data\",\"flagmaybedir\":1,\"flagmaybefile\":0,"
            "\"sizekind\":0,\"size\":0,\"timekind\":2,\"modtime\":1057016700,\"idkind\":0,"
            "\"id\":\"\"}\n");
}

TEST(FtpParseCommand, InvalidUtf8BecomesReplacementCharacters) {
  // Lone continuation byte, a truncated three-byte sequence, valid "é", an
  // overlong form (two bytes, each ill-formed on its own).
  const RunResult r = ftpParse(
      "+r,\ta\x80"
      "b\xE2\x82"
      "c\xC3\xA9\xC0\xAF\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out,
            "{\"result\":1,\"name\":\"a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD"
            "c\xC3\xA9\xEF\xBF\xBD"
            "\xEF\xBF\xBD\",\"flagmaybedir\":0,\"flagmaybefile\":1,\"sizekind\":0,\"size\":0,"
            "\"timekind\":0,\"modtime\":0,\"idkind\":0,\"id\":\"\"}\n");
}

TEST(FtpParseCommand, FinalLineFeedStartsNoLine) {
  EXPECT_EQ(ftpParse("").out, "");
  EXPECT_EQ(ftpParse("\n").out, "{\"result\":0}\n");
  EXPECT_EQ(ftpParse("x\n\n").out, "{\"result\":0}\n{\"result\":0}\n");
}

TEST(FtpParseCommand, BadNowIsAUsageError) {
  EXPECT_EQ(runCli({"ftp-parse", "--now", "soon"}, "").exitStatus, 2);
}

}  // namespace
}  // namespace zembrel
