// `zembrel ftp-parse`: the built program is run on a listing and its output
// compared byte for byte; scripts depend on this exact form.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Subprocess.hpp"

namespace zembrel {
namespace {

struct RunResult {
  int exitStatus = -1;
  std::string out;
};

// Runs the command line program with `input` on stdin; stdout is captured.
RunResult runCli(const std::vector<std::string>& args, const std::string& input) {
  const test::ProgramRun run = test::runCommand(ZEMBREL_CLI_PATH, args, input);
  return {run.status, run.out};
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
