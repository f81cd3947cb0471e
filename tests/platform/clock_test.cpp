#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

// Puts the scale back whatever the test did with it.
struct ScaleGuard {
  ~ScaleGuard() { plat_set_time_scale(1.0); }
};

} // namespace

TEST(PlatformClock, ScaledWaitsRoundUpAndNeverVanish) {
  ScaleGuard guard;
  EXPECT_EQ(plat_time_scale(), 1.0);
  EXPECT_EQ(plat_scaled_ms(1500), 1500u);
  EXPECT_EQ(plat_scaled_ms(0), 0u);

  plat_set_time_scale(0.01);
  EXPECT_EQ(plat_scaled_ms(10000), 100u);
  EXPECT_EQ(plat_scaled_ms(150), 2u); // 1.5 rounds up
  EXPECT_EQ(plat_scaled_ms(1), 1u);
  EXPECT_EQ(plat_scaled_ms(0), 0u);

  plat_set_time_scale(0.0);
  EXPECT_EQ(plat_scaled_ms(5000), 1u);

  // Nonsense scales are refused and the last good one stays.
  plat_set_time_scale(-1.0);
  plat_set_time_scale(std::nan(""));
  EXPECT_EQ(plat_time_scale(), 0.0);

  plat_set_time_scale(1e6);
  EXPECT_EQ(plat_scaled_ms(100000), UINT32_MAX);
}

TEST(PlatformClock, LocalTimeConversionsRoundTrip) {
  ScopedEnv tz("TZ", "UTC0");
  plat_tzset();
  struct tm t {};
  t.tm_year = 105;
  t.tm_mon = 0;
  t.tm_mday = 5;
  t.tm_hour = 13;
  t.tm_min = 45;
  t.tm_isdst = -1;
  EXPECT_EQ(plat_mktime64(&t), 1104932700);

  struct tm back {};
  ASSERT_TRUE(plat_localtime(1104932700, &back));
  EXPECT_EQ(back.tm_year, 105);
  EXPECT_EQ(back.tm_mday, 5);
  EXPECT_EQ(back.tm_hour, 13);
  EXPECT_EQ(back.tm_min, 45);
}

TEST(PlatformClock, WallClockAndCounter) {
  int64_t seconds = 0;
  int ms = -1;
  plat_wall_clock(&seconds, &ms);
  EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(std::time(nullptr))), 2);
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, 1000);

  EXPECT_GT(plat_perf_frequency(), 0);
  int64_t a = plat_perf_counter(), b = plat_perf_counter();
  EXPECT_GE(b, a);
}

TEST(PlatformClock, SystemErrorTexts) {
  char text[512];
  // 2 is "file not found" on both systems.
  ASSERT_TRUE(plat_system_error_text(2, text, sizeof text));
  EXPECT_GT(std::strlen(text), 0u);
  EXPECT_FALSE(plat_system_error_text(0xDEADBEEFu, text, sizeof text));
}
