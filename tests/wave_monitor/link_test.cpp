// The link: opening, command bytes, the four response framings and every
// failure text of a read.

#include <climits>
#include <cmath>
#include <cstring>

#include "wm_fixture.h"

namespace ferry::test {
namespace {

using sim::Fault;

TEST(WaveMonitorLinkTest, OpenOfMissingDeviceFailsWithCommErrorAndLeavesNothingOpen) {
  MessageCapture messages;
  wm_link link{};
  EXPECT_EQ(wm_comm_open_fd(&link, "/nonexistent/ttyWM0"), ERR_WM_COMM);
  EXPECT_EQ(
      messages.text(),
      "wm_comm_open_fd: error initializing device /nonexistent/ttyWM0: ERR_CANT_OPEN_SERIAL\n");
  EXPECT_FALSE(sio_is_open(&link.port));
  EXPECT_EQ(wm_comm_open_fd(nullptr, "x"), ERR_INVALID_PARAM);
  EXPECT_EQ(wm_comm_open_fd(&link, nullptr), ERR_INVALID_PARAM);
}

TEST(WaveMonitorLinkTest, WithoutLinkWritesNothingAndReadsRefuse) {
  MessageCapture messages;
  RespBuf resp;
  EXPECT_EQ(wm_comm_write(nullptr, "MS?"), ERR_NONE);
  EXPECT_EQ(wm_comm_close(nullptr), ERR_NONE);
  EXPECT_EQ(wm_flush_inp(nullptr), ERR_NONE);
  EXPECT_EQ(messages.text(), "");
  EXPECT_EQ(wm_comm_read(nullptr, &resp.buf, 4, -1, WM_RESP_READ_ACK, 0), ERR_INVALID_PARAM);
  EXPECT_EQ(unstamped(messages.text()), "T wm_comm_read: ERR_INVALID_PARAM\n");
  wm_link link{};
  EXPECT_EQ(wm_comm_read(&link, nullptr, 4, -1, WM_RESP_READ_ACK, 0), ERR_INVALID_PARAM);
  EXPECT_EQ(wm_comm_read(&link, &resp.buf, 4, -1, 5, 0), ERR_INVALID_PARAM);
}

TEST(WaveMonitorLinkTest, ClosedLinkReportsEveryStep) {
  MessageCapture messages;
  wm_link link{};
  RespBuf resp;
  EXPECT_EQ(wm_comm_write(&link, "MS?"), ERR_WM_COMM);
  EXPECT_EQ(messages.text(),
            "wm_comm_write: sio_send_data failed, sendPacket = \"MS?\", nbytes = 3\n");
  messages.clear();
  EXPECT_EQ(wm_flush_inp(&link), ERR_WM_COMM);
  EXPECT_EQ(messages.text(), "wm_flush_inp: sio_clear_buffer failed\n");
  messages.clear();
  EXPECT_EQ(wm_comm_read(&link, &resp.buf, 4, -1, WM_RESP_READ_ACK, 0), ERR_SERIAL_NOT_OPEN);
  EXPECT_EQ(unstamped(messages.text()), "T wm_comm_read: ERR_SERIAL_NOT_OPEN\n");
  EXPECT_EQ(wm_comm_close(&link), ERR_SERIAL_NOT_OPEN);
  uint32_t word = 0;
  EXPECT_EQ(wm_read_laser(&link, &word), ERR_WM_COMM);
}

TEST_F(WaveMonitorTest, OpenLeavesTheDefaultPortTimeOut) {
  EXPECT_EQ(port_timeout(), 2);
}

TEST_F(WaveMonitorTest, CommandsGoOutWithTheirTextAndOneCarriageReturn) {
  int32_t a = 0, b = 0;
  EXPECT_EQ(wm_write_laser(&link_, 1), ERR_NONE);
  EXPECT_EQ(wm_write_laser(&link_, 2), ERR_NONE); // only a flag byte of 1 means on
  EXPECT_EQ(wm_write_cl(&link_, 0.5), ERR_NONE);
  EXPECT_EQ(wm_write_cl(&link_, -0.00000029), ERR_NONE);
  EXPECT_EQ(wm_write_ss(&link_, 1.5f), ERR_NONE);
  EXPECT_EQ(wm_write_rr(&link_, 7, -3, &a, &b), ERR_NONE);
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, -3);
  EXPECT_EQ(sim_.received(), bytes_of("LO=1\rLO=0\rCL=5000000\rCL=-2\rSS=1.500000\rRR=7,-3\r"));
}

TEST_F(WaveMonitorTest, ClValueThatCannotBeCountedIsNotSent) {
  EXPECT_EQ(wm_write_cl(&link_, NAN), ERR_INVALID_PARAM);
  EXPECT_EQ(wm_write_cl(&link_, 1e300), ERR_INVALID_PARAM);
  EXPECT_TRUE(sim_.received().empty());
}

TEST_F(WaveMonitorTest, ReadAndAcknowledgeDecodesLittleEndianWords) {
  sim_.set_laser_on(true);
  uint32_t word = 0;
  ASSERT_EQ(wm_read_laser(&link_, &word), ERR_NONE);
  EXPECT_EQ(word, 0x00A58001u);
  sim_.set_calibration({.long_form = false, .system_gain = 2.5f});
  float gain = 0;
  ASSERT_EQ(wm_read_system_gain(&link_, &gain), ERR_NONE);
  EXPECT_EQ(gain, 2.5f);
  EXPECT_EQ(sim_.received(), bytes_of("LO?\rCC?\r"));
}

TEST_F(WaveMonitorTest, AcknowledgeTypeNakAndJunkHaveTheirTexts) {
  MessageCapture messages;
  sim_.set_fault(Fault::nak, 1);
  EXPECT_EQ(wm_write_laser(&link_, 1), ERR_WM_NAK);
  EXPECT_EQ(unstamped(messages.text()),
            "T wm_comm_read: ERR_WM_NAK: WM_RESP_ACK: received NAK\n"
            "T wm_comm_write_rd: error reading response to command \"LO=1\": ERR_WM_NAK\n");
  messages.clear();
  sim_.script_answer({0x41});
  EXPECT_EQ(wm_write_ss(&link_, 0.0f), ERR_WM_READ);
  EXPECT_EQ(unstamped(messages.text()),
            "T wm_comm_read: ERR_WM_READ: WM_RESP_ACK: invalid response 0x41, expected ACK or "
            "NAK\n"
            "T wm_comm_write_rd: error reading response to command \"SS=0.000000\": "
            "ERR_WM_READ\n");
  // The hook got the stamp, the function and the code in one call and the
  // detail in the next.
  EXPECT_EQ(messages.calls().size(), 3u);
}

TEST_F(WaveMonitorTest, ReadAckTypeJudgesTheLastByte) {
  MessageCapture messages;
  uint32_t word = 0;
  sim_.set_fault(Fault::nak, 1);
  EXPECT_EQ(wm_read_laser(&link_, &word), ERR_WM_NAK);
  EXPECT_EQ(unstamped(messages.text()),
            "T wm_comm_read: ERR_WM_NAK: WM_RESP_READ_ACK: received NAK\n"
            "T wm_comm_write_rd: error reading response to command \"LO?\": ERR_WM_NAK\n");
  messages.clear();
  sim_.set_fault(Fault::bad_checksum, 1);
  EXPECT_EQ(wm_read_laser(&link_, &word), ERR_WM_READ);
  EXPECT_EQ(unstamped(messages.text()),
            "T wm_comm_read: ERR_WM_READ: WM_RESP_READ_ACK: invalid response 0x3F, expected ACK "
            "or NAK\n"
            "T wm_comm_write_rd: error reading response to command \"LO?\": ERR_WM_READ\n");
  // A data byte equal to NAK is data, not a refusal.
  messages.clear();
  sim_.script_answer({0x15, 0x15, 0x15, 0x15, WM_ACK});
  EXPECT_EQ(wm_read_laser(&link_, &word), ERR_NONE);
  EXPECT_EQ(word, 0x15151515u);
  EXPECT_EQ(messages.text(), "");
}

TEST_F(WaveMonitorTest, AnswerStoppingHalfWayFailsOnTheMissingByte) {
  plat_set_time_scale(0.01);
  MessageCapture messages;
  uint32_t word = 0;
  sim_.set_fault(Fault::short_answer, 1);
  EXPECT_EQ(wm_read_laser(&link_, &word), ERR_WM_READ);
  EXPECT_EQ(unstamped(messages.text()),
            "T wm_comm_read: ERR_WM_READ: WM_RESP_READ_ACK: sio_read_data failed reading "
            "response char 3 of 5\n"
            "T wm_comm_write_rd: error reading response to command \"LO?\": ERR_WM_READ\n");
  messages.clear();
  sim_.set_fault(Fault::no_line_end, 1);
  EXPECT_EQ(wm_read_laser(&link_, &word), ERR_WM_READ);
  EXPECT_NE(messages.text().find("sio_read_data failed reading response char 5 of 5\n"),
            std::string::npos);
  EXPECT_EQ(port_timeout(), 2);
}

TEST_F(WaveMonitorTest, SilentDeviceTimesOutOnTheFirstByteAndThePortTimeOutIsRestored) {
  plat_set_time_scale(0.01);
  ASSERT_EQ(sio_set_timeout(&link_.port, 5), ERR_NONE);
  MessageCapture messages;
  sim_.set_fault(Fault::silence, 1);
  RespBuf resp;
  EXPECT_EQ(wm_comm_write_rd(&link_, "MS?", &resp.buf, 36, -1, WM_RESP_READ_ACK, 3),
            ERR_WM_TIMEOUT);
  EXPECT_EQ(unstamped(messages.text()),
            "T wm_comm_read: ERR_WM_TIMEOUT\n"
            "T wm_comm_write_rd: error reading response to command \"MS?\": ERR_WM_TIMEOUT\n");
  EXPECT_EQ(resp.buf.data, nullptr);
  EXPECT_EQ(port_timeout(), 5);
  // The default first-byte time-out applies below 1 second.
  sim_.set_fault(Fault::silence, 1);
  EXPECT_EQ(wm_write_laser(&link_, 0), ERR_WM_TIMEOUT);
  EXPECT_EQ(port_timeout(), 5);
}

TEST_F(WaveMonitorTest, FirstByteWaitsForTheGivenTimeOutNotThePortOne) {
  // The port waits 1 second (50 ms scaled); the answer comes after 300 ms.
  plat_set_time_scale(0.05);
  ASSERT_EQ(sio_set_timeout(&link_.port, 1), ERR_NONE);
  sim_.set_answer_delay_ms(300);
  RespBuf resp;
  EXPECT_EQ(wm_comm_write_rd(&link_, "LO=1", &resp.buf, 0, -1, WM_RESP_ACK, 20), ERR_NONE);
  EXPECT_EQ(resp.bytes(), std::vector<uint8_t>{WM_ACK});
  EXPECT_EQ(port_timeout(), 1);
  MessageCapture messages;
  EXPECT_EQ(wm_comm_write_rd(&link_, "LO=0", &resp.buf, 0, -1, WM_RESP_ACK, 1), ERR_WM_TIMEOUT);
}

TEST_F(WaveMonitorTest, PlainReadKeepsTheDataWithAZeroAfterIt) {
  sim_.script_answer(bytes_of("HELLO"));
  RespBuf resp;
  ASSERT_EQ(wm_comm_write_rd(&link_, "ID?", &resp.buf, 5, -1, WM_RESP_READ, 0), ERR_NONE);
  EXPECT_EQ(resp.bytes(), bytes_of(std::string("HELLO", 6)));
}

TEST_F(WaveMonitorTest, PlainReadFailuresNameTheByteOrTheLength) {
  plat_set_time_scale(0.01);
  MessageCapture messages;
  RespBuf resp;
  sim_.script_answer(bytes_of("HEL"));
  EXPECT_EQ(wm_comm_write_rd(&link_, "ID?", &resp.buf, 5, -1, WM_RESP_READ, 0), ERR_WM_READ);
  EXPECT_EQ(resp.buf.data, nullptr);
  EXPECT_NE(unstamped(messages.text())
                .find("T wm_comm_read: ERR_WM_READ: WM_RESP_READ: sio_read_data failed reading "
                      "response byte 4 of 5\n"),
            std::string::npos);
  for (int32_t len : {0, -4, INT32_MAX}) {
    messages.clear();
    sim_.script_answer(bytes_of("H"));
    EXPECT_EQ(wm_comm_write_rd(&link_, "ID?", &resp.buf, len, -1, WM_RESP_READ, 0), ERR_WM_READ);
    EXPECT_NE(messages.text().find("WM_RESP_READ: invalid respLen = " + std::to_string(len) + "\n"),
              std::string::npos);
  }
  messages.clear();
  sim_.script_answer(bytes_of("H"));
  EXPECT_EQ(wm_comm_write_rd(&link_, "ID?", &resp.buf, 0, -1, WM_RESP_READ_ACK, 0), ERR_WM_READ);
  EXPECT_NE(messages.text().find("WM_RESP_READ_ACK: invalid respLen = 0\n"), std::string::npos);
}

TEST_F(WaveMonitorTest, ChatteringLineIsFlushedBeforeAnExchange) {
  sim_.chatter({0x55, 0xAA}, 20, 5);
  ASSERT_EQ(wm_flush_inp(&link_), ERR_NONE);
  uint32_t word = 0;
  EXPECT_EQ(wm_read_laser(&link_, &word), ERR_NONE);
  EXPECT_EQ(word, 0x00A50001u);
}

TEST_F(WaveMonitorTest, ReadsUnderMemoryFailureLeakNothing) {
  plat_set_time_scale(0.1);
  MessageCapture quiet;
  wm_status status{};
  expect_no_leak_under_oom([&] { return wm_read_status(&link_, &status); }, [&] { drain(); });
  sim_.set_table({1, 2}, 2, {3, 4, 5, 6});
  RespBuf resp;
  expect_no_leak_under_oom(
      [&] { return wm_comm_write_rd(&link_, "DT?", &resp.buf, 2, 2, WM_RESP_SIZE_READ_ACK, 0); },
      [&] {
        wm_resp_free(&resp.buf);
        drain();
      });
}

} // namespace
} // namespace ferry::test
