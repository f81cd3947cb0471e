#include "ramps/ramp_set.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>

#include "base/files.h"
#include "base/hooks.h"
#include "platform/files.h"
#include "ramps/ramp_math_internal.h"

namespace {

constexpr const char *keep_loaded_var = "KEEP_RAMPS_LOADED_IN_INSTR";
constexpr size_t path_size = 1024;
constexpr size_t dir_name_size = 261;

// System types that only work with a PIFOC scanner.
constexpr int pifoc_system_types[] = {5, 7, 11, 13, 20, 22, 28, 31, 34};
// System types without a PZT scanner.
constexpr int no_pzt_system_types[] = {5, 11};

template <size_t N> bool contains(const int (&set)[N], int v) {
  return std::find(std::begin(set), std::end(set), v) != std::end(set);
}

// ---- The instrument-board layer's default answers -------------------------

u_err_t default_ramp_request(sys_info *, uint8_t ids[SYS_INFO_RAMP_SLOTS]) {
  std::fill(ids, ids + SYS_INFO_RAMP_SLOTS, uint8_t(SYS_INFO_RAMP_SLOT_EMPTY));
  return 0;
}
u_err_t default_ramp_delete(sys_info *, int) {
  return 0;
}
int default_ext_profile_supported(const sys_info *) {
  return 0;
}
u_err_t default_ext_profile_ramp(sys_info *, const rr_ramp_spec *spec, rr_ramp *, char *msg,
                                 size_t msg_size) {
  std::snprintf(msg, msg_size, "Invalid external profile ramp name %s", spec->fileName);
  return ERR_INVALID_PARAM;
}

constexpr rr_instr_ops default_ops = {default_ramp_request, default_ramp_delete,
                                      default_ext_profile_supported, default_ext_profile_ramp};
rr_instr_ops instr_ops = default_ops;

// ---- Helpers ----------------------------------------------------------------

bool is_pmi_type(int type) {
  return type >= RR_TYPE_PMI && type <= RR_TYPE_PMI_LAST;
}

void join_path(char (&out)[path_size], const char *dir, const char *name) {
  char sep[2] = {plat_dir_separator, '\0'};
  std::snprintf(out, sizeof out, "%s%s%s", dir, sep, name);
}

void release_ramps(rr_ramp *table, int count) {
  for (int i = 0; i < count; ++i)
    rr_free_ramp_samples(&table[i]);
}

// The serial number a directory-mode file name carries after its last
// point: one character, then decimal digits and nothing else; -1 when the
// name has no such ending (a real serial is never negative).
long long name_serial(const char *name) {
  const char *dot = std::strrchr(name, '.');
  if (!dot || !dot[1] || !dot[2])
    return -1;
  long long value = 0;
  for (const char *p = dot + 2; *p; ++p) {
    if (*p < '0' || *p > '9' || value > 1000000000000LL)
      return -1;
    value = value * 10 + (*p - '0');
  }
  return value;
}

// Sort key of the directory listing: small PMI ramps first, then the
// scanning ramps by the length they cover.
double raw_sort_key(const rr_ramp_hdr_t &h, int board_type) {
  if (is_pmi_type(h.rampType))
    return h.nBuckets / 100.0;
  if (h.rampType == RR_TYPE_BTW)
    return h.scanLen;
  double scale = board_type == 7 ? 2.0 : 1.0;
  return scale * h.scanLen - 64.0 * scale * h.rampSlope / 1000.0;
}

// A file may hold a NaN length; it sorts last so the order stays a strict
// weak order, which the sort relies on.
double sort_key(const rr_ramp &ramp, int board_type) {
  double key = raw_sort_key(ramp.hdr, board_type);
  return std::isnan(key) ? std::numeric_limits<double>::infinity() : key;
}

// ---- The loader -------------------------------------------------------------

class RampSetLoader {
public:
  RampSetLoader(sys_info &instr, const char *dir) : instr_(instr), dir_(dir) {
    const sys_info_ramps &r = instr.ramps;
    pifoc_serial_ = r.pifoc_present ? r.pifoc_serial : -1;
    pzt_serial_ = contains(no_pzt_system_types, instr.sys_type) ? -1 : r.pzt_serial;
  }
  ~RampSetLoader() {
    if (table_)
      release_ramps(table_.get(), count_);
  }

