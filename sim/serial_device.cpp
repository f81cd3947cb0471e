// The serial device simulator framework: fault switches, scripted and timed
// answers, and the pseudo-terminal server.

#include "sim/serial_device.h"

#include <chrono>
#include <cstdint>

#include "platform/serial.h"

namespace ferry::sim {

uint64_t SerialDevice::now_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SerialDevice::set_fault(Fault fault, int answers) {
  auto guard = lock();
  fault_ = fault;
  fault_answers_ = answers;
}

void SerialDevice::clear_fault() {
  set_fault(Fault::none, 0);
}

void SerialDevice::script_answer(std::vector<uint8_t> bytes) {
  auto guard = lock();
  scripted_.push_back(std::move(bytes));
}

void SerialDevice::set_answer_delay_ms(uint32_t ms) {
  auto guard = lock();
  delay_ms_ = ms;
}

void SerialDevice::chatter(std::vector<uint8_t> bytes, uint32_t repeats, uint32_t interval_ms) {
  auto guard = lock();
  const uint64_t start = now_ms();
  for (uint32_t i = 0; i < repeats; ++i)
    queue_locked(start + uint64_t(i) * interval_ms, bytes);
}

std::vector<uint8_t> SerialDevice::received() const {
  auto guard = lock();
  return received_;
}

void SerialDevice::clear_received() {
  auto guard = lock();
  received_.clear();
}

size_t SerialDevice::answers_sent() const {
  auto guard = lock();
  return answers_sent_;
}

size_t SerialDevice::pending_output() const {
  auto guard = lock();
  size_t bytes = 0;
  for (const auto &pending : outbox_)
    bytes += pending.bytes.size();
  return bytes;
}

void SerialDevice::feed(std::span<const uint8_t> bytes) {
  auto guard = lock();
  for (uint8_t byte : bytes) {
    received_.push_back(byte);
    on_byte(byte);
  }
}

std::vector<uint8_t> SerialDevice::take_due_output(uint64_t now, uint64_t *next_due_ms) {
  auto guard = lock();
  std::vector<uint8_t> out;
  uint64_t next = UINT64_MAX;
  for (auto it = outbox_.begin(); it != outbox_.end();) {
    if (it->due_ms <= now) {
      out.insert(out.end(), it->bytes.begin(), it->bytes.end());
      it = outbox_.erase(it);
    } else {
      next = std::min(next, it->due_ms);
      ++it;
    }
  }
  if (next_due_ms)
    *next_due_ms = next;
  return out;
}

Fault SerialDevice::next_fault() {
  if (fault_answers_ == 0)
    return Fault::none;
  if (fault_answers_ > 0)
    --fault_answers_;
  return fault_;
}

void SerialDevice::send_answer(std::vector<uint8_t> bytes, Fault fault) {
  ++answers_sent_;
  if (!scripted_.empty()) {
    bytes = std::move(scripted_.front());
    scripted_.pop_front();
  } else if (fault == Fault::silence) {
    return;
  } else if (fault == Fault::short_answer) {
    bytes.resize(bytes.size() / 2);
  } else if (fault == Fault::junk) {
    // A fixed generator, so a failing run repeats exactly.
    for (auto &b : bytes) {
      junk_seed_ ^= junk_seed_ << 13;
      junk_seed_ ^= junk_seed_ >> 17;
      junk_seed_ ^= junk_seed_ << 5;
      b = static_cast<uint8_t>(junk_seed_ | 0x80);
    }
  }
  queue_locked(now_ms() + delay_ms_, std::move(bytes));
}

void SerialDevice::queue_locked(uint64_t due_ms, std::vector<uint8_t> bytes) {
  if (!bytes.empty())
    outbox_.push_back(Pending{due_ms, std::move(bytes)});
}

PtyServer::PtyServer(SerialDevice &device) : device_(device) {}

PtyServer::~PtyServer() {
  stop();
}

bool PtyServer::start() {
  if (thread_.joinable())
    return true;
  char path[256];
  intptr_t master = -1;
  if (!plat_pty_open(&master, path, sizeof path))
    return false;
  master_ = master;
  path_ = path;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void PtyServer::stop() {
  stopping_ = true;
  if (thread_.joinable())
    thread_.join();
  if (master_ >= 0)
    plat_pty_close(master_);
  master_ = -1;
}

void PtyServer::run() {
  uint8_t buffer[512];
  while (!stopping_) {
    uint64_t next_due = UINT64_MAX;
    std::vector<uint8_t> out = device_.take_due_output(SerialDevice::now_ms(), &next_due);
    if (!out.empty())
      plat_pty_write(master_, out.data(), out.size());
    uint64_t now = SerialDevice::now_ms();
    uint32_t wait = 5;
    if (next_due != UINT64_MAX)
      wait = next_due <= now ? 0 : static_cast<uint32_t>(std::min<uint64_t>(next_due - now, 5));
    int got = plat_pty_read(master_, buffer, sizeof buffer, wait);
    if (got > 0)
      device_.feed(std::span<const uint8_t>(buffer, static_cast<size_t>(got)));
  }
}

} // namespace ferry::sim
