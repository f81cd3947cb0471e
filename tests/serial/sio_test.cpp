// The serial port layer against a pseudo-terminal: settings texts, line
// state, time-outs, short reads, draining, and ports that are not open.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/serial.h"
#include "serial/sio.h"
#include "support/serial_sim_link.h"
#include "support/test_support.h"

using ferry::test::MessageCapture;
using ferry::test::ScaledTime;
using ferry::test::SimLink;
using ferry::test::wait_for_input;

namespace {

// Wine builds the control block it reports from the terminal's settings, so
// over a pseudo-terminal it loses what termios does not hold (data size,
// parity, flow limits, RTS and error modes), and it accepts rates and sizes
// a driver would refuse. Tests of a remote port check the results of the
// calls, not the control block read back.
#define SKIP_IF_CONTROL_BLOCK_UNREADABLE()                                                         \
  if (link.remote())                                                                               \
  GTEST_SKIP() << "the control block read back through a remote port is not the one set"

class SioTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!link.start())
      GTEST_SKIP() << "no pseudo-terminals on this system";
    ASSERT_EQ(sio_open(link.path().c_str(), &port), ERR_NONE);
    ASSERT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
    ASSERT_TRUE(link.attach(&port));
    messages.clear();
  }
  void TearDown() override {
    if (sio_is_open(&port)) {
      EXPECT_EQ(sio_close(&port), ERR_NONE);
    }
  }
  plat_serial_state state() {
    plat_serial_state s{};
    EXPECT_TRUE(plat_serial_get_state(&port.port, &s));
    return s;
  }

  ScaledTime time{0.05};
  SimLink link{ferry::sim::make_quiet_sim()};
  sio_port port{};
  MessageCapture messages;
};

TEST_F(SioTest, FullSettingsTextConfiguresTheLineSilently) {
  ASSERT_EQ(sio_init(&port, "9600,8,0,1", 0), ERR_NONE);
  EXPECT_EQ(messages.text(), "");
  SKIP_IF_CONTROL_BLOCK_UNREADABLE();
  plat_serial_state s = state();
  EXPECT_EQ(s.baud, 9600u);
  EXPECT_EQ(s.data_bits, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.stop_bits, 0);
  EXPECT_FALSE(s.parity_check);
  EXPECT_TRUE(s.binary);
  EXPECT_FALSE(s.out_xonxoff);
  EXPECT_FALSE(s.in_xonxoff);
  EXPECT_TRUE(s.out_cts_flow);
  EXPECT_TRUE(s.abort_on_error);
  EXPECT_EQ(s.xon_char, 17);
  EXPECT_EQ(s.xoff_char, 19);
  EXPECT_EQ(s.xon_limit, 100);
  EXPECT_EQ(s.xoff_limit, 3996);
  EXPECT_EQ(s.dtr_control, PLAT_SERIAL_DTR_ENABLE);
  EXPECT_EQ(s.rts_control, PLAT_SERIAL_RTS_HANDSHAKE);
}

TEST_F(SioTest, ParityAndStopFieldsSelectTheirCodes) {
  ASSERT_EQ(sio_init(&port, "19200,7,2,2", 0), ERR_NONE);
  ASSERT_EQ(sio_init(&port, "115200,5,1,1.5", 0), ERR_NONE);
  SKIP_IF_CONTROL_BLOCK_UNREADABLE();
  ASSERT_EQ(sio_init(&port, "19200,7,2,2", 0), ERR_NONE);
  plat_serial_state s = state();
  EXPECT_EQ(s.baud, 19200u);
  EXPECT_EQ(s.data_bits, 7);
  EXPECT_EQ(s.parity, 2);
  EXPECT_TRUE(s.parity_check);
  EXPECT_EQ(s.stop_bits, 2);

  ASSERT_EQ(sio_init(&port, "115200,5,1,1.5", 0), ERR_NONE);
  s = state();
  EXPECT_EQ(s.baud, 115200u);
  EXPECT_EQ(s.data_bits, 5);
  EXPECT_EQ(s.parity, 1);
  EXPECT_EQ(s.stop_bits, 1);
}

