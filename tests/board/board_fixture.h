#pragma once
// An instrument board on a simulated serial line, opened with ur_initUZ as
// instrument 0 of the process, with the device table initialised.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/sys_info.h"
#include "device/dev_cntrl.h"
#include "serial/instrument_board.h"
#include "sim/instrument_board_sim.h"
#include "support/serial_sim_link.h"
#include "support/test_support.h"

namespace ferry::test {

using Bytes = std::vector<uint8_t>;

class BoardTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!link.start())
      GTEST_SKIP() << "no pseudo-terminals on this system";
    ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
    info = &sys_info_instruments[0];
    *info = sys_info{};
    info->instrBdType = 1;
    std::snprintf(info->board.device_name, sizeof info->board.device_name, "%s",
                  link.path().c_str());
    ASSERT_EQ(ur_initUZ(info), ERR_NONE);
    ASSERT_TRUE(link.attach(&info->board.link));
    messages.clear();
  }
  void TearDown() override {
    if (info && sio_is_open(&info->board.link)) {
      EXPECT_EQ(ur_closeUZ(&info->board.link), ERR_NONE);
    }
    if (info)
      *info = sys_info{};
  }

  sio_port *port() { return &info->board.link; }
  void use_board(int type) {
    ASSERT_EQ(link.control("board " + std::to_string(type)), "ok");
    info->instrBdType = type;
  }
  // Sends bytes unasked and waits until they are on the port.
  void board_sends(const Bytes &bytes) {
    link.chatter(bytes, 1, 0);
    ASSERT_TRUE(wait_for_input(link, port(), uint32_t(bytes.size())));
  }
  // One response read into the room of a whole frame, filled with 0x77
  // first so that what the read left alone shows.
  struct Response {
    u_err_t code = -1;
    int32_t count = -1;
    Bytes frame = Bytes(UR_FRAME_MAX, 0x77);
  };
  Response read_response(int32_t type, sio_port *from = nullptr) {
    Response r;
    r.code = ur_readUZ(from ? from : port(), r.frame.data(), UR_FRAME_MAX, type, &r.count);
    return r;
  }
  static Bytes ack() { return sim::InstrumentBoardSim::packet(UR_ACK, {0x00}); }
  static Bytes report(uint8_t code) { return sim::InstrumentBoardSim::report(code); }

  ScaledTime time{0.05};
  SimLink link{sim::make_instrument_board_sim()};
  MessageCapture messages;
  sys_info *info = nullptr;
};

} // namespace ferry::test
