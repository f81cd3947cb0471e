// The board link's life: opening with ur_initUZ and its failures, closing
// with ur_closeUZ, and how a link is matched to its instrument.

#include "board_fixture.h"
#include "platform/serial.h"

#include <regex>

namespace {

using ferry::test::BoardTest;

std::string without_stamps(const std::string &text) {
  return std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )"), "");
}

TEST_F(BoardTest, OpenLinkIsADeviceUntilClosed) {
  const int64_t handle = port()->port.handle;
  dev_info entry{};
  ASSERT_TRUE(dev_get_entry(0, &entry));
  EXPECT_EQ(entry.handle, handle);
  EXPECT_EQ(entry.type, DEV_TYPE_SERIAL);
  EXPECT_EQ(entry.owner, info);
  plat_serial_state state{};
  ASSERT_TRUE(plat_serial_get_state(&port()->port, &state));
  EXPECT_TRUE(link.remote() || state.baud == 38400u);
  EXPECT_FALSE(state.out_xonxoff || state.in_xonxoff);
  ASSERT_EQ(ur_closeUZ(port()), ERR_NONE);
  EXPECT_FALSE(dev_is_registered(handle));
  EXPECT_FALSE(sio_is_open(port()));
  EXPECT_EQ(ur_closeUZ(port()), ERR_INVALID_PARAM);
  EXPECT_EQ(ur_closeUZ(nullptr), ERR_INVALID_PARAM);
}

TEST_F(BoardTest, CloseClosesThePortEvenWhenRemovalFails) {
  ASSERT_EQ(dev_remove_device(port()->port.handle), ERR_NONE);
  EXPECT_EQ(ur_closeUZ(port()), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_FALSE(sio_is_open(port()));
  EXPECT_EQ(without_stamps(messages.text()),
            "dev_remove_device failed: err=ERR_PARAM_OUT_OF_RANGE\n");
}

TEST_F(BoardTest, OpeningAgainClosesTheOldLinkFirst) {
  ASSERT_EQ(ur_initUZ(info), ERR_NONE);
  ASSERT_TRUE(link.attach(port()));
  dev_info second{};
  ASSERT_TRUE(dev_get_entry(1, &second));
  EXPECT_EQ(second.state, DEV_STATE_FREE);
  EXPECT_TRUE(dev_is_registered(port()->port.handle));
}

TEST_F(BoardTest, FailedOpeningNamesTheCauseAndLeavesTheLinkClosed) {
  ASSERT_EQ(ur_closeUZ(port()), ERR_NONE);
  const std::string device = info->board.device_name;
  const struct {
    const char *what;
    int board;
    const char *device;
    bool table;
    std::string messages;
  } cases[] = {
      {"board type 2", 2, device.c_str(), true,
       "ur_initUZ: error initializing " + device + ": ERR_WRONG_INSTR_BOARD\n"},
      {"board type 0", 0, device.c_str(), true,
       "ur_initUZ: error initializing " + device + ": ERR_WRONG_INSTR_BOARD\n"},
      {"no such device", 1, "/nonexistent/ferry-board", true,
       "ur_initUZ: error initializing /nonexistent/ferry-board: ERR_CANT_OPEN_SERIAL\n"},
      {"no device table", 1, device.c_str(), false,
       "dev_add_device failed: err=ERR_DEV_CNTRL\n"
       "ur_initUZ: error initializing " +
           device + ": ERR_DEV_CNTRL\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    info->instrBdType = c.board;
    std::snprintf(info->board.device_name, sizeof info->board.device_name, "%s", c.device);
    if (!c.table)
      dev_close_cntrl();
    messages.clear();
    EXPECT_EQ(ur_initUZ(info), ERR_UZ_COMM);
    EXPECT_EQ(without_stamps(messages.text()), c.messages);
    EXPECT_FALSE(sio_is_open(port()));
    ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
  }
  // The port of the failure without a table was closed: it opens again.
  info->instrBdType = 1;
  std::snprintf(info->board.device_name, sizeof info->board.device_name, "%s", device.c_str());
  messages.clear();
  EXPECT_EQ(ur_initUZ(info), ERR_NONE);
  EXPECT_EQ(ur_initUZ(nullptr), ERR_UZ_COMM);
  EXPECT_EQ(messages.text(), "ur_initUZ: error initializing (null): ERR_INVALID_PARAM\n");
}

TEST_F(BoardTest, OnlyAnOpenLinkOfAnInstrumentMatches) {
  sio_port closed{};
  // Cleared instrument records hold closed links too: they must not match.
  EXPECT_EQ(ur_cmd_str(&closed, 1), std::string("INVALID_PARAM"));
  EXPECT_EQ(ur_cmd_str(nullptr, 1), std::string("INVALID_PARAM"));
  EXPECT_EQ(read_response(UR_RESP_ACK, &closed).code, ERR_SYS_INFO_NOT_AVAIL);
  // A copy of the open link is the same port.
  sio_port copy = *port();
  EXPECT_EQ(ur_cmd_str(&copy, 1), std::string("UZ1_MOTOR_MOVE_CMD"));
  EXPECT_EQ(messages.text(), "");

  // A board type without a table: no name, and nothing read.
  info->instrBdType = 2;
  EXPECT_EQ(ur_cmd_str(port(), 1), std::string(""));
  EXPECT_EQ(messages.text(), "ur_cmd_str: unknown instrBdType\n");
  messages.clear();
  EXPECT_EQ(read_response(UR_RESP_ACK).code, ERR_WRONG_INSTR_BOARD);
  std::vector<uint8_t> request = {0x02, 0x01, 0x00};
  EXPECT_EQ(ur_writeUZ(port(), 2, request.data(), 3, 0, 0), ERR_WRONG_INSTR_BOARD);
  EXPECT_EQ(messages.text(), "ur_cmd_str: unknown instrBdType\nur_writeUZ failed: cmd=\n");
}

} // namespace
