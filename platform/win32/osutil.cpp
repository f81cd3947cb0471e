#include "platform/osutil.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <vector>

#include "platform/text_copy_internal.h"

namespace {

DWORD dword_size(size_t bytes) {
  return bytes > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes);
}

// An open registry key, closed on every path.
class RegistryKey {
public:
  RegistryKey(HKEY root, const char *sub_key) {
    if (RegOpenKeyExA(root, sub_key, 0, KEY_READ, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_)
      RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;
  HKEY get() const { return key_; }

private:
  HKEY key_ = nullptr;
};

// The value's bytes, which the registry does not promise to end with a NUL:
// one is added when there is room, and a value that fills the buffer must
// bring its own.
bool query_text(HKEY key, const char *value_name, char *buffer, size_t bytes) {
  DWORD type = 0;
  DWORD size = dword_size(bytes);
  if (RegQueryValueExA(key, value_name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  if (size < bytes) {
    buffer[size] = '\0';
    return true;
  }
  return size > 0 && buffer[size - 1] == '\0';
}

} // namespace

extern "C" bool plat_registry_text(void *root_key, const char *sub_key, const char *value_name,
                                   char *buffer, size_t bytes) {
  if (!sub_key || !buffer || bytes == 0)
    return false;
  RegistryKey key(static_cast<HKEY>(root_key), sub_key);
  if (key.get() && query_text(key.get(), value_name, buffer, bytes))
    return true;
  buffer[0] = '\0';
  return false;
}

namespace {

// The file's version resource, read whole.
bool read_version_resource(const char *path, std::vector<char> &block) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0)
    return false;
  try {
    block.resize(size);
  } catch (...) {
    return false;
  }
  return GetFileVersionInfoA(path, 0, size, block.data()) != 0;
}

} // namespace

extern "C" bool plat_module_internal_name(const char *path, char *buffer, size_t bytes) {
  if (!path || !buffer || bytes == 0)
    return false;
  buffer[0] = '\0';
  std::vector<char> block;
  if (!read_version_resource(path, block))
    return false;
  char *name = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\InternalName",
                      reinterpret_cast<void **>(&name), &length) ||
      !name || length == 0)
    return false;
  size_t text_length = strnlen(name, length);
  return text_length > 0 && ferry::copy_fitting({name, text_length}, buffer, bytes);
}

extern "C" bool plat_dll_get_version(void *module, uint8_t record[PLAT_DLL_VERSION_RECORD_BYTES]) {
  if (!module || !record)
    return false;
  using DllGetVersionFn = HRESULT(CALLBACK *)(void *);
  auto get_version = reinterpret_cast<DllGetVersionFn>(
      reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), "DllGetVersion")));
  if (!get_version)
    return false;
  std::memset(record, 0, PLAT_DLL_VERSION_RECORD_BYTES);
  const uint32_t size = PLAT_DLL_VERSION_RECORD_BYTES;
  std::memcpy(record, &size, sizeof size);
  return SUCCEEDED(get_version(record));
}

extern "C" size_t plat_logical_drives(char *buffer, size_t bytes) {
  // At most 26 roots of four bytes and the closing NUL.
  char roots[26 * 4 + 2] = {};
  DWORD length = GetLogicalDriveStringsA(sizeof roots - 1, roots);
  if (!buffer || length == 0 || length >= sizeof roots - 1 || length + 1 > bytes)
    return 0;
  std::memcpy(buffer, roots, length + 1);
  return length;
}

extern "C" size_t plat_native_root_length(const char *) {
  return 0;
}

extern "C" uint32_t plat_volume_query(const char *root) {
  if (!root)
    return ERROR_PATH_NOT_FOUND;
  // Only this thread's mode changes, and it is put back as it was.
  DWORD previous = 0;
  bool switched = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != 0;
  SetLastError(0);
  bool answered =
      GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) != 0;
  DWORD error = answered ? 0 : GetLastError();
  if (switched)
    SetThreadErrorMode(previous, nullptr);
  if (!answered && error == 0)
    error = ERROR_GEN_FAILURE;
  return error;
}

