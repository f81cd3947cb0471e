#pragma once
// Clock facility: sleeping, the wall clock, the performance counter, local
// time and the system's error texts.
//
// Tests shorten every wait of the library with plat_set_time_scale: sleeps
// and time-outs that go through plat_scaled_ms are multiplied by the scale.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

void plat_set_time_scale(double scale);
double plat_time_scale(void);
// ms multiplied by the time scale, rounded up so a nonzero wait stays nonzero.
uint32_t plat_scaled_ms(uint32_t ms);

// Suspends the thread for ms milliseconds of scaled time.
void plat_sleep_ms(uint32_t ms);

// Seconds and milliseconds since 1970 (UTC).
void plat_wall_clock(int64_t *seconds, int *milliseconds);

int64_t plat_perf_counter(void);
int64_t plat_perf_frequency(void);

// Reads the time zone from the environment.
void plat_tzset(void);
// Local broken-down time of t; false when it can't be converted.
bool plat_localtime(int64_t t, struct tm *out);
// 64-bit mktime: local broken-down time to seconds since 1970, or -1.
int64_t plat_mktime64(struct tm *local);

// The system's message text for an error code (may hold line ends); false
// when the system has none.
bool plat_system_error_text(uint32_t code, char *buffer, size_t bytes);

#ifdef __cplusplus
}
#endif
