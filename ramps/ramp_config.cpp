#include "ramps/ramp_config.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/hooks.h"

namespace {

constexpr const char *title_line = "# Corvista Ramp Configuration File\n";

// The description block that heads every written file; the reader shows it
// with the sample line when a file holds no acceptable ramp.
constexpr const char *description_block =
    "#\n"
    "# RT  = RampType: PMI, SWLI, BTW, or BTWX where X is a filter number\n"
    "# FN  = FileName: name of ramp data file or \"+\" if derived from previous\n"
    "# SL  = ScanLen: scan length in microns for SWLI or BTW ramps\n"
    "# CR  = CameraRate: frame rate in Hz\n"
    "# CI  = CameraInterlace: 1 if interlaced fields, otherwise 0\n"
    "# GS  = GrabSkip: (GrabSkip+1 specifies camera frame sampling)\n"
    "# FPF = FringesPerFrame: normal 0.125 or 0.25, subnyquist 0.75 or 1.25\n"
    "# RS  = RampSlope: nm/frm for SWLI or BTW ramps\n"
    "# OM  = ObjMag: nominal objective magnification, required for BTW ramps\n"
    "# SC  = ScanCal: factor near 1.0 to calibrate SWLI or BTW ramps\n"
    "# H   = Optional hide flag: 0 is normal, 1 to hide ramp from user\n"
    "#\n"
    "# RT    FN                     SL    CR   CI GS  FPF    RS       OM   SC      H\n";

constexpr const char *sample_line =
    " SWLI d10s81c25.b12345      010.20 025.00 00 00 0.250 081.0000 000.00 1.00000 0";

constexpr const char *line_format = " %-4s %-22s %6.2f %6.2f %2d %2d %5.3f %8.4f %6.2f %7.5f %1d\n";

constexpr int wavelen_min = 1, wavelen_max = 4;
constexpr int grow_step = 5;
constexpr size_t read_buffer_size = 512;

bool is_pmi(int type) {
  return type == RR_TYPE_PMI;
}

// ---- Field checks -------------------------------------------------------

// One numeric field of a ramp line (fields 3 to 10): whether a converted
// value is acceptable for the line's type, how to explain the rule, and
// where the value goes.
struct NumericField {
  const char *name;
  int number;
  bool integer;
  bool (*accept)(double v, int type);
  void (*explain)(char *out, size_t size, const char *name);
  void (*store)(rr_ramp_spec &spec, double v);
};

// Open intervals reject NaN by construction (every comparison is false).
bool open_range(double v, double lo, double hi) {
  return v > lo && v < hi;
}

constexpr NumericField numeric_fields[] = {
    {"ScanLen", 3, false,
     [](double v, int type) { return is_pmi(type) ? v == 0 : open_range(v, 0, 1000); },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size,
                     "For PMI ramps, the %s value must be 0\nFor SWLI or BTW ramps, it must be "
                     "greater than %g and less than %g (um)\n",
                     name, 0.0, 1000.0);
     },
     [](rr_ramp_spec &s, double v) { s.scanLen = static_cast<float>(v); }},
    {"CameraRate", 4, false, [](double v, int) { return open_range(v, 0, 50000); },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size, "The %s value must be greater than 0 and less than %g (Hz)\n", name,
                     50000.0);
     },
     [](rr_ramp_spec &s, double v) { s.cameraRate = static_cast<float>(v); }},
    {"CameraInterlace", 5, true, [](double v, int) { return v == 0 || v == 1; },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size, "The %s value must be 0 or 1\n", name);
     },
     [](rr_ramp_spec &s, double v) { s.cameraInterlace = static_cast<int32_t>(v); }},
    {"GrabSkip", 6, true, [](double v, int) { return v >= 0 && v < 100; },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size,
                     "The %s value must be greater than or equal to %d and less than %d\n", name, 0,
                     100);
     },
     [](rr_ramp_spec &s, double v) { s.grabSkip = static_cast<int32_t>(v); }},
    {"FringesPerFrame", 7, false, [](double v, int) { return open_range(v, 0, 10); },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size, "The %s value must be greater than %g and less than %g\n", name,
                     0.0, 10.0);
     },
     [](rr_ramp_spec &s, double v) { s.fringesPerFrame = static_cast<float>(v); }},
    {"RampSlope", 8, false,
     [](double v, int type) {
       return is_pmi(type) ? (v >= 0 && v < 4000) : open_range(v, 0, 4000);
     },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size,
                     "For PMI ramps, the %s value may be 0\nFor SWLI or BTW ramps, it must be "
                     "greater than %g and less than %g (nm/frm)\n",
                     name, 0.0, 4000.0);
     },
     [](rr_ramp_spec &s, double v) { s.rampSlope = static_cast<float>(v); }},
    {"ObjMag", 9, false,
     [](double v, int type) {
       return type == RR_TYPE_BTW ? open_range(v, 0, 1000) : (v >= 0 && v < 1000);
     },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size,
                     "For PMI or SWLI ramps, the %s value may be 0\nFor BTW ramps, it must be "
                     "greater than %g and less than %g\n",
                     name, 0.0, 1000.0);
     },
     [](rr_ramp_spec &s, double v) { s.objMag = static_cast<float>(v); }},
    {"ScanCal", 10, false,
     [](double v, int type) { return is_pmi(type) ? v == 0 : open_range(v, 0.5, 1.5); },
     [](char *out, size_t size, const char *name) {
       std::snprintf(out, size,
                     "For PMI ramps, the %s value must be 0\nFor SWLI or BTW ramps, it must be "
                     "greater than %g and less than %g\n",
                     name, 0.5, 1.5);
     },
     [](rr_ramp_spec &s, double v) { s.scanCal = static_cast<float>(v); }},
};

