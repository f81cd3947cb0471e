// Derived ramps: a configuration line with the file name "+" takes the most
// recently loaded SWLI ramp and rescales its waveform and timing to the
// line's scan length, slope and camera rate.
//
// The base comes from a file, so none of its header fields is trusted: the
// trigger span must lie inside the samples, every index stays inside the
// sample buffers and every double reaches an int through trunc_to_int.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/hooks.h"
#include "ramps/ramp_config.h"
#include "ramps/ramp_file.h"
#include "ramps/ramp_math_internal.h"

namespace {

using ferry::ramps::low16;
using ferry::ramps::trunc_to_int;

bool trigger_span_valid(const rr_ramp_hdr_t &h) {
  return 0 <= h.trigStartAddr && h.trigStartAddr < h.trigEndAddr && h.trigEndAddr <= h.nPoints;
}

// Frames sampled per second: the camera rate over the frame interval.
double sampled_rate(double camera_rate, int32_t grab_skip) {
  return camera_rate / (double(grab_skip) + 1.0);
}

// Frames of the trigger span at a sampled rate and a sample clock in kHz.
int buckets(const rr_ramp_hdr_t &h, double rate) {
  double span = double(h.trigEndAddr) - double(h.trigStartAddr);
  return trunc_to_int(rate * (span / (1000.0 * double(h.sampleClkFreq))));
}

// The resampling's view of the two sample buffers: reads are clamped into
// the base, writes past the end of the new buffer are refused.
class Resampler {
public:
  Resampler(const uint16_t *base, int64_t base_n, uint16_t *out, int64_t out_n)
      : base_(base), base_n_(base_n), out_(out), out_n_(out_n) {}

  double at(int64_t i) const { return base_[std::clamp<int64_t>(i, 0, base_n_ - 1)]; }
  bool put(int64_t i, uint16_t v) {
    if (i < 0 || i >= out_n_)
      return false;
    out_[i] = v;
    return true;
  }
  uint16_t out(int64_t i) const { return out_[i]; }

private:
  const uint16_t *base_;
  int64_t base_n_;
  uint16_t *out_;
  int64_t out_n_;
};

// Scales the lead-in (the samples before the trigger start) so that it ends
// where the stretched scan begins.
void scale_lead_in(Resampler &rs, int64_t lead_in, int64_t first, int64_t trig_start,
                   double offset) {
  double a = rs.at(trig_start) - offset;
  double b = rs.at(first) - offset;
  for (int64_t j = 0; j < lead_in; ++j) {
    double x = rs.at(j) - offset;
    // k = a / b. With b = 0 the lead-in flattens to the offset (x / inf);
    // with a = 0 there is no scale to apply and the lead-in stays as it is.
    double scaled = a == 0 ? x : b == 0 ? 0.0 : x / (a / b);
    rs.put(j, static_cast<uint16_t>(uint32_t(low16(scaled)) + uint32_t(int64_t(offset))));
  }
}

} // namespace

