#pragma once
// Operating-system queries of the utility module: registry texts, version
// resources, drives and volumes, and the modules loaded in the process.
//
// Where a system has no such thing, the nearest real counterpart answers:
// on POSIX a registry lookup finds nothing, the one drive is "/", a
// library's internal name is its ELF SONAME, and the loaded modules are the
// dynamic loader's list.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Copies the plain text value `value_name` of `root_key`\`sub_key` into the
// buffer, NUL-ended within `bytes`. False when the key or value is missing,
// is not plain text, or does not fit (the buffer then holds "").
bool plat_registry_text(void *root_key, const char *sub_key, const char *value_name, char *buffer,
                        size_t bytes);

// The module's internal name (the version resource's English-language
// "InternalName" on Windows, the SONAME on POSIX) into the buffer. False
// when the file has none, it is empty or it does not fit (buffer "").
bool plat_module_internal_name(const char *path, char *buffer, size_t bytes);

// The version record the module's own DllGetVersion fills: a cleared
// 32-byte record whose first 32-bit field (the size) is 32. False when the
// module exports no such function or the call reports failure.
enum { PLAT_DLL_VERSION_RECORD_BYTES = 32 };
bool plat_dll_get_version(void *module, uint8_t record[PLAT_DLL_VERSION_RECORD_BYTES]);

// The drive roots as a sequence of NUL-ended texts followed by one more
// NUL. Returns the length written without that last NUL, or 0 when the
// list does not fit `bytes` or cannot be had.
size_t plat_logical_drives(char *buffer, size_t bytes);

// A root the system knows beyond the drive and network forms, at the start
// of the path: its length ("/" on POSIX gives 1; nothing on Windows gives 0).
size_t plat_native_root_length(const char *path);

// Asks for the information of the volume whose root is given, with the
// system's critical-error dialogs off. 0 when it answers; otherwise the
// failure as the Windows error number it is or comes nearest to (on POSIX
// ENOENT and ENOTDIR are 3, EMFILE and ENFILE 4, EACCES and EPERM 5, ENODEV
// and ENXIO 15, ENOMEDIUM 21; anything else 3).
uint32_t plat_volume_query(const char *root);

// The modules loaded in this process, in load order; the first is the
// program itself.
typedef struct plat_module_list plat_module_list;

// Why a module list could not be had.
typedef enum plat_module_list_status {
  PLAT_MODULES_OK = 0,
  PLAT_MODULES_NO_PSAPI,           // the process-status library did not load
  PLAT_MODULES_NO_ENUM_ENTRY,      // ... or lacks its enumeration entry point
  PLAT_MODULES_NO_FILE_NAME_ENTRY, // ... or lacks its file-name entry point
  PLAT_MODULES_ENUM_FAILED         // the enumeration itself failed
} plat_module_list_status;

// Opens the list; *list is null unless the result is PLAT_MODULES_OK, and
// null too when there is no memory (reported as PLAT_MODULES_ENUM_FAILED).
plat_module_list_status plat_module_list_open(plat_module_list **list);
// Number of modules in the process; the list holds at most
// PLAT_MODULE_LIST_ROOM of them (indexes below the smaller of the two).
enum { PLAT_MODULE_LIST_ROOM = 255 };
size_t plat_module_list_count(const plat_module_list *list);
// File path of module `index`; false when it cannot be had or does not fit.
bool plat_module_list_path(const plat_module_list *list, size_t index, char *buffer, size_t bytes);
// The system's handle of module `index`, valid until the list is closed (may
// be null on POSIX when the loader cannot give one).
void *plat_module_list_handle(plat_module_list *list, size_t index);
// Releases the list and every handle taken from it; null is ignored.
void plat_module_list_close(plat_module_list *list);

// The handle of the loaded module with this file path, or null when it is
// not loaded; give it back with plat_module_release.
void *plat_module_find(const char *path);
void plat_module_release(void *module);

// Size in bytes and last modification (seconds since 1970) of a file.
bool plat_file_size_and_time(const char *path, int64_t *size, int64_t *modified);

#ifdef __cplusplus
}
#endif
