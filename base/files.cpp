#include "base/files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/files_internal.h"
#include "base/hooks.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

using ferry::HookBuffer;

// ---------------------------------------------------------------------------
// Path texts that carry a UTF-16 path after a byte-order mark.

// Bytes of a path text when the caller does not say how many there are.
constexpr size_t kUnknownLength = SIZE_MAX;

// The longest path the system can take, in 16-bit units with its zero
// unit. No wide path runs longer, so none is looked for further: a text that
// lacks its zero unit is not read on through whatever memory follows it.
constexpr size_t kWidePathUnitsMax = 32768;

// A path text whose first two bytes are a byte-order mark, in either order,
// carries a UTF-16 path.
bool carries_wide_path(const char *path, size_t bytes) {
  if (bytes < 2 || !path[0] || !path[1])
    return false;
  auto b0 = static_cast<unsigned char>(path[0]), b1 = static_cast<unsigned char>(path[1]);
  return (b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF);
}

// The mark only says that a wide path follows: hosts put it in front of
// their own wide string, so the units are in the host's order after either
// mark. Copied byte-wise, since the text need not be aligned for 16-bit
// access.
char16_t unit_at(const unsigned char *p) {
  char16_t unit;
  std::memcpy(&unit, p, sizeof unit);
  return unit;
}

enum class PathText { bytes, wide, unterminated, no_memory };

// Reads a path text that lies within `bytes` bytes: a byte path is used
// where it is, a wide path is copied out into *wide. A path whose end does
// not come within the bytes is no path.
PathText read_path_text(const char *path, size_t bytes, HookBuffer<char16_t> *wide) {
  if (!carries_wide_path(path, bytes)) {
    bool ends = bytes == kUnknownLength || std::memchr(path, 0, bytes) != nullptr;
    return ends ? PathText::bytes : PathText::unterminated;
  }
  const auto *units = reinterpret_cast<const unsigned char *>(path) + 2;
  const size_t limit = std::min((bytes - 2) / 2, kWidePathUnitsMax);
  size_t count = 0;
  while (count < limit && unit_at(units + 2 * count) != 0)
    ++count;
  if (count == limit)
    return PathText::unterminated;
  *wide = HookBuffer<char16_t>(count + 1);
  if (!*wide)
    return PathText::no_memory;
  std::memcpy(wide->get(), units, 2 * (count + 1));
  return PathText::wide;
}

bool regular_file_within(const char *path, size_t bytes) {
  if (!path || bytes == 0 || !path[0])
    return false;
  uint32_t type = 0;
  HookBuffer<char16_t> wide;
  switch (read_path_text(path, bytes, &wide)) {
  case PathText::bytes:
    if (!plat_file_type(path, &type))
      return false;
    break;
  case PathText::wide:
    if (!plat_file_type_utf16(wide.get(), &type))
      return false;
    break;
  default:
    return false;
  }
  return (type & 0xF000) == 0x8000;
}

// ---------------------------------------------------------------------------
// Process-wide path texts, each resolved at its first request.

constexpr size_t kDirBytes = U_DIR_TEXT_MAX + 1;

struct PathCache {
  char text[kDirBytes];
  bool resolved;

  const char *result() const { return text[0] ? text : nullptr; }
};

struct PathCaches {
  PathCache install, config, ramps, module;
  const char *module_override;
  char computer_name[16];
  int computer_status;
  bool computer_fetched;
  char machine_file[18];
  bool machine_file_made;
};

PathCaches caches{{}, {}, {}, {}, nullptr, {}, 1, false, {}, false};

// The buffer of the last u_find_file result, owned by the library.
char *found_path = nullptr;

bool copy_text(char *out, size_t bytes, const char *text) {
  size_t length = std::strlen(text);
  if (length >= bytes)
    return false;
  std::memcpy(out, text, length + 1);
  return true;
}

// dir, the separator and name into out; false (out empty) when the result
// would not fit.
bool join_path(char *out, size_t bytes, const char *dir, const char *name) {
  int n = std::snprintf(out, bytes, "%s%c%s", dir, plat_dir_separator, name);
  if (n < 0 || static_cast<size_t>(n) >= bytes) {
    out[0] = '\0';
    return false;
  }
  return true;
}

