// Random and mutated inputs through the readers and the derivation: every
// result is a defined error or success, nothing leaks, and (in the
// sanitizer build) nothing is read or written outside a buffer.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "ramp_fixtures.h"
#include "ramps/ramp_config.h"
#include "ramps/ramp_file.h"
#include "support/test_support.h"

namespace {

using namespace ferry::test;

class Mutator {
public:
  explicit Mutator(uint32_t seed) : rng_(seed) {}
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  template <typename T> const T &one_of(const std::vector<T> &v) {
    return v[size_t(pick(0, int(v.size()) - 1))];
  }

  void mutate(std::vector<uint8_t> &b, const std::vector<uint8_t> &alphabet) {
    int edits = pick(1, 8);
    for (int e = 0; e < edits; ++e) {
      size_t at = b.empty() ? 0 : size_t(pick(0, int(b.size()) - 1));
      switch (pick(0, 5)) {
      case 0:
        if (!b.empty())
          b[at] = uint8_t(pick(0, 255));
        break;
      case 1:
        b.insert(b.begin() + long(at), one_of(alphabet));
        break;
      case 2:
        if (!b.empty())
          b.erase(b.begin() + long(at));
        break;
      case 3:
        b.insert(b.begin() + long(at), size_t(pick(1, 300)), one_of(alphabet));
        break;
      case 4:
        b.resize(size_t(pick(0, int(b.size()))));
        break;
      case 5: {
        if (b.empty())
          break;
        size_t from = size_t(pick(0, int(b.size()) - 1));
        size_t len = std::min(b.size() - from, size_t(pick(1, 80)));
        std::vector<uint8_t> piece(b.begin() + long(from), b.begin() + long(from + len));
        b.insert(b.begin() + long(at), piece.begin(), piece.end());
        break;
      }
      }
    }
  }

private:
  std::mt19937 rng_;
};

const std::string config_seed = "# Corvista Ramp Configuration File\n"
                                " SWLI d10s81c25.b12345 10.20 25.00 0 0 0.250 81.0 0 1.0 0\n"
                                "\n"
                                " SWLI + 5 25 0 0 0.25 81 0 1 1\n"
                                "BTW2 d10s81c25m20.b1 99.5 30 1 2 0.75 243 20 0.9\n"
                                "PMI p5c25.p7 0 25 0 0 0.25 0 0 0 # note\n";

TEST(RampFuzz, MutatedConfigurationFiles) {
  TempDir dir;
  const std::vector<uint8_t> seed(config_seed.begin(), config_seed.end());
  const std::vector<uint8_t> alphabet = {' ', '\t', '\n', '\r', '#', '+', '0', '1', '9', '.',
                                         '-', 'e',  'n',  'a',  'S', 'B', 'T', 'W', 0,   0xFF};
  Mutator m(4242);
  MessageCapture quiet;
  FailingAllocator alloc;
  int accepted = 0;
  for (int i = 0; i < 1500; ++i) {
    std::vector<uint8_t> bytes = seed;
    m.mutate(bytes, alphabet);
    // A fresh name each time: rewriting one file makes some file systems
    // flush it on every truncation.
    const std::string path = dir.file("f" + std::to_string(i) + ".cfg");
    write_file(path, bytes);
    rr_ramp_spec *specs = nullptr;
    int count = -1;
    u_err_t err = rr_read_ramp_config(path.c_str(), &specs, &count);
    ASSERT_TRUE(err == 0 || err == ERR_CORRUPT_RAMP_CFG_FILE) << err;
    ASSERT_EQ(err == 0, specs != nullptr);
    if (err == 0) {
      ++accepted;
      ASSERT_GT(count, 0);
      for (int k = 0; k < count; ++k)
        ASSERT_LE(std::strlen(specs[k].fileName), size_t(RR_FILE_NAME_MAX));
    }
    ferry::hook_free(specs);
    std::filesystem::remove(path);
    ASSERT_EQ(alloc.live_blocks(), 0);
  }
  // The mutations leave most files readable; a loop that rejects all tests little.
  EXPECT_GT(accepted, 300);
}

// Interesting values for the untrusted header fields.
std::vector<int32_t> int_values(int32_t n) {
  auto near = [n](int64_t d) {
    return int32_t(std::clamp<int64_t>(int64_t(n) + d, INT32_MIN, INT32_MAX));
  };
  return {0, 1, -1, 2, near(-1), n, near(1), n / 2, INT_MAX, INT_MIN, 65535, -65536};
}
std::vector<float> float_values() {
  return {0.0f,
          -0.0f,
          1.0f,
          -1.0f,
          1e-30f,
          1e30f,
          0.01f,
          10.0f,
          std::numeric_limits<float>::quiet_NaN(),
          std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity()};
}

void set_random_field(Mutator &m, rr_ramp_hdr_t &h) {
  int32_t *ints[] = {&h.nPoints,  &h.trigStartAddr, &h.trigEndAddr, &h.offset,   &h.grabSkip,
                     &h.rampType, &h.nBuckets,      &h.compFilter,  &h.compGain, &h.adcMax};
  float *floats[] = {&h.sampleClkFreq, &h.scanLen, &h.rampSlope, &h.cameraRate, &h.fringesPerFrame};
  if (m.pick(0, 1))
    *ints[m.pick(0, int(std::size(ints)) - 1)] = m.one_of(int_values(h.nPoints));
  else
    *floats[m.pick(0, int(std::size(floats)) - 1)] = m.one_of(float_values());
}

TEST(RampFuzz, MutatedRampFilesThroughReaderChecksAndDerivation) {
  TempDir dir;
  const std::vector<uint8_t> alphabet = {0, 0xFF, 0x7F, 0x80, 'R', 'A', 'M', 'Q'};
  Mutator m(777);
  MessageCapture quiet;
  FailingAllocator alloc;
  int derived = 0;
  for (int i = 0; i < 2500; ++i) {
    const int32_t n = m.pick(1, 64);
    rr_ramp_hdr_t h = swli_header(n);
    int fields = m.pick(0, 4);
    for (int f = 0; f < fields; ++f)
      set_random_field(m, h);
    std::vector<uint8_t> bytes =
        ramp_file_bytes(h, linear_samples(size_t(n), m.pick(0, 65535), m.pick(-2000, 2000)));
    if (m.pick(0, 3) == 0)
      m.mutate(bytes, alphabet);
    const std::string path = dir.file("r" + std::to_string(i));
    write_file(path, bytes);

    rr_ramp base{};
    u_err_t err = rr_read_ramp_file(path.c_str(), &base.hdr, &base.samples);
    ASSERT_TRUE(err == 0 || err == ERR_PREMATURE_EOF || err == ERR_NOT_A_RAMP_FILE ||
                err == ERR_CORRUPT_RAMP_FILE)
        << err;
    if (err == 0) {
      rr_check_ramp_file(&base.hdr, "r", m.pick(0, 8), 12345, m.one_of<int>({-1, 777}));
      if (base.samples && m.pick(0, 1))
        base.hdr.rampType = RR_TYPE_SWLI;
      rr_ramp_spec spec = spec_for(base.hdr, "+");
      spec.rampType = m.one_of<int>({RR_TYPE_SWLI, RR_TYPE_BTW});
      spec.objMag = 10;
      spec.scanLen =
          m.one_of<float>({base.hdr.scanLen / 2, base.hdr.scanLen, 0.0f, 1e-3f, -1.0f,
                           base.hdr.scanLen / 3, std::numeric_limits<float>::quiet_NaN()});
      spec.rampSlope = m.one_of<float>({81.0f, 1e-30f, 3999.0f, base.hdr.rampSlope});
      spec.fringesPerFrame = 0.25f;
      rr_ramp out{};
      if (rr_derive_ramp(&base, &out, &spec) == 0)
        ++derived;
      rr_free_ramp_samples(&out);

      if (base.samples && base.hdr.nPoints > 0) {
        // The resampling alone, with a target header of its own.
        rr_ramp_hdr_t target = base.hdr;
        set_random_field(m, target);
        target.nPoints = m.pick(0, base.hdr.nPoints);
        std::vector<uint16_t> buffer(size_t(target.nPoints) + 1);
        rr_rescale_ramp(&base.hdr, base.samples, &target, buffer.data(), spec.scanLen);
      }
    }
    rr_free_ramp_samples(&base);
    std::filesystem::remove(path);
    ASSERT_EQ(alloc.live_blocks(), 0);
  }
  EXPECT_GT(derived, 200);
}

} // namespace