// Why a line was rejected: the error text and its explanation (may be empty).
struct LineError {
  char text[160] = "";
  char explanation[320] = "";
};

// strtok's splitting without its hidden state: the next token from *cursor.
char *next_token(char *&cursor, const char *delims) {
  if (!cursor)
    return nullptr;
  cursor += std::strspn(cursor, delims);
  if (!*cursor) {
    cursor = nullptr;
    return nullptr;
  }
  char *token = cursor;
  cursor += std::strcspn(cursor, delims);
  if (*cursor)
    *cursor++ = '\0';
  else
    cursor = nullptr;
  return token;
}

int to_int(long n) {
  return n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : int(n);
}

// Converts a numeric token; false when nothing at its start converts.
bool convert(const char *token, bool integer, double &v) {
  char *end = nullptr;
  if (integer)
    v = to_int(std::strtol(token, &end, 10));
  else
    v = std::strtod(token, &end);
  return end != token;
}

bool parse_ramp_type(const char *token, rr_ramp_spec &spec, LineError &err) {
  if (!token)
    token = "";
  if (std::strncmp(token, "SWLI", 4) == 0) {
    spec.rampType = RR_TYPE_SWLI;
  } else if (std::strncmp(token, "PMI", 4) == 0) {
    spec.rampType = RR_TYPE_PMI;
  } else if (std::strncmp(token, "BTW", 3) == 0) {
    spec.rampType = RR_TYPE_BTW;
    char index = token[3];
    if (index) {
      if (index < '0' + wavelen_min || index > '0' + wavelen_max) {
        std::snprintf(err.text, sizeof err.text, "Invalid BTW wavelength index (field %d)", 1);
        std::snprintf(err.explanation, sizeof err.explanation,
                      "Wavelength index must be an integer in the range [%d,%d]\n", wavelen_min,
                      wavelen_max);
        return false;
      }
      spec.wavelenSelect = index - '0';
    }
  } else {
    std::snprintf(err.text, sizeof err.text, "Invalid %s value (field %d)", "RampType", 1);
    std::snprintf(err.explanation, sizeof err.explanation,
                  "Allowed %s values are SWLI, PMI, BTW, and BTWX\nwhere X is a wavelength index "
                  "in the range [%d,%d]\n",
                  "RampType", wavelen_min, wavelen_max);
    return false;
  }
  return true;
}

void missing(LineError &err, const char *name, int number) {
  std::snprintf(err.text, sizeof err.text, "Missing %s value (field %d)", name, number);
}

void invalid_value(LineError &err, const char *name, int number, bool integer, double v) {
  if (integer)
    std::snprintf(err.text, sizeof err.text, "Invalid %s value %d (field %d)", name, int(v),
                  number);
  else
    std::snprintf(err.text, sizeof err.text, "Invalid %s value %g (field %d)", name, v, number);
}