  bool allocate() {
    table_ = ferry::HookBuffer<rr_ramp>(RR_MAX_RAMPS);
    if (table_)
      std::memset(table_.get(), 0, sizeof(rr_ramp) * RR_MAX_RAMPS);
    return bool(table_);
  }
  u_err_t load_config(const char *path);
  u_err_t load_directory();
  int count() const { return count_; }
  void finish(bool sort);
  void print_summary() const;
  void store();

private:
  u_err_t load_spec(int k, const rr_ramp_spec &spec);
  u_err_t load_ext_profile(int k, const rr_ramp_spec &spec);
  u_err_t load_derived(int k, const rr_ramp_spec &spec);
  u_err_t load_file(int k, const rr_ramp_spec &spec);
  enum class ReadOutcome { loaded, rejected, out_of_memory };
  ReadOutcome read_checked_ramp(const char *name, const char *read_failure_format);
  void accept(int32_t hide);
  rr_ramp &next() { return table_[size_t(count_)]; }
  // Forgets a rejected entry and whatever it got.
  void discard() {
    rr_free_ramp_samples(&next());
    next() = rr_ramp{};
  }

  sys_info &instr_;
  const char *dir_;
  int pifoc_serial_ = -1;
  int pzt_serial_ = -1;
  ferry::HookBuffer<rr_ramp> table_;
  int count_ = 0;
  int base_ = -1;
  int loaded_ = 0, derived_ = 0, swli_ = 0, btw_ = 0, pmi_ = 0;
};

void RampSetLoader::accept(int32_t hide) {
  rr_ramp &ramp = next();
  ramp.hdr.rampID = count_ + 1;
  ramp.hide = hide;
  ramp.slot = -1;
  ++count_;
}

u_err_t RampSetLoader::load_ext_profile(int k, const rr_ramp_spec &spec) {
  if (!instr_ops.ext_profile_supported(&instr_)) {
    u_msg_hook("Ramp config error: ramp %d \"%s\" is invalid for this instrument\n", k,
               spec.fileName);
    return 0;
  }
  char reason[256] = "";
  u_err_t err = instr_ops.ext_profile_ramp(&instr_, &spec, &next(), reason, sizeof reason);
  if (err) {
    discard();
    if (err == ERR_NO_MEM)
      return err;
    u_msg_hook("Ramp config error: ramp %d: %s\n", k, reason);
    return 0;
  }
  std::snprintf(next().fileName, sizeof next().fileName, "%s", spec.fileName);
  u_msg_hook("Loaded ramp file \"%s\"\n", spec.fileName);
  base_ = count_;
  ++loaded_;
  accept(spec.hide);
  return 0;
}

u_err_t RampSetLoader::load_derived(int k, const rr_ramp_spec &spec) {
  if (base_ < 0) {
    u_msg_hook("Ramp config error: no loaded ramp data from which to derive config ramp %d\n", k);
    return 0;
  }
  const rr_ramp &base = table_[size_t(base_)];
  u_err_t err = rr_derive_ramp(&base, &next(), &spec);
  if (err) {
    discard();
    if (err == ERR_NO_MEM)
      return err;
    u_msg_hook("Ramp config error: cannot derive config ramp %d from ramp data file \"%s\"\n", k,
               base.fileName);
    return 0;
  }
  rr_ramp &ramp = next();
  // Built aside: the compiler cannot tell that the base and the new ramp are
  // different rows of the table.
  char name[sizeof ramp.fileName];
  std::snprintf(name, sizeof name, "+%.*s", int(sizeof name) - 2, base.fileName);
  std::memcpy(ramp.fileName, name, sizeof name);
  ramp.derived = 1;
  ++derived_;
  accept(spec.hide);
  return 0;
}

// Reads a ramp data file of the ramps directory into the next row and checks
// it against the instrument. A read failure is reported with the caller's
// format (name, error name); a rejected row is given back.
RampSetLoader::ReadOutcome RampSetLoader::read_checked_ramp(const char *name,
                                                            const char *read_failure_format) {
  char path[path_size];
  join_path(path, dir_, name);
  rr_ramp &ramp = next();
  u_err_t err = rr_read_ramp_file(path, &ramp.hdr, &ramp.samples);
  if (err) {
    discard();
    if (err == ERR_NO_MEM)
      return ReadOutcome::out_of_memory;
    u_msg_hook(read_failure_format, name, u_error_name(err));
    return ReadOutcome::rejected;
  }
  if (rr_check_ramp_file(&ramp.hdr, name, instr_.instrBdType, pifoc_serial_, pzt_serial_) != 0) {
    discard();
    return ReadOutcome::rejected;
  }
  return ReadOutcome::loaded;
}

u_err_t RampSetLoader::load_file(int k, const rr_ramp_spec &spec) {
  char name[RR_FILE_NAME_MAX + 16];
  std::snprintf(name, sizeof name, "%s", spec.fileName);
  size_t len = std::strlen(name);
  if (len > 0 && name[len - 1] == '*') {
    int serial = is_pmi_type(spec.rampType) ? pzt_serial_ : pifoc_serial_;
    std::snprintf(name + len - 1, sizeof name - (len - 1), "%d", serial);
  }
  base_ = -1;
  switch (read_checked_ramp(name, "Ramp config error reading ramp data file \"%s\": %s\n")) {
  case ReadOutcome::out_of_memory:
    return ERR_NO_MEM;
  case ReadOutcome::rejected:
    return 0;
  case ReadOutcome::loaded:
    break;
  }
  rr_ramp &ramp = next();
  if (rr_check_ramp_spec(&spec, &ramp) != 0) {
    u_msg_hook("Ramp config error: values not consistent with ramp data file \"%s\"\n", name);
    discard();
    return 0;
  }
  std::snprintf(ramp.fileName, sizeof ramp.fileName, "%s", spec.fileName);
  u_msg_hook("Loaded ramp file \"%s\"\n", name);
  base_ = count_;
  ++loaded_;
  accept(spec.hide);
  return 0;
}

u_err_t RampSetLoader::load_spec(int k, const rr_ramp_spec &spec) {
  if (spec.rampType == RR_TYPE_PMI) {
    if (pzt_serial_ == -1) {
      u_msg_hook("Ramp config error: ramp %d can only be used with a PZT\n", k);
      return 0;
    }
  } else if (spec.rampType == RR_TYPE_SWLI || spec.rampType == RR_TYPE_BTW) {
    if (pifoc_serial_ == -1) {
      u_msg_hook("Ramp config error: ramp %d can only be used with a PIFOC\n", k);
      return 0;
    }
  } else {
    u_msg_hook("Ramp config error: ramp %d is of unknown type %d\n", k, spec.rampType);
    return 0;
  }
  if (std::strstr(spec.fileName, "extprofile"))
    return load_ext_profile(k, spec);
  if (spec.fileName[0] == '+')
    return load_derived(k, spec);
  return load_file(k, spec);
}

// Owner of the ramp spec array the configuration reader hands over.
struct SpecArray {
  rr_ramp_spec *specs = nullptr;
  int count = 0;
  ~SpecArray() { ferry::hook_free(specs); }
};

u_err_t RampSetLoader::load_config(const char *path) {
  SpecArray config;
  u_err_t err = rr_read_ramp_config(path, &config.specs, &config.count);
  if (err)
    return err;
  if (config.count == 0)
    return ERR_NO_RAMP_INFO;
  for (int k = 1; k <= config.count; ++k) {
    if (count_ == RR_MAX_RAMPS) {
      u_msg_hook("Ramp config warning: too many ramp config entries, ignoring entries %d to %d\n",
                 k, config.count);
      break;
    }
    if ((err = load_spec(k, config.specs[k - 1])) != 0)
      return err;
  }
  instr_.ramps.ramps_from_config = 1;
  return 0;
}

// Names of the directory's ramp data files for this instrument's scanners.
class NameList {
  struct Name {
    char text[dir_name_size];
  };

public:
  bool allocate() {
    names_ = ferry::HookBuffer<Name>(RR_MAX_RAMPS);
    return bool(names_);
  }
  bool full() const { return count_ == RR_MAX_RAMPS; }
  void add(const std::string &name) {
    std::snprintf(names_[size_t(count_++)].text, dir_name_size, "%s", name.c_str());
  }
  void sort() {
    std::sort(names_.get(), names_.get() + count_,
              [](const Name &a, const Name &b) { return std::strcmp(a.text, b.text) < 0; });
  }
  int count() const { return count_; }
  const char *operator[](int i) const { return names_[size_t(i)].text; }

private:
  ferry::HookBuffer<Name> names_;
  int count_ = 0;
};

u_err_t RampSetLoader::load_directory() {
  u_msg_hook("Checking all files in ramp directory\n");
  NameList names;
  if (!names.allocate())
    return ERR_NO_MEM;
  std::error_code ec;
  try {
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end;
         it.increment(ec)) {
      // Every entry is gathered, folders too: one named like a ramp data file
      // then fails its read and is reported, rather than being left out
      // without a word.
      std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.' || name.size() >= dir_name_size)
        continue;
      long long serial = name_serial(name.c_str());
      if (serial < 0 || (serial != pifoc_serial_ && serial != pzt_serial_))
        continue;
      if (names.full()) {
        u_msg_hook("Warning: too many ramp files (limit is %d), some files ignored\n",
                   RR_MAX_RAMPS);
        break;
      }
      names.add(name);
    }
  } catch (const std::bad_alloc &) {
    return ERR_NO_MEM;
  } catch (const std::exception &) {
    // A name the system can't convert is not a ramp file of ours.
  }
  // Listing order is the file system's; sorting makes identifiers repeatable.
  names.sort();

