// Random and mutated answers: whatever the device sends, every operation
// ends with success or a documented link error, in bounded time, leaving no
// block behind. Most useful in the sanitizer build.

#include <random>

#include "wm_fixture.h"

namespace ferry::test {
namespace {

using sim::WaveMonitorSim;

constexpr int kRounds = 120;

class WaveMonitorAnswerFuzzTest : public WaveMonitorTest {
protected:
  void SetUp() override {
    WaveMonitorTest::SetUp();
    plat_set_time_scale(0.005);
    info_.serial.wm_link = &link_;
  }

  std::vector<uint8_t> random_bytes(size_t max_len) {
    std::vector<uint8_t> out(std::uniform_int_distribution<size_t>(1, max_len)(rng_));
    for (auto &b : out)
      b = uint8_t(rng_());
    return out;
  }

  // A valid answer with a few bytes changed, cut short or run long.
  std::vector<uint8_t> mutated(std::vector<uint8_t> answer) {
    const int edits = int(rng_() % 4);
    for (int i = 0; i < edits && !answer.empty(); ++i)
      answer[rng_() % answer.size()] = uint8_t(rng_());
    switch (rng_() % 4) {
    case 0:
      answer.resize(rng_() % answer.size() + 1);
      break;
    case 1:
      for (int i = int(rng_() % 8); i >= 0; --i)
        answer.push_back(uint8_t(rng_()));
      break;
    default:
      break;
    }
    return answer;
  }

  std::vector<uint8_t> some_answer(const std::vector<uint8_t> &valid) {
    return rng_() % 3 == 0 ? random_bytes(80) : mutated(valid);
  }

  // Runs one operation whose first answer is scripted (exactly one per
  // operation, so a late answer only shifts the script, never leaves one
  // over); returns its result.
  u_err_t run_one(int op) {
    wm_status status{};
    status.flags = uint32_t(rng_());
    const auto status_answer = with_ack(WaveMonitorSim::encode_status(status));
    sim::WaveMonitorCalibration cal;
    cal.long_form = rng_() % 2 == 0;
    switch (op) {
    case 0: {
      // The first report is garbled; the device answers the rest itself,
      // with a calibration form that may not match what it reported.
      wm_status second = status;
      second.flags = uint32_t(rng_());
      sim_.set_statuses({second});
      sim_.set_calibration(cal);
      sim_.script_answer(some_answer(status_answer));
      return wm_update_status(&info_);
    }
    case 1: {
      sim_.script_answer(some_answer({0, 0x80, 0, 0, WM_ACK}));
      uint32_t word = 0;
      return wm_read_laser(&link_, &word);
    }
    case 2: {
      sim_.script_answer(some_answer({1, 0, 0, 0, 2, 0, 0, 0, WM_ACK}));
      int32_t a = 0, b = 0;
      return wm_write_rr(&link_, 1, 2, &a, &b);
    }
    case 3: {
      sim_.script_answer(some_answer({3, 0, 0, 0, 9, 1, 2, 3, 4, 5, 6, WM_ACK}));
      RespBuf resp;
      return wm_comm_write_rd(&link_, "DT?", &resp.buf, 1, 2, WM_RESP_SIZE_READ_ACK, 0);
    }
    default: {
      sim_.script_answer(some_answer({WM_ACK}));
      return wm_write_laser(&link_, 1);
    }
    }
  }

  std::mt19937 rng_{20261208};
  sys_info info_{};
};

TEST_F(WaveMonitorAnswerFuzzTest, AnyAnswerEndsInADocumentedResult) {
  MessageCapture quiet;
  FailingAllocator counter;
  counter.never_fail();
  int failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int op = int(rng_() % 5);
    const u_err_t rc = run_one(op);
    EXPECT_TRUE(rc == ERR_NONE || rc == ERR_WM_NAK || rc == ERR_WM_READ || rc == ERR_WM_TIMEOUT)
        << "round " << round << " op " << op << ": " << u_error_name(rc);
    EXPECT_EQ(counter.live_blocks(), 0) << "round " << round;
    failures += rc != ERR_NONE;
    wm_flush_inp(&link_);
  }
  // The mutations must actually break answers, or this test proves nothing.
  EXPECT_GT(failures, kRounds / 4);
  // The link still works afterwards.
  sim_.set_laser_on(true);
  plat_set_time_scale(1.0);
  wm_flush_inp(&link_);
  uint32_t word = 0;
  EXPECT_EQ(wm_read_laser(&link_, &word), ERR_NONE);
  EXPECT_EQ(word & WM_LASER_ON_BIT, uint32_t(WM_LASER_ON_BIT));
}

} // namespace
} // namespace ferry::test
