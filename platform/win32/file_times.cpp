#include "platform/file_times.h"

#include <windows.h>

namespace {

int64_t nanoseconds(LARGE_INTEGER ticks_100ns) {
  return ticks_100ns.QuadPart * 100;
}

// Opened for its attributes only, shared every way, so the stamp never
// stands in the way of a writer; folders open too (and are refused later).
HANDLE open_for_attributes(const char *path) {
  return CreateFileA(path, FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

extern "C" bool plat_file_stamp_of(const char *path, plat_file_stamp *stamp) {
  if (!path || !stamp)
    return false;
  HANDLE file = open_for_attributes(path);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  FILE_BASIC_INFO basic{};
  LARGE_INTEGER size{};
  bool ok = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
            GetFileSizeEx(file, &size);
  CloseHandle(file);
  if (!ok)
    return false;
  stamp->modified_ns = nanoseconds(basic.LastWriteTime);
  // A file system without a change time reports 0: the write time stands in.
  stamp->changed_ns =
      basic.ChangeTime.QuadPart ? nanoseconds(basic.ChangeTime) : stamp->modified_ns;
  stamp->size = static_cast<uint64_t>(size.QuadPart);
  return true;
}
