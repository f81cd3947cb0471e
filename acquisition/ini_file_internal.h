#pragma once
// A reader of the [section] key=value files the acquisition library is
// configured with, matching names as the system's profile functions do.

#include <stddef.h>

namespace ferry {

// Reads `key` of `[section]` from the INI file at `path` into value.
// Section and key names match without regard to case; blanks around names
// and values are dropped, and a value in double quotes loses them. Lines
// beginning with ';' or '#' are comments; the first matching key counts.
// False when the file, section or key is missing, or the value does not fit.
bool ini_read_value(const char *path, const char *section, const char *key, char *value,
                    size_t bytes);

} // namespace ferry
