#include "osutil/os_util.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "base/errors.h"
#include "base/hooks.h"
#include "osutil/os_util_internal.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/files.h"
#include "platform/osutil.h"
#include "platform/process.h"
#include "platform/text_copy_internal.h"

using ferry::clear_text;
using ferry::copy_fitting;
using ferry::HookBuffer;

namespace {

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_white_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Where a path's root lies: its length in the path and whether a closing
// backslash must be added to it.
struct RootSpan {
  size_t length = 0;
  bool add_backslash = false;
};

// "\\server\share", with the server not beginning with a backslash and the
// share not empty; the root ends at the backslash after the share.
RootSpan network_root(const char *p) {
  if (p[0] != '\\' || p[1] != '\\' || p[2] == '\0' || p[2] == '\\')
    return {};
  const char *server_end = std::strchr(p + 2, '\\');
  if (!server_end)
    return {};
  const char *share = server_end + 1;
  size_t share_length = std::strcspn(share, "\\");
  if (share_length == 0)
    return {};
  const char *share_end = share + share_length;
  if (*share_end == '\\')
    return {static_cast<size_t>(share_end + 1 - p), false};
  return {static_cast<size_t>(share_end - p), true};
}

RootSpan root_span(const char *p) {
  if (is_ascii_letter(p[0]) && p[1] == ':' && p[2] == '\\')
    return {3, false};
  RootSpan network = network_root(p);
  if (network.length > 0)
    return network;
  return {plat_native_root_length(p), false};
}

const char *skip_white_space(const char *p) {
  while (is_white_space(*p))
    ++p;
  return p;
}

const char *skip_spaces(const char *p) {
  while (*p == ' ')
    ++p;
  return p;
}

// The start of the file name in a module path.
const char *file_name_of(const char *path) {
  const char *name = path;
  for (const char *p = path; *p; ++p)
    if (*p == '/' || *p == plat_dir_separator)
      name = p + 1;
  return name;
}

int compare_ignoring_case(const char *a, const char *b) {
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  for (;; ++a, ++b) {
    int diff = fold(static_cast<unsigned char>(*a)) - fold(static_cast<unsigned char>(*b));
    if (diff != 0 || *a == '\0')
      return diff;
  }
}

} // namespace

extern "C" int u_registry_text(void *root_key, const char *sub_key, const char *value_name,
                               char *buffer, size_t bytes) {
  if (!sub_key || !buffer || bytes == 0) {
    clear_text(buffer, bytes);
    return 1;
  }
  return plat_registry_text(root_key, sub_key, value_name, buffer, bytes) ? 0 : 1;
}

extern "C" int u_module_internal_name(const char *path, char *buffer, size_t bytes) {
  if (!path || !buffer || bytes == 0) {
    clear_text(buffer, bytes);
    return 1;
  }
  return plat_module_internal_name(path, buffer, bytes) ? 0 : 1;
}

extern "C" size_t u_logical_drives(size_t length, char *buffer) {
  if (!buffer)
    return 0;
  return plat_logical_drives(buffer, length);
}

extern "C" int u_path_root(const char *path, char *root, size_t bytes) {
  clear_text(root, bytes);
  if (!path || !root)
    return 0;
  const char *p = skip_white_space(path);
  RootSpan span = root_span(p);
  if (span.length == 0)
    return 0;
  size_t total = span.length + (span.add_backslash ? 1 : 0);
  if (total >= bytes)
    return 0;
  std::memcpy(root, p, span.length);
  if (span.add_backslash)
    root[span.length] = '\\';
  root[total] = '\0';
  return 1;
}

// The status of each Windows error a volume query may fail with; any other
// error is 2, as a missing path is.
extern "C" int u_volume_status(uint32_t sys_error) {
  static constexpr struct {
    uint32_t sys_error;
    int status;
  } kStatuses[] = {{3, 2}, {4, 23}, {5, 13}, {15, 19}, {21, 1112}};
  for (const auto &entry : kStatuses)
    if (entry.sys_error == sys_error)
      return entry.status;
  return 2;
}

