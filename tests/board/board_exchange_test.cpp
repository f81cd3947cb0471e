// Requests and responses against the simulated board: packet bytes,
// acknowledgements, refusals and their retries, replies and their echo,
// empty counts, unsolicited reports, time-outs, and buffers of every size.

#include "board_fixture.h"
#include "platform/serial.h"

#include <algorithm>

namespace {

using ferry::sim::Fault;
using ferry::test::BoardTest;
using ferry::test::Bytes;

// The request 03 06 10 and room for its checksum, in a buffer of size bytes
// (exactly that many, so a write past it is caught).
std::vector<uint8_t> llc_read(size_t size = 4) {
  std::vector<uint8_t> buffer(size, 0xEE);
  buffer[0] = 0x03;
  buffer[1] = 0x06;
  buffer[2] = 0x10;
  return buffer;
}

Bytes repeated(const Bytes &bytes, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i)
    all.insert(all.end(), bytes.begin(), bytes.end());
  return all;
}

TEST_F(BoardTest, RequestGoesOutWithItsChecksumAndIsAcknowledged) {
  auto buffer = llc_read();
  ASSERT_EQ(ur_writeUZ(port(), 3, buffer.data(), 4, 0, 0), ERR_NONE);
  EXPECT_EQ(link.received(), (Bytes{0x03, 0x06, 0x10, 0x16}));
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0x03, 0x06, 0x10, 0x16}));
  EXPECT_EQ(messages.text(), "");
}

TEST_F(BoardTest, RefusalsAndChecksumErrorsAreRetriedThreeTimes) {
  const Bytes request = {0x03, 0x06, 0x10, 0x16};
  const std::string checksum_error = "ur_readUZ: checksum err recv 254 calc 255\n";
  const std::string failed = "ur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n";
  const struct {
    Fault fault;
    int answers;
    u_err_t expected;
    int sends;
    std::string messages;
  } cases[] = {
      {Fault::nak, 2, ERR_NONE, 3, ""},
      {Fault::nak, 3, ERR_UZ_RECV_FAILED, 3, failed},
      {Fault::bad_checksum, 1, ERR_NONE, 2, checksum_error},
      {Fault::bad_checksum, 3, ERR_UZ_RECV_FAILED, 3,
       checksum_error + checksum_error + checksum_error + failed},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(ferry::sim::fault_name(c.fault)) + " x" + std::to_string(c.answers));
    ASSERT_EQ(link.control("reset"), "ok");
    messages.clear();
    link.set_fault(c.fault, c.answers);
    auto buffer = llc_read();
    EXPECT_EQ(ur_writeUZ(port(), 3, buffer.data(), 4, 0, 0), c.expected);
    EXPECT_EQ(link.received(), repeated(request, c.sends));
    EXPECT_EQ(messages.text(), c.messages);
  }
}

TEST_F(BoardTest, RequestWithAWrongChecksumPresentIsRefusedByTheBoard) {
  auto buffer = llc_read();
  buffer[3] = 0x17;
  EXPECT_EQ(ur_writeUZ(port(), 3, buffer.data(), 4, 0, 1), ERR_UZ_RECV_FAILED);
  EXPECT_EQ(link.received(), repeated({0x03, 0x06, 0x10, 0x17}, 3));
  EXPECT_EQ(messages.text(), "ur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n");
}

TEST_F(BoardTest, ReplyMustEchoTheCommandAndIsCopiedOverTheRequest) {
  ASSERT_EQ(link.control("answer reply"), "ok");
  ASSERT_EQ(link.control("payload AABB"), "ok");
  std::vector<uint8_t> buffer = {0x02, 0x0B, 0x00, 0x77, 0x77, 0x77};
  ASSERT_EQ(ur_writeUZ(port(), 2, buffer.data(), int32_t(buffer.size()), 1, 0), ERR_NONE);
  // As many bytes as the count, the count byte among them.
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0x04, 0x0B, 0xAA, 0xBB, 0x77, 0x77}));
  EXPECT_EQ(messages.text(), "");

  ASSERT_EQ(link.control("wrong_echo 1"), "ok");
  buffer = {0x02, 0x0B, 0x00, 0x77, 0x77, 0x77};
  EXPECT_EQ(ur_writeUZ(port(), 2, buffer.data(), int32_t(buffer.size()), 1, 0), ERR_UZ_RECV_FAILED);
  EXPECT_EQ(messages.text(), "ur_writeUZ: recvd invalid resp  wanted 11  got 12\n"
                             "ur_writeUZ failed: cmd=UZ1_EE_SERIAL_READ_CMD\n");
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0x02, 0x0B, 0x0B, 0x77, 0x77, 0x77}));
}