TEST_F(SioTest, EachInvalidFieldGivesItsCodeAndTheInvalidMessage) {
  struct Case {
    const char *text;
    u_err_t code;
  };
  const Case cases[] = {
      {"9600", ERR_INVALID_PARAM},
      {"9600,8", ERR_INVALID_PARAM},
      {"9600,8,0", ERR_INVALID_PARAM},
      {"14400,8,0,1", ERR_INVALID_PARAM},
      {"9600,4,0,1", ERR_INVALID_PARAM},
      {"9600,9,0,1", ERR_INVALID_PARAM},
      {"9600,8,x,1", ERR_PARAM_OUT_OF_RANGE},
      {"9600,8,3,1", ERR_INVALID_PARAM},
      {"9600,8,0,3", ERR_PARAM_OUT_OF_RANGE},
      {"9600,8,,1", ERR_PARAM_OUT_OF_RANGE},
      {"", ERR_INVALID_PARAM},
      {"9600,8,0,", ERR_PARAM_OUT_OF_RANGE},
  };
  for (const Case &c : cases) {
    messages.clear();
    EXPECT_EQ(sio_init(&port, c.text, 0), c.code) << c.text;
    EXPECT_EQ(messages.text(), std::string("Com Settings Parameter: ") + c.text + " is Invalid.\n");
  }
}