using EnumProcessModulesFn = BOOL(WINAPI *)(HANDLE, HMODULE *, DWORD, DWORD *);
using GetModuleFileNameExAFn = DWORD(WINAPI *)(HANDLE, HMODULE, char *, DWORD);

struct plat_module_list {
  HMODULE psapi = nullptr;
  GetModuleFileNameExAFn file_name = nullptr;
  size_t count = 0;
  HMODULE modules[PLAT_MODULE_LIST_ROOM] = {};
};

namespace {

template <typename Fn> Fn entry_point(HMODULE library, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

plat_module_list_status fill_module_list(plat_module_list &list) {
  list.psapi = LoadLibraryA("PSAPI.DLL");
  if (!list.psapi)
    return PLAT_MODULES_NO_PSAPI;
  auto enumerate = entry_point<EnumProcessModulesFn>(list.psapi, "EnumProcessModules");
  if (!enumerate)
    return PLAT_MODULES_NO_ENUM_ENTRY;
  list.file_name = entry_point<GetModuleFileNameExAFn>(list.psapi, "GetModuleFileNameExA");
  if (!list.file_name)
    return PLAT_MODULES_NO_FILE_NAME_ENTRY;
  DWORD needed = 0;
  if (!enumerate(GetCurrentProcess(), list.modules, sizeof list.modules, &needed))
    return PLAT_MODULES_ENUM_FAILED;
  list.count = needed / sizeof(HMODULE);
  return PLAT_MODULES_OK;
}

size_t held(const plat_module_list *list) {
  return std::min<size_t>(list->count, PLAT_MODULE_LIST_ROOM);
}

} // namespace

extern "C" plat_module_list_status plat_module_list_open(plat_module_list **list) {
  if (!list)
    return PLAT_MODULES_ENUM_FAILED;
  *list = nullptr;
  auto *modules = new (std::nothrow) plat_module_list;
  if (!modules)
    return PLAT_MODULES_ENUM_FAILED;
  plat_module_list_status status = fill_module_list(*modules);
  if (status != PLAT_MODULES_OK) {
    plat_module_list_close(modules);
    return status;
  }
  *list = modules;
  return PLAT_MODULES_OK;
}

extern "C" size_t plat_module_list_count(const plat_module_list *list) {
  return list ? list->count : 0;
}

extern "C" bool plat_module_list_path(const plat_module_list *list, size_t index, char *buffer,
                                      size_t bytes) {
  if (!list || index >= held(list) || !buffer || bytes == 0)
    return false;
  DWORD size = dword_size(bytes);
  DWORD length = list->file_name(GetCurrentProcess(), list->modules[index], buffer, size);
  // A path that fills the buffer may have been cut.
  if (length == 0 || length + 1 >= size) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

extern "C" void *plat_module_list_handle(plat_module_list *list, size_t index) {
  return list && index < held(list) ? list->modules[index] : nullptr;
}

extern "C" void plat_module_list_close(plat_module_list *list) {
  if (!list)
    return;
  if (list->psapi)
    FreeLibrary(list->psapi);
  delete list;
}

extern "C" void *plat_module_find(const char *path) {
  HMODULE module = nullptr;
  if (!path || !*path || !GetModuleHandleExA(0, path, &module))
    return nullptr;
  return module;
}

extern "C" void plat_module_release(void *module) {
  if (module)
    FreeLibrary(static_cast<HMODULE>(module));
}

extern "C" bool plat_file_size_and_time(const char *path, int64_t *size, int64_t *modified) {
  struct _stat64 status {};
  if (!path || _stat64(path, &status) != 0)
    return false;
  if (size)
    *size = status.st_size;
  if (modified)
    *modified = status.st_mtime;
  return true;
}
