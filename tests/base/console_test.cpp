#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "base/console.h"
#include "base/console_internal.h"
#include "base/hooks.h"
#include "platform/clock.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

const std::regex kStamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");

struct HookGuard {
  u_msg_fn saved = u_msg_hook;
  ~HookGuard() { u_msg_hook = saved; }
};

int quiet_hook(const char *, ...) {
  return 0;
}

} // namespace

TEST(MessageStream, FollowsTheInstalledHook) {
  HookGuard guard;
  u_msg_hook = u_msg_stderr;
  EXPECT_EQ(u_msg_stream(), stderr);
  u_msg_hook = u_msg_stdout;
  EXPECT_EQ(u_msg_stream(), stdout);
  u_msg_hook = quiet_hook;
  EXPECT_EQ(u_msg_stream(), nullptr);
}

TEST(StampedMessage, StampAndTextAreTwoHookCalls) {
  MessageCapture capture;
  u_msg_stamped("%s: %s\n", "dev_open", "ERR_DEV_CNTRL");
  auto calls = capture.calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[0].size(), 20u);
  EXPECT_TRUE(std::regex_match(calls[0].substr(0, 19), kStamp)) << calls[0];
  EXPECT_EQ(calls[0][19], ' ');
  EXPECT_EQ(calls[1], "dev_open: ERR_DEV_CNTRL\n");
}

TEST(StampedMessage, AnOverlongMessageIsCutAt511Characters) {
  MessageCapture capture;
  std::string longer(700, 'x');
  u_msg_stamped("%s\n", longer.c_str());
  auto calls = capture.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1], std::string(511, 'x'));

  capture.clear();
  std::string exact(510, 'y');
  u_msg_stamped("%s\n", exact.c_str());
  EXPECT_EQ(capture.calls().at(1), exact + "\n");
}

TEST(TimeText, FormatsLocalTimeInNineteenCharacters) {
  ScopedEnv tz("TZ", "UTC0");
  plat_tzset();
  char buffer[40];
  EXPECT_EQ(u_format_time(static_cast<time_t>(1104932700), buffer), 19u);
  EXPECT_STREQ(buffer, "2005-01-05 13:45:00");
  EXPECT_EQ(u_format_time(static_cast<time_t>(951782400), buffer), 19u);
  EXPECT_STREQ(buffer, "2000-02-29 00:00:00");

  EXPECT_EQ(u_time_string(buffer), 19u);
  EXPECT_TRUE(std::regex_match(buffer, kStamp)) << buffer;
}

TEST(SystemErrorText, UnknownCodesGetTheFallbackText) {
  char text[512];
  u_system_error_text(0xDEADBEEFu, text);
  EXPECT_STREQ(text, "System error code 0xDEADBEEF");
  u_system_error_text(0x2000FFFFu, text);
  EXPECT_STREQ(text, "System error code 0x2000FFFF");
}

TEST(SystemErrorText, KnownCodesGiveOneLineOfTheSystemsText) {
  char text[512];
  u_system_error_text(2, text);
  EXPECT_GT(std::strlen(text), 0u);
  EXPECT_EQ(std::strpbrk(text, "\r\n"), nullptr);
  EXPECT_EQ(std::string(text).find("System error code"), std::string::npos);

  MessageCapture capture;
  u_print_system_error(2);
  EXPECT_EQ(capture.text(), std::string(text) + "\n");
  capture.clear();
  u_print_system_error(0xDEADBEEFu);
  EXPECT_EQ(capture.text(), "System error code 0xDEADBEEF\n");
}

TEST(TextFileEcho, EchoesTerminatedLinesWithPrefix) {
  TempDir dir;
  std::string path = dir.file("ini.txt");
  write_text(path, "[Camera]\r\nGain=2\n\nlast without end");
  MessageCapture capture;
  u_print_text_file(path.c_str(), "  ");
  EXPECT_EQ(capture.calls(), (std::vector<std::string>{"  [Camera]\n", "  Gain=2\n", "  \n"}));

  capture.clear();
  u_print_text_file(path.c_str(), nullptr);
  EXPECT_EQ(capture.text(), "[Camera]\nGain=2\n\n");
}

