// A stop request reaches the operation it was made for, and nothing else: not
// another instance's operation, not the next operation after a late request,
// and a close from another thread frees nothing that a running call uses.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "FtpTestSupport.hpp"
#include "MainLoop.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/zembrel.h"

namespace zembrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FtpTestServer;

enum class Op { List, Mkdir, Upload };

enum class Stop {
  CancelOther,  // cancelFTPOperation on another instance while the operation runs
  CloseOther,   // closeFTPConnection on another instance while it runs
  LateCancel,   // cancelFTPOperation on the instance after its last operation ended
  LateClose,    // closeFTPConnection likewise
  CancelOwn,    // cancelFTPOperation on the instance from another thread meanwhile
  UnrefOwn,     // the host's last C reference dropped on another thread meanwhile
};

struct ScopeCase {
  const char* name;
  Op op;
  Stop stop;
  std::string expected;  // a directory operation's result, or an upload's final message
};

// A directory operation's result; for an upload, only whether it started (its
// final message arrives on the main context).
std::string runOp(Op op, zembrel_handle* handle, const FtpTestServer& server,
                  const fs::path& file) {
  auto take = [](char* text) {
    std::string value = text ? text : "absent";
    zembrel_free(text);
    return value;
  };
  switch (op) {
    case Op::List: {
      const std::string listing = take(zembrel_ftp_list(handle, server.url("/").c_str(), "1"));
      const std::size_t at = listing.find("\"result\":\"");
      return at == std::string::npos ? listing
                                     : listing.substr(at + 10, listing.rfind('"') - at - 10);
    }
    case Op::Mkdir:
      return take(zembrel_ftp_mkdir(handle, server.url("/new").c_str()));
    case Op::Upload:
      return zembrel_ftp_upload(handle, file.c_str(), server.url("/up.bin").c_str()) ? "started"
                                                                                       : "refused";
  }
  return "";
}

class FtpScope : public ::testing::TestWithParam<ScopeCase> {};

TEST_P(FtpScope, AStopReachesOnlyItsOwnOperation) {
  const ScopeCase& c = GetParam();
  // Slow enough that a stop lands while the operation runs.
  FtpTestServer server({"--list-delay", "0.5", "--rate", std::to_string(2 << 20)});
  fs::create_directories(server.home() / "d1" / "x");
  test::ScopedTempDir local;
  const fs::path file = local.path() / "up.bin";
  test::writeRandomFile(file, 1 << 20);
  test::MessageRecorder recorder;
  zembrel_handle* handle = zembrel_new();
  ASSERT_NE(handle, nullptr);
  auto other = Zembrel::initZembrel();

  // A late request: the instance ran an operation, which ended, before it.
  if (c.stop == Stop::LateCancel || c.stop == Stop::LateClose) {
    ASSERT_EQ(runOp(Op::List, handle, server, file), "Transfer complete.|226");
    if (c.stop == Stop::LateCancel) zembrel_ftp_cancel(handle);
    if (c.stop == Stop::LateClose) zembrel_ftp_close(handle);
  }
  std::string result;
  std::thread runner([&] { result = runOp(c.op, handle, server, file); });
  const char* verb = c.op == Op::List ? "CMD LIST" : c.op == Op::Mkdir ? "CMD MKD" : "CMD STOR";
  ASSERT_TRUE(test::runMainContextUntil([&] { return server.count(verb) > 0; }, 20s));
  switch (c.stop) {
    case Stop::CancelOther:
      other->cancelFTPOperation();
      break;
    case Stop::CloseOther:
      other->closeFTPConnection();
      break;
    case Stop::CancelOwn:
      zembrel_ftp_cancel(handle);
      break;
    case Stop::UnrefOwn:
      zembrel_unref(handle);
      handle = nullptr;
      break;
    default:
      break;
  }
  runner.join();
  if (c.op == Op::Upload) {
    ASSERT_EQ(result, "started");
    ASSERT_TRUE(recorder.waitForFinal(60s));
    result = recorder.finals().back().text;
  }
  EXPECT_EQ(result, c.expected);
  if (handle) zembrel_unref(handle);
}

const std::string kListed = "Transfer complete.|226";

INSTANTIATE_TEST_SUITE_P(
    Stops, FtpScope,
    ::testing::Values(ScopeCase{"CancelOnAnotherInstanceSparesAListing", Op::List,
                                Stop::CancelOther, kListed},
                      ScopeCase{"CloseOnAnotherInstanceSparesAListing", Op::List,
                                Stop::CloseOther, kListed},
                      ScopeCase{"CancelOnAnotherInstanceSparesAnUpload", Op::Upload,
                                Stop::CancelOther, "#complete|226"},
                      ScopeCase{"CloseOnAnotherInstanceSparesAnUpload", Op::Upload,
                                Stop::CloseOther, "#complete|226"},
                      ScopeCase{"LateCancelSparesTheNextMkdir", Op::Mkdir, Stop::LateCancel,
                                "\"/new\" directory created.|257"},
                      ScopeCase{"LateCancelSparesTheNextUpload", Op::Upload, Stop::LateCancel,
                                "#complete|226"},
                      ScopeCase{"LateCloseSparesTheNextListing", Op::List, Stop::LateClose,
                                kListed},
                      ScopeCase{"CancelFromAnotherThreadStopsTheListing", Op::List,
                                Stop::CancelOwn, "Cancelled by user|0"},
                      ScopeCase{"LastReferenceDroppedDuringAListing", Op::List, Stop::UnrefOwn,
                                kListed}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel
