// The binary data file reader: the writer's layout read the other way, with
// every count the header announces checked against the header itself and
// against the file before any memory is taken for it.

#include "datafile/data_file_reader.h"
#include "datafile/data_file_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "base/files.h"
#include "base/hooks.h"
#include "datafile/matrix_sizes.h"
#include "platform/files.h"

namespace {

using namespace ferry::data_layout;
using ferry::checked_product;

// Magic number, format and size: what the rest of the header depends on.
constexpr size_t kFormatPartBytes = kPrefixCodeAt;

template <typename T> T get_be(const HeaderBuffer &buf, size_t at) {
  using U = std::make_unsigned_t<T>;
  U u = 0;
  for (size_t i = 0; i < sizeof(T); ++i)
    u = static_cast<U>(u << 8 | buf[at + i]);
  return static_cast<T>(u);
}

window get_window(const HeaderBuffer &buf, size_t at) {
  return {get_be<int16_t>(buf, at), get_be<int16_t>(buf, at + 2), get_be<int16_t>(buf, at + 4),
          get_be<int16_t>(buf, at + 6)};
}

const Format *format_of_magic(uint32_t magic) {
  for (const Format &f : kFormats)
    if (f.magic == magic)
      return &f;
  return nullptr;
}

// Reads the first ten bytes, checks them against each other, then reads
// the rest of the header they announce. The buffer is cleared first, so
// the fields a short header does not store read as zero.
u_err_t read_header(FILE *f, HeaderBuffer &buf, const Format *&format) {
  buf.fill(0);
  if (std::fread(buf.data(), 1, kFormatPartBytes, f) != kFormatPartBytes)
    return ERR_PREMATURE_EOF;
  const uint32_t magic = get_be<uint32_t>(buf, kMagicAt);
  format = format_of_magic(magic);
  if (!format) {
    u_msg_hook("*** Magic number = 0x%8.8X, expected 0x%8.8X, 0x%8.8X or 0x%8.8X ***\n", magic,
               kFormats[0].magic, kFormats[1].magic, kFormats[2].magic);
    return ERR_NOT_A_DATA_FILE;
  }
  const int16_t number = get_be<int16_t>(buf, kFormatAt);
  const uint32_t size = get_be<uint32_t>(buf, kSizeAt);
  if (number != format->number || size != format->header_size) {
    u_msg_hook("*** Header format %d of %u bytes does not match magic number 0x%8.8X ***\n", number,
               size, magic);
    return ERR_NOT_A_DATA_FILE;
  }
  const size_t rest = format->header_size - kFormatPartBytes;
  if (std::fread(buf.data() + kFormatPartBytes, 1, rest, f) != rest)
    return ERR_PREMATURE_EOF;
  return ERR_NONE;
}

// The two data sets as offsets 48..75 describe them.
struct Arrays {
  window intens_window;
  int16_t intens_n_buckets;
  int16_t intens_aux;
  uint32_t intens_bytes;
  window phase_window;
  uint32_t phase_bytes;
};

// An array's length must be the one its window gives, taken in 64 bits: a
// negative extent, or a window too large for the 32-bit field, describes
// no array the writer could have written.
u_err_t get_arrays(const HeaderBuffer &buf, Arrays &a) {
  a.intens_window = get_window(buf, kIntensWindowAt);
  a.intens_n_buckets = get_be<int16_t>(buf, kIntensBucketsAt);
  a.intens_aux = get_be<int16_t>(buf, kIntensAuxAt);
  a.intens_bytes = get_be<uint32_t>(buf, kIntensBytesAt);
  a.phase_window = get_window(buf, kPhaseWindowAt);
  a.phase_bytes = get_be<uint32_t>(buf, kPhaseBytesAt);

  const window &iw = a.intens_window;
  auto intens = checked_product(UINT32_MAX, {a.intens_n_buckets, iw.width, iw.height, 2});
  if (!intens || *intens != a.intens_bytes) {
    u_msg_hook("*** Intensity array of %u bytes does not match its window of %d x %d samples in "
               "%d buckets ***\n",
               a.intens_bytes, iw.width, iw.height, a.intens_n_buckets);
    return ERR_NOT_A_DATA_FILE;
  }
  const window &pw = a.phase_window;
  auto phase = checked_product(UINT32_MAX, {pw.width, pw.height, 4});
  if (!phase || *phase != a.phase_bytes) {
    u_msg_hook("*** Phase array of %u bytes does not match its window of %d x %d samples ***\n",
               a.phase_bytes, pw.width, pw.height);
    return ERR_NOT_A_DATA_FILE;
  }
  return ERR_NONE;
}

// Bytes from the stream's position to its end, or -1 when the system
// cannot tell (a pipe, or a position beyond what ftell reports).
int64_t bytes_left(FILE *f) {
  const int64_t size = plat_file_size(f);
  const long at = std::ftell(f);
  return size < 0 || at < 0 ? -1 : size - at;
}

void get_prefix(const HeaderBuffer &buf, data_prefix &p) {
  p.prefix_code = get_be<int16_t>(buf, kPrefixCodeAt);
  std::memcpy(p.prefix_text, buf.data() + kPrefixTextAt, sizeof p.prefix_text);
  p.prefix_value_1 = get_be<int16_t>(buf, kPrefixValuesAt);
  p.prefix_value_2 = get_be<int16_t>(buf, kPrefixValuesAt + 2);
  p.prefix_value_3 = get_be<int16_t>(buf, kPrefixValuesAt + 4);
}

void get_record(const HeaderBuffer &buf, data_header &h) {
  auto *record = reinterpret_cast<unsigned char *>(&h);
  for (const Field &f : kFields) {
    std::memcpy(record + f.member, buf.data() + f.offset, f.bytes);
    if (int n = swap_width(f.kind))
      from_big_endian(record + f.member, n);
  }
}

template <typename M> void set_window(M &m, const window &w) {
  m.x = w.x;
  m.y = w.y;
  m.width = w.width;
  m.height = w.height;
}

inline uint16_t host_order(uint16_t v) {
  return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}
inline uint32_t host_order(uint32_t v) {
  return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}

// Reads the samples straight into their buffer, a cache-sized piece at a
// time, and turns each piece to host order while it is still in the cache.
template <typename S> bool read_samples(FILE *f, S *samples, uint32_t count) {
  constexpr uint32_t kPiece = 64 * 1024;
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min(count - done, kPiece);
    S *piece = samples + done;
    if (std::fread(piece, sizeof(S), n, f) != n)
      return false;
    std::transform(piece, piece + n, piece, [](S v) { return host_order(v); });
    done += n;
  }
  return true;
}

