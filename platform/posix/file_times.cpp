#include "platform/file_times.h"

#include <sys/stat.h>

namespace {

int64_t nanoseconds(const struct timespec &t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

extern "C" bool plat_file_stamp_of(const char *path, plat_file_stamp *stamp) {
  struct stat status;
  if (!path || !stamp || stat(path, &status) != 0)
    return false;
  stamp->modified_ns = nanoseconds(status.st_mtim);
  stamp->changed_ns = nanoseconds(status.st_ctim);
  stamp->size = static_cast<uint64_t>(status.st_size);
  return true;
}
