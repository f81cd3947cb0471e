#include "platform/dynlib.h"

#include <windows.h>

#include <cstring>
#include <new>
#include <vector>

#include "platform/files.h"

struct plat_dynlib {
  HMODULE module;
};

namespace {

std::string system_file_name(const std::string &dll_name) {
  return dll_name;
}

} // namespace

#include "platform/library_dir.inc"

namespace {

void keep_system_error() {
  last_dynlib_error = std::to_string(GetLastError());
}

} // namespace

extern "C" plat_dynlib *plat_dynlib_load(const char *dll_name) {
  if (!dll_name || !*dll_name) {
    last_dynlib_error = std::to_string(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string path;
  try {
    path = library_load_path(system_file_name(dll_name));
  } catch (...) {
    last_dynlib_error = std::to_string(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) {
    keep_system_error();
    return nullptr;
  }
  auto *lib = new (std::nothrow) plat_dynlib{module};
  if (!lib) {
    FreeLibrary(module);
    last_dynlib_error = std::to_string(ERROR_NOT_ENOUGH_MEMORY);
  }
  return lib;
}

extern "C" void *plat_dynlib_symbol(plat_dynlib *lib, const char *name) {
  if (!lib || !name) {
    last_dynlib_error = std::to_string(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  FARPROC symbol = GetProcAddress(lib->module, name);
  if (!symbol)
    keep_system_error();
  return reinterpret_cast<void *>(symbol);
}

extern "C" void plat_dynlib_unload(plat_dynlib *lib) {
  if (!lib)
    return;
  FreeLibrary(lib->module);
  delete lib;
}

extern "C" bool plat_loaded_library_path(const char *dll_name, char *buffer, size_t bytes) {
  if (!dll_name || !buffer || bytes == 0)
    return false;
  HMODULE module = GetModuleHandleA(dll_name);
  if (!module)
    return false;
  DWORD size = bytes > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes);
  DWORD length = GetModuleFileNameA(module, buffer, size);
  return length > 0 && length < size;
}

extern "C" bool plat_file_version(const char *path, uint16_t parts[4]) {
  if (!path || !parts)
    return false;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0)
    return false;
  std::vector<char> block;
  try {
    block.resize(size);
  } catch (...) {
    return false;
  }
  VS_FIXEDFILEINFO *info = nullptr;
  UINT info_size = 0;
  if (!GetFileVersionInfoA(path, 0, size, block.data()) ||
      !VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&info), &info_size) || !info ||
      info_size < sizeof *info)
    return false;
  parts[0] = HIWORD(info->dwFileVersionMS);
  parts[1] = LOWORD(info->dwFileVersionMS);
  parts[2] = HIWORD(info->dwFileVersionLS);
  parts[3] = LOWORD(info->dwFileVersionLS);
  return true;
}
