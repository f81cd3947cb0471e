#pragma once
// File system facility. Byte paths are the system's narrow paths; UTF-16
// paths are host-order code units (converted to UTF-8 on POSIX).

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#ifndef __cplusplus
#include <uchar.h> // char16_t, which C++ has built in
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Separator that joins a directory and a name: '\\' on Windows, '/' else.
extern const char plat_dir_separator;

// File type bits of a path's status (mask 0xF000 of the mode; 0x8000 is a
// regular file, 0x4000 a directory). False when the status can't be had.
bool plat_file_type(const char *path, uint32_t *type_bits);
bool plat_file_type_utf16(const char16_t *path, uint32_t *type_bits);

FILE *plat_fopen(const char *path, const char *mode);
FILE *plat_fopen_utf16(const char16_t *path, const char *mode);

// Size in bytes of an open file, or -1.
int64_t plat_file_size(FILE *f);

bool plat_is_directory(const char *path);
bool plat_make_directory(const char *path);

// Copies source over target (replacing it); on failure returns false and
// the system's error number in *sys_error.
bool plat_copy_file(const char *source, const char *target, uint32_t *sys_error);
bool plat_delete_file(const char *path);

// A new, unused file name in the system's temporary directory that starts
// with prefix, into buffer. False when none can be had.
bool plat_temp_file_name(const char *prefix, char *buffer, size_t bytes);

// True when the name is absolute by the system's rules beyond the ones the
// library itself knows (a leading '/' on POSIX; none on Windows).
bool plat_is_native_absolute(const char *name);

// Brings a path to the case the system compares paths in: lower case on
// Windows, whose file names ignore case; unchanged on POSIX, where another
// case would name another file.
void plat_fold_path_case(char *path);

#ifdef __cplusplus
}

#include <memory>

namespace ferry {

// An open stream that is closed when it goes out of scope.
struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

} // namespace ferry
#endif
