// The temperature controller protocol against its simulator: frame bytes,
// block checks, refusals with the error-code listing, time-outs, the set-up
// sequence, and random answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "platform/serial.h"
#include "serial/temp_controller.h"
#include "sim/temp_controller_sim.h"
#include "support/serial_sim_link.h"
#include "support/test_support.h"

using ferry::sim::Fault;
using ferry::test::MessageCapture;
using ferry::test::ScaledTime;
using ferry::test::SimLink;
using ferry::test::wait_for_input;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string &text) {
  return Bytes(text.begin(), text.end());
}

class TempControllerTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!link.start())
      GTEST_SKIP() << "no pseudo-terminals on this system";
    ASSERT_EQ(temp_comm_open(&port, link.path().c_str()), ERR_NONE);
    ASSERT_TRUE(link.attach(&port));
    messages.clear();
  }
  void TearDown() override {
    if (sio_is_open(&port)) {
      EXPECT_EQ(temp_comm_close(&port), ERR_NONE);
    }
  }

  // Reads mnemonic into a value buffer of the documented size.
  u_err_t read_value(const char *mnemonic, std::string *value) {
    char text[TEMP_STR_MAX_LEN + 1];
    std::snprintf(text, sizeof text, "%s", mnemonic);
    u_err_t err = temp_comm_write(&port, text, int32_t(std::strlen(mnemonic)), TEMP_FRAME_READ);
    *value = text;
    return err;
  }
  void set_value(const std::string &mnemonic, const std::string &value) {
    ASSERT_EQ(link.control("value " + mnemonic + " " + SimLink::hex(value)), "ok");
  }
  std::string device_value(const std::string &mnemonic) {
    return SimLink::text(link.hex_answer("get " + mnemonic));
  }
  std::vector<std::string> device_writes() {
    std::vector<std::string> texts;
    std::istringstream list(link.control("writes"));
    for (std::string hex; std::getline(list, hex, ',');) {
      Bytes bytes;
      ferry::sim::from_hex(hex, &bytes);
      texts.push_back(SimLink::text(bytes));
    }
    return texts;
  }
  u_err_t write_text(const char *text) {
    std::string copy = text;
    return temp_comm_write(&port, copy.data(), int32_t(copy.size()), TEMP_FRAME_WRITE);
  }

  ScaledTime time{0.05};
  SimLink link{ferry::sim::make_temp_controller_sim()};
  sio_port port{};
  MessageCapture messages;
};

TEST_F(TempControllerTest, LinkIsSevenBitsEvenParityWithoutFlowControl) {
  if (link.remote())
    GTEST_SKIP() << "Wine reports a pseudo-terminal's eight bits without parity";
  plat_serial_state s{};
  ASSERT_TRUE(plat_serial_get_state(&port.port, &s));
  EXPECT_EQ(s.baud, 9600u);
  EXPECT_EQ(s.data_bits, 7);
  EXPECT_EQ(s.parity, 2);
  EXPECT_TRUE(s.parity_check);
  EXPECT_FALSE(s.out_xonxoff);
  EXPECT_FALSE(s.in_xonxoff);
}

TEST_F(TempControllerTest, WriteFrameCarriesTextAndBlockCheck) {
  ASSERT_EQ(write_text("IM0002."), ERR_NONE);
  const Bytes expected = {0x04, 0x30, 0x30, 0x31, 0x31, 0x02, 0x49, 0x4D,
                          0x30, 0x30, 0x30, 0x32, 0x2E, 0x03, 0x2B};
  EXPECT_EQ(link.received(), expected);
  EXPECT_EQ(device_value("IM"), "0002.");
  EXPECT_EQ(messages.text(), "");
}

TEST_F(TempControllerTest, ReadFrameReturnsTheValueWithoutItsMnemonic) {
  set_value("PV", "23.5");
  std::string value;
  ASSERT_EQ(read_value("PV", &value), ERR_NONE);
  EXPECT_EQ(value, "23.5");
  EXPECT_EQ(link.received(), (Bytes{0x04, 0x30, 0x30, 0x31, 0x31, 'P', 'V', 0x05}));
  // The longest text the controller may send still fits.
  set_value("LL", std::string(253, '9'));
  ASSERT_EQ(read_value("LL", &value), ERR_NONE);
  EXPECT_EQ(value, std::string(253, '9'));
}

TEST_F(TempControllerTest, WrongBlockCheckPrintsBothValues) {
  link.set_fault(Fault::bad_checksum, 1);
  std::string value;
  EXPECT_EQ(read_value("PV", &value), ERR_TEMP_SENSOR_CHECKSUM);
  const Bytes answer = ferry::sim::temp_data_answer("PV23.5");
  const int calc = answer.back();
  const int sent = calc ^ 0x5A;
  EXPECT_EQ(messages.text(), "temp_comm_read: checksums mismatched: sent=" + std::to_string(sent) +
                                 " calc=" + std::to_string(calc) + "\n");
  // The next exchange is clean again.
  ASSERT_EQ(read_value("PV", &value), ERR_NONE);
  EXPECT_EQ(value, "23.5");
}