// A directory given by the environment. True when the variable is defined;
// its value, even an empty one, then is the directory. A value longer than
// the directory text holds is refused rather than cut: a cut path names some
// other directory, and configuration read from there would be wrong without
// a word. The directory then is not available, and the refusal is said.
bool directory_from_environment(const char *variable, PathCache &cache) {
  const char *value = plat_getenv(variable);
  if (!value)
    return false;
  if (!copy_text(cache.text, sizeof cache.text, value)) {
    cache.text[0] = '\0';
    u_msg_hook("%s: value longer than %d characters, directory not available\n", variable,
               U_DIR_TEXT_MAX);
  }
  return true;
}

// ---------------------------------------------------------------------------
// File search.

bool is_absolute_name(const char *name) {
  if (name[0] == '\\' || plat_is_native_absolute(name))
    return true;
  if (name[0] == '.' && (name[1] == '\\' || name[1] == plat_dir_separator))
    return true;
  return std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
}

// A candidate path in a buffer of its own: the name alone, or dir joined
// with it.
HookBuffer<char> candidate_path(const char *dir, const char *name) {
  size_t name_length = std::strlen(name);
  if (!dir) {
    HookBuffer<char> path(name_length + 1);
    if (path)
      std::memcpy(path.get(), name, name_length + 1);
    return path;
  }
  size_t bytes = std::strlen(dir) + name_length + 2;
  HookBuffer<char> path(bytes);
  if (path)
    join_path(path.get(), bytes, dir, name);
  return path;
}

// 0 and the search result when the candidate is a regular file, 123 when it
// is not, 320 when its buffer can't be had.
u_err_t try_candidate(const char *dir, const char *name, const char **found) {
  HookBuffer<char> path = candidate_path(dir, name);
  if (!path)
    return ERR_NO_MEM;
  // The candidate is ours: its end is known, so a name that happens to
  // begin with a byte-order mark is not read on past it.
  if (!is_regular_file_n(path.get(), std::strlen(path.get()) + 1))
    return ERR_CANT_READ_FILE;
  found_path = path.release();
  *found = found_path;
  return 0;
}

// ---------------------------------------------------------------------------
// The size-limited log.

using File = ferry::UniqueFile;

constexpr size_t kPieceBytes = 512; // lines are read in pieces of 511 characters
constexpr size_t kTempNameBytes = 4096;

u_err_t log_access_error(const char *path) {
  u_msg_hook("u_log_to_file: error accessing file '%s'\n", path);
  return ERR_FILE_IO;
}

u_err_t log_write_error(const char *path) {
  u_msg_hook("u_log_to_file: error writing file '%s'\n", path);
  return ERR_FILE_IO;
}

// Reads whole pieces from the start of the log until skip counted bytes
// (each piece's length plus one) are behind.
bool skip_oldest(FILE *log, int64_t skip) {
  if (std::fseek(log, 0, SEEK_SET) != 0)
    return false;
  char piece[kPieceBytes];
  for (int64_t counted = 0; counted < skip;) {
    if (!std::fgets(piece, sizeof piece, log))
      return false;
    counted += static_cast<int64_t>(std::strlen(piece)) + 1;
  }
  return true;
}

bool copy_rest(FILE *from, FILE *to) {
  char piece[kPieceBytes];
  while (std::fgets(piece, sizeof piece, from))
    if (std::fputs(piece, to) == EOF)
      return false;
  return !std::ferror(from);
}

// The temporary file that receives the newest part of an over-long log. It
// is deleted when the log could not be trimmed, so nothing is left behind;
// once it holds the new text it is kept until it has been copied over the
// log.
class TrimmedLog {
public:
  TrimmedLog() = default;
  TrimmedLog(const TrimmedLog &) = delete;
  TrimmedLog &operator=(const TrimmedLog &) = delete;
  ~TrimmedLog() {
    file_.reset();
    if (made_ && !keep_)
      plat_delete_file(name_);
  }

