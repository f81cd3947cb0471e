// Simulated digital readouts.

#include "sim/readout_sims.h"

namespace ferry::sim {

void ReadoutSim::set_reply(const std::string &line) {
  auto guard = lock();
  reply_ = line;
}

std::string ReadoutSim::reply() const {
  auto guard = lock();
  return reply_;
}

size_t ReadoutSim::requests() const {
  auto guard = lock();
  return requests_;
}

std::string ReadoutSim::device_command(const std::string &name, const std::string &args) {
  std::vector<uint8_t> bytes;
  if (name == "reply" && from_hex(args, &bytes)) {
    reply_.assign(bytes.begin(), bytes.end());
    return "ok";
  }
  if (name == "requests")
    return std::to_string(requests_);
  return SerialDevice::device_command(name, args);
}

void ReadoutSim::reset_device() {
  reply_ = initial_reply_;
  requests_ = 0;
}

void ReadoutSim::on_byte(uint8_t byte) {
  if (!request_complete(byte))
    return;
  ++requests_;
  const Fault fault = next_fault();
  std::vector<uint8_t> bytes(reply_.begin(), reply_.end());
  if (fault == Fault::no_line_end) {
    // Longer than any reply line, and never ended.
    bytes.assign(90, '7');
  } else {
    bytes.push_back('\r');
    bytes.push_back('\n');
  }
  send_answer(std::move(bytes), fault);
}

bool MetronicsSim::request_complete(uint8_t byte) {
  static const std::string request = "KEY 1\n";
  pending_.push_back(static_cast<char>(byte));
  if (pending_.size() > request.size())
    pending_.erase(0, pending_.size() - request.size());
  return pending_ == request;
}

std::unique_ptr<SerialDevice> make_metronics_sim() {
  return std::make_unique<MetronicsSim>();
}
std::unique_ptr<SerialDevice> make_heid_sim() {
  return std::make_unique<HeidSim>();
}

} // namespace ferry::sim