TEST_F(TempControllerTest, EndOfTransmissionMeansNoData) {
  std::string value;
  EXPECT_EQ(read_value("ZZ", &value), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_read: received EOT, respType=2\n");
}

TEST_F(TempControllerTest, ValueWithoutItsMnemonicIsARefusedRead) {
  ASSERT_EQ(link.control("wrong_mnemonic 1"), "ok");
  std::string value;
  EXPECT_EQ(read_value("PV", &value), ERR_TEMP_SENSOR_READ);
  EXPECT_EQ(value, "PV");
}

TEST_F(TempControllerTest, RefusedWriteListsTheErrorCode) {
  link.set_fault(Fault::nak, 1);
  EXPECT_EQ(write_text("QD0002."), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_read: received NAK\n"
                             "char: 0x2\nchar: 0x45\nchar: 0x45\nchar: 0x30\nchar: 0x30\n"
                             "char: 0x30\nchar: 0x32\nchar: 0x3\n");
  // The query went out as a read frame behind the refused write.
  const Bytes received = link.received();
  const Bytes query = {0x04, '0', '0', '1', '1', 'E', 'E', 0x05};
  ASSERT_GE(received.size(), query.size());
  EXPECT_TRUE(std::equal(query.begin(), query.end(), received.end() - query.size()));
  // The block check behind the listing is not taken for the next answer.
  messages.clear();
  std::string value;
  ASSERT_EQ(read_value("PV", &value), ERR_NONE);
  EXPECT_EQ(value, "23.5");
  EXPECT_EQ(messages.text(), "");
}

TEST_F(TempControllerTest, ListingEndsWhenTheErrorAnswerBreaksOff) {
  link.script_answer({0x15});
  link.script_answer(bytes_of("\x02"
                              "EE0"));
  EXPECT_EQ(write_text("QD0002."), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_read: received NAK\n"
                             "char: 0x2\nchar: 0x45\nchar: 0x45\nchar: 0x30\n"
                             "temp_comm_read: EE err3 error\n");
  messages.clear();
  EXPECT_EQ(write_text("QD0002."), ERR_NONE);
  EXPECT_EQ(messages.text(), "");
}

TEST_F(TempControllerTest, SilenceTimesOutOnTheFirstByteAndRestoresTheTimeout) {
  ASSERT_EQ(sio_set_timeout(&port, 3), ERR_NONE);
  link.set_fault(Fault::silence, 1);
  EXPECT_EQ(write_text("IM0002."), ERR_TEMP_SENSOR_TIMEOUT);
  EXPECT_EQ(messages.text(), "temp_comm_read: timeout on first byte, respType=1\n");
  int32_t seconds = 0;
  ASSERT_EQ(sio_get_timeout(&port, &seconds), ERR_NONE);
  EXPECT_EQ(seconds, 3);
}

// Forwards every message to the capture and closes the link at the first
// time-out report: the one moment a host can act between the controller's
// time-out going in and the port's own coming back.
sio_port *closed_on_timeout = nullptr;
u_msg_fn forward_to = nullptr;

int close_link_on_timeout(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (closed_on_timeout && std::strstr(text, "timeout on first byte")) {
    sio_close(closed_on_timeout);
    closed_on_timeout = nullptr;
  }
  return forward_to("%s", text);
}

TEST_F(TempControllerTest, TimeoutThatCannotBeRestoredFailsTheExchange) {
  ScaledTime fast(0.005);
  link.set_fault(Fault::silence, 1);
  forward_to = u_msg_hook;
  closed_on_timeout = &port;
  u_msg_hook = close_link_on_timeout;
  const u_err_t err = write_text("IM0002.");
  u_msg_hook = forward_to;
  EXPECT_EQ(err, ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_read: timeout on first byte, respType=1\n"
                             "temp_comm_read: sio_set_timeout failed: ERR_SERIAL_NOT_OPEN\n");
  EXPECT_FALSE(sio_is_open(&port));
}

TEST_F(TempControllerTest, BrokenDataAnswersAreReadErrors) {
  std::string value;
  link.set_fault(Fault::no_line_end, 1);
  EXPECT_EQ(read_value("PV", &value), ERR_TEMP_SENSOR_READ);
  EXPECT_EQ(messages.text(), "temp_comm_read: i=TEMP_STR_MAX_LEN\n");
  ASSERT_EQ(sio_clear_buffer(&port), 0);

  messages.clear();
  link.set_fault(Fault::short_answer, 1);
  EXPECT_EQ(read_value("PV", &value), ERR_TEMP_SENSOR_READ);
  EXPECT_EQ(messages.text(), "temp_comm_read: sio_read_data failed: ERR_TEMP_SENSOR_READ\n");

  messages.clear();
  link.script_answer(bytes_of("?"));
  EXPECT_EQ(read_value("PV", &value), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_read: received unknown response character 0x3f\n");
}

TEST_F(TempControllerTest, UnknownResponseTypeTakesTheFirstByteThenFails) {
  char text[TEMP_STR_MAX_LEN + 1] = "";
  link.chatter({0x06, 0x41}, 1, 0);
  ASSERT_TRUE(wait_for_input(link, &port, 2));
  EXPECT_EQ(temp_comm_read(&port, text, 5), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_read: unknown response type 5\n");
  uint8_t rest = 0;
  uint32_t got = 0;
  EXPECT_EQ(sio_read_data(&port, &rest, 1, &got), 0);
  EXPECT_EQ(rest, 0x41);

  messages.clear();
  EXPECT_EQ(temp_comm_read(&port, text, 0), ERR_TEMP_SENSOR_TIMEOUT);
  EXPECT_EQ(messages.text(), "temp_comm_read: timeout on first byte, respType=0\n");
}

TEST_F(TempControllerTest, SetupSendsTheSequenceInOrder) {
  ASSERT_EQ(temp_sensor_setup(&port), ERR_NONE);
  EXPECT_EQ(device_writes(),
            (std::vector<std::string>{"IM0002.", "QD0002.", "Q10000.", "IM0000."}));
}

TEST_F(TempControllerTest, SetupStopsAtTheFirstRefusal) {
  link.script_answer({0x06});
  link.script_answer({0x15});
  EXPECT_EQ(temp_sensor_setup(&port), ERR_TEMP_SENSOR_COMM);
  // Two write frames and the error query, nothing after.
  const Bytes received = link.received();
  EXPECT_EQ(std::count(received.begin(), received.end(), 0x04), 3);
}

TEST_F(TempControllerTest, RandomAnswersGiveDocumentedResultsOnly) {
  ScaledTime fast(0.005);
  std::mt19937 random(20261208);
  for (int round = 0; round < 150; ++round) {
    Bytes answer(random() % 24);
    for (auto &b : answer)
      b = static_cast<uint8_t>(random());
    if (round % 3 == 0 && !answer.empty())
      answer[0] = 0x02; // a data answer that goes wrong later
    link.script_answer(answer);
    std::string value;
    const u_err_t err = round % 2 ? read_value("PV", &value) : write_text("IM0002.");
    EXPECT_TRUE(err == ERR_NONE || err == ERR_TEMP_SENSOR_CHECKSUM || err == ERR_TEMP_SENSOR_COMM ||
                err == ERR_TEMP_SENSOR_READ || err == ERR_TEMP_SENSOR_TIMEOUT)
        << err;
    EXPECT_LE(value.size(), size_t(TEMP_STR_MAX_LEN));
    sio_clear_buffer(&port);
  }
}

} // namespace

TEST(TempControllerNoLink, WithoutALinkNothingIsSent) {
  MessageCapture messages;
  char text[TEMP_STR_MAX_LEN + 1] = "PV";
  EXPECT_EQ(temp_comm_write(nullptr, text, 2, TEMP_FRAME_READ), ERR_NONE);
  EXPECT_STREQ(text, "PV");
  EXPECT_EQ(temp_comm_read(nullptr, text, TEMP_FRAME_READ), ERR_NONE);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(temp_comm_close(nullptr), ERR_NONE);
  EXPECT_EQ(messages.text(), "");
}

TEST(TempControllerNoLink, OpenFailureNamesTheDeviceAndTheCode) {
  MessageCapture messages;
  sio_port port{};
  EXPECT_EQ(temp_comm_open(&port, "/nonexistent/ttyTEMP"), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_open: error initializing device /nonexistent/ttyTEMP: "
                             "ERR_CANT_OPEN_SERIAL\n");
  EXPECT_FALSE(sio_is_open(&port));
  messages.clear();
  EXPECT_EQ(temp_comm_close(&port), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "temp_comm_close: sio_close failed: ERR_SERIAL_NOT_OPEN\n");
}

TEST(TempControllerNoLink, BadFrameTypesAndTextsAreRefused) {
  MessageCapture messages;
  sio_port port{};
  char text[TEMP_STR_MAX_LEN + 1] = "PV";
  EXPECT_EQ(temp_comm_write(&port, text, 2, 3), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(temp_comm_write(&port, text, -1, TEMP_FRAME_WRITE), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(temp_comm_write(&port, text, TEMP_STR_MAX_LEN + 1, TEMP_FRAME_WRITE),
            ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "");
  // The port's time-out cannot be read before the first byte: 408 quietly.
  EXPECT_EQ(temp_comm_read(&port, text, 5), ERR_TEMP_SENSOR_COMM);
  EXPECT_EQ(messages.text(), "");
}

TEST(TempControllerNoLink, BlockCheckIsTheXorOfTheCheckedBytes) {
  const uint8_t bytes[] = {0x49, 0x4D, 0x30, 0x30, 0x30, 0x32, 0x2E, 0x03};
  EXPECT_EQ(temp_bcc(bytes, sizeof bytes), 0x2B);
  EXPECT_EQ(temp_bcc(bytes, 0), 0);
}
