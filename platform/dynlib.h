#pragma once
// Dynamic library facility: the closed libraries of the instrument half are
// loaded at run time, by the Windows file name the library knows them by,
// and bound entry point by entry point.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct plat_dynlib plat_dynlib;

// The folder libraries are loaded from, by full path, or null (the default)
// for the system's own search. When nothing was set, the environment
// variable FERRY_LIBRARY_DIR gives it. Tests and hosts set it before they
// bind a library.
void plat_set_library_dir(const char *dir);

// The system's file name of a library known by its Windows file name: the
// name itself on Windows, "libX.so" for "X.dll" on POSIX. False when it
// does not fit the buffer.
bool plat_library_file_name(const char *dll_name, char *buffer, size_t bytes);

// Loads the library known by its Windows file name (see above), from the
// library folder when one is set. Null on failure, with the reason kept for
// plat_dynlib_error_text.
plat_dynlib *plat_dynlib_load(const char *dll_name);
// The entry point of that name, or null (the reason kept as above).
void *plat_dynlib_symbol(plat_dynlib *lib, const char *name);
// Unloads the library; null is ignored.
void plat_dynlib_unload(plat_dynlib *lib);

// Why the calling thread's last load or lookup failed: the system's error
// number in decimal on Windows, the loader's own text on POSIX, which has no
// error numbers for it.
void plat_dynlib_error_text(char *buffer, size_t bytes);

// Full path of the loaded module of a library known by its Windows file
// name. False when the library is not loaded in the process.
bool plat_loaded_library_path(const char *dll_name, char *buffer, size_t bytes);

// The file version of a library file as four 16-bit parts, most significant
// first: the version resource's fixed file version on Windows, the numbers
// after ".so." of the file's real name on POSIX (libX.so.2.7.0 is 2.7.0.0).
// False when the file carries none.
bool plat_file_version(const char *path, uint16_t parts[4]);

#ifdef __cplusplus
}

#include <span>
#include <type_traits>

namespace ferry {

// One entry point of a binding table: the name the library exports it under
// and how its address goes into the table's typed slot.
template <typename Table> struct EntryPoint {
  const char *name;
  void (*store)(Table &table, void *address);
};

template <auto Slot, typename Table> void store_entry_point(Table &table, void *address) {
  using Fn = std::remove_reference_t<decltype(table.*Slot)>;
  table.*Slot = reinterpret_cast<Fn>(address);
}

// Looks every entry point of `points` up in `lib` and stores it in `table`
// (null when missing). on_missing(name) runs right after each failed
// lookup, while plat_dynlib_error_text still tells its reason. Returns how
// many were missing.
template <typename Table, size_t Extent, typename OnMissing>
int bind_entry_points(plat_dynlib *lib, Table &table,
                      std::span<const EntryPoint<Table>, Extent> points, OnMissing on_missing) {
  int missing = 0;
  for (const EntryPoint<Table> &point : points) {
    void *address = plat_dynlib_symbol(lib, point.name);
    point.store(table, address);
    if (!address) {
      ++missing;
      on_missing(point.name);
    }
  }
  return missing;
}

template <typename Table, size_t Extent>
void clear_entry_points(Table &table, std::span<const EntryPoint<Table>, Extent> points) {
  for (const EntryPoint<Table> &point : points)
    point.store(table, nullptr);
}

} // namespace ferry

// The table entry of the slot `name` of `Table`, exported under that name.
#define FERRY_ENTRY_POINT(Table, name)                                                             \
  ferry::EntryPoint<Table> {                                                                       \
#name, &ferry::store_entry_point < &Table::name, Table>                                        \
  }
#endif
