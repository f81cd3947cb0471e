#include "tool/hdp_reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>

#include "base/hooks.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/streaming_store.h"

namespace {

// ---------------------------------------------------------------------------
// Header layouts
//
// The file header is packed big-endian. We widen it by inserting 2-byte zero
// gaps so that every multi-byte field lands on its natural alignment, which
// makes the widened bytes exactly the in-memory records below.

struct Gap {
  size_t offset; // in the packed file layout; the gap goes before this byte
  size_t bytes;
};

struct HdpHeader2 {
  uint8_t format_code;
  uint8_t unused_1;
  int32_t n32_at_2[3];
  char text_at_14[15];
  char text_at_29[10];
  int8_t n8_at_39;
  int8_t data_type;
  char text_at_41[81];
  char date_text[22];
  int32_t n32_at_144;
  int32_t n32_at_148;
  uint8_t flag_at_152;
  uint8_t flag_b;
  uint8_t unused_154[2];
  int16_t window_type3[4];
  uint8_t unused_164[2];
  int16_t window_type4[4];

  static constexpr size_t packed_size = 174;
  static constexpr std::array<Gap, 3> gaps{{{2, 2}, {144, 2}, {174, 2}}};
};

struct HdpHeader3 {
  uint8_t format_code;
  uint8_t unused_1;
  int32_t n32_at_2[3];
  char text_at_14[15];
  char text_at_29[10];
  int8_t n8_at_39;
  int8_t data_type;
  char text_at_41[81];
  char date_text[22];
  int32_t n32_at_144;
  int32_t n32_at_148;
  uint8_t flag_at_152;
  uint8_t unused_153;
  uint8_t flag_b;
  uint8_t unused_155;
  int16_t n16_at_156;
  int32_t n32_at_158;
  int32_t n32_at_162;
  uint8_t unused_166[2];
  int16_t window_type3[4];
  uint8_t unused_176[2];
  int16_t window_type4[4];