TEST_F(SioTest, ModeTextsAreIgnoredWithAMessageAndGiveTheDefaults) {
  ASSERT_EQ(sio_init(&port, "19200,7,2,2", 0), ERR_NONE);
  for (const char *mode : {"r", "r+", "w", "w+", "a", "a+"}) {
    messages.clear();
    ASSERT_EQ(sio_init(&port, mode, 0), ERR_NONE);
    EXPECT_EQ(messages.text(), std::string("Com Settings Parameter: ") + mode + " is ignored.\n");
    plat_serial_state s = state();
    EXPECT_EQ(s.baud, 9600u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(s.stop_bits, 0);
  }
  messages.clear();
  ASSERT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
  EXPECT_EQ(messages.text(), "");
  // Close to a mode text is still a settings text.
  EXPECT_EQ(sio_init(&port, "rw", 0), ERR_INVALID_PARAM);
}

TEST_F(SioTest, SoftwareFlowReplacesTheHandshake) {
  ASSERT_EQ(sio_init_xonxoff(&port, nullptr), ERR_NONE);
  SKIP_IF_CONTROL_BLOCK_UNREADABLE();
  plat_serial_state s = state();
  EXPECT_TRUE(s.out_xonxoff);
  EXPECT_TRUE(s.in_xonxoff);
  EXPECT_FALSE(s.out_cts_flow);
  EXPECT_FALSE(s.abort_on_error);

  ASSERT_EQ(sio_disable_xonxoff(&port), ERR_NONE);
  s = state();
  EXPECT_FALSE(s.out_xonxoff);
  EXPECT_FALSE(s.in_xonxoff);
  EXPECT_EQ(s.xon_char, 17);
  EXPECT_EQ(s.xoff_limit, 3996);
  ASSERT_EQ(sio_enable_xonxoff(&port), ERR_NONE);
  s = state();
  EXPECT_TRUE(s.out_xonxoff);
  EXPECT_TRUE(s.in_xonxoff);
}

TEST_F(SioTest, SingleSettingsChangeOnlyTheirFields) {
  ASSERT_EQ(sio_init(&port, "9600,8,0,2", 0), ERR_NONE);
  ASSERT_EQ(sio_set_baud(&port, 115200), ERR_NONE);
  ASSERT_EQ(sio_set_parity(&port, 2), ERR_NONE);
  ASSERT_EQ(sio_set_data_bits(&port, 7), ERR_NONE);
  SKIP_IF_CONTROL_BLOCK_UNREADABLE();
  plat_serial_state s = state();
  EXPECT_EQ(s.baud, 115200u);
  EXPECT_EQ(s.parity, 2);
  EXPECT_TRUE(s.parity_check);
  EXPECT_EQ(s.data_bits, 7);
  EXPECT_EQ(s.stop_bits, 2);
  ASSERT_EQ(sio_set_parity(&port, 0), ERR_NONE);
  EXPECT_FALSE(state().parity_check);
  // A rate or size the line cannot take is refused and changes nothing.
  EXPECT_EQ(sio_set_baud(&port, 12345), ERR_CANT_SET_SERIAL);
  EXPECT_EQ(sio_set_data_bits(&port, 9), ERR_CANT_SET_SERIAL);
  EXPECT_EQ(sio_set_parity(&port, 3), ERR_CANT_SET_SERIAL);
  EXPECT_EQ(state().baud, 115200u);
  EXPECT_EQ(state().data_bits, 7);
}

TEST_F(SioTest, TimeoutIsReportedInSeconds) {
  ASSERT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
  int32_t seconds = -1;
  ASSERT_EQ(sio_get_timeout(&port, &seconds), ERR_NONE);
  EXPECT_EQ(seconds, 2);
  ASSERT_EQ(sio_set_timeout(&port, 10), ERR_NONE);
  ASSERT_EQ(sio_get_timeout(&port, &seconds), ERR_NONE);
  EXPECT_EQ(seconds, 10);
  plat_serial_timeouts t{};
  ASSERT_TRUE(plat_serial_get_timeouts(&port.port, &t));
  EXPECT_EQ(t.read_interval, 100u);
  EXPECT_EQ(t.read_total_constant, 10000u);
  EXPECT_EQ(t.write_total_constant, 1000u);
  // Times that would wrap are refused and leave the time-out alone.
  EXPECT_EQ(sio_set_timeout(&port, -1), ERR_INVALID_PARAM);
  EXPECT_EQ(sio_set_timeout(&port, 5000000), ERR_INVALID_PARAM);
  ASSERT_EQ(sio_get_timeout(&port, &seconds), ERR_NONE);
  EXPECT_EQ(seconds, 10);
}

TEST_F(SioTest, SentBytesReachTheDeviceWhole) {
  ASSERT_EQ(sio_init(&port, "115200,8,0,1", 0), ERR_NONE);
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(i * 7);
  uint32_t written = 0;
  ASSERT_EQ(sio_send_data(&port, bytes.data(), uint32_t(bytes.size()), &written), 0);
  EXPECT_EQ(written, bytes.size());
  for (int i = 0; i < 200 && link.received().size() < bytes.size(); ++i)
    plat_sleep_ms(20);
  EXPECT_EQ(link.received(), bytes);
}

TEST_F(SioTest, ReadReturnsShortWhenFewerBytesArrive) {
  ASSERT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
  link.chatter({0x41, 0x42, 0x43}, 1, 0);
  uint8_t buffer[4] = {};
  uint32_t got = 99;
  EXPECT_EQ(sio_read_data(&port, buffer, 4, &got), 1);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(buffer[0], 0x41);
  EXPECT_EQ(buffer[2], 0x43);

  link.chatter({1, 2, 3, 4}, 1, 0);
  EXPECT_EQ(sio_read_data(&port, buffer, 4, &got), 0);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(buffer[3], 4);

  // Nothing at all: the total time-out ends the read.
  EXPECT_EQ(sio_read_data(&port, buffer, 1, &got), 1);
  EXPECT_EQ(got, 0u);
}

TEST_F(SioTest, BytesAvailableCountsTheInputQueue) {
  ASSERT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
  uint32_t count = 99;
  ASSERT_EQ(sio_bytes_available(&port, &count), 0);
  EXPECT_EQ(count, 0u);
  link.chatter({9, 8, 7, 6, 5}, 1, 0);
  ASSERT_TRUE(wait_for_input(link, &port, 5));
  ASSERT_EQ(sio_bytes_available(&port, &count), 0);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(sio_clear_buffer(&port), 0);
  ASSERT_EQ(sio_bytes_available(&port, &count), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(SioTest, ClearBufferDrainsAChatteringDeviceUntilItIsQuiet) {
  // Real time here: the device pauses 10 ms between bytes, well inside
  // the 100 ms of quiet the drain waits for.
  ScaledTime real(1.0);
  ASSERT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
  ASSERT_EQ(sio_set_timeout(&port, 7), ERR_NONE);
  link.chatter({0x55}, 30, 10);
  EXPECT_EQ(sio_clear_buffer(&port), 0);
  EXPECT_EQ(link.pending_output(), 0u);
  uint32_t count = 99;
  ASSERT_EQ(sio_bytes_available(&port, &count), 0);
  EXPECT_EQ(count, 0u);
  // The caller's time-outs are back.
  int32_t seconds = 0;
  ASSERT_EQ(sio_get_timeout(&port, &seconds), ERR_NONE);
  EXPECT_EQ(seconds, 7);
}

TEST_F(SioTest, FailedCloseStillForgetsTheHandle) {
  // A stale copy of the record: its handle is closed already when it is
  // closed again, so that close fails.
  sio_port stale = port;
  ASSERT_EQ(sio_close(&port), ERR_NONE);
  EXPECT_EQ(sio_close(&stale), ERR_CANT_CLOSE_SERIAL);
  EXPECT_FALSE(sio_is_open(&stale));
  // The handle's value may now name another port; a retry must leave it be.
  ASSERT_EQ(sio_open(link.path().c_str(), &port), ERR_NONE);
  EXPECT_EQ(sio_close(&stale), ERR_SERIAL_NOT_OPEN);
  EXPECT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
  EXPECT_EQ(messages.text(), "");
}

TEST_F(SioTest, ClosedPortRefusesEveryOperation) {
  ASSERT_EQ(sio_close(&port), ERR_NONE);
  EXPECT_FALSE(sio_is_open(&port));
  EXPECT_EQ(sio_close(&port), ERR_SERIAL_NOT_OPEN);
  EXPECT_EQ(sio_init(&port, nullptr, 0), ERR_SERIAL_NOT_OPEN);
  EXPECT_EQ(messages.text(), "");
}

} // namespace

// Needs no device: a port whose open failed, and a cleared record.
TEST(SioNotOpen, EveryOperationOnAFailedOpenGives396) {
  MessageCapture messages;
  sio_port failed{};
  EXPECT_EQ(sio_open("/nonexistent/ttyFERRY", &failed), ERR_CANT_OPEN_SERIAL);
  sio_port cleared{};
  for (sio_port *port : {&failed, &cleared}) {
    EXPECT_FALSE(sio_is_open(port));
    EXPECT_EQ(sio_init(port, "9600,8,0,1", 0), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_init_xonxoff(port, nullptr), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_baud(port, 9600), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_parity(port, 0), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_data_bits(port, 8), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_enable_xonxoff(port), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_disable_xonxoff(port), ERR_SERIAL_NOT_OPEN);
    int32_t seconds = 5;
    EXPECT_EQ(sio_get_timeout(port, &seconds), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(seconds, 0);
    EXPECT_EQ(sio_set_timeout(port, 1), ERR_SERIAL_NOT_OPEN);
    uint8_t byte = 0;
    uint32_t count = 7;
    EXPECT_EQ(sio_send_data(port, &byte, 1, &count), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(sio_read_data(port, &byte, 1, &count), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(sio_bytes_available(port, &count), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_clear_buffer(port), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_close(port), ERR_SERIAL_NOT_OPEN);
  }
  EXPECT_EQ(sio_open(nullptr, &failed), ERR_CANT_OPEN_SERIAL);
  EXPECT_EQ(sio_open("x", nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(messages.text(), "");
}

TEST(SioNotOpen, FileThatIsNoSerialLineCannotBeSetUp) {
  MessageCapture messages;
  ferry::test::TempDir dir;
  const std::string path = dir.file("not_a_port");
  ferry::test::write_text(path, "x");
  sio_port file{};
  EXPECT_EQ(sio_open(path.c_str(), &file), ERR_CANT_SET_SERIAL);
  // The handle stays open for the caller to close.
  EXPECT_TRUE(sio_is_open(&file));
  EXPECT_EQ(sio_init(&file, nullptr, 0), ERR_CANT_GET_SERIAL);
  EXPECT_EQ(messages.text(), "Com Settings Parameter: (null) is Invalid.\n");
  EXPECT_EQ(sio_close(&file), ERR_NONE);
  EXPECT_FALSE(sio_is_open(&file));
}
