// Status and calibration decoding, the calibration printout and the laser
// switch with its wait.

#include <ctime>

#include "wm_fixture.h"

namespace ferry::test {
namespace {

using sim::Fault;
using sim::WaveMonitorCalibration;

constexpr uint32_t kCalibrated = 1u << 0;
constexpr uint32_t kLongCal = 1u << 30;
constexpr uint32_t kShortCal = 1u << 31;

wm_status status_with(uint32_t flags) {
  wm_status s{};
  s.word0 = 0xDEADBEEF;
  s.values[0] = 1.25f;
  s.values[1] = -2.5f;
  s.values[2] = 0.75f;  // maximum range, in millions
  s.values[3] = 0.125f; // minimum rate
  s.values[4] = 4.0f;   // maximum rate
  s.cal_age = 3600;
  s.word7 = -17;
  s.flags = flags;
  return s;
}

WaveMonitorCalibration long_calibration() {
  WaveMonitorCalibration cal;
  cal.long_form = true;
  cal.adc_gain[0] = 1.5f;
  cal.adc_gain[1] = 2.5f;
  cal.adc_gain[2] = -3.25f;
  cal.adc_gain[3] = 0.0625f;
  cal.system_gain = 7.75f;
  cal.adc_offset[0] = 1;
  cal.adc_offset[1] = 0x1234;
  cal.adc_offset[2] = 0xFFFF;
  cal.adc_offset[3] = 512;
  cal.phase_offset[0] = 0.5f;
  cal.phase_offset[1] = -1.5f;
  cal.phase_offset[2] = 3.0f;
  return cal;
}

class WaveMonitorStatusTest : public WaveMonitorTest {
protected:
  void SetUp() override {
    WaveMonitorTest::SetUp();
    info_.serial.wm_link = &link_;
  }
  // Runs the update and returns the commands it sent.
  std::vector<std::string> update(u_err_t expected = ERR_NONE) {
    sim_.clear_received();
    before_ = time(nullptr);
    EXPECT_EQ(wm_update_status(&info_), expected);
    after_ = time(nullptr);
    return sim_.commands();
  }
  const wm_state &state() const { return info_.serial.wm; }

