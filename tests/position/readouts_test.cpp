// The Metronics and Heid readouts against their simulators: requests,
// units and signs, broken replies, opening, and random replies.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "position/pos_instr.h"
#include "sim/readout_sims.h"
#include "support/serial_sim_link.h"
#include "support/test_support.h"

using ferry::sim::Fault;
using ferry::test::MessageCapture;
using ferry::test::ScaledTime;
using ferry::test::SimLink;

namespace {

using Bytes = std::vector<uint8_t>;

class ReadoutTest : public ::testing::Test {
protected:
  explicit ReadoutTest(std::unique_ptr<ferry::sim::SerialDevice> device)
      : link(std::move(device)) {}
  void set_reply(const std::string &reply) {
    ASSERT_EQ(link.control("reply " + SimLink::hex(reply)), "ok");
  }
  bool open(int32_t type, u_err_t (*opener)(pos_instr *)) {
    if (!link.start())
      return false;
    pi.type = type;
    std::snprintf(pi.device_name, sizeof pi.device_name, "%s", link.path().c_str());
    EXPECT_EQ(opener(&pi), ERR_NONE);
    EXPECT_TRUE(link.attach(&pi.port));
    messages.clear();
    return true;
  }
  void TearDown() override { EXPECT_EQ(pi_metronics_close(&pi), ERR_NONE); }

