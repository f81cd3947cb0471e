#pragma once
// Files, paths and the installation tree.
//
// A path text whose first two bytes are a UTF-16 byte-order mark (FF FE or
// FE FF) carries the UTF-16 path that follows the mark; is_regular_file and
// the data file writer honour that convention, everything else here takes
// byte paths only. The mark only flags the wide path: the path's 16-bit
// units are in the host's order after either mark.

#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>

#include "base/errors.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { U_DIR_TEXT_MAX = 260 };

bool is_regular_file(const char *path);

// Opens a path text by the convention above: a byte path, or the UTF-16 path
// after a byte-order mark.
FILE *u_fopen_path_text(const char *path, const char *mode);

// Lower-case path of the running executable; empty when the system has none.
const char *u_module_path(void);

// The three directories, resolved once; null when not available.
// MB_INSTALL_DIR, MB_CONFIG_DIR and MB_RAMPS_DIR override them.
const char *u_install_dir(void);
const char *u_config_dir(void);
const char *u_ramps_dir(void);

// 0 once the machine name is known, else 1; copies it when buffer is given.
int u_computer_name(char *buffer, size_t bytes);

// The computer name, a point and the digit n; frozen at the first call.
const char *u_machine_file_name(int n);

// Looks for name in the working directory, then in the configuration
// directory. The found path stays valid until the next call.
u_err_t u_find_file(const char *name, const char **found);

u_err_t u_copy_file(const char *source, const char *target);

// Appends text to a log file, dropping its oldest lines once it has grown
// to size_limit bytes so that about keep_size bytes remain.
u_err_t u_log_to_file(const char *path, const char *text, long size_limit, long keep_size);

#ifdef __cplusplus
}
#endif
