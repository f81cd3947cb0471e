#pragma once
// Thin services over the operating system for host applications: registry
// texts, module names and versions, drives and volumes, running commands and
// processes, the user's name and a listing of the loaded modules.
//
// They answer with plain status values, not error codes of the catalogue.
// Every output buffer comes with its size, and a text is always NUL-ended
// within it.
//
// On POSIX each answers with the nearest real counterpart: a registry lookup
// finds nothing; the one drive is "/" and a path beginning with "/" has the
// root "/"; a library's internal name is its SONAME and its version the
// numbers of a "libX.so.1.2.3" file name; commands run through
// "/bin/sh -c"; the user comes from the password database; the loaded
// modules are the dynamic loader's list.

#include <stddef.h>
#include <stdint.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The registry's predefined root keys, with the values of the system's own
// handles, so a Windows host may pass either.
#define U_HKEY_CLASSES_ROOT ((void *)(intptr_t)(int32_t)0x80000000u)
#define U_HKEY_CURRENT_USER ((void *)(intptr_t)(int32_t)0x80000001u)
#define U_HKEY_LOCAL_MACHINE ((void *)(intptr_t)(int32_t)0x80000002u)
#define U_HKEY_USERS ((void *)(intptr_t)(int32_t)0x80000003u)

// 0 with the plain text value `value_name` of root_key\sub_key in the buffer;
// 1 when the key or value is missing, is not plain text or does not fit
// (the buffer then holds "").
FERRY_API int u_registry_text(void *root_key, const char *sub_key, const char *value_name,
                              char *buffer, size_t bytes);

// 0 with the module file's internal name in the buffer; 1 when it has none
// or the name does not fit (buffer "").
FERRY_API int u_module_internal_name(const char *path, char *buffer, size_t bytes);

// Writes the drive roots as NUL-ended texts followed by one more NUL and
// returns the length written without that last NUL; 0 when the list does
// not fit `length` bytes.
FERRY_API size_t u_logical_drives(size_t length, char *buffer);

// 1 with the root of the path in the buffer; 0 with "" when it has none or
// the root does not fit. Leading white space is skipped. Roots: "X:\", and
// "\\server\share\" (the last backslash added when the path ends after the
// share); on POSIX also "/".
FERRY_API int u_path_root(const char *path, char *root, size_t bytes);

// 0 when the volume holding the path answers; otherwise 2 (no root, path
// not found, anything unnamed), 23 (too many open files), 13 (access
// denied), 19 (no such drive) or 1112 (no medium in the drive).
FERRY_API int u_volume_ready(const char *path);

// The show modes of the started program's window: minimised, hidden, and
// anything else normally.
enum { U_SHOW_MINIMISED = 0, U_SHOW_NORMAL = 1, U_SHOW_HIDDEN = 2 };

// Runs a command line and waits for it to end (on Windows as a program in a
// new console, else through "cmd /c"; on POSIX through "/bin/sh -c").
// Returns its exit code, or the system's error number when it cannot be
// started.
FERRY_API int u_run_command(const char *command_line, int show_mode);

// Starts the program of a command line. Without wait returns 0 once it has
// started; with wait, its exit code. The system's error number when it
// cannot be started.
FERRY_API int u_start_process(const char *command_line, int show_mode, int wait);

// The user's name: copied into the buffer when one is given (returned then),
// else the process-wide copy. Null when the system gives no name or it does
// not fit the buffer (which then holds ""). Safe from any thread.
FERRY_API const char *u_user_name(char *buffer, size_t bytes);

// One module of the process: its file and what is known of it.
#define U_MODULE_PATH_BYTES 1024
typedef struct u_module_record {
  char path[U_MODULE_PATH_BYTES]; // the module's file
  int32_t version[4];             // most significant first; -1 when unknown
  int64_t size;                   // file size in bytes
  int64_t modified;               // last modification, seconds since 1970
} u_module_record;

// Fills record->version from the file's version (see above), else from the
// module's own DllGetVersion; parts stay -1 when neither gives one. The
// module is the system's handle of the loaded file (may be null).
FERRY_API void u_module_version(void *module, u_module_record *record);

// Prints the loaded libraries of the process through the message hook,
// sorted by file name: version, size, last change and folder. Returns 0.
FERRY_API int ntGetLoadedModules(void);

#ifdef __cplusplus
}
#endif
