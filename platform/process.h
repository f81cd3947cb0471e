#pragma once
// Process facility: who we are, where we run, and running other programs.

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Full path of the running executable into buffer; false when unknown or
// longer than the buffer.
bool plat_executable_path(char *buffer, size_t bytes);

// The machine's network name, cut to the buffer; false on failure.
bool plat_computer_name(char *buffer, size_t bytes);

// Value of an environment variable (maybe empty), or null when it is not
// defined. The text stays valid until the variable is asked for or set again.
const char *plat_getenv(const char *name);
// Sets (or, with value null, removes) an environment variable.
bool plat_setenv(const char *name, const char *value);

// Runs argv[0] with the arguments argv[1..] (null-terminated), standard
// input empty, standard output and error redirected to the given files
// (null: inherited), and waits for it. False when it could not be started.
bool plat_run_process(const char *const argv[], const char *stdout_path, const char *stderr_path,
                      int *exit_status);

#ifdef __cplusplus
}
#endif