  static constexpr size_t packed_size = 186;
  static constexpr std::array<Gap, 3> gaps{{{2, 2}, {144, 2}, {158, 2}}};
};

template <typename H> constexpr size_t widened_size() {
  size_t n = H::packed_size;
  for (const Gap &g : H::gaps)
    n += g.bytes;
  return n;
}

// The gap tables and the records must describe the same bytes.
static_assert(sizeof(HdpHeader2) == widened_size<HdpHeader2>());
static_assert(sizeof(HdpHeader3) == widened_size<HdpHeader3>());
static_assert(offsetof(HdpHeader2, n32_at_144) == 148);
static_assert(offsetof(HdpHeader2, window_type4) == 170);
static_assert(offsetof(HdpHeader3, n32_at_158) == 164);
static_assert(offsetof(HdpHeader3, window_type4) == 184);

constexpr size_t kMaxPackedHeader = std::max(HdpHeader2::packed_size, HdpHeader3::packed_size);

// Copies the packed bytes into the record, leaving a zero gap before each
// table offset.
template <typename H> void widen_header(std::span<const uint8_t> packed, H &out) {
  auto *dst = reinterpret_cast<uint8_t *>(&out);
  std::memset(dst, 0, sizeof(H));
  size_t from = 0, to = 0;
  for (const Gap &g : H::gaps) {
    std::memcpy(dst + to, packed.data() + from, g.offset - from);
    to += g.offset - from + g.bytes;
    from = g.offset;
  }
  std::memcpy(dst + to, packed.data() + from, H::packed_size - from);
}

template <typename T> void swap_field(T &v) {
  u_swap_bytes(&v, sizeof(T));
}
template <typename T, size_t N> void swap_field(T (&v)[N]) {
  for (T &e : v)
    swap_field(e);
}

void swap_common(auto &h) {
  swap_field(h.n32_at_2);
  swap_field(h.n32_at_144);
  swap_field(h.n32_at_148);
  swap_field(h.window_type3);
  swap_field(h.window_type4);
}

void to_host(HdpHeader2 &h) {
  swap_common(h);
}
void to_host(HdpHeader3 &h) {
  swap_common(h);
  swap_field(h.n16_at_156);
  swap_field(h.n32_at_158);
  swap_field(h.n32_at_162);
}

// What the conversion takes from either layout. Texts point into the
// widened record and are bounded by their spans, not by a NUL.
struct HdpFields {
  std::span<const char> text_at_14;
  std::span<const char> text_at_29;
  std::span<const char> text_at_41;
  std::span<const char> date_text;
  int8_t n8_at_39;
  int8_t data_type;
  int32_t n32_at_144;
  int32_t n32_at_148;
  bool flag_at_152;
  bool flag_b;
  bool has_n32_at_158;
  int32_t n32_at_158;
  const int16_t *window; // y origin, x origin, rows, columns
};

template <typename H> HdpFields common_fields(const H &h) {
  HdpFields f{};
  f.text_at_14 = h.text_at_14;
  f.text_at_29 = h.text_at_29;
  f.text_at_41 = h.text_at_41;
  f.date_text = h.date_text;
  f.n8_at_39 = h.n8_at_39;
  f.data_type = h.data_type;
  f.n32_at_144 = h.n32_at_144;
  f.n32_at_148 = h.n32_at_148;
  f.flag_at_152 = h.flag_at_152 != 0;
  f.flag_b = h.flag_b != 0;
  f.window = h.data_type == 3 ? h.window_type3 : h.window_type4;
  return f;
}

HdpFields fields_of(const HdpHeader2 &h) {
  return common_fields(h);
}
HdpFields fields_of(const HdpHeader3 &h) {
  HdpFields f = common_fields(h);
  f.has_n32_at_158 = true;
  f.n32_at_158 = h.n32_at_158;
  return f;
}

// ---------------------------------------------------------------------------
// Data types

enum { HDP_UNSQUARED_PHASE = 3, HDP_PHASE = 4 };

struct DataTypeInfo {
  int code;
  const char *refusal; // null: converted
};

constexpr DataTypeInfo kDataTypes[] = {
    {1, "*** Type of data is Light Levels ***\n"},
    {2, "*** Type of data is Converted Phases ***\n"},
    {HDP_UNSQUARED_PHASE, nullptr},
    {HDP_PHASE, nullptr},
    {5, "*** Type of data is PSF ***\n"},
    {6, "*** Type of data is MTF ***\n"},
};

// Prints what the data type calls for; false when it is not converted.
bool accept_data_type(int type, const char *path) {
  for (const DataTypeInfo &t : kDataTypes) {
    if (t.code != type)
      continue;
    if (t.refusal) {
      u_msg_hook("%s", t.refusal);
      return false;
    }
    if (type == HDP_UNSQUARED_PHASE)
      u_msg_hook("*** WARNING: Phase data in \"%s\" is unsquared ***\n", path);
    return true;
  }
  u_msg_hook("*** Type of data is unknown ***\n");
  return false;
}

// ---------------------------------------------------------------------------
// Header record

constexpr int16_t kCameraHeight = 210;

int span_length(std::span<const char> text) {
  const void *nul = std::memchr(text.data(), 0, text.size());
  return static_cast<int>(nul ? static_cast<const char *>(nul) - text.data() : text.size());
}

// The text of a span, up to its NUL or its end, as a NUL-ended text in out
// (cut to fit, should a span be longer than out allows).
template <size_t N> void copy_span_text(std::span<const char> text, char (&out)[N]) {
  const size_t n = std::min(static_cast<size_t>(span_length(text)), N - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

void fill_name(std::span<const char> text, data_header *header) {
  char work[sizeof HdpHeader2::text_at_41 + 1];
  copy_span_text(text, work);
  clean_printable(work);
  trim_blanks(work);
  constexpr size_t field = sizeof header->text_at_258;
  std::strncpy(header->text_at_258, work, field - 1);
  header->text_at_258[field - 1] = '\0';
}

int32_t timestamp_of(std::span<const char> date) {
  char text[sizeof HdpHeader2::date_text + 1];
  copy_span_text(date, text);
  int64_t t = parse_hdp_date(text);
  return t < 0 || t > INT32_MAX ? 0 : static_cast<int32_t>(t);
}

void fill_header(const HdpFields &f, data_header *header) {
  header->f32_at_176 = 1.0f;
  header->n16_at_218 = 0;
  header->camera_width = f.data_type == HDP_UNSQUARED_PHASE ? 336 : 288;
  header->camera_height = kCameraHeight;
  header->timestamp = timestamp_of(f.date_text);
  std::snprintf(header->comment, sizeof header->comment, "Data from %.*s SPM%.*s",
                span_length(f.text_at_29), f.text_at_29.data(), span_length(f.text_at_14),
                f.text_at_14.data());
  fill_name(f.text_at_41, header);
  header->n16_at_162 = f.n8_at_39;
  header->f32_at_164 = static_cast<float>(static_cast<double>(f.n32_at_144) / 1e7);
  header->f32_at_168 = static_cast<float>(static_cast<double>(f.n32_at_148) / 1e13);
  if (f.has_n32_at_158)
    header->f32_at_184 = static_cast<float>(static_cast<double>(f.n32_at_158) / 1e10);
  header->n16_at_192 = f.flag_b ? 1 : 0;
  header->n16_at_202 = f.flag_at_152 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Samples

// Rows of samples read per request: large enough that the reads cost no
// more than one big read, small enough to stay in the cache while they are
// converted.
constexpr size_t kChunkBytes = 256 * 1024;
// From this size on the matrix is filled past the cache.
constexpr size_t kStreamingFromBytes = 16u << 20;

// The swap and the test for the invalid mark stay in 16 bits, so that the
// compiler's vector code works on eight samples at a time and widens only
// the result.
inline int32_t phase_of(uint16_t big_endian) {
  const auto s = static_cast<int16_t>(static_cast<uint16_t>(big_endian << 8 | big_endian >> 8));
  return s == 0x7FFF ? PHASE_INVALID : s * 8;
}

// Blocks of a fixed size need no loop epilogue, which lets the compiler's
// cheapest vectorising model take them even at -O2. A matrix far larger
// than the cache is filled past the cache (`streaming`): it is read again
// only by the writer, long after, so reading its lines in before writing
// them would only double the memory traffic.
void convert_row(const uint16_t *src, int32_t *dst, int width, bool streaming) {
  constexpr int kBlock = 16;
  int c = 0;
  if (streaming) {
    for (; c < width && reinterpret_cast<uintptr_t>(dst + c) % 16 != 0; ++c)
      dst[c] = phase_of(src[c]);
    for (; c + kBlock <= width; c += kBlock) {
      alignas(16) int32_t block[kBlock];
      for (int k = 0; k < kBlock; ++k)
        block[k] = phase_of(src[c + k]);
      for (int k = 0; k < kBlock; k += 4)
        ferry::stream_16_bytes(dst + c + k, block + k);
    }
  }
  for (; c + kBlock <= width; c += kBlock)
    for (int k = 0; k < kBlock; ++k)
      dst[c + k] = phase_of(src[c + k]);
  for (; c < width; ++c)
    dst[c] = phase_of(src[c]);
}

// Converts n_rows stored rows, the first being stored row `first`, into
// their flipped places: stored row r becomes matrix row height-1-r.
void convert_rows(const uint16_t *stored, int first, int n_rows, phase_matrix *phase,
                  bool streaming) {
  const int width = phase->width;
  for (int r = 0; r < n_rows; ++r) {
    const uint16_t *src = stored + static_cast<size_t>(r) * width;
    int32_t *dst = phase->matrix + static_cast<size_t>(phase->height - 1 - (first + r)) * width;
    convert_row(src, dst, width, streaming);
  }
}

// Reads the window row block by row block, straight into the flipped rows
// of the matrix, so no copy of the whole file is ever held.
u_err_t read_samples(FILE *f, phase_matrix *phase) {
  const size_t row_samples = static_cast<size_t>(phase->width);
  const int rows_per_chunk =
      static_cast<int>(std::max<size_t>(1, kChunkBytes / (row_samples * sizeof(uint16_t))));
  const int chunk_rows = std::min<int>(rows_per_chunk, phase->height);
  ferry::HookBuffer<uint16_t> chunk(static_cast<size_t>(chunk_rows) * row_samples);
  if (!chunk)
    return ERR_NO_MEM;
  if (u_err_t err = phase_matrix_alloc(phase))
    return err;
  const size_t matrix_bytes = size_t{phase->size} * sizeof(int32_t);
  const bool streaming = matrix_bytes >= kStreamingFromBytes;
  // The stored rows fill the matrix from its last row up.
  ferry::BufferWarming warming(
      plat_warm_large_buffer(phase->matrix, matrix_bytes, /*from_end=*/true));
  for (int first = 0; first < phase->height; first += chunk_rows) {
    int n_rows = std::min(chunk_rows, phase->height - first);
    size_t want = static_cast<size_t>(n_rows) * row_samples;
    if (std::fread(chunk.get(), sizeof(uint16_t), want, f) != want) {
      ferry::stream_fence();
      warming.reset();
      phase_matrix_free(phase);
      return ERR_CORRUPT_DATA_FILE;
    }
    convert_rows(chunk.get(), first, n_rows, phase, streaming);
  }
  ferry::stream_fence();
  return 0;
}

// True when the file cannot hold `bytes` more bytes after its first
// `position` bytes. A size we cannot learn is left to the reads to find out.
bool too_short_for(FILE *f, size_t position, int64_t bytes) {
  int64_t size = plat_file_size(f);
  return size >= 0 && size - static_cast<int64_t>(position) < bytes;
}

template <typename H>
u_err_t convert(FILE *f, std::span<const uint8_t> packed, const char *path, data_header *header,
                phase_matrix *phase) {
  H h;
  widen_header(packed, h);
  to_host(h);
  const HdpFields fields = fields_of(h);
  if (!accept_data_type(fields.data_type, path))
    return ERR_NOT_A_DATA_FILE;
  fill_header(fields, header);

  const int16_t y0 = fields.window[0], x0 = fields.window[1];
  const int16_t rows = fields.window[2], cols = fields.window[3];
  // A negative extent would turn into a huge request further on.
  if (rows <= 0 || cols <= 0)
    return ERR_NOT_A_DATA_FILE;
  const int32_t count = static_cast<int32_t>(rows) * cols;
  // Check the announced samples against the file before asking for memory
  // for them: a few hundred bytes must not make us reserve gigabytes.
  if (too_short_for(f, packed.size(), static_cast<int64_t>(count) * 2))
    return ERR_CORRUPT_DATA_FILE;

  phase->x = x0;
  phase->y = static_cast<int16_t>(kCameraHeight - rows - y0);
  phase->width = cols;
  phase->height = rows;
  return read_samples(f, phase);
}

} // namespace

extern "C" u_err_t read_hdp_file(const char *path, data_prefix *prefix, data_header *header,
                                 phase_matrix *phase) {
  if (!prefix || !header || !phase)
    return ERR_INVALID_PARAM;
  std::memset(prefix, 0, sizeof *prefix);
  std::memset(header, 0, sizeof *header);
  phase_matrix_init(phase);

  ferry::UniqueFile file(plat_fopen(path, "rb"));
  if (!file)
    return ERR_CANT_OPEN_FILE;
  FILE *f = file.get();

  uint8_t packed[kMaxPackedHeader];
  if (std::fread(packed, 1, 1, f) != 1)
    return ERR_PREMATURE_EOF;
  const auto code = static_cast<int8_t>(packed[0]);
  size_t header_bytes = code == 2   ? HdpHeader2::packed_size
                        : code == 3 ? HdpHeader3::packed_size
                                    : 0;
  if (header_bytes == 0) {
    u_msg_hook("*** Format code = %d, expected 2 or 3 ***\n", static_cast<int>(code));
    return ERR_NOT_A_DATA_FILE;
  }
  if (std::fseek(f, 0, SEEK_SET) != 0 || std::fread(packed, 1, header_bytes, f) != header_bytes)
    return ERR_PREMATURE_EOF;

  std::span<const uint8_t> bytes(packed, header_bytes);
  return code == 2 ? convert<HdpHeader2>(f, bytes, path, header, phase)
                   : convert<HdpHeader3>(f, bytes, path, header, phase);
}

// ---------------------------------------------------------------------------
// Texts

// The text operations leave a missing text alone.

extern "C" void clean_printable(char *text) {
  for (; text && *text; ++text)
    if (static_cast<unsigned char>(*text) < 0x20 || static_cast<unsigned char>(*text) > 0x7E)
      *text = ' ';
}

namespace {
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}
} // namespace

extern "C" int trim_blanks(char *text) {
  if (!text)
    return 0;
  size_t len = std::strlen(text);
  size_t start = 0;
  while (start < len && is_blank(text[start]))
    ++start;
  size_t end = len;
  while (end > start && is_blank(text[end - 1]))
    --end;
  std::memmove(text, text + start, end - start);
  text[end - start] = '\0';
  return static_cast<int>(len - (end - start));
}

extern "C" void to_upper_text(char *text) {
  for (; text && *text; ++text)
    if (*text >= 'a' && *text <= 'z')
      *text = static_cast<char>(*text - 'a' + 'A');
}

// ---------------------------------------------------------------------------
// Dates

namespace {

struct Month {
  const char *name;
  int days;
};

constexpr Month kMonths[12] = {{"JAN", 31}, {"FEB", 28}, {"MAR", 31}, {"APR", 30},
                               {"MAY", 31}, {"JUN", 30}, {"JUL", 31}, {"AUG", 31},
                               {"SEP", 30}, {"OCT", 31}, {"NOV", 30}, {"DEC", 31}};

constexpr size_t kDateChars = 20;

// Splits a text the way strtok does, but keeps its position in the object
// rather than in hidden static state.
class Tokenizer {
public:
  explicit Tokenizer(char *text) : next_(text) {}
  char *next(const char *delimiters) {
    if (!next_)
      return nullptr;
    char *start = next_ + std::strspn(next_, delimiters);
    if (*start == '\0') {
      next_ = nullptr;
      return nullptr;
    }
    char *end = start + std::strcspn(start, delimiters);
    if (*end == '\0') {
      next_ = nullptr;
    } else {
      *end = '\0';
      next_ = end + 1;
    }
    return start;
  }

private:
  char *next_;
};

bool is_c_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads a decimal number as strtol does (leading white space, a sign,
// anything after the digits ignored); false when there are no digits. Values
// beyond the int range are clamped, which fails every range test below.
bool read_number(const char *token, int *value) {
  if (!token)
    return false;
  while (is_c_space(*token))
    ++token;
  bool negative = *token == '-';
  if (*token == '-' || *token == '+')
    ++token;
  if (*token < '0' || *token > '9')
    return false;
  int64_t v = 0;
  for (; *token >= '0' && *token <= '9'; ++token)
    v = std::min<int64_t>(v * 10 + (*token - '0'), int64_t{INT32_MAX} + 1);
  v = negative ? -v : v;
  *value = static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  return true;
}

int month_number(char *token) {
  if (!token)
    return -1;
  to_upper_text(token);
  for (int m = 0; m < 12; ++m)
    if (std::strcmp(token, kMonths[m].name) == 0)
      return m;
  return -1;
}

bool is_leap_year(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool in_range(int v, int lo, int hi) {
  return v >= lo && v <= hi;
}

} // namespace

extern "C" int64_t parse_hdp_date(const char *text) {
  if (!text)
    return -1;
  char work[kDateChars + 1];
  size_t n = 0;
  while (n < kDateChars && text[n])
    ++n;
  std::memcpy(work, text, n);
  work[n] = '\0';

  Tokenizer tokens(work);
  int day, year, hour, minute, second;
  if (!read_number(tokens.next("-"), &day))
    return -1;
  int month = month_number(tokens.next("-"));
  if (month < 0)
    return -1;
  if (!read_number(tokens.next("/"), &year) || year < 1900)
    return -1;
  int days = kMonths[month].days + (month == 1 && is_leap_year(year) ? 1 : 0);
  if (!in_range(day, 1, days))
    return -1;
  if (!read_number(tokens.next(":"), &hour) || !in_range(hour, 0, 23))
    return -1;
  if (!read_number(tokens.next(":"), &minute) || !in_range(minute, 0, 59))
    return -1;
  if (!read_number(tokens.next(":"), &second) || !in_range(second, 0, 59))
    return -1;

  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return plat_mktime64(&local);
}