  for (int i = 0; i < names.count() && count_ < RR_MAX_RAMPS; ++i) {
    ReadOutcome outcome = read_checked_ramp(names[i], "Error reading ramp data file \"%s\": %s\n");
    if (outcome == ReadOutcome::out_of_memory)
      return ERR_NO_MEM;
    if (outcome == ReadOutcome::rejected)
      continue;
    rr_ramp &ramp = next();
    std::snprintf(ramp.fileName, sizeof ramp.fileName, "%s", names[i]);
    u_msg_hook("Loaded ramp file \"%s\"\n", names[i]);
    ++loaded_;
    accept(0);
  }
  return 0;
}

void RampSetLoader::finish(bool sort) {
  rr_ramp *table = table_.get();
  for (int i = 0; i < count_; ++i) {
    rr_ramp &ramp = table[i];
    int type = ramp.hdr.rampType;
    if (type == RR_TYPE_SWLI)
      ++swli_;
    else if (type == RR_TYPE_BTW)
      ++btw_;
    else if (is_pmi_type(type))
      ++pmi_;
    double clk = ramp.hdr.sampleClkFreq;
    ramp.duration_ms = clk > 0 ? ramp.hdr.nPoints / clk : 0.0;
  }
  if (sort) {
    int board = instr_.instrBdType;
    std::stable_sort(table, table + count_, [board](const rr_ramp &a, const rr_ramp &b) {
      return sort_key(a, board) < sort_key(b, board);
    });
  }
}

