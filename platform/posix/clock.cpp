#include "platform/clock.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sched.h>

#include "platform/time_scale.inc"

extern "C" void plat_sleep_ms(uint32_t ms) {
  uint32_t scaled = plat_scaled_ms(ms);
  if (scaled == 0) {
    sched_yield();
    return;
  }
  struct timespec left = {static_cast<time_t>(scaled / 1000),
                          static_cast<long>(scaled % 1000) * 1000000L};
  // A signal does not shorten the pause.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

extern "C" void plat_wall_clock(int64_t *seconds, int *milliseconds) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  *seconds = static_cast<int64_t>(now.tv_sec);
  *milliseconds = static_cast<int>(now.tv_nsec / 1000000L);
}

extern "C" int64_t plat_perf_counter(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

extern "C" int64_t plat_perf_frequency(void) {
  return 1000000000LL;
}

extern "C" void plat_tzset(void) {
  tzset();
}

extern "C" bool plat_localtime(int64_t t, struct tm *out) {
  time_t value = static_cast<time_t>(t);
  return localtime_r(&value, out) != nullptr;
}

extern "C" int64_t plat_mktime64(struct tm *local) {
  return static_cast<int64_t>(mktime(local));
}

extern "C" bool plat_system_error_text(uint32_t code, char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  // Only codes the C library has a name for are known; for the rest it would
  // make up "Unknown error N", and the caller's own fallback says more.
  if (code > static_cast<uint32_t>(INT32_MAX) || !strerrorname_np(static_cast<int>(code)))
    return false;
  const char *text = strerror_r(static_cast<int>(code), buffer, bytes);
  if (text != buffer) {
    std::strncpy(buffer, text, bytes - 1);
    buffer[bytes - 1] = '\0';
  }
  return true;
}
