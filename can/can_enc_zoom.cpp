#include "can/can_enc_zoom.h"

#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/console.h"
#include "base/files.h"
#include "base/hooks.h"
#include "can/can_accessors.h"
#include "can/can_bridge.h"
#include "platform/files.h"

using ferry::HookBuffer;

namespace {

// --- Messages into the caller's buffer ----------------------------------------

// Appends formatted pieces to an optional buffer, cutting what does not fit;
// the buffer always ends in a terminator.
class MessageSink {
public:
  MessageSink(char *buffer, size_t size) : buffer_(size ? buffer : nullptr), size_(size) {
    if (buffer_)
      buffer_[0] = '\0';
  }

  void add(const char *format, ...) {
    if (!buffer_ || used_ + 1 >= size_)
      return;
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(buffer_ + used_, size_ - used_, format, args);
    va_end(args);
    if (written > 0)
      used_ = std::min(size_ - 1, used_ + static_cast<size_t>(written));
  }

private:
  char *buffer_;
  size_t size_;
  size_t used_ = 0;
};

// --- The calibration file -----------------------------------------------------

constexpr double kLargestFloat = 3.4028234663852886e38;
constexpr double kMinMagnification = 0.5;
constexpr double kMaxMagnification = 6.0;

// One line without its line end: the text when it fits, and its length
// (which may be larger than what was kept).
struct Line {
  char text[KPS_ENC_ZOOM_LINE_MAX + 2];
  size_t length = 0;
  bool too_long() const { return length > KPS_ENC_ZOOM_LINE_MAX; }
};

// False at the end of the file (no line). Trailing CR and LF characters
// are not part of the line.
bool read_line(FILE *file, Line &line) {
  size_t stored = 0, length = 0, trailing_cr = 0;
  int c = std::getc(file);
  if (c == EOF)
    return false;
  for (; c != EOF && c != '\n'; c = std::getc(file)) {
    trailing_cr = c == '\r' ? trailing_cr + 1 : 0;
    if (stored < sizeof line.text - 1)
      line.text[stored++] = static_cast<char>(c);
    ++length;
  }
  line.length = length - trailing_cr;
  line.text[std::min(stored, line.length)] = '\0';
  return true;
}

bool two_numbers(const char *text, double &position, double &magnification) {
  for (const char *pattern : {"%lf %lf", "%lf,%lf", "%lf, %lf"})
    if (std::sscanf(text, pattern, &position, &magnification) == 2)
      return true;
  return false;
}

bool reasonable(double value) {
  return std::isfinite(value) && value >= -kLargestFloat && value <= kLargestFloat;
}

// What is wrong with a file: the specific message (composed), and whether
// it is tied to a line.
struct Fault {
  char text[128] = "";
  bool line_bound = true;
};

void describe(Fault &fault, bool line_bound, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(fault.text, sizeof fault.text, format, args);
  va_end(args);
  fault.line_bound = line_bound;
}

// Checks one pair against the pairs before it; false with the fault.
bool accept_pair(double position, double magnification, const kps_enc_zoom_pair *previous,
                 int32_t count, Fault &fault) {
  if (!reasonable(position) || !reasonable(magnification)) {
    describe(fault, true, " Magnitude of number is unreasonable. \n");
    return false;
  }
  if (count >= KPS_ENC_ZOOM_MAX_PAIRS) {
    describe(fault, false, " Too many position and magnification value pairs (maximum is %d). \n",
             int{KPS_ENC_ZOOM_MAX_PAIRS});
    return false;
  }
  if (position < 0 || position > kLargestFloat) {
    describe(fault, true, " Position value is out of range [%g,%g] \n", 0.0, kLargestFloat);
    return false;
  }
  if (magnification < kMinMagnification || magnification > kMaxMagnification) {
    describe(fault, true, " Magnification value is out of range [%g,%g] \n", kMinMagnification,
             kMaxMagnification);
    return false;
  }
  // Compared as the table keeps them: a magnification that rounds to its
  // predecessor's single-precision value is no increase.
  if (previous && position <= previous->position) {
    describe(fault, true, " Position values are not in strictly increasing order. \n");
    return false;
  }
  if (previous && static_cast<float>(magnification) <= previous->magnification) {
    describe(fault, true, " Magnification values are not in strictly increasing order. \n");
    return false;
  }
  return true;
}

// Reads the pairs of an open file; false with the fault and the line.
bool read_pairs(FILE *file, kps_enc_zoom_pair (&pairs)[KPS_ENC_ZOOM_MAX_PAIRS], int32_t &count,
                Fault &fault, Line &line, int &line_number) {
  count = 0;
  for (line_number = 1; read_line(file, line); ++line_number) {
    if (line.too_long()) {
      describe(fault, true, " Line longer than %d characters \n", int{KPS_ENC_ZOOM_LINE_MAX});
      return false;
    }
    if (line_number == 1)
      continue; // the title
    double position = 0, magnification = 0;
    if (!two_numbers(line.text, position, magnification)) {
      describe(fault, true,
               " Expected two numbers (position and magnification) separated by a comma "
               "and/or space. \n");
      return false;
    }
    if (!accept_pair(position, magnification, count ? &pairs[count - 1] : nullptr, count, fault))
      return false;
    pairs[count++] = {position, static_cast<float>(magnification)};
  }
  if (count < KPS_ENC_ZOOM_MIN_PAIRS) {
    describe(fault, false, " Too few position and magnification value pairs (minimum is %d) \n",
             int{KPS_ENC_ZOOM_MIN_PAIRS});
    return false;
  }
  return true;
}

void compose_fault(MessageSink &sink, const char *path, const Fault &fault, const Line &line,
                   int line_number) {
  sink.add(" Error reading KPS encoded zoom magnification calibration file \"%s\" \n", path);
  sink.add("%s", fault.text);
  if (!fault.line_bound)
    return;
  if (line.too_long())
    sink.add(" Error in line %d \n", line_number);
  else
    sink.add(" Error in line %d: \n  %s \n", line_number, line.text);
}

u_err_t read_cal_file(const char *path, kps_enc_zoom_table &table, MessageSink &sink) {
  ferry::UniqueFile file(path ? plat_fopen(path, "r") : nullptr);
  if (!file) {
    sink.add(" Cannot open KPS encoded zoom magnification calibration file \"%s\" \n",
             path ? path : "");
    return ERR_KPS_ENC_ZOOM_CANT_OPEN_CAL_FILE;
  }
  kps_enc_zoom_pair pairs[KPS_ENC_ZOOM_MAX_PAIRS];
  int32_t count = 0;
  Fault fault;
  Line line;
  int line_number = 0;
  if (!read_pairs(file.get(), pairs, count, fault, line, line_number)) {
    compose_fault(sink, path, fault, line, line_number);
    return ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE;
  }
  HookBuffer<kps_enc_zoom_pair> kept(static_cast<size_t>(count));
  if (!kept)
    return ERR_NO_MEM;
  std::memcpy(kept.get(), pairs, sizeof(kps_enc_zoom_pair) * static_cast<size_t>(count));
  table.count = count;
  table.pairs = kept.release();
  return ERR_NONE;
}

// --- The loader ---------------------------------------------------------------

// File search keeps one process-wide result, and two instruments may load
// from two threads: one load at a time.
std::mutex &loader_lock() {
  static std::mutex lock;
  return lock;
}

struct HookFree {
  void operator()(char *block) const { u_free_hook(block); }
};
using HookText = std::unique_ptr<char, HookFree>;

HookText hook_copy(const char *text) {
  size_t bytes = std::strlen(text) + 1;
  HookText copy(static_cast<char *>(u_malloc_hook(bytes)));
  if (copy)
    std::memcpy(copy.get(), text, bytes);
  return copy;
}

void forget(kps_enc_zoom_cache &cache) {
  kps_enc_zoom_free_table(&cache.table);
  ferry::hook_free(cache.name);
  ferry::hook_free(cache.path);
  cache.stamp = {};
}

// True when the cache holds the configured name's table and its file is
// as it was; a file that can no longer be examined loses its path.
bool still_current(kps_enc_zoom_cache &cache, const char *name) {
  if (!cache.table.pairs || !cache.path)
    return false;
  if (!cache.name || std::strcmp(cache.name, name) != 0) {
    forget(cache);
    return false;
  }
  plat_file_stamp now{};
  if (!plat_file_stamp_of(cache.path, &now)) {
    ferry::hook_free(cache.path);
    return false;
  }
  return plat_file_stamp_equal(&now, &cache.stamp);
}

// The path of the configured name: the remembered one, else the search's,
// copied (the search's result lasts only until the next search).
u_err_t resolve(const kps_enc_zoom_cache &cache, const char *name, MessageSink &sink,
                HookText &path) {
  const char *found = cache.path;
  if (!found) {
    u_err_t err = u_find_file(name, &found);
    if (err == ERR_NO_MEM)
      return err;
    if (err != ERR_NONE || !found) {
      sink.add(" Cannot access KPS encoded zoom magnification calibration file \"%s\" \n", name);
      return ERR_KPS_ENC_ZOOM_CANT_OPEN_CAL_FILE;
    }
  }
  path = hook_copy(found);
  // The search's own copy goes at once rather than at the next search.
  if (!cache.path)
    u_find_file(nullptr, &found);
  return path ? ERR_NONE : ERR_NO_MEM;
}

// Reads the file at path and, when all is well, makes it the cache's table.
u_err_t reload(kps_enc_zoom_cache &cache, const char *name, HookText path, MessageSink &sink) {
  plat_file_stamp stamp{};
  if (!plat_file_stamp_of(path.get(), &stamp)) {
    sink.add(" Cannot open KPS encoded zoom magnification calibration file \"%s\" \n", path.get());
    return ERR_KPS_ENC_ZOOM_CANT_OPEN_CAL_FILE;
  }
  kps_enc_zoom_table table{};
  if (u_err_t err = read_cal_file(path.get(), table, sink))
    return err;
  HookText kept_name = hook_copy(name);
  if (!kept_name) {
    kps_enc_zoom_free_table(&table);
    return ERR_NO_MEM;
  }
  forget(cache);
  cache.table = table;
  cache.name = kept_name.release();
  cache.path = path.release();
  cache.stamp = stamp;
  u_msg_hook("KPS encoded zoom calibration data loaded from file %s\n", cache.path);
  return ERR_NONE;
}

// The name looked for when none is configured, with this system's separator.
const char *default_name() {
  static const std::string name = [] {
    std::string text = KPS_ENC_ZOOM_DEFAULT_CAL_FILE;
    for (char &c : text)
      if (c == '\\')
        c = plat_dir_separator;
    return text;
  }();
  return name.c_str();
}

u_err_t load_cal(sys_info_enc_zoom &zoom, MessageSink &sink) {
  const char *name = zoom.cal_file[0] ? zoom.cal_file : default_name();
  if (!zoom.cache) {
    zoom.cache = static_cast<kps_enc_zoom_cache *>(u_calloc_hook(1, sizeof(kps_enc_zoom_cache)));
    if (!zoom.cache)
      return ERR_NO_MEM;
  }
  kps_enc_zoom_cache &cache = *zoom.cache;
  if (still_current(cache, name))
    return ERR_NONE;
  HookText path;
  u_err_t err = resolve(cache, name, sink, path);
  if (err == ERR_NONE)
    err = reload(cache, name, std::move(path), sink);
  // A failed load leaves nothing that could pass for this file's table.
  if (err != ERR_NONE)
    kps_enc_zoom_free_cal(&zoom);
  return err;
}

} // namespace