  sys_info info_{};
  time_t before_ = 0, after_ = 0;
};

using Commands = std::vector<std::string>;

TEST_F(WaveMonitorStatusTest, UncalibratedDeviceStoresTheStatusAndAsksNoCalibration) {
  info_.serial.wm.cal_time = 12345;
  info_.serial.wm.system_gain = 9.0f;
  sim_.set_status(status_with(kLongCal | 0x0F00));
  EXPECT_EQ(update(), (Commands{"MS?"}));
  EXPECT_EQ(state().calibrated, 0);
  EXPECT_EQ(state().cal_time, 0);
  EXPECT_EQ(state().status_flags, kLongCal | 0x0F00);
  EXPECT_EQ(state().features, kLongCal);
  EXPECT_EQ(state().status_word1, 1.25f);
  EXPECT_EQ(state().status_word2, -2.5f);
  EXPECT_EQ(state().cal_age, 3600);
  EXPECT_EQ(state().status_word7, -17);
  EXPECT_EQ(state().system_gain, 9.0f); // the calibration part is left alone
}

TEST_F(WaveMonitorStatusTest, FortyByteCalibrationFillsEveryValue) {
  sim_.set_status(status_with(kCalibrated | kLongCal));
  sim_.set_calibration(long_calibration());
  EXPECT_EQ(update(), (Commands{"MS?", "CC?"}));
  EXPECT_EQ(state().calibrated, 1);
  EXPECT_GE(state().cal_time, before_ - 3600);
  EXPECT_LE(state().cal_time, after_ - 3600);
  const float gains[] = {1.5f, 2.5f, -3.25f, 0.0625f};
  const uint16_t offsets[] = {1, 0x1234, 0xFFFF, 512};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(state().adc_gain[i], gains[i]);
    EXPECT_EQ(state().adc_offset[i], offsets[i]);
  }
  EXPECT_EQ(state().system_gain, 7.75f);
  EXPECT_EQ(state().phase_offset[0], 0.5);
  EXPECT_EQ(state().phase_offset[1], -1.5);
  EXPECT_EQ(state().phase_offset[2], 3.0);
  EXPECT_EQ(state().limits.min_range, 0.0);
  EXPECT_EQ(state().limits.max_range, 750000.0);
  EXPECT_EQ(state().limits.min_rate, 125000.0);
  EXPECT_EQ(state().limits.max_rate, 4000000.0);
}

TEST_F(WaveMonitorStatusTest, FourByteCalibrationClearsTheAdcValues) {
  info_.serial.wm.adc_gain[2] = 5.0f;
  info_.serial.wm.adc_offset[1] = 77;
  info_.serial.wm.phase_offset[0] = 1.0;
  sim_.set_status(status_with(kCalibrated | kShortCal));
  sim_.set_calibration({.long_form = false, .system_gain = 3.5f});
  EXPECT_EQ(update(), (Commands{"MS?", "CC?"}));
  EXPECT_EQ(state().system_gain, 3.5f);
  EXPECT_EQ(state().adc_gain[2], 0.0f);
  EXPECT_EQ(state().adc_offset[1], 0);
  EXPECT_EQ(state().phase_offset[0], 0.0);
}

TEST_F(WaveMonitorStatusTest, WithoutFeatureBitsTheStatusIsAskedTwice) {
  // The second report decides the calibration form; the stored features
  // stay those of the first.
  sim_.set_statuses({status_with(kCalibrated), status_with(kCalibrated | kLongCal)});
  sim_.set_calibration(long_calibration());
  EXPECT_EQ(update(), (Commands{"MS?", "MS?", "CC?"}));
  EXPECT_EQ(state().features, 0u);
  EXPECT_EQ(state().adc_offset[1], 0x1234);

  sim_.set_statuses({status_with(kCalibrated), status_with(kCalibrated)});
  sim_.set_calibration({.long_form = false, .system_gain = 6.0f});
  EXPECT_EQ(update(), (Commands{"MS?", "MS?", "CC?"}));
  EXPECT_EQ(state().system_gain, 6.0f);
  EXPECT_EQ(state().adc_offset[1], 0);
}

TEST_F(WaveMonitorStatusTest, NakOnTheCalibrationLeavesItsPartAsBefore) {
  MessageCapture messages;
  info_.serial.wm.system_gain = 9.0f;
  info_.serial.wm.adc_gain[0] = 4.0f;
  sim_.set_status(status_with(kCalibrated | kLongCal));
  sim_.script_answer(
      with_ack(sim::WaveMonitorSim::encode_status(status_with(kCalibrated | kLongCal))));
  sim_.script_answer(with_ack(std::vector<uint8_t>(40, 0), WM_NAK));
  EXPECT_EQ(update(ERR_WM_NAK), (Commands{"MS?", "CC?"}));
  EXPECT_EQ(state().calibrated, 1);
  EXPECT_NE(state().cal_time, 0);
  EXPECT_EQ(state().system_gain, 9.0f);
  EXPECT_EQ(state().adc_gain[0], 4.0f);
  EXPECT_NE(messages.text().find("command \"CC?\": ERR_WM_NAK\n"), std::string::npos);
}

TEST_F(WaveMonitorStatusTest, StatusFailureIsReturned) {
  MessageCapture messages;
  sim_.set_fault(Fault::nak, 1);
  EXPECT_EQ(update(ERR_WM_NAK), (Commands{"MS?"}));
  EXPECT_EQ(wm_update_status(nullptr), ERR_INVALID_PARAM);
}

TEST_F(WaveMonitorStatusTest, UpdateUnderMemoryFailureLeaksNothing) {
  plat_set_time_scale(0.1);
  MessageCapture quiet;
  sim_.set_status(status_with(kCalibrated | kLongCal));
  sim_.set_calibration(long_calibration());
  const long allocations =
      expect_no_leak_under_oom([&] { return wm_update_status(&info_); }, [&] { drain(); });
  EXPECT_GE(allocations, 4); // the status report and the calibration, two blocks each
}

TEST(WaveMonitorPrintTest, CalibrationPrintoutByFeature) {
  ScopedEnv tz("TZ", "UTC");
  plat_tzset();
  MessageCapture messages;
  wm_state st{};
  wm_print_calibration(&st);
  EXPECT_EQ(messages.text(), "Wave monitor not calibrated\n");

  messages.clear();
  st.calibrated = 1;
  st.cal_time = 86400 + 3723; // 1970-01-02 01:02:03
  st.system_gain = 2.5f;
  wm_print_calibration(&st);
  EXPECT_EQ(messages.text(),
            "Wave monitor calibrated 1970-01-02 01:02:03\nSystem Gain: 2.500000\n");

  messages.clear();
  st.features = kLongCal;
  const float gains[] = {1.5f, 2.5f, -3.25f, 0.0625f};
  const uint16_t offsets[] = {1, 0x1234, 0xFFFF, 512};
  for (int i = 0; i < 4; ++i) {
    st.adc_gain[i] = gains[i];
    st.adc_offset[i] = offsets[i];
  }
  st.phase_offset[0] = 0.5;
  st.phase_offset[1] = -1.5;
  st.phase_offset[2] = 3.0;
  wm_print_calibration(&st);
  EXPECT_EQ(messages.text(), "Wave monitor calibrated 1970-01-02 01:02:03\n"
                             "ADC Gain A : 1.500000\n"
                             "ADC Gain B : 2.500000\n"
                             "ADC Gain C : -3.250000\n"
                             "ADC Gain D : 0.062500\n"
                             "ADC Offs A : 1\n"
                             "ADC Offs B : 4660\n"
                             "ADC Offs C : 65535\n"
                             "ADC Offs D : 512\n"
                             "Phs Offs 01: 0.500000\n"
                             "Phs Offs 12: -1.500000\n"
                             "Phs Offs 23: 3.000000\n"
                             "System Gain: 2.500000\n");
}

class WaveMonitorLaserTest : public WaveMonitorTest {
protected:
  void SetUp() override {
    WaveMonitorTest::SetUp();
    plat_set_time_scale(0.01);
  }
  static inline int abort_calls = 0;
};

TEST_F(WaveMonitorLaserTest, WaitEndsWhenTheLaserReachesItsState) {
  sim_.set_laser_switch_after(3);
  EXPECT_EQ(wm_set_laser_with_wait(&link_, 1), ERR_NONE);
  EXPECT_TRUE(sim_.laser_on());
  EXPECT_EQ(sim_.commands(), (Commands{"LO=1", "LO?", "LO?", "LO?"}));
  sim_.set_laser_switch_after(0);
  EXPECT_EQ(wm_set_laser_with_wait(&link_, 0), ERR_NONE);
  EXPECT_FALSE(sim_.laser_on());
}

TEST_F(WaveMonitorLaserTest, LaserThatNeverSwitchesTimesOutAfterTenAttempts) {
  MessageCapture messages;
  abort_calls = 0;
  u_abort_hook = [](int arg) {
    EXPECT_EQ(arg, 0);
    ++abort_calls;
    return 0;
  };
  sim_.set_laser_switch_after(sim::WaveMonitorSim::kLaserNever);
  EXPECT_EQ(wm_set_laser_with_wait(&link_, 1), ERR_WM_LASER_CONTROL_TIMEOUT);
  EXPECT_EQ(messages.text(), "wm_set_laser_with_wait: timeout waiting for laser to switch ON\n");
  Commands expected{"LO=1"};
  expected.insert(expected.end(), 10, "LO?");
  EXPECT_EQ(sim_.commands(), expected);
  EXPECT_EQ(abort_calls, 10);

  sim_.set_laser_on(true);
  messages.clear();
  EXPECT_EQ(wm_set_laser_with_wait(&link_, 0), ERR_WM_LASER_CONTROL_TIMEOUT);
  EXPECT_EQ(messages.text(), "wm_set_laser_with_wait: timeout waiting for laser to switch OFF\n");
}

TEST_F(WaveMonitorLaserTest, AbortHookEndsTheWaitAfterTheFirstAttempt) {
  u_abort_hook = [](int) { return 1; };
  sim_.set_laser_switch_after(sim::WaveMonitorSim::kLaserNever);
  EXPECT_EQ(wm_set_laser_with_wait(&link_, 1), ERR_FERNHALL_ABORTED);
  EXPECT_EQ(sim_.commands(), (Commands{"LO=1", "LO?"}));
}

TEST_F(WaveMonitorLaserTest, LinkFailuresAreReturned) {
  MessageCapture messages;
  sim_.set_fault(Fault::nak, 1);
  EXPECT_EQ(wm_set_laser_with_wait(&link_, 1), ERR_WM_NAK);
  EXPECT_EQ(sim_.commands(), (Commands{"LO=1"}));
  sim_.clear_received();
  sim_.script_answer({WM_ACK});
  sim_.script_answer({0, 0x80, 0, 0, WM_NAK});
  EXPECT_EQ(wm_set_laser_with_wait(&link_, 1), ERR_WM_NAK);
  EXPECT_EQ(sim_.received(), bytes_of("LO=1\rLO?\r"));
}

} // namespace
} // namespace ferry::test
