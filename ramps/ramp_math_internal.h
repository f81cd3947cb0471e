#pragma once
// Conversions of the ramp arithmetic. Ramp headers come from files, so a
// value may be NaN or far outside the int range; converting such a double
// to an int directly is undefined, these conversions are not.

#include <cmath>
#include <cstdint>

namespace ferry::ramps {

// Truncation towards zero, saturated at the int range; NaN gives 0.
inline int trunc_to_int(double v) {
  if (std::isnan(v))
    return 0;
  if (v >= 2147483647.0)
    return INT32_MAX;
  if (v <= -2147483648.0)
    return INT32_MIN;
  return static_cast<int>(v);
}

// The low 16 bits of a truncated value, as a sample holds them.
inline uint16_t low16(double v) {
  return static_cast<uint16_t>(uint32_t(trunc_to_int(v)));
}

} // namespace ferry::ramps
