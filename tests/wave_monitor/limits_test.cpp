// Tuning limits by system type and the check of a requested ramp.

#include <cmath>
#include <limits>

#include "wm_fixture.h"

namespace ferry::test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_limits(const wm_tuning_limits &a, const wm_tuning_limits &b) {
  return a.min_range == b.min_range && a.max_range == b.max_range && a.min_rate == b.min_rate &&
         a.max_rate == b.max_rate;
}

sys_info system_of_type(int32_t type) {
  sys_info info{};
  info.sys_type = type;
  info.serial.wm_config_limits = {0.0, 2000.0, 10.0, 500.0};
  info.serial.wm.limits = {0.0, 1000.0, 20.0, 800.0};
  return info;
}

wm_tuning_limits limits_of(const sys_info *info) {
  wm_tuning_limits limits{-1, -1, -1, -1};
  EXPECT_EQ(wm_get_tuning_limits(info, &limits), ERR_NONE);
  return limits;
}

TEST(WaveMonitorLimitsTest, ScaleCodesConvertByTheirFactors) {
  EXPECT_EQ(wm_convert_scale(0.75, 1103, 1101), 750000.0);
  EXPECT_EQ(wm_convert_scale(2.0, 1101, 1102), 0.002);
  EXPECT_EQ(wm_convert_scale(3.0, 1105, 1104), 3000.0);
  EXPECT_EQ(wm_convert_scale(1.0, 1100, 1101), kInf);
  EXPECT_EQ(wm_convert_scale(1.0, 1101, 1106), kInf);
}

TEST(WaveMonitorLimitsTest, LimitsFollowTheSystemType) {
  const wm_tuning_limits defaults{0.0, 1.5e11, 0.0, kInf};
  EXPECT_TRUE(same_limits(limits_of(nullptr), defaults));
  for (int32_t type : {0, 18, 20, 31, 34}) {
    sys_info info = system_of_type(type);
    EXPECT_TRUE(same_limits(limits_of(&info), defaults)) << type;
  }
  for (int32_t type : {27, 32, 33}) {
    sys_info info = system_of_type(type);
    EXPECT_TRUE(same_limits(limits_of(&info), info.serial.wm_config_limits)) << type;
  }
  // Wave monitor systems: configured limits tightened by the reported ones.
  for (int32_t type : {19, 30}) {
    sys_info info = system_of_type(type);
    info.serial.wm.calibrated = 1;
    EXPECT_TRUE(same_limits(limits_of(&info), {0.0, 1000.0, 20.0, 500.0})) << type;
    info.serial.wm.limits = {0.0, 3000.0, 5.0, 300.0};
    EXPECT_TRUE(same_limits(limits_of(&info), {0.0, 2000.0, 10.0, 300.0})) << type;
    info.serial.wm.calibrated = 0;
    EXPECT_TRUE(same_limits(limits_of(&info), {0.0, 0.0, 0.0, 0.0})) << type;
  }
  EXPECT_EQ(wm_get_tuning_limits(nullptr, nullptr), ERR_INVALID_PARAM);
}

class WaveMonitorRampTest : public ::testing::Test {
protected:
  // Default limits: range up to 1.5e11, any rate above 0.
  sys_info info_ = system_of_type(0);
  MessageCapture messages_;

  u_err_t verify(double range, int32_t buckets, double camera_rate = 100.0) {
    wm_ramp_request request{range, buckets, camera_rate};
    return wm_verify_ramp_in_limits(&info_, &request);
  }
};

TEST_F(WaveMonitorRampTest, BucketLimitIs3800) {
  EXPECT_EQ(verify(1000.0, 3800), ERR_NONE);
  EXPECT_EQ(messages_.text(), "");
  EXPECT_EQ(verify(1000.0, 3801), ERR_WM_NUM_BUCKETS_TOO_LARGE);
  EXPECT_EQ(messages_.text(), "wm_verify_ramp_in_limits: req_buckets = 3801 is too big\n");
}

TEST_F(WaveMonitorRampTest, RangeAndRateChecksInTheirOrder) {
  info_ = system_of_type(27); // range 2000, rate 10..500
  EXPECT_EQ(verify(2000.0009, 400), ERR_NONE);
  EXPECT_EQ(verify(2000.01, 400), ERR_WM_TUNE_RANGE_TOO_LARGE);
  EXPECT_EQ(messages_.text(), "wm_verify_ramp_in_limits: req_range = 2000.01 too large\n");

  // 1000 over 100 buckets at 50 frames/s: 500 per second, just allowed.
  messages_.clear();
  EXPECT_EQ(verify(1000.0, 100, 50.0), ERR_NONE);
  EXPECT_EQ(verify(1000.0, 99, 50.0), ERR_WM_TUNE_RANGE_TOO_LARGE);
  EXPECT_EQ(messages_.text(), "wm_verify_ramp_in_limits: req_rate = 505.051 too fast\n");

  // The rate is judged before the bucket count.
  messages_.clear();
  EXPECT_EQ(verify(2000.0, 3801, 1000.0), ERR_WM_TUNE_RANGE_TOO_LARGE);
  EXPECT_NE(messages_.text().find("too fast"), std::string::npos);

  messages_.clear();
  // The minimum rate needs a margin of 0.001 above it.
  EXPECT_EQ(verify(100.02, 1000, 100.0), ERR_NONE);
  EXPECT_EQ(verify(100.0, 1000, 100.0), ERR_WM_TUNE_RATE_TOO_SLOW);
  messages_.clear();
  EXPECT_EQ(verify(99.0, 1000, 100.0), ERR_WM_TUNE_RATE_TOO_SLOW);
  EXPECT_EQ(messages_.text(), "wm_verify_ramp_in_limits: req_rate = 9.9 is too slow\n");
}

TEST_F(WaveMonitorRampTest, UncalibratedWaveMonitorRefusesEveryRange) {
  info_ = system_of_type(19);
  for (double range : {0.01, 1.0, 1e6}) {
    messages_.clear();
    EXPECT_EQ(verify(range, 10), ERR_WM_TUNE_RANGE_TOO_LARGE) << range;
  }
}

TEST_F(WaveMonitorRampTest, MissingOrMeaninglessRequestsAreRefused) {
  wm_ramp_request request{10.0, 10, 100.0};
  EXPECT_EQ(wm_verify_ramp_in_limits(nullptr, &request), ERR_INVALID_PARAM);
  EXPECT_EQ(wm_verify_ramp_in_limits(&info_, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(verify(10.0, 0), ERR_INVALID_PARAM);
  EXPECT_EQ(verify(10.0, -5), ERR_INVALID_PARAM);
  EXPECT_EQ(verify(10.0, 10, 0.0), ERR_INVALID_PARAM);
  EXPECT_EQ(verify(10.0, 10, NAN), ERR_INVALID_PARAM);
  EXPECT_EQ(verify(NAN, 10), ERR_INVALID_PARAM);
  EXPECT_EQ(messages_.text(), "");
}

} // namespace
} // namespace ferry::test
