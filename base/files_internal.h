#pragma once
// Inside view of the path caches, for the library's own tests: the caches
// resolve once per process, and a test that sets MB_* variables needs them
// to resolve afresh.

#include <stddef.h>

namespace ferry {

// Forgets the directories, module path, computer name and per-machine file
// name. With module_path given, the next module path request yields that
// text (as the system would give it, before case folding) instead of asking
// the system.
void reset_path_caches(const char *module_path = nullptr);

// The installation directory derived from an executable path whose parts
// are joined by separator: its directory's parent, or the directory itself
// when that is a drive (3 characters or less). Writes at most bytes - 1
// characters and returns the length.
size_t derive_install_dir(const char *module_path, char separator, char *out, size_t bytes);

} // namespace ferry