TEST_F(BoardTest, LongestReplyIntoAShortBufferIsRefusedUntouched) {
  ASSERT_EQ(link.control("answer reply"), "ok");
  ASSERT_EQ(link.control("payload " + std::string(250, 'C')), "ok"); // 125 bytes: count 127
  std::vector<uint8_t> buffer = {0x02, 0x0B, 0x00, 0x77, 0x77, 0x77, 0x77, 0x77};
  EXPECT_EQ(ur_writeUZ(port(), 2, buffer.data(), int32_t(buffer.size()), 1, 0), ERR_UZ_RECV_FAILED);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0x02, 0x0B, 0x0B, 0x77, 0x77, 0x77, 0x77, 0x77}));
  EXPECT_EQ(messages.text(), "ur_writeUZ failed: cmd=UZ1_EE_SERIAL_READ_CMD\n");

  // Room for it: all 127 bytes after the count.
  std::vector<uint8_t> room(127);
  std::copy_n(buffer.begin(), 2, room.begin());
  ASSERT_EQ(ur_writeUZ(port(), 2, room.data(), int32_t(room.size()), 1, 0), ERR_NONE);
  EXPECT_EQ(room[0], 127);
  EXPECT_EQ(room[1], 0x0B);
  EXPECT_TRUE(std::all_of(room.begin() + 2, room.end(), [](uint8_t b) { return b == 0xCC; }));

  // The same packet read directly needs the count byte and all 127.
  const Bytes longest = ferry::sim::InstrumentBoardSim::packet(0x0B, Bytes(125, 0xCC));
  for (int32_t size : {16, 127}) {
    board_sends(longest);
    std::vector<uint8_t> small(size_t(size), 0x77);
    int32_t count = -1;
    EXPECT_EQ(ur_readUZ(port(), small.data(), size, UR_RESP_REPLY, &count), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](uint8_t b) { return b == 0x77; }));
  }
  board_sends(longest);
  const Response whole = read_response(UR_RESP_REPLY);
  ASSERT_EQ(whole.code, ERR_NONE);
  EXPECT_EQ(whole.count, 127);
  EXPECT_EQ(whole.frame, longest);
}

