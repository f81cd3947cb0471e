#pragma once
// The error catalogue's names for the library's own sources.

#include "base/errors.h"

namespace ferry {
// The constant name of a catalogue code, or nullptr outside 1..462. Unlike
// u_error_name it does not touch the shared buffer, so threads may ask it.
const char *error_constant_name(u_err_t code);
} // namespace ferry
