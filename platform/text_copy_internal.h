#pragma once
// Texts handed back into a caller's buffer: by the platform layer and by
// the operating-system utilities above it, which all promise the same
// thing, a whole NUL-ended text or a failure that leaves "" behind.

#include <cstddef>
#include <string_view>

namespace ferry {

// Leaves "" in the buffer when it has room for anything.
inline void clear_text(char *buffer, size_t bytes) {
  if (buffer && bytes > 0)
    buffer[0] = '\0';
}

// Copies the whole text, NUL-ended, into a buffer of `bytes`; false (and ""
// where there is room) when it does not fit.
inline bool copy_fitting(std::string_view text, char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  if (text.size() >= bytes) {
    buffer[0] = '\0';
    return false;
  }
  text.copy(buffer, text.size());
  buffer[text.size()] = '\0';
  return true;
}

} // namespace ferry