void RampSetLoader::print_summary() const {
  u_msg_hook("Ramp data sets:\n");
  u_msg_hook("  %3d Total\n", count_);
  u_msg_hook("  %3d Loaded\n", loaded_);
  u_msg_hook("  %3d Derived\n", derived_);
  u_msg_hook("  %3d SWLI\n", swli_);
  u_msg_hook("  %3d BTW\n", btw_);
  u_msg_hook("  %3d PMI\n", pmi_);
}

void RampSetLoader::store() {
  instr_.ramps.ramp_table = table_.release();
  instr_.ramps.ramp_count = count_;
  count_ = 0;
}

// Marks which ramps the instrument's slots already hold, clearing slots
// whose ramp is gone from the new table.
u_err_t keep_loaded_slots(sys_info &instr) {
  sys_info_ramps &r = instr.ramps;
  uint8_t ids[SYS_INFO_RAMP_SLOTS];
  u_err_t err = instr_ops.ramp_request(&instr, ids);
  if (err) {
    u_msg_hook("uz_ramp_request failed: %s\n", u_error_name(err));
    return err;
  }
  for (int s = 0; s < SYS_INFO_RAMP_SLOTS; ++s) {
    bool known = std::any_of(r.ramp_table, r.ramp_table + r.ramp_count, [&](const rr_ramp &ramp) {
      return ramp.fileName[0] && ramp.hdr.rampID == ids[s];
    });
    if (ids[s] != SYS_INFO_RAMP_SLOT_EMPTY && !known) {
      if ((err = instr_ops.ramp_delete(&instr, s)) != 0) {
        u_msg_hook("rr_ramp_delete failed: %s\n", u_error_name(err));
        return err;
      }
      ids[s] = SYS_INFO_RAMP_SLOT_EMPTY;
    }
    r.ramp_slot[s] = ids[s];
  }
  for (int i = 0; i < r.ramp_count; ++i) {
    rr_ramp &ramp = r.ramp_table[i];
    ramp.slot = -1;
    for (int s = 0; s < SYS_INFO_RAMP_SLOTS; ++s) {
      if (ids[s] != SYS_INFO_RAMP_SLOT_EMPTY && ids[s] == ramp.hdr.rampID) {
        ramp.slot = s;
        u_msg_hook("Ramp ID %d already loaded in instr\n", ramp.hdr.rampID);
        break;
      }
    }
  }
  return 0;
}