// Moves past an array the caller left out, in steps that a 32-bit seek
// offset can take.
bool skip_bytes(FILE *f, uint32_t bytes) {
  constexpr uint32_t kStep = 1u << 30;
  while (bytes > 0) {
    const uint32_t n = std::min(bytes, kStep);
    if (std::fseek(f, static_cast<long>(n), SEEK_CUR) != 0)
      return false;
    bytes -= n;
  }
  return true;
}

u_err_t alloc_matrix(intensity_matrix *m) {
  return intensity_matrix_alloc(m);
}
u_err_t alloc_matrix(phase_matrix *m) {
  return phase_matrix_alloc(m);
}

// The matrix already holds the stored window; it takes a buffer only for
// an array that is not empty.
template <typename M> u_err_t read_matrix(FILE *f, M *m, uint32_t bytes) {
  using S = std::make_unsigned_t<std::remove_pointer_t<decltype(m->matrix)>>;
  if (!m)
    return skip_bytes(f, bytes) ? ERR_NONE : ERR_CANT_READ_FILE;
  if (bytes == 0)
    return ERR_NONE;
  if (u_err_t err = alloc_matrix(m))
    return err;
  if (!read_samples(f, reinterpret_cast<S *>(m->matrix), bytes / sizeof(S)))
    return ERR_CORRUPT_DATA_FILE;
  return ERR_NONE;
}

struct Outputs {
  data_file_layout *layout;
  data_prefix *prefix;
  data_header *header;
  intensity_matrix *intensity;
  phase_matrix *phase;
};

void clear(const Outputs &out) {
  if (out.layout)
    *out.layout = data_file_layout{};
  if (out.prefix)
    std::memset(out.prefix, 0, sizeof *out.prefix);
  if (out.header)
    std::memset(out.header, 0, sizeof *out.header);
  intensity_matrix_init(out.intensity);
  phase_matrix_init(out.phase);
}

void fill_records(const HeaderBuffer &buf, const Format &format, const Arrays &a,
                  const Outputs &out) {
  if (out.layout)
    *out.layout = {format.magic, format.number, format.header_size, a.intens_bytes, a.phase_bytes};
  if (out.prefix)
    get_prefix(buf, *out.prefix);
  if (out.header)
    get_record(buf, *out.header);
  if (intensity_matrix *m = out.intensity) {
    set_window(*m, a.intens_window);
    m->n_buckets = a.intens_n_buckets;
    m->aux = a.intens_aux;
  }
  if (out.phase)
    set_window(*out.phase, a.phase_window);
}

u_err_t read_stream(FILE *f, const Outputs &out) {
  const int64_t left = bytes_left(f);
  HeaderBuffer buf;
  const Format *format = nullptr;
  if (u_err_t err = read_header(f, buf, format))
    return err;
  Arrays arrays;
  if (u_err_t err = get_arrays(buf, arrays))
    return err;
  const uint64_t needed = uint64_t{format->header_size} + arrays.intens_bytes + arrays.phase_bytes;
  if (left >= 0 && static_cast<uint64_t>(left) < needed)
    return ERR_CORRUPT_DATA_FILE;
  fill_records(buf, *format, arrays, out);
  if (u_err_t err = read_matrix(f, out.intensity, arrays.intens_bytes))
    return err;
  return read_matrix(f, out.phase, arrays.phase_bytes);
}

} // namespace

extern "C" {

u_err_t read_data_stream(FILE *stream, data_file_layout *layout, data_prefix *prefix,
                         data_header *header, intensity_matrix *intensity, phase_matrix *phase) {
  const Outputs out{layout, prefix, header, intensity, phase};
  clear(out);
  if (!stream)
    return ERR_INVALID_PARAM;
  u_err_t err = read_stream(stream, out);
  if (err) {
    intensity_matrix_free(intensity);
    phase_matrix_free(phase);
  }
  return err;
}

// A UTF-16 path is decoded into a buffer of the memory hooks; running out
// of memory there is no missing file.
u_err_t read_data_file(const char *path, data_file_layout *layout, data_prefix *prefix,
                       data_header *header, intensity_matrix *intensity, phase_matrix *phase) {
  clear({layout, prefix, header, intensity, phase});
  errno = 0;
  ferry::UniqueFile file(path ? u_fopen_path_text(path, "rb") : nullptr);
  if (!file)
    return errno == ENOMEM ? ERR_NO_MEM : ERR_CANT_OPEN_FILE;
  return read_data_stream(file.get(), layout, prefix, header, intensity, phase);
}

} // extern "C"
