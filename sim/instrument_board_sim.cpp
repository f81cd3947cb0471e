// Simulated instrument board.

#include "sim/instrument_board_sim.h"

#include <cstdlib>
#include <sstream>

namespace ferry::sim {

namespace {

constexpr uint8_t ack = 0xFF, nak = 0xFE;

uint8_t sum_of(const uint8_t *begin, const uint8_t *end) {
  uint8_t sum = 0;
  for (const uint8_t *p = begin; p != end; ++p)
    sum = static_cast<uint8_t>(sum + *p);
  return sum;
}

bool parse_byte(const std::string &hex, uint8_t *byte) {
  std::vector<uint8_t> bytes;
  if (!from_hex(hex, &bytes) || bytes.size() != 1)
    return false;
  *byte = bytes[0];
  return true;
}

} // namespace

std::vector<uint8_t> InstrumentBoardSim::packet(uint8_t code, const std::vector<uint8_t> &data) {
  std::vector<uint8_t> bytes;
  bytes.reserve(data.size() + 3);
  bytes.push_back(static_cast<uint8_t>(data.size() + 2));
  bytes.push_back(code);
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(sum_of(bytes.data() + 1, bytes.data() + bytes.size()));
  return bytes;
}

void InstrumentBoardSim::reset_device() {
  request_.clear();
  expected_ = 0;
  board_type_ = 1;
  reply_mode_ = false;
  payload_.reset();
  wrong_echoes_ = 0;
  empty_answers_ = 0;
  unsolicited_answers_ = 0;
}

std::string InstrumentBoardSim::device_command(const std::string &name, const std::string &args) {
  std::istringstream in(args);
  std::string word;
  in >> word;
  int count = 1;
  if (name == "board") {
    if (word.empty())
      return std::to_string(board_type_);
    const int type = std::atoi(word.c_str());
    if (type != 1 && type != 3 && type != 6 && type != 7)
      return "error: board types are 1, 3, 6 and 7";
    board_type_ = type;
    return "ok";
  }
  if (name == "answer" && (word == "ack" || word == "reply")) {
    reply_mode_ = word == "reply";
    return "ok";
  }
  if (name == "payload") {
    std::vector<uint8_t> bytes;
    if (word.empty()) {
      payload_.reset();
      return "ok";
    }
    if (!from_hex(word, &bytes) || bytes.size() > 125)
      return "error: bad payload";
    payload_ = bytes;
    return "ok";
  }
  if (name == "wrong_echo") {
    wrong_echoes_ = std::atoi(word.c_str());
    return "ok";
  }
  if (name == "empty" || name == "unsolicited") {
    uint8_t code = 0;
    in >> count;
    if (!parse_byte(word, &code))
      return "error: bad byte";
    (name == "empty" ? empty_count_ : unsolicited_code_) = code;
    (name == "empty" ? empty_answers_ : unsolicited_answers_) = count;
    return "ok";
  }
  return SerialDevice::device_command(name, args);
}

void InstrumentBoardSim::on_byte(uint8_t byte) {
  if (expected_ == 0) {
    // A count outside 2..127 is no request: noise between packets.
    if (byte < 2 || byte > 127)
      return;
    request_.assign(1, byte);
    expected_ = byte;
    return;
  }
  request_.push_back(byte);
  if (--expected_ == 0)
    answer_request();
}

std::vector<uint8_t> InstrumentBoardSim::good_answer(uint8_t command,
                                                     const std::vector<uint8_t> &arguments) {
  if (empty_answers_ > 0) {
    --empty_answers_;
    return {empty_count_};
  }
  if (!reply_mode_)
    return packet(ack, {0x00});
  uint8_t echo = command;
  if (wrong_echoes_ > 0) {
    --wrong_echoes_;
    echo = static_cast<uint8_t>(command + 1);
  }
  return packet(echo, payload_ ? *payload_ : arguments);
}

void InstrumentBoardSim::answer_request() {
  const uint8_t *first = request_.data() + 1;
  const uint8_t *sum = request_.data() + request_.size() - 1;
  const bool intact = sum_of(first, sum) == *sum;
  const Fault fault = next_fault();
  std::vector<uint8_t> answer;
  if (!intact || fault == Fault::nak)
    answer = packet(nak, {0x00});
  else
    answer = good_answer(request_[1], std::vector<uint8_t>(first + 1, sum));
  if (fault == Fault::bad_checksum && answer.size() > 1)
    answer.back() ^= 0x01;
  if (unsolicited_answers_ > 0) {
    --unsolicited_answers_;
    std::vector<uint8_t> before = report(unsolicited_code_);
    answer.insert(answer.begin(), before.begin(), before.end());
  }
  send_answer(std::move(answer), fault);
}

std::unique_ptr<SerialDevice> make_instrument_board_sim() {
  return std::make_unique<InstrumentBoardSim>();
}

} // namespace ferry::sim
