#pragma once
// Process facility: who we are, where we run, and running other programs.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

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

// The user this process runs as, into the buffer; false when the system
// gives no name or it does not fit.
bool plat_user_name(char *buffer, size_t bytes);

// How the window of a program started from a command line is shown: 0
// minimised, 2 hidden, anything else normally. Systems without windows
// ignore it.
enum { PLAT_SHOW_MINIMISED = 0, PLAT_SHOW_HIDDEN = 2, PLAT_SHOW_NORMAL = 1 };

// Runs a command line as a command and waits for it without limit: on
// Windows the line as a program in a new console that inherits our handles,
// and when that cannot start, "cmd /c <line>" in ours; on POSIX the line
// through "/bin/sh -c". Returns 0 with the exit code in *exit_code (0 when
// it cannot be read), or the system's error number when nothing could be
// started.
uint32_t plat_run_command(const char *line, int show_mode, int *exit_code);

// Starts the program of a command line (split into arguments by the rules
// of the Windows C runtime on every system) without handing it our open
// handles; on POSIX it keeps the standard streams, as a Windows console
// program keeps its console. With wait, waits for it without limit and puts
// its exit code in *exit_code (0 when it cannot be read). Returns 0, or the
// system's error number when it cannot be started. On POSIX a child not
// waited for is reaped by a later start, so it stays no zombie for long.
uint32_t plat_start_process(const char *line, int show_mode, bool wait, int *exit_code);

#ifdef __cplusplus
}
#endif