  // Fills the temporary file with the log after its first skip counted
  // bytes; on success the log is closed and the temporary file open.
  u_err_t fill(File &log, const char *path, int64_t skip) {
    if (!skip_oldest(log.get(), skip))
      return log_access_error(path);
    if (!plat_temp_file_name("_log", name_, sizeof name_)) {
      u_msg_hook("u_log_to_file: cannot obtain temp file name\n");
      return ERR_CANT_CREATE_FILE;
    }
    made_ = true;
    file_.reset(plat_fopen(name_, "w"));
    if (!file_) {
      u_msg_hook("u_log_to_file: cannot create temp file '%s'\n", name_);
      return ERR_CANT_CREATE_FILE;
    }
    if (!copy_rest(log.get(), file_.get()))
      return log_write_error(name_);
    log.reset();
    return 0;
  }

  bool made() const { return made_; }
  const char *name() const { return name_; }
  File &file() { return file_; }
  void keep() { keep_ = true; }

private:
  File file_;
  char name_[kTempNameBytes] = {};
  bool made_ = false;
  bool keep_ = false;
};

// Writes text and closes the file; a failed write or close is an error,
// since the text would be lost.
u_err_t append_and_close(File &file, const char *name, const char *text) {
  bool ok = std::fputs(text, file.get()) != EOF;
  ok = std::fclose(file.release()) == 0 && ok;
  return ok ? 0 : log_write_error(name);
}

} // namespace

// ---------------------------------------------------------------------------

namespace ferry {

void reset_path_caches(const char *module_path) {
  caches = PathCaches{{}, {}, {}, {}, module_path, {}, 1, false, {}, false};
}

size_t derive_install_dir(const char *module_path, char separator, char *out, size_t bytes) {
  if (!out || bytes == 0)
    return 0;
  out[0] = '\0';
  if (!module_path)
    return 0;
  size_t length = std::strlen(module_path);
  if (length >= bytes)
    length = bytes - 1;
  std::memcpy(out, module_path, length);
  out[length] = '\0';
  // Cut at the last separator: the file name goes, then (unless what is left
  // is a drive) the executable's own folder. A separator in first place is
  // the root itself and stays, so that /ferrycvt or /bin/ferrycvt give the
  // root rather than nothing.
  for (int cut = 0; cut < 2; ++cut) {
    if (cut == 1 && length <= 3)
      break;
    char *last = std::strrchr(out, separator);
    if (!last)
      break;
    length = last == out ? 1 : static_cast<size_t>(last - out);
    out[length] = '\0';
  }
  return length;
}

} // namespace ferry

extern "C" bool is_regular_file(const char *path) {
  return regular_file_within(path, kUnknownLength);
}

extern "C" bool is_regular_file_n(const char *path, size_t bytes) {
  return regular_file_within(path, bytes);
}

extern "C" FILE *u_fopen_path_text(const char *path, const char *mode) {
  if (!path || !mode)
    return nullptr;
  HookBuffer<char16_t> wide;
  switch (read_path_text(path, kUnknownLength, &wide)) {
  case PathText::bytes:
    return plat_fopen(path, mode);
  case PathText::wide:
    return plat_fopen_utf16(wide.get(), mode);
  case PathText::no_memory:
    errno = ENOMEM;
    return nullptr;
  default:
    errno = ENAMETOOLONG;
    return nullptr;
  }
}

extern "C" const char *u_module_path(void) {
  PathCache &module = caches.module;
  if (!module.resolved) {
    module.resolved = true;
    bool known = caches.module_override
                     ? copy_text(module.text, sizeof module.text, caches.module_override)
                     : plat_executable_path(module.text, sizeof module.text);
    if (known)
      plat_fold_path_case(module.text);
    else
      module.text[0] = '\0';
  }
  return module.text;
}

extern "C" const char *u_install_dir(void) {
  PathCache &install = caches.install;
  if (!install.resolved) {
    install.resolved = true;
    if (!directory_from_environment("MB_INSTALL_DIR", install)) {
      ferry::derive_install_dir(u_module_path(), plat_dir_separator, install.text,
                                sizeof install.text);
      u_msg_hook("Install directory: %s\n", install.text);
    }
  }
  return install.result();
}

extern "C" const char *u_config_dir(void) {
  PathCache &config = caches.config;
  if (!config.resolved) {
    config.resolved = true;
    if (!directory_from_environment("MB_CONFIG_DIR", config)) {
      const char *install = u_install_dir();
      if (install && !(join_path(config.text, sizeof config.text, install, "cfg") &&
                       plat_is_directory(config.text)))
        copy_text(config.text, sizeof config.text, install);
    }
  }
  return config.result();
}