// Checks the fields of one ramp line in order; the first failing field
// rejects the line.
bool parse_ramp_line(char *line, rr_ramp_spec &spec, LineError &err) {
  static constexpr const char *field_delims = " \t";
  spec = rr_ramp_spec{};
  char *cursor = line;
  const char *type_token = next_token(cursor, " \t\n");
  if (!parse_ramp_type(type_token, spec, err))
    return false;

  const char *name = next_token(cursor, field_delims);
  if (!name) {
    missing(err, "FileName", 2);
    return false;
  }
  if (std::strlen(name) > RR_FILE_NAME_MAX) {
    std::snprintf(err.text, sizeof err.text, "%s is too long (field %d)", "FileName", 2);
    std::snprintf(err.explanation, sizeof err.explanation, "The %s may be up to %d characters\n",
                  "FileName", RR_FILE_NAME_MAX);
    return false;
  }
  std::memcpy(spec.fileName, name, std::strlen(name) + 1);

  for (const NumericField &field : numeric_fields) {
    const char *token = next_token(cursor, field_delims);
    if (!token) {
      missing(err, field.name, field.number);
      return false;
    }
    double v = 0;
    if (!convert(token, field.integer, v) || !field.accept(v, spec.rampType)) {
      invalid_value(err, field.name, field.number, field.integer, v);
      field.explain(err.explanation, sizeof err.explanation, field.name);
      return false;
    }
    field.store(spec, v);
  }

  const char *hide = next_token(cursor, field_delims);
  if (hide && *hide != '#') {
    double v = 0;
    if (!convert(hide, true, v) || (v != 0 && v != 1)) {
      invalid_value(err, "Hide", 11, true, v);
      std::snprintf(err.explanation, sizeof err.explanation, "The %s value must be blank, 0 or 1\n",
                    "Hide");
      return false;
    }
    spec.hide = static_cast<int32_t>(v);
  }
  return true;
}

// ---- Reading ------------------------------------------------------------

class ConfigReader {
public:
  explicit ConfigReader(const char *path) : path_(path) {}
  ~ConfigReader() { ferry::hook_free(specs_); }

  u_err_t read(FILE *file);
  rr_ramp_spec *release() { return std::exchange(specs_, nullptr); }
  int accepted() const { return accepted_; }

private:
  void report(const char *text, int line_no, const char *line, const char *explanation);
  bool append(const rr_ramp_spec &spec);

  const char *path_;
  rr_ramp_spec *specs_ = nullptr;
  int capacity_ = 0;
  int accepted_ = 0;
  int seen_ = 0;
  int errors_ = 0;
  u_err_t result_ = 0;
};

void ConfigReader::report(const char *text, int line_no, const char *line,
                          const char *explanation) {
  if (++errors_ == 1)
    u_msg_hook("Error reading ramp config file \"%s\"\n", path_);
  u_msg_hook("%s", text);
  if (line_no > 0 && line) {
    // The explanation starts on a line of its own, also after a last line
    // that has no line end.
    size_t len = std::strlen(line);
    bool ended = len > 0 && line[len - 1] == '\n';
    u_msg_hook(" in line %d:\n  %s%s", line_no, line, ended ? "" : "\n");
  } else if (line_no > 0)
    u_msg_hook(" in line %d\n", line_no);
  else
    u_msg_hook("\n");
  if (explanation && *explanation)
    u_msg_hook("%s", explanation);
  if (result_ == 0 && errors_ == RR_CONFIG_MAX_ERRORS + 1) {
    u_msg_hook("Too many errors reading ramp config file \"%s\"\n", path_);
    result_ = ERR_CORRUPT_RAMP_CFG_FILE;
  }
}

bool ConfigReader::append(const rr_ramp_spec &spec) {
  if (accepted_ == capacity_) {
    int grown = capacity_ + grow_step;
    void *block = u_realloc_hook(specs_, sizeof(rr_ramp_spec) * size_t(grown));
    if (!block)
      return false;
    specs_ = static_cast<rr_ramp_spec *>(block);
    std::memset(specs_ + capacity_, 0, sizeof(rr_ramp_spec) * grow_step);
    capacity_ = grown;
  }
  specs_[accepted_++] = spec;
  return true;
}

