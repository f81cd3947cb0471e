#pragma once
// Console writers, timestamped messages, system error texts, the text file
// echo and the clock and timer helpers, all built on the message hook.

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Each formats onto its stream, flushes it and returns the flush result.
FERRY_API int u_msg_stderr(const char *format, ...);
FERRY_API int u_msg_stdout(const char *format, ...);
FERRY_API int u_msg_file(FILE *stream, const char *format, ...);

// The console stream the current message hook writes to, or null when a
// host installed a hook of its own.
FERRY_API FILE *u_msg_stream(void);

// The time stamp and one blank, then the message: two hook calls. The
// formatted message is cut at 511 characters.
FERRY_API void u_msg_stamped(const char *format, ...);

// "%Y-%m-%d %H:%M:%S" of the current (or the given) local time into a
// buffer of at least 40 bytes; returns the characters written.
FERRY_API size_t u_time_string(char *buffer);
FERRY_API size_t u_format_time(time_t t, char *buffer);

// One line of the system's text for a system error code, or
// "System error code 0x%8.8X", into a 512-byte buffer.
FERRY_API void u_system_error_text(uint32_t code, char *buffer);
FERRY_API void u_print_system_error(uint32_t code);

// Echoes a text file line by line through the hook, each line after prefix.
FERRY_API void u_print_text_file(const char *path, const char *prefix);

FERRY_API void u_sleep(uint32_t ms);
FERRY_API double u_clock_seconds(void);
FERRY_API double u_stopwatch_start(void);
FERRY_API double u_stopwatch_seconds(void);
FERRY_API void u_perf_calibrate(void);
FERRY_API int u_perf_lap_us(void);
FERRY_API int u_perf_now_us(void);
FERRY_API int64_t u_perf_count(void);
FERRY_API int u_perf_diff_us(int64_t first, int64_t second);

#ifdef __cplusplus
}
#endif