  ScaledTime time{0.05};
  SimLink link;
  pos_instr pi{};
  MessageCapture messages;
};

class MetronicsTest : public ReadoutTest {
protected:
  MetronicsTest() : ReadoutTest(ferry::sim::make_metronics_sim()) {}
  void SetUp() override {
    if (!open(POS_INSTR_METRONICS, pi_metronics_open))
      GTEST_SKIP() << "no pseudo-terminals on this system";
  }
  // Reads with the reply set; the value, and the result in *err.
  double read(const std::string &reply, u_err_t *err) {
    set_reply(reply);
    double value = 0;
    *err = metronics_read_pos(&pi, &value);
    return value;
  }
};

class HeidTest : public ReadoutTest {
protected:
  HeidTest() : ReadoutTest(ferry::sim::make_heid_sim()) {}
  void SetUp() override {
    if (!open(POS_INSTR_HEID, pi_heid_open))
      GTEST_SKIP() << "no pseudo-terminals on this system";
  }
  double read(const std::string &reply, u_err_t *err) {
    set_reply(reply);
    double value = 0;
    *err = heid_read_val(&pi, &value);
    return value;
  }
};

TEST_F(MetronicsTest, LineIsFastEightBitsWithoutParity) {
  plat_serial_state s{};
  ASSERT_TRUE(plat_serial_get_state(&pi.port.port, &s));
  EXPECT_EQ(s.baud, 115200u);
  EXPECT_EQ(s.data_bits, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_FALSE(s.out_xonxoff);
}

TEST_F(MetronicsTest, InchesAreConvertedAndSignKept) {
  u_err_t err;
  EXPECT_DOUBLE_EQ(read("-12.500 in", &err), -317.5);
  EXPECT_EQ(err, ERR_NONE);
  const std::string request = "KEY 1\n";
  EXPECT_EQ(link.received(), Bytes(request.begin(), request.end()));
  EXPECT_DOUBLE_EQ(read("12.5 mm", &err), 12.5);
  EXPECT_EQ(err, ERR_NONE);
  EXPECT_DOUBLE_EQ(read("X: -  0.25mm", &err), -0.25);
  EXPECT_EQ(err, ERR_NONE);
  EXPECT_EQ(messages.text(), "");
}

TEST_F(MetronicsTest, RepliesWithoutANumberFail) {
  u_err_t err;
  EXPECT_EQ(read("abc", &err), HUGE_VAL);
  EXPECT_EQ(err, ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "metronics_read_pos: received unexpected string \"abc\"\n");

  messages.clear();
  EXPECT_EQ(read("", &err), HUGE_VAL);
  EXPECT_EQ(err, ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "metronics_read_pos: received empty string\n");

  messages.clear();
  EXPECT_EQ(read("pos .x mm", &err), HUGE_VAL);
  EXPECT_EQ(err, ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "metronics_read_pos: received invalid number \".x mm\"\n");
}

TEST_F(MetronicsTest, NonAsciiByteIsRefused) {
  u_err_t err;
  EXPECT_EQ(read("\xB0 12.5", &err), HUGE_VAL);
  EXPECT_EQ(err, ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "metronics_read_pos: received non-ASCII character 0x176\n");
}

TEST_F(MetronicsTest, LineWithoutEndIsTooLong) {
  link.set_fault(Fault::no_line_end, 1);
  double value = 0;
  EXPECT_EQ(metronics_read_pos(&pi, &value), ERR_POS_INSTR_COMM);
  EXPECT_EQ(value, HUGE_VAL);
  EXPECT_EQ(messages.text(), "metronics_read_pos: received more than 79 chars\n");
  // The rest of the line was drained: the next reading is clean.
  messages.clear();
  u_err_t err;
  EXPECT_DOUBLE_EQ(read("1.5 mm", &err), 1.5);
  EXPECT_EQ(err, ERR_NONE);
}

TEST_F(MetronicsTest, SilentOrBrokenOffReadoutFails) {
  link.set_fault(Fault::silence, 1);
  double value = 0;
  EXPECT_EQ(metronics_read_pos(&pi, &value), ERR_POS_INSTR_COMM);
  EXPECT_EQ(value, HUGE_VAL);
  EXPECT_EQ(messages.text(), "metronics_read_pos: sio_read_data failed\n");
  messages.clear();
  link.set_fault(Fault::short_answer, 1);
  EXPECT_EQ(metronics_read_pos(&pi, nullptr), ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "metronics_read_pos: sio_read_data failed\n");
  EXPECT_EQ(pi_metronics_init(&pi), ERR_NONE);
}

TEST_F(MetronicsTest, RandomRepliesGiveAValueOrTheLinkError) {
  ScaledTime fast(0.005);
  std::mt19937 random(1208);
  for (int round = 0; round < 120; ++round) {
    std::string reply(random() % 90, ' ');
    for (auto &c : reply)
      c = static_cast<char>(random() % 3 ? "0123456789.-+ inm"[random() % 17] : random());
    set_reply(reply);
    double value = 0;
    const u_err_t err = metronics_read_pos(&pi, &value);
    EXPECT_TRUE(err == ERR_NONE || err == ERR_POS_INSTR_COMM) << err;
    if (err != ERR_NONE) {
      EXPECT_EQ(value, HUGE_VAL);
    }
  }
}

TEST_F(HeidTest, LineIsSlowSevenBitsEvenParityWithSoftwareFlow) {
  if (link.remote())
    GTEST_SKIP() << "Wine reports a pseudo-terminal's eight bits without parity";
  plat_serial_state s{};
  ASSERT_TRUE(plat_serial_get_state(&pi.port.port, &s));
  EXPECT_EQ(s.baud, 2400u);
  EXPECT_EQ(s.data_bits, 7);
  EXPECT_EQ(s.parity, 2);
  EXPECT_TRUE(s.out_xonxoff);
}

TEST_F(HeidTest, SignAndBlanksReadAsOneNumber) {
  u_err_t err;
  EXPECT_DOUBLE_EQ(read("-  12.5", &err), -12.5);
  EXPECT_EQ(err, ERR_NONE);
  EXPECT_EQ(link.received(), Bytes{0x02});
  EXPECT_DOUBLE_EQ(read("+ 3.25", &err), 3.25);
  EXPECT_DOUBLE_EQ(read("7.5", &err), 7.5);
  EXPECT_EQ(err, ERR_NONE);
  EXPECT_EQ(messages.text(), "");
}

TEST_F(HeidTest, FailuresKeepTheValueUnread) {
  link.set_fault(Fault::no_line_end, 1);
  double value = 0;
  EXPECT_EQ(heid_read_val(&pi, &value), ERR_POS_INSTR_COMM);
  EXPECT_EQ(value, HUGE_VAL);
  EXPECT_EQ(messages.text(), "");

  link.set_fault(Fault::silence, 1);
  EXPECT_EQ(heid_read_val(&pi, &value), ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "heid_read_val() sio_read_data() failed");

  // A reply without a number is no reading of zero.
  messages.clear();
  u_err_t err;
  EXPECT_EQ(read("ERR", &err), HUGE_VAL);
  EXPECT_EQ(err, ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "heid_read_val() received invalid number \"ERR\"\n");
}

TEST_F(HeidTest, WrappersReportFailureThroughTheFlag) {
  int32_t failed = -1;
  double value = 0;
  set_reply("- 1.0");
  EXPECT_EQ(pi_heid_read(&pi, &value, &failed), ERR_NONE);
  EXPECT_EQ(failed, 0);
  EXPECT_DOUBLE_EQ(value, -1.0);
  link.set_fault(Fault::silence, 1);
  EXPECT_EQ(pi_heid_init(&pi, &failed), ERR_NONE);
  EXPECT_EQ(failed, 1);
}

} // namespace

TEST(ReadoutOpen, WrongTypeOrMissingDeviceIsRefused) {
  MessageCapture messages;
  pos_instr pi{};
  pi.type = POS_INSTR_HEID;
  EXPECT_EQ(pi_metronics_open(&pi), ERR_INVALID_PARAM);
  pi.type = POS_INSTR_METRONICS;
  EXPECT_EQ(pi_heid_open(&pi), ERR_INVALID_PARAM);
  EXPECT_EQ(pi_metronics_open(nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(messages.text(), "");

  std::snprintf(pi.device_name, sizeof pi.device_name, "/nonexistent/ttyPOS");
  EXPECT_EQ(pi_metronics_open(&pi), ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "sio_open() failed: 121\npi_metronics_open() failed\n");
  EXPECT_FALSE(sio_is_open(&pi.port));

  messages.clear();
  pi.type = POS_INSTR_HEID;
  EXPECT_EQ(pi_heid_open(&pi), ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "pi_heid_open() failed\n");
  EXPECT_EQ(pi_heid_close(&pi), ERR_NONE);
}

TEST(ReadoutOpen, ReadingAClosedReadoutFailsCleanly) {
  MessageCapture messages;
  pos_instr pi{};
  double value = 0;
  EXPECT_EQ(metronics_read_pos(&pi, &value), ERR_POS_INSTR_COMM);
  EXPECT_EQ(value, HUGE_VAL);
  EXPECT_EQ(messages.text(), "metronics_read_pos: sio_send_data failed\n");
  messages.clear();
  EXPECT_EQ(heid_read_val(&pi, &value), ERR_POS_INSTR_COMM);
  EXPECT_EQ(messages.text(), "heid_read_val() sio_send_data() failed");
}
