#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" const char plat_dir_separator = '/';

namespace {

// A UTF-16 path converted to the UTF-8 the file system expects. Conversion
// happens on the stack: a path longer than PATH_MAX could not be opened
// anyway, and a file test must not need the heap.
class Utf8Path {
public:
  explicit Utf8Path(const char16_t *path) { ok_ = path && convert(path); }
  bool ok() const { return ok_; }
  const char *c_str() const { return text_; }

private:
  bool put(char c) {
    if (length_ + 1 >= sizeof text_) {
      errno = ENAMETOOLONG;
      return false;
    }
    text_[length_++] = c;
    return true;
  }

  bool put_code_point(char32_t c) {
    if (c < 0x80)
      return put(static_cast<char>(c));
    if (c < 0x800)
      return put(static_cast<char>(0xC0 | (c >> 6))) && put(static_cast<char>(0x80 | (c & 0x3F)));
    if (c < 0x10000)
      return put(static_cast<char>(0xE0 | (c >> 12))) &&
             put(static_cast<char>(0x80 | ((c >> 6) & 0x3F))) &&
             put(static_cast<char>(0x80 | (c & 0x3F)));
    return put(static_cast<char>(0xF0 | (c >> 18))) &&
           put(static_cast<char>(0x80 | ((c >> 12) & 0x3F))) &&
           put(static_cast<char>(0x80 | ((c >> 6) & 0x3F))) &&
           put(static_cast<char>(0x80 | (c & 0x3F)));
  }

  // An unpaired surrogate has no UTF-8 form and so names no file here.
  bool convert(const char16_t *path) {
    for (const char16_t *p = path; *p; ++p) {
      char32_t c = *p;
      if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
        ++p;
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        errno = EILSEQ;
        return false;
      }
      if (!put_code_point(c))
        return false;
    }
    text_[length_] = '\0';
    return true;
  }

  char text_[PATH_MAX] = {};
  size_t length_ = 0;
  bool ok_ = false;
};

uint32_t type_bits_of(mode_t mode) {
  // The library speaks of the classic type bits; map the host's own.
  if (S_ISREG(mode))
    return 0x8000;
  if (S_ISDIR(mode))
    return 0x4000;
  if (S_ISCHR(mode))
    return 0x2000;
  if (S_ISFIFO(mode))
    return 0x1000;
  return static_cast<uint32_t>(mode) & 0xF000;
}

int open_retrying(const char *path, int flags, mode_t mode = 0) {
  int fd;
  do
    fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool write_all(int fd, const char *data, size_t bytes) {
  while (bytes > 0) {
    ssize_t n = ::write(fd, data, bytes);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

// Copies every byte of in to out; false with errno set on failure.
bool copy_contents(int in, int out) {
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    if (!write_all(out, chunk, static_cast<size_t>(n)))
      return false;
  }
}

} // namespace

extern "C" bool plat_file_type(const char *path, uint32_t *type_bits) {
  struct stat st;
  if (!path || ::stat(path, &st) != 0)
    return false;
  *type_bits = type_bits_of(st.st_mode);
  return true;
}

extern "C" bool plat_file_type_utf16(const char16_t *path, uint32_t *type_bits) {
  Utf8Path narrow(path);
  return narrow.ok() && plat_file_type(narrow.c_str(), type_bits);
}

extern "C" FILE *plat_fopen(const char *path, const char *mode) {
  return path ? std::fopen(path, mode) : nullptr;
}

extern "C" FILE *plat_fopen_utf16(const char16_t *path, const char *mode) {
  Utf8Path narrow(path);
  return narrow.ok() ? std::fopen(narrow.c_str(), mode) : nullptr;
}

extern "C" int64_t plat_file_size(FILE *f) {
  struct stat st;
  if (!f || ::fstat(fileno(f), &st) != 0)
    return -1;
  return static_cast<int64_t>(st.st_size);
}

extern "C" bool plat_is_directory(const char *path) {
  struct stat st;
  return path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

extern "C" bool plat_make_directory(const char *path) {
  return path && ::mkdir(path, 0777) == 0;
}

extern "C" bool plat_copy_file(const char *source, const char *target, uint32_t *sys_error) {
  if (!source || !target) {
    *sys_error = EINVAL;
    return false;
  }
  int in = open_retrying(source, O_RDONLY);
  if (in < 0) {
    *sys_error = static_cast<uint32_t>(errno);
    return false;
  }
  struct stat src, dst;
  bool same = ::fstat(in, &src) == 0 && ::stat(target, &dst) == 0 && src.st_dev == dst.st_dev &&
              src.st_ino == dst.st_ino;
  if (same) {
    // Truncating the target would destroy the source; refuse as Windows does.
    ::close(in);
    *sys_error = EINVAL;
    return false;
  }
  int out = open_retrying(target, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  bool ok = out >= 0 && copy_contents(in, out);
  int error = errno;
  if (out >= 0 && ::close(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  ::close(in);
  if (!ok)
    *sys_error = static_cast<uint32_t>(error);
  return ok;
}

extern "C" bool plat_delete_file(const char *path) {
  return path && ::unlink(path) == 0;
}

extern "C" bool plat_temp_file_name(const char *prefix, char *buffer, size_t bytes) {
  const char *dir = std::getenv("TMPDIR");
  if (!dir || !*dir || !plat_is_directory(dir))
    dir = "/tmp";
  // Like the Windows call, the name is reserved by creating the file empty.
  int n = std::snprintf(buffer, bytes, "%s/%sXXXXXX", dir, prefix ? prefix : "");
  if (n < 0 || static_cast<size_t>(n) >= bytes)
    return false;
  int fd = ::mkstemp(buffer);
  if (fd < 0)
    return false;
  ::close(fd);
  return true;
}

extern "C" bool plat_is_native_absolute(const char *name) {
  return name && name[0] == '/';
}

extern "C" void plat_fold_path_case(char *) {}
