#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "base/hooks.h"
#include "ramp_fixtures.h"
#include "ramps/ramp_file.h"
#include "support/test_support.h"

namespace {

using namespace ferry::test;

// A base ramp owning hook-allocated samples.
struct Ramp {
  rr_ramp r{};
  explicit Ramp(const rr_ramp_hdr_t &h, const std::vector<uint16_t> &s) {
    r.hdr = h;
    r.samples = static_cast<uint16_t *>(u_malloc_hook(s.size() * sizeof(uint16_t)));
    std::memcpy(r.samples, s.data(), s.size() * sizeof(uint16_t));
  }
  Ramp() = default;
  ~Ramp() { rr_free_ramp_samples(&r); }
  std::vector<uint16_t> samples() const {
    return std::vector<uint16_t>(r.samples, r.samples + r.hdr.nPoints);
  }
};

class Derive : public ::testing::Test {
protected:
  rr_ramp_hdr_t h = swli_header(1000);
  Ramp base{h, linear_samples(1000, 1000, 10)};
  rr_ramp_spec spec = spec_for(h, "+");
  Ramp out;
  MessageCapture capture;
};

TEST_F(Derive, SameScanLengthCopiesTheSamples) {
  spec.cameraRate = 50; // twice the speed
  ASSERT_EQ(rr_derive_ramp(&base.r, &out.r, &spec), 0);
  EXPECT_EQ(out.samples(), base.samples());
  EXPECT_NE(out.r.samples, base.r.samples);
  EXPECT_FLOAT_EQ(out.r.hdr.sampleClkFreq, 20.0f);
  EXPECT_EQ(out.r.hdr.updateRate, int(65536 - 4000 / 20.0 + 0.5));
  // 50 frames/s over 800 samples at 20 kHz: 2 frames.
  EXPECT_EQ(out.r.hdr.nBuckets, 2);
  EXPECT_EQ(out.r.hdr.cameraRate, 50.0f);
  EXPECT_EQ(capture.text(), "");
}

// The resampling written out step by step on plain vectors, for bases whose
// central part and tail stay inside the samples: the implementation under
// test must give the same bytes.
std::vector<uint16_t> reference_rescale(const rr_ramp_hdr_t &h, const std::vector<uint16_t> &s,
                                        float new_len) {
  const double offset = h.offset;
  const int t_start = h.trigStartAddr, t_end = h.trigEndAddr, n_points = h.nPoints;
  std::vector<uint16_t> out(s);
  out.resize(size_t(n_points) + 2);
  const double r = double(new_len) / double(h.scanLen);
  const int span = t_end - t_start;
  const int first = int((1 - r) * span / 2) + t_start;
  const int last = int((1 + r) * span / 2) + t_start;
  const double k = (s.at(size_t(t_start)) - offset) / (s.at(size_t(first)) - offset);
  for (int j = 0; j < t_start; ++j)
    out.at(size_t(j)) = uint16_t(uint16_t(int((s.at(size_t(j)) - offset) / k)) + int(offset));
  const int tail = n_points - t_end;
  const double e = double(t_end + tail - t_start) / double(last + tail - first);
  const int n = int(e);
  const double frac = e - n;
  double v = s.at(size_t(first)), sum = 0;
  int p = 0;
  for (int i = first; i < last + tail; ++i) {
    const double step = (double(s.at(size_t(i) + 1)) - double(s.at(size_t(i)))) / e;
    for (int m = 0; m < n; ++m) {
      out.at(size_t(t_start + p)) = uint16_t(int(v));
      v += step;
      ++p;
    }
    sum += frac;
    if (sum > 1) {
      const int previous = out.at(size_t(t_start + p - 1));
      out.at(size_t(t_start + p)) = uint16_t((previous + uint16_t(int(v))) / 2);
      v += step;
      ++p;
      sum -= 1;
    }
  }
  if (sum > 0.5)
    out.at(size_t(t_start + p)) = uint16_t(int(v));
  out.resize(size_t(n_points));
  return out;
}

TEST(Rescale, MatchesTheStepByStepResamplingOfACurvedScan) {
  rr_ramp_hdr_t h = swli_header(1000);
  h.offset = 500;
  std::vector<uint16_t> s(1000);
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = uint16_t(2000 + 30 * double(i) + 0.02 * double(i) * double(i));
  for (float len : {5.0f, 3.0f, 7.5f, 9.0f, 2.2f}) {
    SCOPED_TRACE(len);
    rr_ramp_hdr_t nh = h;
    std::vector<uint16_t> out(s);
    ASSERT_EQ(rr_rescale_ramp(&h, s.data(), &nh, out.data(), len), 0);
    EXPECT_EQ(out, reference_rescale(h, s, len));
  }
}

TEST_F(Derive, HalfLengthStretchesTheCentralHalf) {
  spec.scanLen = h.scanLen / 2;
  ASSERT_EQ(rr_derive_ramp(&base.r, &out.r, &spec), 0);
  const auto s = base.samples();
  const auto n = out.samples();

  // The central half of the trigger span [100, 900) is [300, 700); it and
  // the 100-sample tail are stretched over the 900 samples from 100 on.
  const int first = 300;
  const double stretch = 900.0 / 500.0;
  EXPECT_FLOAT_EQ(out.r.hdr.sampleClkFreq, float(10.0 * stretch));
  EXPECT_EQ(out.r.hdr.scanLen, 5.0f);
  for (int q = 100; q < 1000; ++q) {
    double position = first + (q - 100) / stretch;
    double expected = 1000 + 10 * position; // the base is linear
    ASSERT_NEAR(n[size_t(q)], expected, 10.0 / stretch / 2 + 1) << "sample " << q;
  }
  // The lead-in is scaled so that it ends where the stretched part starts:
  // k = (s[100] - 0) / (s[300] - 0) = 0.5.
  for (int j = 0; j < 100; ++j)
    ASSERT_EQ(n[size_t(j)], 2 * s[size_t(j)]) << "sample " << j;
}

TEST_F(Derive, ArgumentChecks) {
  rr_ramp_spec s = spec;
  EXPECT_EQ(rr_derive_ramp(nullptr, &out.r, &s), ERR_INVALID_PARAM);
  EXPECT_EQ(rr_derive_ramp(&base.r, nullptr, &s), ERR_INVALID_PARAM);
  EXPECT_EQ(rr_derive_ramp(&base.r, &out.r, nullptr), ERR_INVALID_PARAM);
  Ramp pmi(pmi_header(), linear_samples(200));
  EXPECT_EQ(rr_derive_ramp(&pmi.r, &out.r, &s), ERR_INVALID_PARAM);
  Ramp busy(h, linear_samples(1000));
  EXPECT_EQ(rr_derive_ramp(&base.r, &busy.r, &s), ERR_INVALID_PARAM);
  EXPECT_EQ(capture.text(), "");

  struct Case {
    void (*change)(rr_ramp_spec &);
    u_err_t result;
    const char *message;
  } cases[] = {
      {[](rr_ramp_spec &x) { x.rampType = RR_TYPE_PMI; }, ERR_INVALID_PARAM,
       "Error: derived ramp must be type SWLI or BTW\n"},
      {[](rr_ramp_spec &x) { x.scanLen = 10.5f; }, ERR_PARAM_OUT_OF_RANGE,
       "Error: derived ramp must have smaller scan length\n"},
      {[](rr_ramp_spec &x) { x.scanLen = std::numeric_limits<float>::quiet_NaN(); },
       ERR_PARAM_OUT_OF_RANGE, "Error: derived ramp must have smaller scan length\n"},
      {[](rr_ramp_spec &x) { x.fringesPerFrame = 0.3f; }, ERR_INVALID_PARAM,
       "Error: fringesPerFrame = 0.3 is invalid for derived ramp\n"},
      {[](rr_ramp_spec &x) { x.rampType = RR_TYPE_BTW, x.objMag = 0; }, ERR_INVALID_PARAM,
       "Error: BTW ramp must specify an objective mag\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    capture.clear();
    s = spec;
    c.change(s);
    EXPECT_EQ(rr_derive_ramp(&base.r, &out.r, &s), c.result);
    EXPECT_EQ(capture.text(), c.message);
    EXPECT_EQ(out.r.samples, nullptr);
  }
  for (float f : {0.125f, 0.25f, 0.5f, 0.75f}) {
    SCOPED_TRACE(f);
    Ramp d;
    s = spec;
    s.fringesPerFrame = f;
    EXPECT_EQ(rr_derive_ramp(&base.r, &d.r, &s), 0);
    EXPECT_EQ(d.r.hdr.fringesPerFrame, f);
  }
}

TEST_F(Derive, SpecValuesTimingAndCompensation) {
  base.r.hdr.compFilter = 1;
  base.r.hdr.compGain = 1;
  base.r.hdr.adcMin = -300;
  base.r.hdr.adcMax = 301;
  spec.rampType = RR_TYPE_BTW;
  spec.wavelenSelect = 2;
  spec.objMag = 20;
  spec.scanCal = 1.1f;
  spec.rampSlope = 27; // a third of the speed
  ASSERT_EQ(rr_derive_ramp(&base.r, &out.r, &spec), 0);
  const rr_ramp_hdr_t &d = out.r.hdr;
  EXPECT_EQ(d.rampType, RR_TYPE_BTW);
  EXPECT_EQ(d.wavelenSelect, 2);
  EXPECT_EQ(d.objMag, 20.0f);
  EXPECT_EQ(d.scanCal, 1.1f);
  EXPECT_FLOAT_EQ(d.sampleClkFreq, 10.0f / 3);
  EXPECT_EQ(d.compGain, 2);
  EXPECT_EQ(d.adcMin, -100);
  EXPECT_EQ(d.adcMax, 100);

  Ramp fast;
  spec.rampSlope = 243;
  ASSERT_EQ(rr_derive_ramp(&base.r, &fast.r, &spec), 0);
  EXPECT_EQ(fast.r.hdr.compGain, 0);
}

TEST_F(Derive, TooLowAClockIsRefused) {
  spec.rampSlope = 0.01f;
  EXPECT_EQ(rr_derive_ramp(&base.r, &out.r, &spec), ERR_INVALID_PARAM);
  char expected[96];
  std::snprintf(expected, sizeof expected, "Error: sampleClkFreq = %g KHz is too low\n",
                double(float(10.0 * 0.01 / 81)));
  EXPECT_EQ(capture.text(), expected);
}

TEST_F(Derive, BaseTriggerSpanMustLieInsideTheSamples) {
  struct Span {
    int32_t start, end;
  } spans[] = {{-1, 900}, {500, 500}, {600, 500}, {100, 1001}};
  for (const Span &sp : spans) {
    SCOPED_TRACE(testing::Message() << sp.start << ".." << sp.end);
    base.r.hdr.trigStartAddr = sp.start;
    base.r.hdr.trigEndAddr = sp.end;
    EXPECT_EQ(rr_derive_ramp(&base.r, &out.r, &spec), ERR_CORRUPT_RAMP_FILE);
    EXPECT_EQ(out.r.samples, nullptr);
  }
  base.r.hdr.trigStartAddr = 0;
  base.r.hdr.trigEndAddr = 1000;
  spec.scanLen = 3;
  EXPECT_EQ(rr_derive_ramp(&base.r, &out.r, &spec), 0);
}

TEST_F(Derive, ZeroDivisorsOfTheLeadIn) {
  // s[trigStartAddr] equals the offset: no scale, the lead-in stays.
  base.r.hdr.offset = 2000; // s[100]
  spec.scanLen = 5;
  ASSERT_EQ(rr_derive_ramp(&base.r, &out.r, &spec), 0);
  auto n = out.samples();
  auto s = base.samples();
  EXPECT_EQ(std::vector<uint16_t>(n.begin(), n.begin() + 100),
            std::vector<uint16_t>(s.begin(), s.begin() + 100));

  // s[first] equals the offset: the lead-in flattens to the offset.
  Ramp flat;
  base.r.hdr.offset = 4000; // s[300]
  ASSERT_EQ(rr_derive_ramp(&base.r, &flat.r, &spec), 0);
  n = flat.samples();
  EXPECT_EQ(std::vector<uint16_t>(n.begin(), n.begin() + 100), std::vector<uint16_t>(100, 4000));
}

TEST_F(Derive, RescaleStaysInsideItsBuffers) {
  // Extreme lengths and a clock of zero: defined results, no stray access.
  const float lengths[] = {0.0f,
                           -5.0f,
                           1e-6f,
                           9.99f,
                           20.0f,
                           1e30f,
                           std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity()};
  for (float len : lengths) {
    SCOPED_TRACE(len);
    rr_ramp_hdr_t nh = h;
    nh.sampleClkFreq = 0;
    std::vector<uint16_t> out_samples(1000, 7);
    EXPECT_EQ(rr_rescale_ramp(&h, base.r.samples, &nh, out_samples.data(), len), 0);
  }
  // A smaller target buffer than the base is written only up to its end.
  rr_ramp_hdr_t nh = h;
  nh.nPoints = 120;
  std::vector<uint16_t> small(120);
  EXPECT_EQ(rr_rescale_ramp(&h, base.r.samples, &nh, small.data(), 5), 0);
  rr_ramp_hdr_t bad = h;
  bad.trigEndAddr = 2000;
  EXPECT_EQ(rr_rescale_ramp(&bad, base.r.samples, &nh, small.data(), 5), ERR_CORRUPT_RAMP_FILE);
  EXPECT_EQ(rr_rescale_ramp(&h, nullptr, &nh, small.data(), 5), ERR_INVALID_PARAM);
}

// The resampling's own header update, without the derivation's later
// speed scaling: at the base's length the samples come back unchanged and
// the bucket count is span x rate / (clock x 1000), truncated once. 580
// samples at 50 frames/s and 1 kHz are 29 buckets; taking the span over the
// clock first loses the last bit and truncates to 28.
TEST(Rescale, SameLengthKeepsSamplesAndCountsBucketsInOneStep) {
  rr_ramp_hdr_t h = swli_header(600);
  h.trigStartAddr = 10;
  h.trigEndAddr = 590;
  h.sampleClkFreq = 1.0f;
  h.cameraRate = 50.0f;
  const auto s = linear_samples(600, 100, 3);
  rr_ramp_hdr_t nh = h;
  std::vector<uint16_t> out(600, 0);
  ASSERT_EQ(rr_rescale_ramp(&h, s.data(), &nh, out.data(), h.scanLen), 0);
  EXPECT_EQ(out, s);
  EXPECT_EQ(nh.sampleClkFreq, 1.0f);
  EXPECT_EQ(nh.updateRate, 61536);
  EXPECT_EQ(nh.scanLen, h.scanLen);
  EXPECT_EQ(nh.nBuckets, 29);
}

TEST_F(Derive, OutOfMemoryLeavesNothing) {
  spec.scanLen = 5;
  expect_no_leak_under_oom([&] { return rr_derive_ramp(&base.r, &out.r, &spec); },
                           [&] { rr_free_ramp_samples(&out.r); });
}

} // namespace
