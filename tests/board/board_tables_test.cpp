// Command names of every board type and the packet checksum. A link only
// has to look open and belong to an instrument to be named, so no port is
// opened here.

#include <gtest/gtest.h>

#include <string>

#include "base/sys_info.h"
#include "serial/instrument_board.h"
#include "support/test_support.h"

namespace {

class CommandNames : public ::testing::Test {
protected:
  void SetUp() override {
    info = &sys_info_instruments[2];
    *info = sys_info{};
    info->board.link.port.handle = 0x7FF0;
    link = info->board.link;
  }
  void TearDown() override { *info = sys_info{}; }
  sys_info *info = nullptr;
  sio_port link{};
};

TEST_F(CommandNames, FirstLastAndBeyondOfEveryTable) {
  const struct {
    int32_t board;
    int32_t last;
    const char *first_name;
    const char *last_name;
  } tables[] = {
      {1, 58, "UZ1_INVALID_CMD", "UZ1_TURRETPOS_REPORT_CMD"},
      {3, 62, "UZ2_INVALID_CMD", "UZ2_RS_MOVING_CMD"},
      {6, 41, "NIF_PZT_SET_CMD", "NIF_SHUTTER_OUTPUT_CMD"},
      {7, 41, "FTP_INVALID_CMD", "FTP_CUSTOM_CAMERA_CMD"},
  };
  for (const auto &t : tables) {
    SCOPED_TRACE(t.board);
    info->instrBdType = t.board;
    EXPECT_EQ(ur_cmd_str(&link, 0), std::string(t.first_name));
    EXPECT_EQ(ur_cmd_str(&link, t.last), std::string(t.last_name));
    for (int32_t beyond : {t.last + 1, 200, 255, -1})
      EXPECT_EQ(ur_cmd_str(&link, beyond), std::string(t.first_name)) << beyond;
  }
}

TEST(BoardChecksum, LowEightBitsOfTheSum) {
  const uint8_t request[] = {0x06, 0x10};
  const uint8_t ack[] = {0xFF, 0x00};
  const uint8_t wraps[] = {0xFF, 0x02, 0x80, 0x80};
  EXPECT_EQ(ur_checksum(request, 2), 0x16);
  EXPECT_EQ(ur_checksum(ack, 2), 0xFF);
  EXPECT_EQ(ur_checksum(wraps, 4), 0x01);
  EXPECT_EQ(ur_checksum(request, 0), 0);
  EXPECT_EQ(ur_checksum(request, -3), 0);
  EXPECT_EQ(ur_checksum(nullptr, 4), 0);
}

} // namespace