TEST_F(BoardTest, RequestCountsAndBuffersOutsideTheLimitsAreRefused) {
  std::vector<uint8_t> buffer(UR_FRAME_MAX + 1, 0x01);
  const struct {
    int32_t n;
    uint8_t *bytes;
    int32_t size;
  } cases[] = {
      {1, buffer.data(), 129},   {0, buffer.data(), 129}, {-1, buffer.data(), 129},
      {128, buffer.data(), 129}, {3, buffer.data(), 3},   {3, nullptr, 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(ur_writeUZ(port(), c.n, c.bytes, c.size, 0, 0), ERR_INVALID_PARAM);
  }
  int32_t count = 0;
  EXPECT_EQ(ur_readUZ(port(), nullptr, 8, UR_RESP_ACK, &count), ERR_INVALID_PARAM);
  EXPECT_EQ(ur_readUZ(port(), buffer.data(), 0, UR_RESP_ACK, &count), ERR_INVALID_PARAM);
  EXPECT_EQ(ur_readUZ(port(), buffer.data(), 8, 4, &count), ERR_INVALID_PARAM);
  EXPECT_EQ(link.received(), Bytes{});
  EXPECT_EQ(messages.text(), "");
  // The longest request goes out whole.
  buffer[0] = 127;
  ASSERT_EQ(ur_writeUZ(port(), 127, buffer.data(), 128, 0, 0), ERR_NONE);
  EXPECT_EQ(link.received().size(), 128u);
}

TEST_F(BoardTest, ResponsesAsReadByType) {
  const std::string unsolicited = "ur_readUZ: received unsolicited info\n";
  const struct {
    const char *what;
    int board;
    int32_t type;
    Bytes sent;
    u_err_t expected;
    Bytes read;
    std::string messages;
  } cases[] = {
      {"acknowledgement",
       1,
       UR_RESP_ACK,
       {0x03, 0xFF, 0x00, 0xFF},
       ERR_NONE,
       {0x03, 0xFF, 0x00, 0xFF},
       ""},
      {"checksum error",
       1,
       UR_RESP_ACK,
       {0x03, 0xFF, 0x00, 0xFE},
       UR_MARK_CHECKSUM,
       {},
       "ur_readUZ: checksum err recv 254 calc 255\n"},
      {"refusal", 1, UR_RESP_ACK, {0x03, 0xFE, 0x00, 0xFE}, UR_MARK_NAK, {}, ""},
      {"refusal of a reply", 3, UR_RESP_REPLY, {0x03, 0xFE, 0x00, 0xFE}, UR_MARK_NAK, {}, ""},
      {"anything else for an acknowledgement",
       1,
       UR_RESP_ACK,
       {0x03, 0x05, 0x00, 0x05},
       ERR_UZ_RECV_FAILED,
       {},
       ""},
      {"count 0x80", 1, UR_RESP_ACK, {0x80}, ERR_NONE, {0x80}, ""},
      {"count 0", 6, UR_RESP_REPLY, {0x00}, ERR_NONE, {0x00}, ""},
      {"report skipped",
       1,
       UR_RESP_ACK,
       {0x03, 0x9B, 0x00, 0x9B, 0x03, 0xFF, 0x00, 0xFF},
       ERR_NONE,
       {0x03, 0xFF, 0x00, 0xFF},
       ""},
      {"two reports skipped",
       7,
       UR_RESP_REPLY,
       {0x03, 0x87, 0x00, 0x87, 0x03, 0x9D, 0x00, 0x9D, 0x03, 0x09, 0x01, 0x0A},
       ERR_NONE,
       {0x03, 0x09, 0x01, 0x0A},
       ""},
      {"three reports",
       1,
       UR_RESP_ACK,
       {0x03, 0x9C, 0x00, 0x9C, 0x03, 0x9C, 0x00, 0x9C, 0x03, 0x9C, 0x00, 0x9C},
       ERR_UZ_RECV_FAILED,
       {},
       unsolicited},
      {"not a report on board 1",
       1,
       UR_RESP_REPLY,
       {0x03, 0x87, 0x00, 0x87},
       ERR_NONE,
       {0x03, 0x87, 0x00, 0x87},
       ""},
      {"report wanted, board 1",
       1,
       UR_RESP_UNSOLICITED,
       {0x03, 0x9C, 0x00, 0x9C},
       ERR_NONE,
       {0x03, 0x9C, 0x00, 0x9C},
       ""},
      {"report wanted, board 3",
       3,
       UR_RESP_UNSOLICITED,
       {0x03, 0x81, 0x00, 0x81},
       ERR_NONE,
       {0x03, 0x81, 0x00, 0x81},
       ""},
      {"report wanted after others",
       6,
       UR_RESP_UNSOLICITED,
       {0x03, 0xFF, 0x00, 0xFF, 0x03, 0xFE, 0x00, 0xFE, 0x03, 0x8B, 0x00, 0x8B},
       ERR_NONE,
       {0x03, 0x8B, 0x00, 0x8B},
       ""},
      {"no report in three",
       1,
       UR_RESP_UNSOLICITED,
       {0x03, 0x81, 0x00, 0x81, 0x03, 0xFF, 0x00, 0xFF, 0x03, 0x87, 0x00, 0x87},
       ERR_UZ_RECV_FAILED,
       {},
       ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    use_board(c.board);
    board_sends(c.sent);
    messages.clear();
    const Response r = read_response(c.type);
    EXPECT_EQ(r.code, c.expected);
    EXPECT_EQ(r.count,
              c.expected == ERR_NONE ? int32_t(std::max<size_t>(c.read.size(), 1) - 1) : 0);
    EXPECT_TRUE(std::equal(c.read.begin(), c.read.end(), r.frame.begin()));
    EXPECT_TRUE(std::all_of(r.frame.begin() + c.read.size(), r.frame.end(),
                            [](uint8_t b) { return b == 0x77; }));
    EXPECT_EQ(messages.text(), c.messages);
    ASSERT_EQ(sio_clear_buffer(port()), 0);
  }
}

TEST_F(BoardTest, EmptyCountIsNoAcknowledgement) {
  ASSERT_EQ(link.control("empty 80 1"), "ok");
  auto buffer = llc_read();
  EXPECT_EQ(ur_writeUZ(port(), 3, buffer.data(), 4, 0, 0), ERR_UZ_RECV_FAILED);
  EXPECT_EQ(messages.text(), "ur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n");
  ASSERT_EQ(link.control("answer reply"), "ok");
  ASSERT_EQ(link.control("empty 00 1"), "ok");
  buffer = llc_read();
  EXPECT_EQ(ur_writeUZ(port(), 3, buffer.data(), 4, 1, 0), ERR_UZ_RECV_FAILED);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0x03, 0x06, 0x10, 0x16}));
}

