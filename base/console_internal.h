#pragma once
// Inside view of the timer state, for the library's own tests.

#include <stdint.h>

namespace ferry {

// Puts the timer state back to its start (stopwatch 0, not calibrated),
// with the performance-counter frequency that u_perf_diff_us is to use (0:
// ask the system at the next use).
void reset_timers(int64_t frequency);

} // namespace ferry
