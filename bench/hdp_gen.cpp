// Writes an HDP file of any size for the benchmarks and the bundled sample:
//
//   hdp_gen rows columns format(2|3) type(3|4) output [y0 x0]
//
// The samples follow a fixed pattern (a tilted surface with ripples), with
// every 97th sample marked invalid (0x7FFF), so runs are repeatable.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v >> 16));
  put16(b, at + 2, static_cast<uint16_t>(v));
}

void put_text(std::vector<uint8_t> &b, size_t at, size_t span, const std::string &s) {
  std::memcpy(b.data() + at, s.data(), s.size() < span ? s.size() : span);
}

struct Params {
  long rows, cols, format, type, y0 = 0, x0 = 0;
  const char *output;
};

std::vector<uint8_t> header(const Params &p) {
  const bool f3 = p.format == 3;
  std::vector<uint8_t> b(f3 ? 186 : 174, 0);
  b[0] = static_cast<uint8_t>(p.format);
  put_text(b, 14, 15, "gen");
  put_text(b, 29, 10, "bench");
  b[39] = 1;
  b[40] = static_cast<uint8_t>(p.type);
  put_text(b, 41, 81, "generated " + std::to_string(p.rows) + " x " + std::to_string(p.cols));
  put_text(b, 122, 22, "08-DEC-2026/03:00:00");
  put32(b, 144, 6328000);  // 0.6328 once scaled
  put32(b, 148, 50000000); // 5e-6 once scaled
  b[152] = 1;
  if (f3)
    put32(b, 158, 25000000);
  const size_t window = f3 ? (p.type == 3 ? 168 : 178) : (p.type == 3 ? 156 : 166);
  put16(b, window, static_cast<uint16_t>(p.y0));
  put16(b, window + 2, static_cast<uint16_t>(p.x0));
  put16(b, window + 4, static_cast<uint16_t>(p.rows));
  put16(b, window + 6, static_cast<uint16_t>(p.cols));
  return b;
}

uint16_t sample(long r, long c) {
  long i = r * 1000003L + c;
  if (i % 97 == 0)
    return 0x7FFF;
  long v = (r * 37 + c * 11) % 4096 - 2048 + (c % 17) * (r % 5);
  return static_cast<uint16_t>(static_cast<int16_t>(v));
}

bool parse(int argc, char **argv, Params *p) {
  if (argc != 6 && argc != 8)
    return false;
  p->rows = std::strtol(argv[1], nullptr, 10);
  p->cols = std::strtol(argv[2], nullptr, 10);
  p->format = std::strtol(argv[3], nullptr, 10);
  p->type = std::strtol(argv[4], nullptr, 10);
  p->output = argv[5];
  if (argc == 8) {
    p->y0 = std::strtol(argv[6], nullptr, 10);
    p->x0 = std::strtol(argv[7], nullptr, 10);
  }
  return p->rows > 0 && p->rows <= 32767 && p->cols > 0 && p->cols <= 32767 &&
         (p->format == 2 || p->format == 3) && (p->type == 3 || p->type == 4);
}

} // namespace

int main(int argc, char **argv) {
  Params p{};
  if (!parse(argc, argv, &p)) {
    std::fprintf(stderr, "usage: hdp_gen rows columns format(2|3) type(3|4) output [y0 x0]\n");
    return 2;
  }
  FILE *f = std::fopen(p.output, "wb");
  if (!f) {
    std::perror(p.output);
    return 1;
  }
  std::vector<uint8_t> bytes = header(p);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  std::vector<uint8_t> row(static_cast<size_t>(p.cols) * 2);
  for (long r = 0; ok && r < p.rows; ++r) {
    for (long c = 0; c < p.cols; ++c)
      put16(row, static_cast<size_t>(c) * 2, sample(r, c));
    ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
  }
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::perror(p.output);
    return 1;
  }
  return 0;
}