u_err_t clear_all_slots(sys_info &instr) {
  for (int s = 0; s < SYS_INFO_RAMP_SLOTS; ++s) {
    u_err_t err = instr_ops.ramp_delete(&instr, s);
    if (err) {
      u_msg_hook("rr_ramp_delete failed: %s\n", u_error_name(err));
      return err;
    }
  }
  return 0;
}

void mark_unslotted(sys_info &instr) {
  for (int i = 0; i < instr.ramps.ramp_count; ++i)
    instr.ramps.ramp_table[i].slot = -1;
}

u_err_t settle_slots(sys_info &instr, bool keep_loaded) {
  switch (instr.instrBdType) {
  case 5:
    return 0;
  case 8:
    if (!instr_ops.ext_profile_supported(&instr))
      mark_unslotted(instr);
    return 0;
  default:
    if (keep_loaded)
      return keep_loaded_slots(instr);
    mark_unslotted(instr);
    return clear_all_slots(instr);
  }
}

u_err_t load_ramp_set(sys_info &instr) {
  bool keep_loaded = std::getenv(keep_loaded_var) != nullptr;
  if (keep_loaded)
    u_msg_hook("Found env var %s\n", keep_loaded_var);

  const char *dir = u_ramps_dir();
  if (!dir)
    return ERR_NO_RAMP_INFO;
  u_msg_hook("Ramp directory: %s\n", dir);

  RampSetLoader loader(instr, dir);
  if (!loader.allocate())
    return ERR_NO_MEM;
  bool config_mode = false;
  const char *config_name = instr.ramps.ramp_config_file;
  if (config_name[0]) {
    char path[path_size];
    join_path(path, dir, config_name);
    // The joined text ends where its bytes do, even when the directory
    // happens to begin like a byte-order mark.
    if (!is_regular_file_n(path, std::strlen(path) + 1)) {
      u_msg_hook("Cannot access ramp config file \"%s\"\n", path);
    } else {
      u_msg_hook("Reading ramp config file \"%s\"\n", path);
      config_mode = true;
      if (u_err_t err = loader.load_config(path))
        return err;
    }
  }
  if (!config_mode)
    if (u_err_t err = loader.load_directory())
      return err;

  if (loader.count() == 0) {
    u_msg_hook("No usable ramp data\n");
    return ERR_NO_RAMP_INFO;
  }
  loader.finish(!config_mode);
  loader.print_summary();
  loader.store();
  return settle_slots(instr, keep_loaded);
}

} // namespace

extern "C" {

void rr_set_instr_ops(const rr_instr_ops *ops) {
  instr_ops = default_ops;
  if (!ops)
    return;
  if (ops->ramp_request)
    instr_ops.ramp_request = ops->ramp_request;
  if (ops->ramp_delete)
    instr_ops.ramp_delete = ops->ramp_delete;
  if (ops->ext_profile_supported)
    instr_ops.ext_profile_supported = ops->ext_profile_supported;
  if (ops->ext_profile_ramp)
    instr_ops.ext_profile_ramp = ops->ext_profile_ramp;
}

void rr_free_ramp_table(sys_info *instr) {
  if (!instr)
    return;
  sys_info_ramps &r = instr->ramps;
  release_ramps(r.ramp_table, r.ramp_count);
  ferry::hook_free(r.ramp_table);
  r.ramp_count = 0;
  r.ramps_from_config = 0;
}

u_err_t rr_get_ramp_info(sys_info *instr) {
  if (!instr || !instr->set_up)
    return ERR_SYS_INFO_NOT_AVAIL;
  if (!instr->ramps.pifoc_present && contains(pifoc_system_types, instr->sys_type))
    return ERR_WRONG_SYSTEM_TYPE;

  rr_free_ramp_table(instr);
  std::fill(std::begin(instr->ramps.ramp_slot), std::end(instr->ramps.ramp_slot),
            uint8_t(SYS_INFO_RAMP_SLOT_EMPTY));

  u_err_t result = load_ramp_set(*instr);
  if (result)
    u_msg_hook("rr_get_ramp_info: %s\n", u_error_name(result));
  return result;
}

} // extern "C"