extern "C" int u_volume_ready(const char *path) {
  if (!path)
    return 2;
  // A root is never longer than the path and the backslash it may gain.
  size_t bytes = std::strlen(path) + 2;
  HookBuffer<char> root(bytes);
  if (!root || !u_path_root(path, root.get(), bytes))
    return 2;
  uint32_t error = plat_volume_query(root.get());
  return error == 0 ? 0 : u_volume_status(error);
}

extern "C" int u_run_command(const char *command_line, int show_mode) {
  int exit_code = 0;
  uint32_t error =
      plat_run_command(command_line ? skip_spaces(command_line) : nullptr, show_mode, &exit_code);
  return error != 0 ? static_cast<int>(error) : exit_code;
}

extern "C" int u_start_process(const char *command_line, int show_mode, int wait) {
  int exit_code = 0;
  uint32_t error = plat_start_process(command_line ? skip_spaces(command_line) : nullptr, show_mode,
                                      wait != 0, &exit_code);
  if (error != 0)
    return static_cast<int>(error);
  return wait ? exit_code : 0;
}

namespace {

// The name is asked for once and kept; a failed ask is not kept, so a later
// call asks again. Windows user names have at most 256 characters.
struct UserNameStore {
  std::mutex lock;
  bool known = false;
  char name[257] = {};
};

UserNameStore &user_name_store() {
  static UserNameStore store;
  return store;
}

} // namespace

extern "C" const char *u_user_name(char *buffer, size_t bytes) {
  UserNameStore &store = user_name_store();
  {
    std::lock_guard guard(store.lock);
    if (!store.known)
      store.known = plat_user_name(store.name, sizeof store.name);
    if (!store.known) {
      clear_text(buffer, bytes);
      return nullptr;
    }
  }
  // Once known the name never changes, so it is read outside the lock.
  if (!buffer)
    return store.name;
  return copy_fitting(store.name, buffer, bytes) ? buffer : nullptr;
}

extern "C" void u_user_name_forget(void) {
  UserNameStore &store = user_name_store();
  std::lock_guard guard(store.lock);
  store.known = false;
  store.name[0] = '\0';
}

namespace {

void set_parts(int32_t version[4], const uint16_t parts[4]) {
  for (int i = 0; i < 4; ++i)
    version[i] = parts[i];
}

// The record DllGetVersion fills: size, major, minor and build numbers and
// the platform (32 bits each), flags, then the 64-bit version.
void version_from_dll_record(const uint8_t *record, int32_t version[4]) {
  uint64_t full = 0;
  std::memcpy(&full, record + 24, sizeof full);
  if (full != 0) {
    const uint16_t parts[4] = {static_cast<uint16_t>(full >> 48), static_cast<uint16_t>(full >> 32),
                               static_cast<uint16_t>(full >> 16), static_cast<uint16_t>(full)};
    set_parts(version, parts);
    return;
  }
  for (int i = 0; i < 3; ++i) {
    uint32_t number = 0;
    std::memcpy(&number, record + 4 + 4 * i, sizeof number);
    version[i] = static_cast<int32_t>(number);
  }
}

} // namespace

extern "C" void u_module_version(void *module, u_module_record *record) {
  if (!record)
    return;
  std::fill(record->version, record->version + 4, -1);
  uint16_t parts[4];
  if (plat_file_version(record->path, parts)) {
    set_parts(record->version, parts);
    return;
  }
  uint8_t dll_record[PLAT_DLL_VERSION_RECORD_BYTES];
  if (module && plat_dll_get_version(module, dll_record))
    version_from_dll_record(dll_record, record->version);
}

extern "C" void u_version_text(const int32_t version[4], char *buffer) {
  if (version[0] < 0)
    buffer[0] = '\0';
  else if (version[3] < 0)
    std::snprintf(buffer, U_VERSION_TEXT_BYTES, "%d.%d.%d", version[0], version[1], version[2]);
  else
    std::snprintf(buffer, U_VERSION_TEXT_BYTES, "%d.%d.%d.%d", version[0], version[1], version[2],
                  version[3]);
}