u_err_t ConfigReader::read(FILE *file) {
  char raw[read_buffer_size];
  char work[read_buffer_size];
  int line_no = 0;
  while (result_ == 0 && std::fgets(raw, sizeof raw, file)) {
    if (std::strlen(raw) > RR_CONFIG_LINE_MAX) {
      char text[64];
      std::snprintf(text, sizeof text, "Line longer than %d characters", RR_CONFIG_LINE_MAX);
      result_ = ERR_CORRUPT_RAMP_CFG_FILE;
      report(text, line_no + 1, nullptr, nullptr);
      break;
    }
    ++line_no;
    std::memcpy(work, raw, sizeof raw);
    // Blanks before the line end would otherwise leave the line end as a
    // field of its own (a Hide of "\n" that is not a number).
    size_t len = std::strlen(work);
    while (len > 0 && (work[len - 1] == '\n' || work[len - 1] == '\r'))
      work[--len] = '\0';
    const char *first = work + std::strspn(work, " \t\n");
    if (!*first || *first == '#')
      continue;
    ++seen_;
    rr_ramp_spec spec;
    LineError err;
    if (!parse_ramp_line(work, spec, err)) {
      report(err.text, line_no, raw, err.explanation);
      continue;
    }
    if (!append(spec)) {
      result_ = ERR_NO_MEM;
      report("Out of memory", 0, nullptr, nullptr);
    }
  }

  if (accepted_ == 0) {
    u_msg_hook("No acceptable ramp specs in ramp config file \"%s\"\n", path_);
    u_msg_hook("Format description and sample:\n%s\n%s\n", description_block, sample_line);
    if (result_ == 0)
      result_ = ERR_CORRUPT_RAMP_CFG_FILE;
  }
  if (result_ == 0 && accepted_ < seen_)
    u_msg_hook("Accepted %d of %d ramp specs in ramp config file \"%s\"\n", accepted_, seen_,
               path_);
  return result_;
}

// ---- Writing ------------------------------------------------------------

const char *type_word(const rr_ramp_spec &spec, char (&buffer)[16]) {
  if (spec.rampType == RR_TYPE_SWLI)
    return "SWLI";
  if (spec.rampType >= RR_TYPE_PMI && spec.rampType <= RR_TYPE_PMI_LAST)
    return "PMI";
  if (spec.rampType == RR_TYPE_BTW) {
    if (spec.wavelenSelect < wavelen_min || spec.wavelenSelect > wavelen_max)
      return "BTW";
    std::snprintf(buffer, sizeof buffer, "%s%d", "BTW", spec.wavelenSelect);
    return buffer;
  }
  return "XXX";
}

// A ramp starts a new group when its type, file name or camera rate (by
// more than 1 Hz) differs from the group's first ramp.
bool starts_group(const rr_ramp_spec *group, const rr_ramp_spec &spec) {
  return !group || spec.rampType != group->rampType ||
         std::strcmp(spec.fileName, group->fileName) != 0 ||
         std::fabs(double(spec.cameraRate) - double(group->cameraRate)) > 1;
}

} // namespace

extern "C" {

u_err_t rr_read_ramp_config(const char *path, rr_ramp_spec **specs, int *count) {
  if (!specs || *specs || !count || !path)
    return ERR_INVALID_PARAM;
  *count = 0;
  FILE *file = std::fopen(path, "r");
  if (!file) {
    u_msg_hook("Cannot open ramp config file \"%s\"\n", path);
    return ERR_CANT_OPEN_FILE;
  }
  ConfigReader reader(path);
  u_err_t result = reader.read(file);
  std::fclose(file);
  if (result == 0) {
    *count = reader.accepted();
    *specs = reader.release();
  }
  return result;
}

u_err_t rr_write_ramp_config(const char *path, const rr_ramp_spec *specs, int count) {
  if (!specs || !path)
    return ERR_INVALID_PARAM;
  FILE *file = std::fopen(path, "w");
  if (!file)
    return ERR_CANT_OPEN_FILE;
  std::fputs(title_line, file);
  std::fputs(description_block, file);
  const rr_ramp_spec *group = nullptr;
  for (int i = 0; i < count; ++i) {
    const rr_ramp_spec &s = specs[i];
    if (starts_group(group, s)) {
      std::fputs("\n", file);
      group = &s;
    }
    char word[16];
    std::fprintf(file, line_format, type_word(s, word), s.fileName, double(s.scanLen),
                 double(s.cameraRate), s.cameraInterlace, s.grabSkip, double(s.fringesPerFrame),
                 double(s.rampSlope), double(s.objMag), double(s.scanCal), s.hide);
  }
  // A full disk must not pass for a written file.
  bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed)
    return ERR_CANT_WRITE_FILE;
  return 0;
}

} // extern "C"
