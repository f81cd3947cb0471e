#include "platform/files.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

extern "C" const char plat_dir_separator = '\\';

namespace {

// char16_t and wchar_t are the same 16-bit units on Windows.
const wchar_t *wide(const char16_t *path) {
  return reinterpret_cast<const wchar_t *>(path);
}

std::wstring wide_mode(const char *mode) {
  std::wstring w;
  for (const char *p = mode; *p; ++p)
    w.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  return w;
}

} // namespace

extern "C" bool plat_file_type(const char *path, uint32_t *type_bits) {
  struct _stat64 st;
  if (!path || _stat64(path, &st) != 0)
    return false;
  *type_bits = static_cast<uint32_t>(st.st_mode) & 0xF000;
  return true;
}

extern "C" bool plat_file_type_utf16(const char16_t *path, uint32_t *type_bits) {
  struct _stat64 st;
  if (!path || _wstat64(wide(path), &st) != 0)
    return false;
  *type_bits = static_cast<uint32_t>(st.st_mode) & 0xF000;
  return true;
}

extern "C" FILE *plat_fopen(const char *path, const char *mode) {
  return path ? std::fopen(path, mode) : nullptr;
}

extern "C" FILE *plat_fopen_utf16(const char16_t *path, const char *mode) {
  return path ? _wfopen(wide(path), wide_mode(mode).c_str()) : nullptr;
}

extern "C" int64_t plat_file_size(FILE *f) {
  struct _stat64 st;
  if (!f || _fstat64(_fileno(f), &st) != 0)
    return -1;
  return static_cast<int64_t>(st.st_size);
}

extern "C" bool plat_is_directory(const char *path) {
  if (!path)
    return false;
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

extern "C" bool plat_make_directory(const char *path) {
  return path && CreateDirectoryA(path, nullptr);
}

extern "C" bool plat_copy_file(const char *source, const char *target, uint32_t *sys_error) {
  if (!source || !target) {
    *sys_error = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (CopyFileA(source, target, FALSE))
    return true;
  *sys_error = GetLastError();
  return false;
}

extern "C" bool plat_delete_file(const char *path) {
  return path && DeleteFileA(path);
}

extern "C" bool plat_temp_file_name(const char *prefix, char *buffer, size_t bytes) {
  char dir[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > MAX_PATH)
    return false;
  // GetTempFileNameA writes up to MAX_PATH bytes and creates the file empty.
  char name[MAX_PATH];
  if (GetTempFileNameA(dir, prefix ? prefix : "", 0, name) == 0)
    return false;
  if (std::strlen(name) >= bytes) {
    DeleteFileA(name);
    return false;
  }
  std::strcpy(buffer, name);
  return true;
}

extern "C" bool plat_is_native_absolute(const char *) {
  return false;
}

extern "C" void plat_fold_path_case(char *path) {
  if (path)
    CharLowerA(path);
}
