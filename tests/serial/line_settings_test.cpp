// What the serial port layer's settings become on the line, read back
// through the other side of a pseudo-terminal rather than from the layer's
// own record: a wrong translation of a setting shows here.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/serial.h"
#include "serial/sio.h"
#include "support/test_support.h"

using ferry::test::MessageCapture;

namespace {

// The line a settings text asks for.
struct Want {
  uint32_t baud;
  int data_bits;
  int parity; // 0 none, 1 odd, 2 even
  bool two_stop_bits;
  bool soft_flow;
  bool cts_flow;
};

struct Row {
  const char *text;
  int soft_flow;
  Want want;
};

// Applied one after the other on the same port, so every row must also undo
// what the row before it set. Termios has no one and a half stop bits: a
// line holds the two-stop setting, which a UART sends as one and a half
// with five data bits.
constexpr Row rows[] = {
    {nullptr, 0, {9600, 8, 0, false, false, true}},
    {"19200,7,2,2", 0, {19200, 7, 2, true, false, true}},
    {"w+", 0, {9600, 8, 0, false, false, true}},
    {"115200,5,1,1.5", 0, {115200, 5, 1, true, false, true}},
    {"9600,8,0,1", 0, {9600, 8, 0, false, false, true}},
    {"300,6,1,2", 0, {300, 6, 1, true, false, true}},
    {"150,8,2,1", 0, {150, 8, 2, false, false, true}},
    {"38400,7,1,1", 1, {38400, 7, 1, false, true, false}},
    {"57600,8,0,2", 1, {57600, 8, 0, true, true, false}},
    {nullptr, 1, {9600, 8, 0, false, true, false}},
    {"2400,7,2,1", 0, {2400, 7, 2, false, false, true}},
};

std::string name_of(const char *text, int soft_flow) {
  return std::string(text ? text : "(none)") + (soft_flow ? " with XON/XOFF" : "");
}

class LineSettings : public ::testing::Test {
protected:
  void SetUp() override {
    if (!plat_pty_open(&master, path, sizeof path))
      GTEST_SKIP() << "no pseudo-terminal to read the line back through: the Windows build "
                      "hands its control block to the system, and its COM ports reach the "
                      "simulators only through another process";
    ASSERT_EQ(sio_open(path, &port), ERR_NONE);
  }
  void TearDown() override {
    if (sio_is_open(&port)) {
      EXPECT_EQ(sio_close(&port), ERR_NONE);
    }
    if (master >= 0)
      plat_pty_close(master);
  }

  plat_pty_line line() {
    plat_pty_line l{};
    EXPECT_TRUE(plat_pty_line_settings(master, &l));
    return l;
  }

  // Everything a pseudo-terminal carries on every system.
  static void expect_line(const plat_pty_line &l, const Want &w) {
    EXPECT_EQ(l.in_baud, w.baud);
    EXPECT_EQ(l.out_baud, w.baud);
    EXPECT_EQ(l.parity_odd, w.parity == 1);
    EXPECT_EQ(l.parity_check, w.parity != 0);
    EXPECT_EQ(l.two_stop_bits, w.two_stop_bits);
    EXPECT_TRUE(l.raw);
    EXPECT_EQ(l.out_xonxoff, w.soft_flow);
    EXPECT_EQ(l.in_xonxoff, w.soft_flow);
    EXPECT_EQ(l.cts_flow, w.cts_flow);
    EXPECT_EQ(l.xon_char, SIO_XON_CHAR);
    EXPECT_EQ(l.xoff_char, SIO_XOFF_CHAR);
  }
  // The size and parity bit, where the terminal keeps them.
  static void expect_frame(const plat_pty_line &l, const Want &w) {
    if (l.holds_data_bits) {
      EXPECT_EQ(l.data_bits, w.data_bits);
    }
    if (l.holds_parity_bit) {
      EXPECT_EQ(l.parity_bit, w.parity != 0);
    }
  }

  intptr_t master = -1;
  char path[128] = "";
  sio_port port{};
  MessageCapture messages;
};

TEST_F(LineSettings, EachSettingsTextReachesTheLine) {
  for (const Row &row : rows) {
    SCOPED_TRACE(name_of(row.text, row.soft_flow));
    ASSERT_EQ(sio_init(&port, row.text, row.soft_flow), ERR_NONE);
    expect_line(line(), row.want);
  }
}

TEST_F(LineSettings, EachSettingsTextSetsTheDataBits) {
  if (!line().holds_data_bits)
    GTEST_SKIP() << "this system's pseudo-terminals always carry eight data bits, whatever is "
                    "set, so the size cannot be read back here";
  for (const Row &row : rows) {
    SCOPED_TRACE(name_of(row.text, row.soft_flow));
    ASSERT_EQ(sio_init(&port, row.text, row.soft_flow), ERR_NONE);
    EXPECT_EQ(line().data_bits, row.want.data_bits);
  }
}

TEST_F(LineSettings, EachSettingsTextSetsTheParityBit) {
  if (!line().holds_parity_bit)
    GTEST_SKIP() << "this system's pseudo-terminals never carry a parity bit, whatever is set, "
                    "so only odd or even and the parity check can be read back here";
  for (const Row &row : rows) {
    SCOPED_TRACE(name_of(row.text, row.soft_flow));
    ASSERT_EQ(sio_init(&port, row.text, row.soft_flow), ERR_NONE);
    EXPECT_EQ(line().parity_bit, row.want.parity != 0);
  }
}

TEST_F(LineSettings, SingleSettingsChangeOnlyTheirPartOfTheLine) {
  struct Step {
    const char *what;
    std::function<u_err_t(sio_port *)> apply;
    Want want;
  };
  // The temperature controller's set-up first, then one change at a time.
  const Step steps[] = {
      {"init with XON/XOFF",
       [](sio_port *p) { return sio_init_xonxoff(p, "19200,8,0,2"); },
       {19200, 8, 0, true, true, false}},
      {"baud 9600",
       [](sio_port *p) { return sio_set_baud(p, 9600); },
       {9600, 8, 0, true, true, false}},
      {"parity even",
       [](sio_port *p) { return sio_set_parity(p, 2); },
       {9600, 8, 2, true, true, false}},
      {"data bits 7",
       [](sio_port *p) { return sio_set_data_bits(p, 7); },
       {9600, 7, 2, true, true, false}},
      {"XON/XOFF off",
       [](sio_port *p) { return sio_disable_xonxoff(p); },
       {9600, 7, 2, true, false, false}},
      {"parity odd",
       [](sio_port *p) { return sio_set_parity(p, 1); },
       {9600, 7, 1, true, false, false}},
      {"XON/XOFF on",
       [](sio_port *p) { return sio_enable_xonxoff(p); },
       {9600, 7, 1, true, true, false}},
      {"parity none",
       [](sio_port *p) { return sio_set_parity(p, 0); },
       {9600, 7, 0, true, true, false}},
      {"data bits 5",
       [](sio_port *p) { return sio_set_data_bits(p, 5); },
       {9600, 5, 0, true, true, false}},
      {"baud 57600",
       [](sio_port *p) { return sio_set_baud(p, 57600); },
       {57600, 5, 0, true, true, false}},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_EQ(step.apply(&port), ERR_NONE);
    const plat_pty_line l = line();
    expect_line(l, step.want);
    expect_frame(l, step.want);
  }
}

} // namespace
