// The sized read: the device names its own element count, so the count is
// checked before it sizes a buffer.

#include <algorithm>

#include "wm_fixture.h"

namespace ferry::test {
namespace {

// Records the largest block the library asks the memory hooks for.
class LargestRequest {
public:
  LargestRequest() {
    largest_ = 0;
    saved_malloc_ = u_malloc_hook;
    saved_realloc_ = u_realloc_hook;
    u_malloc_hook = [](size_t bytes) {
      largest_ = std::max(largest_, bytes);
      return saved_malloc_(bytes);
    };
    u_realloc_hook = [](void *block, size_t bytes) {
      largest_ = std::max(largest_, bytes);
      return saved_realloc_(block, bytes);
    };
  }
  ~LargestRequest() {
    u_malloc_hook = saved_malloc_;
    u_realloc_hook = saved_realloc_;
  }
  size_t largest() const { return largest_; }

private:
  static inline size_t largest_ = 0;
  static inline u_malloc_fn saved_malloc_ = nullptr;
  static inline u_realloc_fn saved_realloc_ = nullptr;
};

std::vector<uint8_t> count_bytes(uint32_t n) {
  return {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
}

TEST_F(WaveMonitorTest, SizedReadHoldsCountHeaderElementsAndAck) {
  sim_.set_table({0xA1, 0xA2}, 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  RespBuf resp;
  ASSERT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, 2, 4, WM_RESP_SIZE_READ_ACK, 0), ERR_NONE);
  EXPECT_EQ(resp.bytes(), (std::vector<uint8_t>{3, 0, 0, 0, 0xA1, 0xA2, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                                10, 11, 12, WM_ACK}));
  // No elements at all, and an element size the caller leaves open.
  sim_.set_table({}, 4, {});
  ASSERT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, 0, -1, WM_RESP_SIZE_READ_ACK, 0), ERR_NONE);
  EXPECT_EQ(resp.bytes(), (std::vector<uint8_t>{0, 0, 0, 0, WM_ACK}));
}

TEST_F(WaveMonitorTest, SizedReadRefusesAbsurdCountsWithoutAllocatingThem) {
  plat_set_time_scale(0.01);
  struct Case {
    uint32_t count;
    int32_t elem_size;
    const char *detail;
  };
  const Case cases[] = {
      {0x7FFFFFFFu, 4, "WM_RESP_SIZE_READ_ACK: element count 2147483647 too large"},
      {0x40000000u, 4, "WM_RESP_SIZE_READ_ACK: element count 1073741824 too large"},
      {(WM_MAX_RESPONSE_BYTES - 4) / 1 + 1, 1, "too large"},
      {0xFFFFFFFFu, 4, "WM_RESP_SIZE_READ_ACK: invalid element count -1 of size 4"},
      {2, -1, "WM_RESP_SIZE_READ_ACK: invalid element count 2 of size -1"},
      {2, 0, "WM_RESP_SIZE_READ_ACK: invalid element count 2 of size 0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.count);
    MessageCapture messages;
    LargestRequest sizes;
    std::vector<uint8_t> answer = count_bytes(c.count);
    answer.resize(64, 0x11);
    sim_.script_answer(answer);
    RespBuf resp;
    EXPECT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, 0, c.elem_size, WM_RESP_SIZE_READ_ACK, 0),
              ERR_WM_READ);
    EXPECT_EQ(resp.buf.data, nullptr);
    EXPECT_LE(sizes.largest(), 4u);
    EXPECT_NE(messages.text().find(c.detail), std::string::npos) << messages.text();
    drain();
  }
}

TEST_F(WaveMonitorTest, SizedReadAcceptsAnAnswerOfTheLargestAllowedSize) {
  // A count that makes the answer exactly as large as allowed is taken (the
  // read then fails on the missing bytes, not on the count); one element
  // more is refused.
  plat_set_time_scale(0.01);
  const uint32_t elements = (WM_MAX_RESPONSE_BYTES - 5) / 4;
  const int32_t header = int32_t(WM_MAX_RESPONSE_BYTES - 5 - elements * 4);
  for (uint32_t count : {elements, elements + 1}) {
    MessageCapture messages;
    std::vector<uint8_t> answer = count_bytes(count);
    answer.resize(40, 0x5A);
    sim_.script_answer(answer);
    RespBuf resp;
    EXPECT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, header, 4, WM_RESP_SIZE_READ_ACK, 0),
              ERR_WM_READ);
    const std::string detail =
        count == elements ? "reading byte 41 of " + std::to_string(WM_MAX_RESPONSE_BYTES) + "\n"
                          : "element count " + std::to_string(count) + " too large\n";
    EXPECT_NE(messages.text().find(detail), std::string::npos) << messages.text();
    drain();
  }
}

TEST_F(WaveMonitorTest, SizedReadFailuresNameTheByteAndTheEnding) {
  plat_set_time_scale(0.01);
  MessageCapture messages;
  RespBuf resp;
  sim_.script_answer({2, 0});
  EXPECT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, 0, 4, WM_RESP_SIZE_READ_ACK, 0),
            ERR_WM_READ);
  EXPECT_NE(unstamped(messages.text())
                .find("T wm_comm_read: ERR_WM_READ: WM_RESP_SIZE_READ_ACK: sio_read_data failed "
                      "reading byte 3 of 4\n"),
            std::string::npos);

  messages.clear();
  sim_.script_answer({2, 0, 0, 0, 9, 9, 1, 1, 1});
  EXPECT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, 2, 4, WM_RESP_SIZE_READ_ACK, 0),
            ERR_WM_READ);
  EXPECT_NE(messages.text().find("WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte 10 "
                                 "of 15\n"),
            std::string::npos);

  messages.clear();
  sim_.script_answer({1, 0, 0, 0, 7, 7, WM_NAK});
  EXPECT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, 0, 2, WM_RESP_SIZE_READ_ACK, 0), ERR_WM_NAK);
  EXPECT_NE(messages.text().find("ERR_WM_NAK: WM_RESP_SIZE_READ_ACK: received NAK\n"),
            std::string::npos);

  messages.clear();
  sim_.script_answer({1, 0, 0, 0, 7, 7, 0xE0});
  EXPECT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, 0, 2, WM_RESP_SIZE_READ_ACK, 0),
            ERR_WM_READ);
  EXPECT_NE(messages.text().find("WM_RESP_SIZE_READ_ACK: invalid response 0xE0, expected ACK or "
                                 "NAK\n"),
            std::string::npos);

  messages.clear();
  sim_.script_answer({0});
  EXPECT_EQ(wm_comm_write_rd(&link_, "DT?", &resp.buf, -1, 2, WM_RESP_SIZE_READ_ACK, 0),
            ERR_WM_READ);
  EXPECT_NE(messages.text().find("WM_RESP_SIZE_READ_ACK: invalid respLen = -1\n"),
            std::string::npos);
}

} // namespace
} // namespace ferry::test
