#pragma once
// Builds HDP files byte by byte for the tests, straight from the packed
// file layout (independently of the reader's widened records).

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ferry::test {

struct HdpSpec {
  int format = 2;    // 2 or 3
  int data_type = 4; // 1..6
  std::string text_at_14 = "probe";
  std::string text_at_29 = "lab";
  int8_t n8_at_39 = 0;
  std::string name = "name";
  std::string date = "05-JAN-2005/13:45:00";
  int32_t n32_at_144 = 0;
  int32_t n32_at_148 = 0;
  uint8_t flag_at_152 = 0;
  uint8_t flag_b = 0;
  int32_t n32_at_158 = 0; // format 3 only
  int16_t y0 = 0, x0 = 0, rows = 2, cols = 3;
  std::vector<int16_t> samples = {1, 2, 3, 4, 5, 6};
};

inline void put_be16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

inline void put_be32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  put_be16(b, at, static_cast<uint16_t>(v >> 16));
  put_be16(b, at + 2, static_cast<uint16_t>(v));
}

// Copies at most span bytes; a shorter text keeps a NUL after it.
inline void put_text(std::vector<uint8_t> &b, size_t at, size_t span, const std::string &s) {
  std::memcpy(b.data() + at, s.data(), s.size() < span ? s.size() : span);
}

inline size_t hdp_header_size(int format) {
  return format == 3 ? 186 : 174;
}

// Offset of the window (y origin, x origin, rows, columns) of a data type.
inline size_t hdp_window_offset(int format, int data_type) {
  if (format == 3)
    return data_type == 3 ? 168 : 178;
  return data_type == 3 ? 156 : 166;
}

inline std::vector<uint8_t> hdp_header(const HdpSpec &s) {
  std::vector<uint8_t> b(hdp_header_size(s.format), 0);
  b[0] = static_cast<uint8_t>(s.format);
  put_be32(b, 2, 0x01020304);
  put_be32(b, 6, 0x05060708);
  put_be32(b, 10, 0x090A0B0C);
  put_text(b, 14, 15, s.text_at_14);
  put_text(b, 29, 10, s.text_at_29);
  b[39] = static_cast<uint8_t>(s.n8_at_39);
  b[40] = static_cast<uint8_t>(s.data_type);
  put_text(b, 41, 81, s.name);
  put_text(b, 122, 22, s.date);
  put_be32(b, 144, static_cast<uint32_t>(s.n32_at_144));
  put_be32(b, 148, static_cast<uint32_t>(s.n32_at_148));
  b[152] = s.flag_at_152;
  if (s.format == 3) {
    b[154] = s.flag_b;
    put_be16(b, 156, 0x7777);
    put_be32(b, 158, static_cast<uint32_t>(s.n32_at_158));
    put_be32(b, 162, 0x66666666);
  } else {
    b[153] = s.flag_b;
  }
  size_t w = hdp_window_offset(s.format, s.data_type == 3 ? 3 : 4);
  put_be16(b, w, static_cast<uint16_t>(s.y0));
  put_be16(b, w + 2, static_cast<uint16_t>(s.x0));
  put_be16(b, w + 4, static_cast<uint16_t>(s.rows));
  put_be16(b, w + 6, static_cast<uint16_t>(s.cols));
  return b;
}

inline std::vector<uint8_t> hdp_file(const HdpSpec &s) {
  std::vector<uint8_t> b = hdp_header(s);
  size_t at = b.size();
  b.resize(at + 2 * s.samples.size());
  for (int16_t v : s.samples) {
    put_be16(b, at, static_cast<uint16_t>(v));
    at += 2;
  }
  return b;
}

} // namespace ferry::test
