#pragma once
// Inside view of the timer state, for the library's own tests.

#include <stdint.h>

namespace ferry {

// Sets the performance-counter frequency that u_perf_diff_us and the lap
// timers use (0: ask the system again at the next use), and forgets the
// calibration.
void perf_reset(int64_t frequency);

} // namespace ferry