extern "C" const char *u_ramps_dir(void) {
  PathCache &ramps = caches.ramps;
  if (!ramps.resolved) {
    ramps.resolved = true;
    if (!directory_from_environment("MB_RAMPS_DIR", ramps)) {
      const char *config = u_config_dir();
      // A failure to create the folder is not reported: its absence shows
      // when a ramp file is looked for there.
      if (config && join_path(ramps.text, sizeof ramps.text, config, "ramps") &&
          !plat_is_directory(ramps.text))
        plat_make_directory(ramps.text);
    }
  }
  return ramps.result();
}

extern "C" int u_computer_name(char *buffer, size_t bytes) {
  if (!caches.computer_fetched) {
    caches.computer_fetched = true;
    std::memset(caches.computer_name, 0, sizeof caches.computer_name);
    if (plat_computer_name(caches.computer_name, sizeof caches.computer_name))
      caches.computer_status = 0;
    caches.computer_name[sizeof caches.computer_name - 1] = '\0';
  }
  // The copy always ends with a terminator, also when the buffer is shorter
  // than the name.
  if (buffer && bytes > 0) {
    std::strncpy(buffer, caches.computer_name, bytes - 1);
    buffer[bytes - 1] = '\0';
  }
  return caches.computer_status;
}

extern "C" const char *u_machine_file_name(int n) {
  if (!caches.machine_file_made) {
    caches.machine_file_made = true;
    char name[sizeof caches.computer_name];
    u_computer_name(name, sizeof name);
    std::snprintf(caches.machine_file, sizeof caches.machine_file, "%s.%c", name,
                  static_cast<char>('0' + n));
  }
  return caches.machine_file;
}

extern "C" u_err_t u_find_file(const char *name, const char **found) {
  ferry::hook_free(found_path);
  if (!name || !name[0])
    return 0;
  if (!found)
    return ERR_INVALID_PARAM;
  bool absolute = is_absolute_name(name);
  u_err_t result = try_candidate(absolute ? nullptr : ".", name, found);
  if (result != ERR_CANT_READ_FILE || absolute)
    return result;
  const char *config = u_config_dir();
  if (!config)
    return ERR_CANT_OPEN_FILE;
  return try_candidate(config, name, found);
}

extern "C" u_err_t u_copy_file(const char *source, const char *target) {
  uint32_t sys_error = 0;
  if (plat_copy_file(source, target, &sys_error))
    return 0;
  u_msg_hook("u_copy_file failed: win_err = %d\n", static_cast<int>(sys_error));
  return ERR_CANT_WRITE_FILE;
}

// A negative size_limit means "no limit": the text is appended and the log
// never trimmed. (Skipping the append would drop the text while reporting
// success, and callers announce such a log as "(size unlimited)".)
extern "C" u_err_t u_log_to_file(const char *path, const char *text, long size_limit,
                                 long keep_size) {
  if (!path || !path[0])
    return ERR_INVALID_PARAM;
  File log(plat_fopen(path, "a+"));
  if (!log) {
    plat_delete_file(path);
    log.reset(plat_fopen(path, "w"));
  }
  if (!log)
    return log_access_error(path);

  TrimmedLog trimmed;
  if (size_limit > 0) {
    int64_t size = plat_file_size(log.get());
    if (size < 0)
      return log_access_error(path);
    if (size >= size_limit && keep_size > 0 && size > keep_size)
      if (u_err_t result = trimmed.fill(log, path, size - keep_size))
        return result;
  }

  File &out = trimmed.made() ? trimmed.file() : log;
  if (u_err_t result =
          append_and_close(out, trimmed.made() ? trimmed.name() : path, text ? text : ""))
    return result;
  if (!trimmed.made())
    return 0;
  trimmed.keep();
  if (u_err_t result = u_copy_file(trimmed.name(), path)) {
    u_msg_hook("u_log_to_file: cannot copy temp file '%s' to '%s'\n", trimmed.name(), path);
    return result;
  }
  plat_delete_file(trimmed.name());
  return 0;
}
