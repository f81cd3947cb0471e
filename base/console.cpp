#include "base/console.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/console_internal.h"
#include "base/hooks.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

int vwrite_and_flush(FILE *stream, const char *format, va_list args) {
  std::vfprintf(stream, format, args);
  return std::fflush(stream);
}

constexpr char kStampFormat[] = "%Y-%m-%d %H:%M:%S";
constexpr size_t kStampBytes = 40;    // the limit given to strftime
constexpr size_t kMessageBytes = 512; // work buffer of messages and error texts
constexpr size_t kLineBytes = 512;    // lines are read in pieces of 511 characters

struct TimerState {
  double stopwatch_start = 0.0;
  int64_t frequency = 0;  // ticks per second, 0 until known
  int64_t read_cost = -1; // ticks of one counter read, -1 until calibrated
  int64_t last = 0;       // the counter at the last lap (or calibration)
  bool time_zone_ready = false;
};

TimerState timer;

void calibrate_if_needed() {
  if (timer.read_cost < 0)
    u_perf_calibrate();
}

// Microseconds of a tick count, truncated, computed in integers so that no
// precision is lost however long the machine has run.
int64_t ticks_to_us(int64_t ticks) {
  if (timer.frequency <= 0)
    return 0;
  return ticks / timer.frequency * 1000000 + ticks % timer.frequency * 1000000 / timer.frequency;
}

int saturate_to_int(double value) {
  if (value >= static_cast<double>(INT_MAX))
    return INT_MAX;
  if (value <= static_cast<double>(INT_MIN))
    return INT_MIN;
  return static_cast<int>(value);
}

} // namespace

namespace ferry {

void reset_timers(int64_t frequency) {
  timer = TimerState{};
  timer.frequency = frequency;
}

} // namespace ferry

extern "C" int u_msg_stderr(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_and_flush(stderr, format, args);
  va_end(args);
  return result;
}

extern "C" int u_msg_stdout(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_and_flush(stdout, format, args);
  va_end(args);
  return result;
}

extern "C" int u_msg_file(FILE *stream, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vwrite_and_flush(stream, format, args);
  va_end(args);
  return result;
}

extern "C" FILE *u_msg_stream(void) {
  if (u_msg_hook == u_msg_stdout)
    return stdout;
  if (u_msg_hook == u_msg_stderr)
    return stderr;
  return nullptr;
}

extern "C" void u_msg_stamped(const char *format, ...) {
  char work[kMessageBytes] = {};
  u_time_string(work);
  u_msg_hook("%s ", work);
  // A message longer than the work buffer is cut at 511 characters rather
  // than written past its end.
  va_list args;
  va_start(args, format);
  std::vsnprintf(work, sizeof work, format, args);
  va_end(args);
  u_msg_hook("%s", work);
}

extern "C" size_t u_time_string(char *buffer) {
  int64_t seconds = 0;
  int milliseconds = 0;
  plat_wall_clock(&seconds, &milliseconds);
  return u_format_time(static_cast<time_t>(seconds), buffer);
}

extern "C" size_t u_format_time(time_t t, char *buffer) {
  struct tm local {};
  if (!plat_localtime(static_cast<int64_t>(t), &local)) {
    buffer[0] = '\0';
    return 0;
  }
  return std::strftime(buffer, kStampBytes, kStampFormat, &local);
}

extern "C" void u_system_error_text(uint32_t code, char *buffer) {
  if (!plat_system_error_text(code, buffer, kMessageBytes)) {
    std::snprintf(buffer, kMessageBytes, "System error code 0x%8.8X", static_cast<unsigned>(code));
    return;
  }
  buffer[kMessageBytes - 1] = '\0';
  buffer[std::strcspn(buffer, "\r")] = '\0';
  buffer[std::strcspn(buffer, "\n")] = '\0';
}

extern "C" void u_print_system_error(uint32_t code) {
  char text[kMessageBytes];
  u_system_error_text(code, text);
  u_msg_hook("%s\n", text);
}

extern "C" void u_print_text_file(const char *path, const char *prefix) {
  ferry::UniqueFile file(plat_fopen(path, "r"));
  if (!file) {
    u_msg_hook("Cannot read file %s\n", path ? path : "");
    return;
  }
  // A piece without a line end (an unterminated last line, or a line too
  // long for the buffer) ends the echo.
  char line[kLineBytes];
  while (std::fgets(line, sizeof line, file.get())) {
    char *end = std::strchr(line, '\n');
    if (!end)
      break;
    *end = '\0';
    line[std::strcspn(line, "\r")] = '\0';
    u_msg_hook("%s%s\n", prefix ? prefix : "", line);
  }
}

extern "C" void u_sleep(uint32_t ms) {
  plat_sleep_ms(ms);
}

extern "C" double u_clock_seconds(void) {
  if (!timer.time_zone_ready) {
    timer.time_zone_ready = true;
    plat_tzset();
  }
  int64_t seconds = 0;
  int milliseconds = 0;
  plat_wall_clock(&seconds, &milliseconds);
  return static_cast<double>(seconds) + (milliseconds * 1000.0) / 1000000.0;
}

extern "C" double u_stopwatch_start(void) {
  timer.stopwatch_start = u_clock_seconds();
  return timer.stopwatch_start;
}

extern "C" double u_stopwatch_seconds(void) {
  return u_clock_seconds() - timer.stopwatch_start;
}

extern "C" void u_perf_calibrate(void) {
  timer.frequency = plat_perf_frequency();
  int64_t first = plat_perf_counter();
  int64_t second = plat_perf_counter();
  timer.read_cost = second - first;
  timer.last = second;
}

// A lap longer than an int holds (about 35 minutes) reads as the largest
// int: a duration must not come out small or negative.
extern "C" int u_perf_lap_us(void) {
  calibrate_if_needed();
  int64_t now = plat_perf_counter();
  int64_t ticks = now - timer.last - timer.read_cost;
  timer.last = now;
  int64_t us = ticks_to_us(ticks < 0 ? 0 : ticks);
  return us > INT_MAX ? INT_MAX : static_cast<int>(us);
}

// The reading keeps the low 32 bits of the microsecond count: like a
// wrapping tick count, the difference of two readings taken less than
// about 35 minutes apart stays right when computed in 32 bits.
extern "C" int u_perf_now_us(void) {
  calibrate_if_needed();
  int64_t ticks = plat_perf_counter() - timer.read_cost;
  uint64_t us = static_cast<uint64_t>(ticks_to_us(ticks < 0 ? 0 : ticks));
  return static_cast<int>(static_cast<uint32_t>(us));
}

extern "C" int64_t u_perf_count(void) {
  return plat_perf_counter();
}

extern "C" int u_perf_diff_us(int64_t first, int64_t second) {
  if (timer.frequency <= 0)
    timer.frequency = plat_perf_frequency();
  double x = 1000000.0 * static_cast<double>(second - first) / static_cast<double>(timer.frequency);
  return saturate_to_int(x >= 0 ? x + 0.5 : x - 0.5);
}
