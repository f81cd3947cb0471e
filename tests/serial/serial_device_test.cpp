// The simulator framework itself: in-band control commands, faults, scripts
// and the order of what goes out on the line.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/serial_device.h"

using ferry::sim::Fault;
using ferry::sim::SerialDevice;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string &text) {
  return Bytes(text.begin(), text.end());
}

// Answers every byte "x" with "<x>".
class EchoDevice : public SerialDevice {
public:
  const char *kind() const override { return "echo"; }

protected:
  void on_byte(uint8_t byte) override {
    const Fault fault = next_fault();
    send_answer({'<', byte, '>'}, fault);
  }
};

std::string output(SerialDevice &device) {
  uint64_t next = 0;
  Bytes out = device.take_due_output(UINT64_MAX - 1, &next);
  return std::string(out.begin(), out.end());
}

void feed(SerialDevice &device, const std::string &text) {
  const Bytes bytes = bytes_of(text);
  device.feed(bytes);
}

const std::string prefix = SerialDevice::control_prefix;
const std::string answer = SerialDevice::answer_prefix;

TEST(SerialDeviceControl, InBandCommandsAreAnsweredAndNotTakenForRequests) {
  EchoDevice device;
  device.accept_inband_control(true);
  feed(device, "a" + prefix + "fault nak 1\nb");
  EXPECT_EQ(output(device), answer + "ok\n<a><b>");
  EXPECT_EQ(device.received(), bytes_of("ab"));
  feed(device, prefix + "received\n");
  EXPECT_EQ(output(device), answer + "6162\n");
}

TEST(SerialDeviceControl, BytesThatOnlyBeginLikeAPrefixAreRequests) {
  EchoDevice device;
  device.accept_inband_control(true);
  feed(device, "\x1b\x1bSIx\x1b");
  feed(device, "q");
  EXPECT_EQ(device.received(), bytes_of("\x1b\x1bSIx\x1bq"));
  EXPECT_EQ(output(device), "<\x1b><\x1b><S><I><x><\x1b><q>");
}

TEST(SerialDeviceControl, WithoutInBandControlThePrefixIsData) {
  EchoDevice device;
  feed(device, prefix + "reset\n");
  EXPECT_EQ(device.received(), bytes_of(prefix + "reset\n"));
}

TEST(SerialDeviceControl, AnswerGoesAheadOfTheBytesACommandQueues) {
  EchoDevice device;
  device.accept_inband_control(true);
  feed(device, prefix + "chatter 414243 2 0\n");
  EXPECT_EQ(output(device), answer + "ok\nABCABC");
  EXPECT_EQ(device.control("pending"), "0");
}

TEST(SerialDeviceControl, CommandsSteerFaultsScriptsAndReset) {
  EchoDevice device;
  EXPECT_EQ(device.control("fault silence 1"), "ok");
  feed(device, "ab");
  EXPECT_EQ(output(device), "<b>");
  EXPECT_EQ(device.control("fault short_answer 1"), "ok");
  feed(device, "c");
  EXPECT_EQ(output(device), "<");
  EXPECT_EQ(device.control("script 5859"), "ok");
  feed(device, "d");
  EXPECT_EQ(output(device), "XY");
  EXPECT_EQ(device.control("fault junk"), "ok");
  feed(device, "ef");
  const std::string junk = output(device);
  ASSERT_EQ(junk.size(), 6u);
  for (char c : junk)
    EXPECT_GE(static_cast<uint8_t>(c), 0x80);
  EXPECT_EQ(device.control("reset"), "ok");
  EXPECT_TRUE(device.received().empty());
  feed(device, "g");
  EXPECT_EQ(output(device), "<g>");
  EXPECT_EQ(device.answers_sent(), 7u);
}

TEST(SerialDeviceControl, BadCommandsSayWhy) {
  EchoDevice device;
  EXPECT_EQ(device.control("fault loud"), "error: unknown fault loud");
  EXPECT_EQ(device.control("script 4"), "error: bad hex");
  EXPECT_EQ(device.control("chatter zz 1 0"), "error: bad hex");
  EXPECT_EQ(device.control("dance"), "error: unknown command dance");
}

TEST(SerialDeviceControl, DelayedAnswersWaitTheirTurn) {
  EchoDevice device;
  device.set_answer_delay_ms(1000);
  feed(device, "a");
  uint64_t next = 0;
  EXPECT_TRUE(device.take_due_output(SerialDevice::now_ms(), &next).empty());
  EXPECT_NE(next, UINT64_MAX);
  EXPECT_EQ(device.pending_output(), 3u);
  EXPECT_EQ(output(device), "<a>");
}

TEST(SerialDeviceControl, HexAndFaultNamesRoundTrip) {
  Bytes bytes;
  ASSERT_TRUE(ferry::sim::from_hex("00ff7Aa0", &bytes));
  EXPECT_EQ(bytes, (Bytes{0x00, 0xFF, 0x7A, 0xA0}));
  EXPECT_EQ(ferry::sim::to_hex(bytes), "00FF7AA0");
  EXPECT_FALSE(ferry::sim::from_hex("0g", &bytes));
  for (Fault f : {Fault::none, Fault::nak, Fault::bad_checksum, Fault::silence, Fault::short_answer,
                  Fault::junk, Fault::no_line_end}) {
    Fault back = Fault::none;
    ASSERT_TRUE(ferry::sim::fault_from_name(ferry::sim::fault_name(f), &back));
    EXPECT_EQ(back, f);
  }
}

} // namespace
