// `zembrel xml` and `zembrel parse-response`: the built program's output and
// exit status, which scripts rely on: 0 only on success, 1 when the operation
// failed, 2 on a usage error.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "Subprocess.hpp"
#include "ServerProcess.hpp"

namespace zembrel {
namespace {

using namespace test;

struct CommandCase {
  const char* name;
  std::vector<std::string> args;  // "DIR" is replaced by the case's folder
  int exitStatus;
  std::string out;  // empty: not compared (usage errors)
};

const char kDocument[] = "<r><s k=\"v\">ok</s><t>1 &amp; 2</t></r>";

class CommandTest : public ::testing::TestWithParam<CommandCase> {
 protected:
  void SetUp() override {
    writeFile(dir_.path() / "doc.xml", kDocument);
    writeFile(dir_.path() / "answer.txt", std::string("Content-Type: text/xml\n\n") + kDocument);
    writeFile(dir_.path() / "bad.xml", "<r><s></r>");
    writeFile(dir_.path() / "json.txt", "Content-Type: application/json\n\n{}");
    ASSERT_EQ(::mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  }
  ScopedTempDir dir_;
};

TEST_P(CommandTest, PrintsTheResultAndExitsWithItsStatus) {
  auto args = GetParam().args;
  for (auto& arg : args) {
    if (arg.starts_with("DIR")) arg = dir_.path().string() + arg.substr(3);
  }
  auto run = runCommand(ZEMBREL_CLI_PATH, args);
  EXPECT_EQ(run.status, GetParam().exitStatus) << run.out;
  if (!GetParam().out.empty()) {
    auto expected = GetParam().out;
    for (auto at = expected.find("DIR"); at != std::string::npos; at = expected.find("DIR")) {
      expected.replace(at, 3, dir_.path().string());
    }
    EXPECT_EQ(run.out, expected);
  }
}

const std::string kTree =
    "[{\"element\":\"s\",\"value\":\"ok\",\"attributes\":{\"k\":\"v\"}},"
    "{\"element\":\"t\",\"value\":\"1&2\",\"attributes\":{}}]\n";
const std::string kFlat =
    "[{\"element\":\"r\",\"value\":\"\",\"attributes\":{}},"
    "{\"element\":\"s\",\"value\":\"ok\",\"attributes\":{\"k\":\"v\"}},"
    "{\"element\":\"t\",\"value\":\"1&2\",\"attributes\":{}}]\n";
const std::string kMismatch =
    "[\"Error 76, Description: Opening and ending tag mismatch: s line 1 and r, Line: 1, Column: "
    "11\"]\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandTest,
    ::testing::Values(
        CommandCase{"XmlText", {"xml", kDocument}, 0, kTree},
        CommandCase{"XmlPathFlat", {"xml", "DIR/doc.xml", "--flatten"}, 0, kFlat},
        CommandCase{"XmlNoElementOnTheList", {"xml", kDocument, "--elements", "zz"}, 0, "[]\n"},
        CommandCase{"XmlRejected", {"xml", "DIR/bad.xml"}, 1, kMismatch},
        CommandCase{"XmlMissingFile",
                    {"xml", "DIR/none.xml"},
                    1,
                    "[\"Error 1549, Description: failed to load \\\"DIR/none.xml\\\": No such "
                    "file or directory, Line: 0, Column: 0\"]\n"},
        CommandCase{"XmlNamedPipe",
                    {"xml", "DIR/fifo"},
                    1,
                    "[\"Error 1549, Description: failed to load \\\"DIR/fifo\\\": not a regular "
                    "file, Line: 0, Column: 0\"]\n"},
        CommandCase{"XmlWithoutDocument", {"xml"}, 2, ""},
        CommandCase{"XmlUnknownOption", {"xml", kDocument, "--bogus"}, 2, ""},
        CommandCase{"AnswerWithXml", {"parse-response", "DIR/answer.txt"}, 0, kTree},
        CommandCase{"AnswerRejected", {"parse-response", "DIR/bad.xml"}, 1, kMismatch},
        CommandCase{"AnswerWithoutXml", {"parse-response", "DIR/json.txt"}, 1, "[]\n"},
        CommandCase{"AnswerMissing", {"parse-response", "DIR/none.txt"}, 1, "[]\n"},
        CommandCase{"AnswerNamedPipe", {"parse-response", "DIR/fifo"}, 1, "[]\n"},
        CommandCase{"AnswerWithoutPath", {"parse-response"}, 2, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel
