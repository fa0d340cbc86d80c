// The run's deadline: how long it is, and the watchdog that keeps it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/RunDeadline.h"
#include "platform/Watchdog.h"

namespace kdht {
namespace {

TEST(RunDeadline, TestVariableShortensTheDeadlineAndNeverLengthensIt) {
  EXPECT_EQ(kRunDeadlineMs, 20u * 60u * 1000u);
  EXPECT_EQ(RunDeadlineMs(std::nullopt), kRunDeadlineMs);
  EXPECT_EQ(RunDeadlineMs(std::string("3000")), 3000u);
  for (const char* ignored : {"", "99", "1200001", "999999999", "5s", "-1", "1e4", "1234567890"}) {
    EXPECT_EQ(RunDeadlineMs(std::string(ignored)), kRunDeadlineMs) << ignored;
  }
}

TEST(Watchdog, FiresOnceTheTimeHasPassedAndNotWhenDestroyedBefore) {
  std::atomic<int> fired{0};
  {
    platform::Watchdog dog(100, [&] { ++fired; });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fired == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(fired, 1);

  const auto start = std::chrono::steady_clock::now();
  { platform::Watchdog dog(60000, [&] { ++fired; }); }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));  // the wait is cancelled
  EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace kdht
