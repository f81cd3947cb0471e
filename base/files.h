#pragma once
// Files, paths and the installation tree.
//
// A path text whose first two bytes are a UTF-16 byte-order mark (FF FE or
// FE FF) carries the UTF-16 path that follows the mark; is_regular_file and
// the data file writer honour that convention, everything else here takes
// byte paths only. The mark only flags the wide path: the path's 16-bit
// units are in the host's order after either mark, and the path must end in
// a zero 16-bit unit (two zero bytes at an even distance from the mark; a
// single zero byte does not end it). A wide path is looked for no further
// than the longest path the system takes (32767 units); use
// is_regular_file_n where the text's length is known.

#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>

#include "base/errors.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { U_DIR_TEXT_MAX = 260 };

FERRY_API bool is_regular_file(const char *path);
// is_regular_file for a path text that lies within its first `bytes` bytes:
// a path (byte or wide) whose end does not come within them names no file.
FERRY_API bool is_regular_file_n(const char *path, size_t bytes);

// Opens a path text by the convention above: a byte path, or the UTF-16 path
// after a byte-order mark.
FERRY_API FILE *u_fopen_path_text(const char *path, const char *mode);

// Lower-case path of the running executable; empty when the system has none.
FERRY_API const char *u_module_path(void);

// The three directories, resolved once; null when not available.
// MB_INSTALL_DIR, MB_CONFIG_DIR and MB_RAMPS_DIR override them.
FERRY_API const char *u_install_dir(void);
FERRY_API const char *u_config_dir(void);
FERRY_API const char *u_ramps_dir(void);

// 0 once the machine name is known, else 1; copies it when buffer is given.
FERRY_API int u_computer_name(char *buffer, size_t bytes);

// The computer name, a point and the digit n; frozen at the first call.
FERRY_API const char *u_machine_file_name(int n);

// Looks for name in the working directory, then in the configuration
// directory. The found path stays valid until the next call.
FERRY_API u_err_t u_find_file(const char *name, const char **found);

FERRY_API u_err_t u_copy_file(const char *source, const char *target);

// Appends text to a log file, dropping its oldest lines once it has grown
// to size_limit bytes so that about keep_size bytes remain.
FERRY_API u_err_t u_log_to_file(const char *path, const char *text, long size_limit,
                                long keep_size);

#ifdef __cplusplus
}
#endif