extern "C" void kps_enc_zoom_free_table(kps_enc_zoom_table *table) {
  if (!table)
    return;
  ferry::hook_free(table->pairs);
  table->count = 0;
}

extern "C" void kps_enc_zoom_free_cal(sys_info_enc_zoom *zoom) {
  if (!zoom || !zoom->cache)
    return;
  forget(*zoom->cache);
  ferry::hook_free(zoom->cache);
}

extern "C" u_err_t kps_enc_zoom_read_cal_file(const char *path, kps_enc_zoom_table *table,
                                              char *message, size_t message_size) {
  MessageSink sink(message, message_size);
  if (!table)
    return ERR_INVALID_PARAM;
  kps_enc_zoom_table fresh{};
  u_err_t err = read_cal_file(path, fresh, sink);
  if (err == ERR_NONE)
    *table = fresh;
  return err;
}

extern "C" u_err_t kps_enc_zoom_load_cal(sys_info_enc_zoom *zoom, char *message,
                                         size_t message_size) {
  MessageSink sink(message, message_size);
  if (!zoom)
    return ERR_INVALID_PARAM;
  std::lock_guard guard(loader_lock());
  return load_cal(*zoom, sink);
}

extern "C" u_err_t kps_enc_zoom_check_firmware(sys_info *instr) {
  uint16_t major = 0, minor = 0;
  if (u_err_t err = can_read_version(instr, CAN_NODE_ID_FOCUS_NDW, &major, &minor))
    return err;
  if (major > KPS_ENC_ZOOM_FW_MAJOR ||
      (major == KPS_ENC_ZOOM_FW_MAJOR && minor >= KPS_ENC_ZOOM_FW_MINOR))
    return ERR_NONE;
  u_msg_hook("KPS encoded zoom firmware version %d.%d is old", major, minor);
  u_msg_hook("; version %d.%d or later is required\n", int{KPS_ENC_ZOOM_FW_MAJOR},
             int{KPS_ENC_ZOOM_FW_MINOR});
  return ERR_KPS_ENC_ZOOM_FIRMWARE_VERSION_OLD;
}

extern "C" u_err_t kps_enc_zoom_set_backlash(sys_info *instr) {
  if (!instr || !instr->can.enc_zoom.enabled)
    return ERR_NONE;
  sys_info_enc_zoom &zoom = instr->can.enc_zoom;
  // Limits the wrong way round are refused before the node is touched at
  // all (the limits' own writer refuses them without writing).
  if (zoom.lower_limit > zoom.upper_limit)
    return kps_enc_zoom_set_soft_limits(zoom.lower_limit, zoom.upper_limit);
  if (u_err_t err = kps_enc_zoom_check_firmware(instr))
    return err;
  if (u_err_t err = kps_enc_zoom_set_motion_mode(instr))
    return err;
  if (u_err_t err = kps_enc_zoom_set_soft_limits(zoom.lower_limit, zoom.upper_limit))
    return err;
  if (u_err_t err = kps_enc_zoom_write_backlash(zoom.backlash))
    return err;
  // An instrument without its calibration file still works; only a file
  // that is there and wrong stops the set-up.
  u_err_t err = kps_enc_zoom_load_cal(&zoom, nullptr, 0);
  return err == ERR_KPS_ENC_ZOOM_CANT_OPEN_CAL_FILE ? ERR_NONE : err;
}