extern "C" {

u_err_t rr_rescale_ramp(const rr_ramp_hdr_t *base_hdr, const uint16_t *base_samples,
                        rr_ramp_hdr_t *new_hdr, uint16_t *new_samples, float new_scan_len) {
  if (!base_hdr || !base_samples || !new_hdr || !new_samples)
    return ERR_INVALID_PARAM;
  if (!trigger_span_valid(*base_hdr))
    return ERR_CORRUPT_RAMP_FILE;

  const int64_t n_base = base_hdr->nPoints;
  const int64_t t_start = base_hdr->trigStartAddr, t_end = base_hdr->trigEndAddr;
  Resampler rs(base_samples, n_base, new_samples, std::max<int64_t>(new_hdr->nPoints, 0));

  // The central part [first, last) of the base scan that the new scan covers.
  double r = double(new_scan_len) / double(base_hdr->scanLen);
  int64_t span = t_end - t_start;
  int64_t first = int64_t(trunc_to_int((1 - r) * double(span) / 2)) + t_start;
  int64_t last = int64_t(trunc_to_int((1 + r) * double(span) / 2)) + t_start;
  first = std::clamp<int64_t>(first, 0, n_base - 1);
  last = std::clamp<int64_t>(last, first, n_base);

  const double offset = base_hdr->offset;
  int64_t lead_in = std::min<int64_t>(new_hdr->trigStartAddr, n_base);
  scale_lead_in(rs, lead_in, first, t_start, offset);

  // Stretch the covered part (and the tail after the trigger end) over the
  // trigger span and the tail: n values per base sample, and one more
  // whenever the fractions add up past one.
  int64_t tail = n_base - t_end;
  int64_t covered = std::max<int64_t>(last + tail - first, 1);
  double e = double(t_end + tail - t_start) / double(covered);
  int64_t n = trunc_to_int(e);
  double frac = e - double(n);
  double v = rs.at(first);
  double sum = 0;
  int64_t p = 0;
  bool room = true;
  for (int64_t i = first; room && i < last + tail && i < n_base; ++i) {
    double step = (rs.at(i + 1) - rs.at(i)) / e;
    for (int64_t k = 0; k < n && room; ++k) {
      room = rs.put(t_start + p, low16(v));
      v += step;
      ++p;
    }
    sum += frac;
    if (room && sum > 1) {
      uint32_t previous = p > 0 ? rs.out(t_start + p - 1) : low16(v);
      room = rs.put(t_start + p, static_cast<uint16_t>((previous + low16(v)) / 2));
      v += step;
      ++p;
      sum -= 1;
    }
  }
  if (room && sum > 0.5)
    rs.put(t_start + p, low16(v));

  new_hdr->sampleClkFreq = static_cast<float>(double(new_hdr->sampleClkFreq) * e);
  new_hdr->updateRate = trunc_to_int(65536.0 - 4000.0 / double(new_hdr->sampleClkFreq));
  new_hdr->scanLen = new_scan_len;
  // The span times the rate over the clock: the order of the operations
  // decides where a truncation lands, so it stays the documented one.
  double span_d = double(new_hdr->trigEndAddr) - double(new_hdr->trigStartAddr);
  new_hdr->nBuckets = trunc_to_int(span_d * sampled_rate(new_hdr->cameraRate, new_hdr->grabSkip) /
                                   (double(new_hdr->sampleClkFreq) * 1000.0));
  return 0;
}

u_err_t rr_derive_ramp(const rr_ramp *base, rr_ramp *derived, const rr_ramp_spec *spec) {
  if (!base || !derived || !spec || !base->samples || derived->samples ||
      base->hdr.rampType != RR_TYPE_SWLI)
    return ERR_INVALID_PARAM;
  const rr_ramp_hdr_t &bh = base->hdr;
  if (!trigger_span_valid(bh))
    return ERR_CORRUPT_RAMP_FILE;
  if (spec->rampType != RR_TYPE_SWLI && spec->rampType != RR_TYPE_BTW) {
    u_msg_hook("Error: derived ramp must be type SWLI or BTW\n");
    return ERR_INVALID_PARAM;
  }
  if (!(spec->scanLen <= bh.scanLen)) {
    u_msg_hook("Error: derived ramp must have smaller scan length\n");
    return ERR_PARAM_OUT_OF_RANGE;
  }
  double f = spec->fringesPerFrame;
  if (!(std::fmod(f, 0.25) == 0 || std::fmod(0.25, f) == 0)) {
    u_msg_hook("Error: fringesPerFrame = %g is invalid for derived ramp\n", f);
    return ERR_INVALID_PARAM;
  }
  if (spec->rampType == RR_TYPE_BTW && !(spec->objMag > 0)) {
    u_msg_hook("Error: BTW ramp must specify an objective mag\n");
    return ERR_INVALID_PARAM;
  }

  *derived = *base;
  derived->samples = nullptr;
  const size_t n = size_t(bh.nPoints);
  ferry::HookBuffer<uint16_t> samples(n);
  if (!samples)
    return ERR_NO_MEM;
  // Positions the resampling does not reach keep the base's values.
  std::memcpy(samples.get(), base->samples, n * sizeof(uint16_t));
  derived->samples = samples.release();

  rr_ramp_hdr_t &h = derived->hdr;
  h.rampType = spec->rampType;
  h.cameraRate = spec->cameraRate;
  h.scanLen = spec->scanLen;
  h.cameraInterlace = spec->cameraInterlace;
  h.grabSkip = spec->grabSkip;
  h.fringesPerFrame = spec->fringesPerFrame;
  h.rampSlope = spec->rampSlope;
  h.objMag = spec->objMag;
  h.scanCal = spec->scanCal;
  h.wavelenSelect = spec->wavelenSelect;

  double base_rate = sampled_rate(bh.cameraRate, bh.grabSkip);
  double new_rate = sampled_rate(h.cameraRate, h.grabSkip);
  double speed = (double(h.rampSlope) * new_rate) / (double(bh.rampSlope) * base_rate);

  if (spec->scanLen != bh.scanLen) {
    u_err_t err = rr_rescale_ramp(&bh, base->samples, &h, derived->samples, spec->scanLen);
    if (err)
      return err;
  }

  h.sampleClkFreq = static_cast<float>(double(h.sampleClkFreq) * speed);
  double clk = h.sampleClkFreq;
  double u = 65536.0 - 4000.0 / clk;
  // A clock that is not a positive number is as unusable as a slow one.
  if (!(clk > 0) || !(u >= 0)) {
    u_msg_hook("Error: sampleClkFreq = %g KHz is too low\n", clk);
    return ERR_INVALID_PARAM;
  }
  h.updateRate = trunc_to_int(u + 0.5);
  h.nBuckets = buckets(h, new_rate);

  if (h.compFilter > 0) {
    if (speed < 0.5 && h.compGain < 2)
      h.compGain += 1;
    else if (speed > 2 && h.compGain > 0)
      h.compGain -= 1;
  }
  for (int32_t *adc : {&h.adcMin, &h.adcMax, &h.adcFirst, &h.adcMid, &h.adcLast})
    *adc = trunc_to_int(double(*adc) * speed);
  return 0;
}

} // extern "C"
