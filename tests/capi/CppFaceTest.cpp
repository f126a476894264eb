// The C++ face over the operations: settings as a value, results as values.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "HttpTestServer.hpp"
#include "OperationTestSupport.hpp"
#include "zembrel/Operations.hpp"

namespace {

using zembrel::OperationResult;
using zembrel::OperationSettings;
using zembrel::test::HttpTestServer;
using zembrel::test::iterateUntil;

TEST(CppFace, ARequestsAnswerAndSettingsTravelAsValues) {
  HttpTestServer http;
  OperationSettings settings;
  settings.userAgent = "Face/1";
  settings.stallTimeout = std::chrono::seconds(5);
  std::optional<OperationResult> ended;
  zembrel::Operation op = zembrel::requestAsync(
      settings, http.url("/face?bytes=12&status=201"), {"k", "v"}, "urlencoded", {{"X-Extra", "1"}},
      {nullptr, [&](const OperationResult& result) { ended = result; }});
  ASSERT_TRUE(op);
  ASSERT_TRUE(iterateUntil([&] { return ended.has_value(); }));
  EXPECT_TRUE(ended->ok());
  EXPECT_EQ(ended->httpStatus, 201);
  EXPECT_EQ(ended->responseBody, "012345678901");
  ASSERT_TRUE(ended->responseHeaders);
  EXPECT_NE(ended->responseHeaders->find("Content-Length: 12\n"), std::string::npos);
  EXPECT_EQ(op.result().responseBody, ended->responseBody);  // the handle reads the same
  const auto requests = http.waitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("User-Agent"), "Face/1");
  EXPECT_EQ(requests[0].header("X-Extra"), "1");
  EXPECT_EQ(requests[0].body, "k=v");
}

// Settings the library refuses start nothing and call nothing back.
TEST(CppFace, RefusedSettingsStartNothing) {
  OperationSettings settings;
  settings.stallTimeout = std::chrono::seconds(-3);
  bool called = false;
  zembrel::Operation op = zembrel::requestAsync(settings, "http://127.0.0.1:1/", {}, std::nullopt,
                                                {}, {nullptr, [&](const auto&) { called = true; }});
  EXPECT_FALSE(op);
  zembrel_iterate(0);
  EXPECT_FALSE(called);
}

}  // namespace