TEST(TextFileEcho, AnOverlongLineEndsTheEcho) {
  TempDir dir;
  std::string path = dir.file("long.txt");
  write_text(path, "first\n" + std::string(600, 'z') + "\nafter\n");
  MessageCapture capture;
  u_print_text_file(path.c_str(), "> ");
  EXPECT_EQ(capture.text(), "> first\n");
}

TEST(TextFileEcho, AMissingFileIsSaid) {
  TempDir dir;
  std::string path = dir.file("absent.ini");
  MessageCapture capture;
  u_print_text_file(path.c_str(), "  ");
  EXPECT_EQ(capture.text(), "Cannot read file " + path + "\n");
}

TEST(PerfTimer, DifferencesRoundHalfAwayFromZero) {
  ferry::reset_timers(10000000); // 10 MHz: 15 ticks are 1.5 microseconds
  EXPECT_EQ(u_perf_diff_us(0, 15), 2);
  EXPECT_EQ(u_perf_diff_us(15, 0), -2);
  EXPECT_EQ(u_perf_diff_us(100, 114), 1);
  EXPECT_EQ(u_perf_diff_us(114, 100), -1);
  EXPECT_EQ(u_perf_diff_us(0, 5), 1);
  EXPECT_EQ(u_perf_diff_us(5, 0), -1);
  EXPECT_EQ(u_perf_diff_us(7, 7), 0);
  EXPECT_EQ(u_perf_diff_us(0, 10000000), 1000000);
  // Too long for an int: the largest one, not a wrapped value.
  EXPECT_EQ(u_perf_diff_us(0, INT64_C(1) << 50), INT_MAX);
  EXPECT_EQ(u_perf_diff_us(INT64_C(1) << 50, 0), INT_MIN);
  ferry::reset_timers(0);
}

TEST(PerfTimer, UnknownFrequencyIsAskedFromTheSystem) {
  ferry::reset_timers(0);
  int64_t f = plat_perf_frequency();
  EXPECT_EQ(u_perf_diff_us(0, f), 1000000);
  EXPECT_EQ(u_perf_diff_us(0, -f / 2), -500000);
}

TEST(PerfTimer, LapsAndReadingsDoNotGoBackwards) {
  ferry::reset_timers(0);
  EXPECT_GE(u_perf_lap_us(), 0);
  int64_t a = u_perf_count();
  int first = u_perf_now_us();
  u_sleep(2);
  int second = u_perf_now_us();
  int64_t b = u_perf_count();
  EXPECT_GE(b, a);
  // Differences of readings hold across a 32-bit wrap.
  EXPECT_GE(static_cast<int32_t>(static_cast<uint32_t>(second) - static_cast<uint32_t>(first)), 0);
  EXPECT_GE(u_perf_lap_us(), 0);
}

TEST(Stopwatch, BeforeAnyStartItGivesTheWallClock) {
  ferry::reset_timers(0);
  double now = static_cast<double>(std::time(nullptr));
  EXPECT_NEAR(u_stopwatch_seconds(), now, 2.0);
  EXPECT_NEAR(u_clock_seconds(), now, 2.0);

  double start = u_stopwatch_start();
  EXPECT_NEAR(start, now, 2.0);
  double elapsed = u_stopwatch_seconds();
  EXPECT_GE(elapsed, 0.0);
  EXPECT_LT(elapsed, 2.0);
}

TEST(Stopwatch, ClockSecondsCarryMilliseconds) {
  double t = u_clock_seconds();
  double fraction = t - std::floor(t);
  // Whole milliseconds: the fraction times 1000 is (nearly) an integer.
  EXPECT_NEAR(fraction * 1000.0, std::round(fraction * 1000.0), 1e-3);
}
