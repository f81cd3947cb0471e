#include "platform/clock.h"

#include <windows.h>

#include <ctime>

#include "platform/time_scale.inc"

extern "C" void plat_sleep_ms(uint32_t ms) {
  Sleep(plat_scaled_ms(ms));
}

extern "C" void plat_wall_clock(int64_t *seconds, int *milliseconds) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  // 100-nanosecond ticks since 1601-01-01; 11644473600 s lie before 1970.
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  uint64_t ms_since_1601 = ticks / 10000;
  *seconds = static_cast<int64_t>(ms_since_1601 / 1000) - 11644473600LL;
  *milliseconds = static_cast<int>(ms_since_1601 % 1000);
}

extern "C" int64_t plat_perf_counter(void) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

extern "C" int64_t plat_perf_frequency(void) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

extern "C" void plat_tzset(void) {
  _tzset();
}

extern "C" bool plat_localtime(int64_t t, struct tm *out) {
  __time64_t value = t;
  return _localtime64_s(out, &value) == 0;
}

extern "C" int64_t plat_mktime64(struct tm *local) {
  return _mktime64(local);
}

extern "C" bool plat_system_error_text(uint32_t code, char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  DWORD room = bytes > 0xFFFF ? 0xFFFF : static_cast<DWORD>(bytes);
  // Language 0x0400: the user's default language.
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0x0400, buffer, room, nullptr);
  if (n == 0) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}
