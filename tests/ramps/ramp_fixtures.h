#pragma once
// Ramps, ramp files and configuration lines for the ramp suites.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ramps/ramp_config.h"
#include "ramps/ramp_file.h"

namespace ferry::test {

// A SWLI header: 1000 points, trigger span [100, 900), 10 um at 81 nm/frame
// and 25 Hz, made for PIFOC 12345.
inline rr_ramp_hdr_t swli_header(int32_t n_points = 1000) {
  rr_ramp_hdr_t h{};
  h.magicNumber = RR_RAMP_MAGIC;
  h.rampType = RR_TYPE_SWLI;
  h.pztID = 12345;
  h.nPoints = n_points;
  h.sampleClkFreq = 10.0f;
  h.cameraRate = 25.0f;
  h.updateRate = 65136;
  h.rampSlope = 81.0f;
  h.trigStartAddr = n_points / 10;
  h.trigEndAddr = n_points - n_points / 10;
  h.scanLen = 10.0f;
  h.polar = 'b';
  h.fringesPerFrame = 0.25f;
  h.scanCal = 1.0f;
  return h;
}

inline rr_ramp_hdr_t pmi_header(int32_t n_buckets = 5) {
  rr_ramp_hdr_t h = swli_header(200);
  h.rampType = RR_TYPE_PMI;
  h.nBuckets = n_buckets;
  h.pztID = 777;
  h.scanLen = 0;
  h.rampSlope = 0;
  h.polar = 'p';
  return h;
}

// Samples a + b * i.
inline std::vector<uint16_t> linear_samples(size_t n, int a = 1000, int b = 10) {
  std::vector<uint16_t> s(n);
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<uint16_t>(a + b * int(i));
  return s;
}

// The configuration spec that matches a header.
inline rr_ramp_spec spec_for(const rr_ramp_hdr_t &h, const char *file_name) {
  rr_ramp_spec s{};
  s.rampType = h.rampType;
  s.wavelenSelect = h.wavelenSelect;
  std::snprintf(s.fileName, sizeof s.fileName, "%s", file_name);
  s.scanLen = h.scanLen;
  s.cameraRate = h.cameraRate;
  s.cameraInterlace = h.cameraInterlace;
  s.grabSkip = h.grabSkip;
  s.fringesPerFrame = h.fringesPerFrame;
  s.rampSlope = h.rampSlope;
  s.objMag = h.objMag;
  s.scanCal = h.rampType == RR_TYPE_SWLI || h.rampType == RR_TYPE_BTW ? 1.0f : 0.0f;
  return s;
}

// The file bytes of a header and its samples, built byte by byte.
inline std::vector<uint8_t> ramp_file_bytes(const rr_ramp_hdr_t &h,
                                            const std::vector<uint16_t> &samples) {
  std::vector<uint8_t> out(RR_RAMP_HDR_SIZE);
  std::memcpy(out.data(), &h, RR_RAMP_HDR_SIZE);
  for (int w = 0; w < RR_RAMP_HDR_SWAPPED_WORDS; ++w) {
    uint32_t v;
    std::memcpy(&v, out.data() + 4 * w, 4);
    for (int b = 0; b < 4; ++b)
      out[size_t(4 * w + b)] = uint8_t(v >> (24 - 8 * b));
  }
  for (uint16_t s : samples) {
    out.push_back(uint8_t(s >> 8));
    out.push_back(uint8_t(s));
  }
  return out;
}

} // namespace ferry::test
