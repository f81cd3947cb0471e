// The binary data file writer: header format choice, the big-endian header
// laid out from the one field list, and the two sample arrays.

#include "datafile/data_file.h"
#include "datafile/data_file_internal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "base/hooks.h"
#include "datafile/matrix_sizes_internal.h"

namespace {

using ferry::HookBuffer;
using namespace ferry::data_layout;

template <typename T> void put_be(HeaderBuffer &buf, size_t at, T value) {
  auto u = static_cast<std::make_unsigned_t<T>>(value);
  for (size_t i = 0; i < sizeof(T); ++i)
    buf[at + i] = static_cast<unsigned char>(u >> (8 * (sizeof(T) - 1 - i)));
}

void put_window(HeaderBuffer &buf, size_t at, int16_t x, int16_t y, int16_t w, int16_t h) {
  for (int16_t v : {x, y, w, h}) {
    put_be(buf, at, v);
    at += 2;
  }
}

const unsigned char *member_bytes(const data_header &h, const Field &f) {
  return reinterpret_cast<const unsigned char *>(&h) + f.member;
}

// Only the fields that a 4096-byte header alone stores can select it;
// bytes_at_834 lies before them and takes no part.
bool has_extended_fields(const data_header &h) {
  return std::any_of(std::begin(kFields), std::end(kFields), [&](const Field &f) {
    const unsigned char *p = member_bytes(h, f);
    return f.offset >= DATA_FILE_EXTENDED_OFFSET &&
           std::any_of(p, p + f.bytes, [](unsigned char b) { return b != 0; });
  });
}

const Format &choose_format(const data_header *h) {
  if (!h)
    return kFormat1;
  if (has_extended_fields(*h))
    return kFormat3;
  return h->n16_at_218 >= 2 ? kFormat2 : kFormat1;
}

void put_record(HeaderBuffer &buf, const data_header &h) {
  for (const Field &f : kFields) {
    std::memcpy(buf.data() + f.offset, member_bytes(h, f), f.bytes);
    if (int n = swap_width(f.kind))
      to_big_endian(buf.data() + f.offset, n);
  }
}

void put_prefix(HeaderBuffer &buf, const data_prefix &p) {
  put_be(buf, kPrefixCodeAt, p.prefix_code);
  std::memcpy(buf.data() + kPrefixTextAt, p.prefix_text, sizeof p.prefix_text);
  put_be(buf, kPrefixValuesAt, p.prefix_value_1);
  put_be(buf, kPrefixValuesAt + 2, p.prefix_value_2);
  put_be(buf, kPrefixValuesAt + 4, p.prefix_value_3);
}

// What the two arrays will hold, checked before the first byte is written:
// the byte counts must fit their 32-bit header fields and the buffers must
// hold every sample the windows address.
struct Arrays {
  const intensity_matrix *intensity = nullptr;
  const phase_matrix *phase = nullptr;
  uint32_t intens_samples = 0;
  uint32_t phase_samples = 0;
};

u_err_t plan_arrays(const intensity_matrix *intensity, const phase_matrix *phase, Arrays &a) {
  a.intensity = intensity && intensity->matrix ? intensity : nullptr;
  a.phase = phase && phase->matrix ? phase : nullptr;
  if (!a.intensity && !a.phase)
    return ERR_INVALID_PARAM;
  if (a.intensity) {
    auto n = ferry::checked_product(
        UINT32_MAX / 2, {a.intensity->width, a.intensity->height, a.intensity->n_buckets});
    if (!n || *n > a.intensity->size)
      return ERR_INVALID_PARAM;
    a.intens_samples = static_cast<uint32_t>(*n);
  }
  if (a.phase) {
    auto n = ferry::checked_product(UINT32_MAX / 4, {a.phase->width, a.phase->height});
    if (!n || *n > a.phase->size)
      return ERR_INVALID_PARAM;
    a.phase_samples = static_cast<uint32_t>(*n);
  }
  return ERR_NONE;
}

uint32_t build_header(HeaderBuffer &buf, const data_prefix *prefix, const data_header *header,
                      const Arrays &a) {
  buf.fill(0);
  const Format &format = choose_format(header);
  put_be(buf, kMagicAt, format.magic);
  put_be(buf, kFormatAt, format.number);
  put_be(buf, kSizeAt, format.header_size);
  if (prefix)
    put_prefix(buf, *prefix);
  if (const intensity_matrix *m = a.intensity) {
    put_window(buf, kIntensWindowAt, m->x, m->y, m->width, m->height);
    put_be(buf, kIntensBucketsAt, m->n_buckets);
    put_be(buf, kIntensAuxAt, m->aux);
    put_be(buf, kIntensBytesAt, a.intens_samples * 2u);
  }
  if (const phase_matrix *m = a.phase) {
    put_window(buf, kPhaseWindowAt, m->x, m->y, m->width, m->height);
    put_be(buf, kPhaseBytesAt, a.phase_samples * 4u);
  }
  if (header)
    put_record(buf, *header);
  return format.header_size;
}

// Sixteen bytes of samples of type T as one vector, on which the shifts
// and masks below act lane by lane.
template <typename T> struct LanesOf;
template <> struct LanesOf<uint16_t> { typedef uint16_t type __attribute__((vector_size(16))); };
template <> struct LanesOf<uint32_t> { typedef uint32_t type __attribute__((vector_size(16))); };
template <typename T> using Lanes = typename LanesOf<T>::type;

// Big-endian form of one sample (V = T) or of a vector of them (V =
// Lanes<T>). Shifts and masks rather than the byte-swap builtins: a scalar
// loop would be matched to one byte-swap instruction per sample, which the
// baseline instruction set cannot do in vector registers.
template <typename T, typename V> V big_endian(V v) {
  if constexpr (std::endian::native == std::endian::big)
    return v;
  else if constexpr (sizeof(T) == 2)
    return static_cast<V>(v << 8 | v >> 8);
  else
    return (v << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

// How far ahead of the swap the source is asked for. Left to itself the
// processor fetches a large array too late to keep up with the swap (in
// our measurements the swap ran at a third of the speed); from a few
// kilobytes ahead each cache line is there when the swap needs it.
constexpr size_t kLineBytes = 64;
constexpr size_t kAheadBytes = 4096;

// Swaps n samples from src into dst, one cache line per step, asking for
// the line kAheadBytes further on while it is among the `readable` samples
// from src on (which runs past n when more chunks follow).
template <typename T> void swap_into(const T *src, T *dst, uint32_t n, uint32_t readable) {
  constexpr uint32_t kLanes = sizeof(Lanes<T>) / sizeof(T);
  constexpr uint32_t kPerLine = kLineBytes / sizeof(T);
  constexpr uint32_t kAhead = kAheadBytes / sizeof(T);
  uint32_t i = 0;
  for (; i + kPerLine <= n; i += kPerLine) {
    if (i + kAhead < readable)
      __builtin_prefetch(src + i + kAhead);
    for (uint32_t k = i; k < i + kPerLine; k += kLanes) {
      Lanes<T> v;
      std::memcpy(&v, src + k, sizeof v);
      v = big_endian<T>(v);
      std::memcpy(dst + k, &v, sizeof v);
    }
  }
  for (; i < n; ++i)
    dst[i] = big_endian<T>(src[i]);
}

// Writes count samples big-endian through the work buffer `chunk` of
// chunk_samples samples; the caller's samples are never touched.
template <typename T>
u_err_t write_big_endian(const T *samples, uint32_t count, T *chunk, uint32_t chunk_samples,
                         FILE *stream) {
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min(count - done, chunk_samples);
    swap_into(samples + done, chunk, n, count - done);
    if (fwrite(chunk, sizeof(T), n, stream) != n)
      return ERR_CANT_WRITE_FILE;
    done += n;
  }
  return ERR_NONE;
}

// The phase array, the bulk of every converted file, goes out through a
// buffer that stays in the cache while it is filled and written, instead
// of a second whole copy of the array: half the peak memory and one pass
// less over it. 512 KiB writes cost the system least per byte here; much
// larger ones no longer fit the cache beside the swap. The buffer is taken
// where the copy used to be, before the first phase byte, so running out
// of memory leaves the file as it did.
constexpr uint32_t kPhaseChunkSamples = 128 * 1024;

u_err_t write_phase(const phase_matrix &m, uint32_t count, FILE *stream) {
  if (count == 0)
    return ERR_NONE;
  const uint32_t chunk_samples = std::min(count, kPhaseChunkSamples);
  HookBuffer<uint32_t> chunk(chunk_samples);
  if (!chunk)
    return ERR_NO_MEM;
  return write_big_endian(reinterpret_cast<const uint32_t *>(m.matrix), count, chunk.get(),
                          chunk_samples, stream);
}

} // namespace

extern "C" {

void u_swap_bytes(void *p, int n) {
  if (n != 2 && n != 4 && n != 8) {
    u_msg_hook("u_swap_bytes: n=%d\n", n);
    abort();
  }
  auto *bytes = static_cast<unsigned char *>(p);
  std::reverse(bytes, bytes + n);
}

u_err_t write_samples16(const uint16_t *samples, uint32_t count, FILE *stream) {
  constexpr uint32_t kChunk = 32768;
  HookBuffer<uint16_t> chunk(kChunk);
  if (!chunk)
    return ERR_NO_MEM;
  if (count > 0 && (!samples || !stream))
    return ERR_INVALID_PARAM;
  return write_big_endian(samples, count, chunk.get(), kChunk, stream);
}

u_err_t write_data_stream(FILE *stream, const data_prefix *prefix, const data_header *header,
                          const intensity_matrix *intensity, const phase_matrix *phase) {
  Arrays arrays;
  if (u_err_t err = plan_arrays(intensity, phase, arrays))
    return err;
  if (!stream)
    return ERR_INVALID_PARAM;
  if (fseek(stream, 0, SEEK_END) != 0)
    return ERR_CANT_WRITE_FILE;
  HeaderBuffer buf;
  uint32_t header_size = build_header(buf, prefix, header, arrays);
  if (fwrite(buf.data(), header_size, 1, stream) != 1)
    return ERR_CANT_WRITE_FILE;
  if (arrays.intensity) {
    if (u_err_t err = write_samples16(arrays.intensity->matrix, arrays.intens_samples, stream))
      return err;
  }
  if (arrays.phase)
    return write_phase(*arrays.phase, arrays.phase_samples, stream);
  return ERR_NONE;
}

// A failed close can mean that buffered bytes never reached the file, so it
// counts as a write failure rather than being ignored.
u_err_t write_data_file(const char *path, const data_prefix *prefix, const data_header *header,
                        const intensity_matrix *intensity, const phase_matrix *phase) {
  FILE *stream = path ? u_fopen_path_text(path, "wb") : nullptr;
  if (!stream)
    return ERR_CANT_CREATE_FILE;
  u_err_t result = write_data_stream(stream, prefix, header, intensity, phase);
  if (fclose(stream) != 0 && result == ERR_NONE)
    result = ERR_CANT_WRITE_FILE;
  return result;
}

} // extern "C"