namespace {

constexpr char kListingName[] = "ntGetLoadedModules";

// What each failure to get the module list prints.
const char *list_failure_message(plat_module_list_status status) {
  switch (status) {
  case PLAT_MODULES_NO_PSAPI:
    return "%s: LoadLibrary(\"PSAPI.DLL\") failed\n";
  case PLAT_MODULES_NO_ENUM_ENTRY:
    return "%s: GetProcAddress(\"EnumProcessModules\") failed\n";
  case PLAT_MODULES_NO_FILE_NAME_ENTRY:
    return "%s: GetProcAddress(\"GetModuleFileNameExA\") failed\n";
  case PLAT_MODULES_ENUM_FAILED:
  default:
    return "%s: EnumProcessModules failed\n";
  }
}

struct ListCloser {
  void operator()(plat_module_list *list) const { plat_module_list_close(list); }
};

// Fills one record: path, size, time and version. False after printing why
// the listing stops.
bool describe_module(plat_module_list *list, size_t index, u_module_record &record) {
  std::memset(&record, 0, sizeof record);
  if (!plat_module_list_path(list, index, record.path, sizeof record.path)) {
    u_msg_hook("%s: GetModuleFileNameExA failed\n", kListingName);
    return false;
  }
  if (!plat_file_size_and_time(record.path, &record.size, &record.modified)) {
    u_msg_hook("%s: _stat(\"%s\") failed\n", kListingName, record.path);
    return false;
  }
  u_module_version(plat_module_list_handle(list, index), &record);
  return true;
}

void print_module(const u_module_record &record, int name_width) {
  const char *name = file_name_of(record.path);
  // The folder without the separator before the name.
  char folder[U_MODULE_PATH_BYTES] = "";
  if (name > record.path)
    copy_fitting({record.path, static_cast<size_t>(name - record.path - 1)}, folder, sizeof folder);
  char version[U_VERSION_TEXT_BYTES];
  u_version_text(record.version, version);
  char modified[64] = "";
  struct tm local {};
  if (plat_localtime(record.modified, &local))
    std::strftime(modified, sizeof modified, "%m/%d/%Y %I:%M %p", &local);
  // No loader maps an image of 2 GiB or more, so the size fits an int.
  int size = static_cast<int>(std::min<int64_t>(record.size, INT_MAX));
  u_msg_hook("%-*s  %25s  %8d  %s  %s\n", name_width, name, version, size, modified, folder);
}

void print_listing(const u_module_record *records, const size_t *order, size_t count) {
  int name_width = 0;
  for (size_t i = 0; i < count; ++i)
    name_width = std::max(name_width, static_cast<int>(std::strlen(file_name_of(records[i].path))));
  u_msg_hook("\n%d loaded DLLs (file name, version, size in bytes, last modified, location):\n",
             static_cast<int>(count));
  for (size_t i = 0; i < count; ++i)
    print_module(records[order[i]], name_width);
  u_msg_hook("\n");
}

void list_modules(plat_module_list *list) {
  size_t count = plat_module_list_count(list);
  if (count <= 1) {
    u_msg_hook("%s: No loaded DLLs\n", kListingName);
    return;
  }
  if (count > PLAT_MODULE_LIST_ROOM) {
    u_msg_hook("%s: Too many loaded modules\n", kListingName);
    return;
  }
  // The first module is the program itself.
  size_t libraries = count - 1;
  HookBuffer<u_module_record> records(libraries);
  HookBuffer<size_t> order(libraries);
  if (!records || !order) {
    u_msg_hook("%s: %s\n", kListingName, u_error_name(ERR_NO_MEM));
    return;
  }
  for (size_t i = 0; i < libraries; ++i) {
    if (!describe_module(list, i + 1, records[i]))
      return;
    order[i] = i;
  }
  std::stable_sort(order.get(), order.get() + libraries, [&](size_t a, size_t b) {
    return compare_ignoring_case(file_name_of(records[a].path), file_name_of(records[b].path)) < 0;
  });
  print_listing(records.get(), order.get(), libraries);
}

} // namespace

extern "C" int ntGetLoadedModules(void) {
  plat_module_list *opened = nullptr;
  plat_module_list_status status = plat_module_list_open(&opened);
  std::unique_ptr<plat_module_list, ListCloser> list(opened);
  if (status != PLAT_MODULES_OK || !list) {
    u_msg_hook(list_failure_message(status), kListingName);
    return 0;
  }
  list_modules(list.get());
  return 0;
}
