#pragma once
// The layout of the binary data file as the writer and the reader share it:
// the field table of the header record (read both ways from the one list in
// header_fields.inc), the three header formats, the offsets of the parts
// before the record, and the byte order of the file.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "datafile/data_file.h"

namespace ferry::data_layout {

enum class Kind { I16, I32, F32, BYTES };

// Byte-swapped width of a field kind; 0 for bytes stored as they are.
constexpr int swap_width(Kind k) {
  return k == Kind::I16 ? 2 : k == Kind::BYTES ? 0 : 4;
}

struct Field {
  Kind kind;
  uint16_t offset;
  uint16_t bytes;
  size_t member; // offset inside data_header
};

inline constexpr Field kFields[] = {
#define FERRY_HDR_FIELD(kind, name, offset, bytes)                                                 \
  {Kind::kind, offset, bytes, offsetof(data_header, name)},
#include "datafile/header_fields.inc"
#undef FERRY_HDR_FIELD
};

#define FERRY_HDR_FIELD(kind, name, offset, bytes)                                                 \
  static_assert(sizeof(data_header::name) == (bytes), #name " has the wrong width");
#include "datafile/header_fields.inc"
#undef FERRY_HDR_FIELD

// The list must tile offsets 76..4095 exactly, with widths that match the
// kinds, or a field would land at the wrong offset.
constexpr bool fields_tile_header() {
  int next = DATA_FILE_RECORD_OFFSET;
  for (const Field &f : kFields) {
    if (f.offset != next || (swap_width(f.kind) != 0 && swap_width(f.kind) != f.bytes))
      return false;
    next += f.bytes;
  }
  return next == DATA_FILE_LONG_HEADER_SIZE;
}
static_assert(fields_tile_header(), "header_fields.inc does not tile the header");

struct Format {
  uint32_t magic;
  int16_t number;
  uint32_t header_size;
};
inline constexpr Format kFormat1{DATA_FILE_MAGIC_FORMAT_1, 1, DATA_FILE_SHORT_HEADER_SIZE};
inline constexpr Format kFormat2{DATA_FILE_MAGIC_FORMAT_2, 2, DATA_FILE_SHORT_HEADER_SIZE};
inline constexpr Format kFormat3{DATA_FILE_MAGIC_FORMAT_3, 3, DATA_FILE_LONG_HEADER_SIZE};

// Offsets 0..75: the parts outside the header record, which the writer
// builds from its other inputs.
enum : size_t {
  kMagicAt = 0,
  kFormatAt = 4,
  kSizeAt = 6,
  kPrefixCodeAt = 10,
  kPrefixTextAt = 12,
  kPrefixValuesAt = 42,
  kIntensWindowAt = 48,
  kIntensBucketsAt = 56,
  kIntensAuxAt = 58,
  kIntensBytesAt = 60,
  kPhaseWindowAt = 64,
  kPhaseBytesAt = 72,
};

using HeaderBuffer = std::array<unsigned char, DATA_FILE_LONG_HEADER_SIZE>;

// The three formats, for the reader's lookup by magic number.
inline constexpr Format kFormats[] = {kFormat1, kFormat2, kFormat3};

// Host order to big-endian; the same swap brings a big-endian field back.
inline void to_big_endian(void *p, int n) {
  if constexpr (std::endian::native == std::endian::little)
    u_swap_bytes(p, n);
}
inline void from_big_endian(void *p, int n) {
  to_big_endian(p, n);
}

} // namespace ferry::data_layout
