#include "ramps/ramp_file.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/hooks.h"
#include "platform/files.h"
#include "ramps/ramp_config.h"
#include "ramps/ramp_math_internal.h"

namespace {

static_assert(sizeof(rr_ramp_hdr_t) == RR_RAMP_HDR_SIZE);
static_assert(offsetof(rr_ramp_hdr_t, scanLen) == 80);
static_assert(offsetof(rr_ramp_hdr_t, scanCal) == 160);
static_assert(offsetof(rr_ramp_hdr_t, fringesPerFrame) == 4 * RR_RAMP_HDR_SWAPPED_WORDS);
static_assert(offsetof(rr_ramp_hdr_t, wavelenSelect) == 176);
static_assert(offsetof(rr_ramp_hdr_t, spare) == 196);

constexpr bool host_is_big_endian = std::endian::native == std::endian::big;

uint32_t swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
uint16_t swap16(uint16_t v) {
  return static_cast<uint16_t>((v >> 8) | (v << 8));
}

// Big-endian file order <-> machine order of the samples.
void convert_samples(uint16_t *to, const uint16_t *from, size_t n) {
  for (size_t i = 0; i < n; ++i)
    to[i] = host_is_big_endian ? from[i] : swap16(from[i]);
}

uint32_t read_be32(const unsigned char *b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

struct FileCloser {
  FILE *f;
  ~FileCloser() {
    if (f)
      std::fclose(f);
  }
};

// The listing's view of the header: every named field in file order.
enum class Kind { Int, Real, Char };
struct PrintedField {
  const char *name;
  size_t offset;
  Kind kind;
};

#define RR_FIELD(name, kind)                                                                       \
  { #name, offsetof(rr_ramp_hdr_t, name), Kind::kind }
constexpr PrintedField printed_fields[] = {
    RR_FIELD(magicNumber, Int),
    RR_FIELD(rampType, Int),
    RR_FIELD(pztID, Int),
    RR_FIELD(rampID, Int),
    RR_FIELD(nPoints, Int),
    RR_FIELD(rampUp, Int),
    RR_FIELD(rampStart, Int),
    RR_FIELD(rampLinear, Int),
    RR_FIELD(rampEnd, Int),
    RR_FIELD(sampleClkFreq, Real),
    RR_FIELD(cameraRate, Real),
    RR_FIELD(updateRate, Int),
    RR_FIELD(grabSkip, Int),
    RR_FIELD(rampSlope, Real),
    RR_FIELD(trigStartAddr, Int),
    RR_FIELD(trigEndAddr, Int),
    RR_FIELD(rampGainDflt, Int),
    {"rampTriple[0]", offsetof(rr_ramp_hdr_t, rampTriple) + 0, Kind::Real},
    {"rampTriple[1]", offsetof(rr_ramp_hdr_t, rampTriple) + 4, Kind::Real},
    {"rampTriple[2]", offsetof(rr_ramp_hdr_t, rampTriple) + 8, Kind::Real},
    RR_FIELD(scanLen, Real),
    RR_FIELD(polar, Char),
    RR_FIELD(offset, Int),
    RR_FIELD(nBuckets, Int),
    RR_FIELD(rampLin, Real),
    RR_FIELD(rampTrim, Real),
    RR_FIELD(cameraPClock, Real),
    RR_FIELD(cameraHPeriod, Int),
    RR_FIELD(cameraVPeriod, Int),
    RR_FIELD(cameraInterlace, Int),
    RR_FIELD(rampMux, Int),
    RR_FIELD(instrBdType, Int),
    RR_FIELD(compGain, Int),
    RR_FIELD(compFilter, Int),
    RR_FIELD(leakage, Int),
    RR_FIELD(adcMin, Int),
    RR_FIELD(adcMax, Int),
    RR_FIELD(adcFirst, Int),
    RR_FIELD(adcMid, Int),
    RR_FIELD(adcLast, Int),
    RR_FIELD(scanCal, Real),
    RR_FIELD(fringesPerFrame, Real),
    RR_FIELD(objMag, Real),
    RR_FIELD(wavelenSelect, Int),
};
#undef RR_FIELD

bool is_pmi_type(int type) {
  return type >= RR_TYPE_PMI && type <= RR_TYPE_PMI_LAST;
}
bool is_scanning_type(int type) {
  return type == RR_TYPE_SWLI || type == RR_TYPE_BTW;
}

// An odd multiple of 0.25 (0.25, 0.75, 1.25, ...).
bool odd_quarter(double f) {
  double q = f * 4;
  return f > 0 && q == std::floor(q) && std::fmod(q, 2) == 1;
}

// fringesPerFrame of a SWLI or BTW ramp from its slope; 0 when none fits.
double default_fpf_from_slope(double slope) {
  static constexpr struct {
    double slope, fpf;
  } table[] = {{81, 0.25}, {243, 0.75}, {405, 1.25}, {567, 1.75}};
  for (const auto &entry : table)
    if (slope == entry.slope)
      return entry.fpf;
  return 0;
}

// fringesPerFrame of a PMI ramp with nBuckets 13 or less; 0 when none fits.
double pmi_fpf(int n_buckets) {
  if (n_buckets == 5 || n_buckets == 7)
    return 0.25;
  if (n_buckets == 11 || n_buckets == 13)
    return 0.125;
  return 0;
}

// The valid fringesPerFrame of a header, or a negative value when f is
// invalid. PMI ramps of many buckets are not checked.
double checked_fpf(const rr_ramp_hdr_t &hdr) {
  double f = hdr.fringesPerFrame;
  if (is_pmi_type(hdr.rampType)) {
    if (hdr.nBuckets > 13)
      return f;
    double expected = pmi_fpf(hdr.nBuckets);
    if (expected == 0 || (f != 0 && f != expected))
      return -1;
    return expected;
  }
  if (f != 0)
    return odd_quarter(f) ? f : -1;
  double fallback = default_fpf_from_slope(hdr.rampSlope);
  return fallback != 0 ? fallback : -1;
}

bool board_compatible(int file_board, int instr_board) {
  if (instr_board == 8)
    return file_board == 0 || file_board == 1 || file_board == 8;
  return file_board == 0 || file_board == instr_board;
}

} // namespace

extern "C" {

void rr_swap_ramp_hdr(rr_ramp_hdr_t *hdr) {
  if (!hdr || host_is_big_endian)
    return;
  unsigned char *bytes = reinterpret_cast<unsigned char *>(hdr);
  for (int i = 0; i < RR_RAMP_HDR_SWAPPED_WORDS; ++i) {
    uint32_t w;
    std::memcpy(&w, bytes + 4 * i, 4);
    w = swap32(w);
    std::memcpy(bytes + 4 * i, &w, 4);
  }
}

void rr_free_ramp_samples(rr_ramp *ramp) {
  if (ramp)
    ferry::hook_free(ramp->samples);
}

u_err_t rr_read_ramp_file(const char *path, rr_ramp_hdr_t *hdr, uint16_t **samples) {
  if (!hdr)
    return ERR_INVALID_PARAM;
  std::memset(hdr, 0, sizeof *hdr);
  if (samples)
    ferry::hook_free(*samples);
  // Some systems open a folder for reading and fail only at the first read;
  // a folder is refused as the file it cannot be, whatever the system.
  if (!path || plat_is_directory(path))
    return ERR_CANT_OPEN_FILE;

  FileCloser file{std::fopen(path, "rb")};
  if (!file.f)
    return ERR_CANT_OPEN_FILE;
  unsigned char magic[4];
  if (std::fread(magic, 1, sizeof magic, file.f) != sizeof magic)
    return ERR_PREMATURE_EOF;
  if (read_be32(magic) != uint32_t(RR_RAMP_MAGIC))
    return ERR_NOT_A_RAMP_FILE;
  if (std::fseek(file.f, 0, SEEK_SET) != 0 ||
      std::fread(hdr, 1, sizeof *hdr, file.f) != sizeof *hdr)
    return ERR_PREMATURE_EOF;
  rr_swap_ramp_hdr(hdr);

  if (hdr->nPoints <= 0 || !samples)
    return 0;
  size_t n = size_t(hdr->nPoints);
  // The header is untrusted: a count that the file can't hold is refused
  // before it can ask for gigabytes.
  int64_t size = plat_file_size(file.f);
  if (size >= 0 && (size - RR_RAMP_HDR_SIZE) / 2 < int64_t(n))
    return ERR_CORRUPT_RAMP_FILE;
  ferry::HookBuffer<uint16_t> buffer(n);
  if (!buffer)
    return ERR_NO_MEM;
  if (std::fread(buffer.get(), sizeof(uint16_t), n, file.f) != n)
    return ERR_CORRUPT_RAMP_FILE;
  convert_samples(buffer.get(), buffer.get(), n);
  *samples = buffer.release();
  return 0;
}

u_err_t rr_write_ramp_file(const char *path, const rr_ramp_hdr_t *hdr, const uint16_t *samples) {
  if (!samples || !hdr || !path)
    return ERR_INVALID_PARAM;
  ferry::HookBuffer<rr_ramp_hdr_t> file_hdr(1);
  if (!file_hdr)
    return ERR_NO_MEM;
  *file_hdr.get() = *hdr;
  file_hdr.get()->magicNumber = RR_RAMP_MAGIC;
  rr_swap_ramp_hdr(file_hdr.get());

  size_t n = hdr->nPoints > 0 ? size_t(hdr->nPoints) : 0;
  ferry::HookBuffer<uint16_t> file_samples;
  if (n > 0) {
    file_samples = ferry::HookBuffer<uint16_t>(n);
    if (!file_samples)
      return ERR_NO_MEM;
    convert_samples(file_samples.get(), samples, n);
  }

  FileCloser file{std::fopen(path, "wb")};
  if (!file.f)
    return ERR_CANT_CREATE_FILE;
  if (std::fwrite(file_hdr.get(), 1, RR_RAMP_HDR_SIZE, file.f) != RR_RAMP_HDR_SIZE ||
      (n > 0 && std::fwrite(file_samples.get(), sizeof(uint16_t), n, file.f) != n))
    return ERR_CANT_WRITE_FILE;
  FILE *f = std::exchange(file.f, nullptr);
  return std::fclose(f) == 0 ? 0 : ERR_CANT_WRITE_FILE;
}

void rr_print_ramp(FILE *stream, const rr_ramp_hdr_t *hdr, const uint16_t *samples,
                   int one_per_line) {
  if (!stream || !hdr)
    return;
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(hdr);
  for (const PrintedField &field : printed_fields) {
    int first = int(field.offset) + 1, last = int(field.offset) + 4;
    int32_t i;
    float f;
    std::memcpy(&i, bytes + field.offset, 4);
    std::memcpy(&f, bytes + field.offset, 4);
    switch (field.kind) {
    case Kind::Int:
      std::fprintf(stream, "# %3d-%3d  %-18s = %d\n", first, last, field.name, i);
      break;
    case Kind::Real:
      std::fprintf(stream, "# %3d-%3d  %-18s = %g\n", first, last, field.name, double(f));
      break;
    case Kind::Char:
      std::fprintf(stream, "# %3d-%3d  %-18s = %c\n", first, last, field.name, i);
      break;
    }
  }
  std::fprintf(stream, "# %3d-%3d  %-18s\n", int(offsetof(rr_ramp_hdr_t, spare)) + 1,
               RR_RAMP_HDR_SIZE, "spare");
  std::fprintf(stream, "# sizeof rr_ramp_hdr_t = %d\n", int(sizeof(rr_ramp_hdr_t)));
  if (!samples)
    return;
  for (int32_t k = 0; k < hdr->nPoints; ++k) {
    if (one_per_line) {
      std::fprintf(stream, "%u\n", unsigned(samples[k]));
    } else {
      std::fprintf(stream, "%u  ", unsigned(samples[k]));
      if (k % 10 == 0)
        std::fputc('\n', stream);
    }
  }
  if (!one_per_line)
    std::fputc('\n', stream);
}

u_err_t rr_check_ramp_file(rr_ramp_hdr_t *hdr, const char *file_name, int board_type,
                           int pifoc_serial, int pzt_serial) {
  if (!hdr)
    return ERR_INVALID_PARAM;
  if (!file_name)
    file_name = "";
  if (!board_compatible(hdr->instrBdType, board_type)) {
    u_msg_hook("Error: ramp data file %s is not compatible with this instrument\n", file_name);
    return ERR_WRONG_INSTR_BOARD;
  }
  int serial;
  const char *scanner;
  if (is_pmi_type(hdr->rampType)) {
    serial = pzt_serial;
    scanner = "PZT";
  } else if (is_scanning_type(hdr->rampType)) {
    serial = pifoc_serial;
    scanner = "PIFOC";
  } else {
    u_msg_hook("Error: ramp data file \"%s\" is of unknown type %d\n", file_name, hdr->rampType);
    return ERR_CORRUPT_RAMP_FILE;
  }
  if (serial == -1) {
    u_msg_hook("Error: ramp data file \"%s\" can only be used with a %s\n", file_name, scanner);
    return ERR_INVALID_PARAM;
  }
  if (serial != hdr->pztID) {
    u_msg_hook("Warning: ramp data file \"%s\" was generated for a different %s\n", file_name,
               scanner);
    u_msg_hook("Changing ramp S/N from %d to %d\n", hdr->pztID, serial);
    hdr->pztID = serial;
  }
  double f = checked_fpf(*hdr);
  if (f < 0) {
    u_msg_hook("Error: invalid fringesPerFrame %g in ramp data file \"%s\"\n",
               double(hdr->fringesPerFrame), file_name);
    return ERR_INVALID_PARAM;
  }
  hdr->fringesPerFrame = static_cast<float>(f);
  return 0;
}

u_err_t rr_check_ramp_spec(const rr_ramp_spec *spec, const rr_ramp *ramp) {
  if (!spec || !ramp)
    return ERR_INVALID_PARAM;
  const rr_ramp_hdr_t &h = ramp->hdr;
  bool pmi = is_pmi_type(h.rampType);
  const char *mismatch = nullptr;
  if (pmi ? !(spec->rampType == RR_TYPE_PMI || spec->rampType == h.rampType)
          : spec->rampType != h.rampType)
    mismatch = "Error: mismatched rampType\n";
  else if (!(std::fabs(double(spec->cameraRate) - double(h.cameraRate)) <= 0.1))
    mismatch = "Error: mismatched cameraRate\n";
  else if (spec->cameraInterlace != h.cameraInterlace)
    mismatch = "Error: mismatched cameraInterlace\n";
  else if (spec->grabSkip != h.grabSkip)
    mismatch = "Error: mismatched grabSkip\n";
  else if (spec->fringesPerFrame != h.fringesPerFrame)
    mismatch = "Error: mismatched fringesPerFrame\n";
  else if (pmi)
    return 0;
  else if (spec->scanLen != h.scanLen)
    mismatch = "Error: mismatched scanLen\n";
  else if (spec->rampSlope != h.rampSlope)
    mismatch = "Error: mismatched rampSlope\n";
  if (!mismatch)
    return 0;
  u_msg_hook("%s", mismatch);
  return ERR_INVALID_PARAM;
}

u_err_t rr_get_std_ramp_filename(const rr_ramp_hdr_t *hdr, const char **name) {
  static char std_name[160];
  if (!hdr || !name)
    return ERR_INVALID_PARAM;
  *name = nullptr;
  char rate[16];
  std::snprintf(rate, sizeof rate, "%d",
                ferry::ramps::trunc_to_int(double(hdr->cameraRate) / (hdr->grabSkip + 1.0) + 0.5));
  int scan = ferry::ramps::trunc_to_int(hdr->scanLen);
  int slope = ferry::ramps::trunc_to_int(hdr->rampSlope);
  char polar = static_cast<char>(hdr->polar);
  if (hdr->rampType == RR_TYPE_SWLI)
    std::snprintf(std_name, sizeof std_name, "d%ds%dc%s.%c%d", scan, slope, rate, polar,
                  hdr->pztID);
  else if (hdr->rampType == RR_TYPE_BTW)
    std::snprintf(std_name, sizeof std_name, "d%ds%dc%sm%d.%c%d", scan, slope, rate,
                  ferry::ramps::trunc_to_int(hdr->objMag), polar, hdr->pztID);
  else if (is_pmi_type(hdr->rampType))
    std::snprintf(std_name, sizeof std_name, "p%dc%s.%c%d", hdr->nBuckets, rate,
                  hdr->rampMux == 1 ? 'q' : 'p', hdr->pztID);
  else {
    u_msg_hook("rr_get_std_ramp_filename: unsupported ramp type %d", hdr->rampType);
    return ERR_INVALID_PARAM;
  }
  *name = std_name;
  return 0;
}

} // extern "C"
