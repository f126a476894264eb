// Cancel and close requests from other threads race running uploads, landing
// at random moments of their life, the very end among them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "FtpTestSupport.hpp"
#include "MainLoop.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

TEST(FtpUploadStress, CancelAndCloseFromOtherThreadsRaceRunningUploads) {
  // 256 KiB at 4 MiB/s: an upload takes about 60 ms, and the requests come
  // within 0 to 100 ms of its start.
  test::FtpTestServer server{{"--rate", std::to_string(4 * 1024 * 1024)}};
  test::ScopedTempDir local;
  const fs::path file = local.path() / "race.bin";
  test::writeRandomFile(file, 256 * 1024);
  test::MessageRecorder recorder;
  auto zembrel = Zembrel::initZembrel();

  for (int round = 0; round < 40; ++round) {
    recorder.clear();
    ASSERT_TRUE(zembrel->uploadFile(file.string(), server.url("/race.bin")));
    std::vector<std::thread> racers;
    for (int racer = 0; racer < 2; ++racer) {
      racers.emplace_back([&zembrel, racer, round] {
        std::mt19937 random(static_cast<unsigned>(round * 2 + racer));
        std::this_thread::sleep_for(milliseconds(random() % 100));
        if (racer == 0) {
          zembrel->cancelFTPOperation();
        } else {
          zembrel->closeFTPConnection();
        }
      });
    }
    ASSERT_TRUE(recorder.waitForFinal());
    for (auto& racer : racers) racer.join();
    // Nothing may follow the final message: the worker has let the instance go.
    ASSERT_TRUE(test::settle(zembrel)) << "round " << round;
    const auto finals = recorder.finals();
    ASSERT_EQ(finals.size(), 1u) << "round " << round;
    EXPECT_TRUE(finals[0].text == "#complete|226" || finals[0].text == "#error|Upload Cancelled|0")
        << "round " << round << ": " << finals[0].text;
  }

  recorder.clear();
  ASSERT_TRUE(zembrel->uploadFile(file.string(), server.url("/last.bin")));
  ASSERT_TRUE(recorder.waitForFinal());
  EXPECT_EQ(recorder.finals().back().text, "#complete|226");
  EXPECT_TRUE(test::sameContents(file, server.home() / "last.bin"));
}

}  // namespace
}  // namespace zembrel
