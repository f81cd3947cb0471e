// Simulated temperature controller.

#include "sim/temp_controller_sim.h"

#include <algorithm>
#include <sstream>

namespace ferry::sim {

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t eot = 0x04, stx = 0x02, etx = 0x03, enq = 0x05, ack = 0x06, nak = 0x15;
constexpr char address[] = "0011";
constexpr size_t address_length = sizeof address - 1;
// More than any frame the library sends; a longer one is noise.
constexpr size_t frame_limit = 512;

uint8_t xor_of(const uint8_t *begin, const uint8_t *end) {
  uint8_t bcc = 0;
  for (const uint8_t *p = begin; p != end; ++p)
    bcc ^= *p;
  return bcc;
}

} // namespace

std::vector<uint8_t> temp_data_answer(const std::string &text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() + 3);
  bytes.push_back(stx);
  for (char c : text)
    bytes.push_back(static_cast<uint8_t>(c));
  bytes.push_back(etx);
  bytes.push_back(xor_of(bytes.data() + 1, bytes.data() + bytes.size()));
  return bytes;
}

void TempControllerSim::reset_device() {
  frame_.clear();
  in_frame_ = false;
  bcc_next_ = false;
  values_ = {{"EE", "0002"}, {"PV", "23.5"}};
  writes_.clear();
  wrong_mnemonic_ = false;
}

std::string TempControllerSim::device_command(const std::string &name, const std::string &args) {
  std::istringstream in(args);
  std::string mnemonic, hex;
  in >> mnemonic >> hex;
  std::vector<uint8_t> bytes;
  if (name == "value" && from_hex(hex, &bytes)) {
    values_[mnemonic] = std::string(bytes.begin(), bytes.end());
    return "ok";
  }
  if (name == "get") {
    auto it = values_.find(mnemonic);
    return it == values_.end() ? "" : to_hex(Bytes(it->second.begin(), it->second.end()));
  }
  if (name == "writes") {
    std::string list;
    for (const auto &text : writes_)
      list += (list.empty() ? "" : ",") + to_hex(Bytes(text.begin(), text.end()));
    return list;
  }
  if (name == "wrong_mnemonic") {
    wrong_mnemonic_ = mnemonic == "1";
    return "ok";
  }
  return SerialDevice::device_command(name, args);
}

void TempControllerSim::set_value(const std::string &mnemonic, const std::string &value) {
  auto guard = lock();
  values_[mnemonic] = value;
}

std::string TempControllerSim::value(const std::string &mnemonic) const {
  auto guard = lock();
  auto it = values_.find(mnemonic);
  return it == values_.end() ? std::string() : it->second;
}

std::vector<std::string> TempControllerSim::writes() const {
  auto guard = lock();
  return writes_;
}

void TempControllerSim::set_wrong_mnemonic(bool on) {
  auto guard = lock();
  wrong_mnemonic_ = on;
}

void TempControllerSim::on_byte(uint8_t byte) {
  if (bcc_next_) {
    bcc_next_ = false;
    in_frame_ = false;
    // frame_: address, STX, text, ETX.
    auto stx_at = std::find(frame_.begin(), frame_.end(), stx);
    std::string text(stx_at + 1, frame_.end() - 1);
    const uint8_t calc = xor_of(&*(stx_at + 1), frame_.data() + frame_.size());
    answer_write(text, static_cast<uint8_t>(byte ^ calc));
    return;
  }
  if (byte == eot) {
    frame_.clear();
    in_frame_ = true;
    return;
  }
  if (!in_frame_)
    return;
  frame_.push_back(byte);
  if (frame_.size() > frame_limit) {
    in_frame_ = false;
    return;
  }
  const bool has_stx = std::find(frame_.begin(), frame_.end(), stx) != frame_.end();
  if (byte == etx && has_stx) {
    bcc_next_ = true;
  } else if (byte == enq && !has_stx) {
    in_frame_ = false;
    if (frame_.size() >= address_length + 1 &&
        std::equal(address, address + address_length, frame_.begin()))
      answer_read(std::string(frame_.begin() + address_length, frame_.end() - 1));
  }
}

// bcc_error is the XOR of the received and the expected block check.
void TempControllerSim::answer_write(const std::string &text, uint8_t bcc_error) {
  const Fault fault = next_fault();
  if (fault == Fault::nak || bcc_error != 0 || text.size() < 2) {
    send_answer({nak}, fault);
    return;
  }
  writes_.push_back(text);
  values_[text.substr(0, 2)] = text.substr(2);
  send_answer({ack}, fault);
}

void TempControllerSim::answer_read(const std::string &mnemonic) {
  const Fault fault = next_fault();
  auto it = values_.find(mnemonic);
  if (fault == Fault::nak || it == values_.end()) {
    send_answer({eot}, fault);
    return;
  }
  std::string text = (wrong_mnemonic_ ? std::string("XX") : mnemonic) + it->second;
  std::vector<uint8_t> bytes;
  if (fault == Fault::no_line_end) {
    // A text that never ends.
    bytes.push_back(stx);
    bytes.insert(bytes.end(), 300, '7');
  } else {
    bytes = temp_data_answer(text);
    if (fault == Fault::bad_checksum)
      bytes.back() ^= 0x5A;
  }
  send_answer(std::move(bytes), fault);
}

std::unique_ptr<SerialDevice> make_temp_controller_sim() {
  return std::make_unique<TempControllerSim>();
}

} // namespace ferry::sim