TEST_F(BoardTest, ReportsWhileARequestIsOutstandingAreSkipped) {
  ASSERT_EQ(link.control("unsolicited 9B 1"), "ok");
  auto buffer = llc_read();
  EXPECT_EQ(ur_writeUZ(port(), 3, buffer.data(), 4, 0, 0), ERR_NONE);
  EXPECT_EQ(messages.text(), "");
}

TEST_F(BoardTest, SilentBoardTimesOutOnTheFirstByteAndKeepsThePortsTimeouts) {
  ferry::test::ScaledTime fast(0.005);
  const plat_serial_timeouts own{50, 3, 2500, 2, 700};
  ASSERT_TRUE(plat_serial_set_timeouts(&port()->port, &own));
  EXPECT_EQ(read_response(UR_RESP_UNSOLICITED).code, ERR_UZ_RECV_TIMEOUT);
  EXPECT_EQ(messages.text(), "ur_readUZ: timed out on first byte, respType=3\n");
  plat_serial_timeouts now{};
  ASSERT_TRUE(plat_serial_get_timeouts(&port()->port, &now));
  EXPECT_EQ(
      std::vector<uint32_t>({now.read_interval, now.read_total_multiplier, now.read_total_constant,
                             now.write_total_multiplier, now.write_total_constant}),
      std::vector<uint32_t>({50, 3, 2500, 2, 700}));

  messages.clear();
  link.set_fault(Fault::silence, 1);
  auto request = llc_read();
  EXPECT_EQ(ur_writeUZ(port(), 3, request.data(), 4, 0, 0), ERR_UZ_RECV_TIMEOUT);
  EXPECT_EQ(messages.text(), "ur_readUZ: timed out on first byte, respType=1\n"
                             "ur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n");
}

TEST_F(BoardTest, ResponseThatBreaksOffIsAReadFailure) {
  board_sends({0x05, 0x09, 0x01});
  EXPECT_EQ(read_response(UR_RESP_REPLY).code, ERR_UZ_RECV_TIMEOUT);
  EXPECT_EQ(messages.text(), "ur_readUZ: sio_read_data failed\n");
}

TEST_F(BoardTest, FlushDiscardsWhatTheBoardSent) {
  board_sends(report(0x9B));
  EXPECT_EQ(ur_flushUZ(port()), ERR_NONE);
  uint32_t waiting = 1;
  ASSERT_EQ(sio_bytes_available(port(), &waiting), 0);
  EXPECT_EQ(waiting, 0u);
  sio_port closed{};
  EXPECT_EQ(ur_flushUZ(&closed), ERR_UZ_COMM);
  EXPECT_EQ(messages.text(), "sio_clear_buffer failed.");
}

// The board link is a serial device of the device table: a report the
// board sends unasked makes it ready.
TEST_F(BoardTest, BoardThatSentAReportIsAReadyDevice) {
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
  board_sends(report(0x9C));
  ASSERT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_TYPE_SERIAL);
  EXPECT_EQ(record.handle, port()->port.handle);
  EXPECT_EQ(record.owner, info);
  const Response report_read = read_response(UR_RESP_UNSOLICITED);
  ASSERT_EQ(report_read.code, ERR_NONE);
  EXPECT_EQ(report_read.count, 3);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
}

} // namespace
