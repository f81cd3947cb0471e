// The serial device simulator framework: fault switches, scripted and timed
// answers, and the pseudo-terminal server.

#include "sim/serial_device.h"

#include <chrono>
#include <cstdint>
#include <sstream>
#include <utility>

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

void SerialDevice::accept_inband_control(bool on) {
  auto guard = lock();
  inband_ = on;
}

void SerialDevice::feed(std::span<const uint8_t> bytes) {
  auto guard = lock();
  for (uint8_t byte : bytes) {
    if (!inband_) {
      feed_byte_locked(byte);
      continue;
    }
    if (in_control_) {
      if (byte != '\n') {
        // A command line longer than any command is noise; drop it.
        if (control_line_.size() < 65536)
          control_line_.push_back(static_cast<char>(byte));
        continue;
      }
      in_control_ = false;
      std::string answer = answer_prefix + control_locked(control_line_) + "\n";
      control_line_.clear();
      // Ahead of whatever the command queued, so the test that reads the
      // answer does not swallow the bytes it asked for.
      outbox_.push_front(Pending{now_ms(), std::vector<uint8_t>(answer.begin(), answer.end())});
      continue;
    }
    const std::string prefix = control_prefix;
    if (byte == static_cast<uint8_t>(prefix[control_line_.size()])) {
      control_line_.push_back(static_cast<char>(byte));
      if (control_line_.size() == prefix.size()) {
        control_line_.clear();
        in_control_ = true;
      }
      continue;
    }
    // Not a command after all: what was held back is request bytes.
    const std::string held = std::exchange(control_line_, std::string());
    for (char c : held)
      feed_byte_locked(static_cast<uint8_t>(c));
    if (byte == static_cast<uint8_t>(prefix[0]))
      control_line_.push_back(static_cast<char>(byte));
    else
      feed_byte_locked(byte);
  }
}

void SerialDevice::feed_byte_locked(uint8_t byte) {
  // A simulator served for days keeps only the recent past.
  constexpr size_t received_limit = size_t(1) << 20;
  if (received_.size() >= received_limit)
    received_.erase(received_.begin(), received_.begin() + received_limit / 2);
  received_.push_back(byte);
  on_byte(byte);
}

std::string SerialDevice::control(const std::string &command) {
  auto guard = lock();
  return control_locked(command);
}

std::string SerialDevice::device_command(const std::string &name, const std::string &) {
  return "error: unknown command " + name;
}

std::string SerialDevice::control_locked(const std::string &command) {
  std::istringstream in(command);
  std::string name;
  in >> name;
  std::string args;
  std::getline(in >> std::ws, args);
  std::istringstream arg_in(args);
  if (name == "reset") {
    fault_ = Fault::none;
    fault_answers_ = 0;
    scripted_.clear();
    delay_ms_ = 0;
    received_.clear();
    outbox_.clear();
    reset_device();
    return "ok";
  }
  if (name == "fault") {
    std::string fault_text;
    int count = -1;
    arg_in >> fault_text >> count;
    Fault fault;
    if (!fault_from_name(fault_text, &fault))
      return "error: unknown fault " + fault_text;
    fault_ = fault;
    fault_answers_ = fault == Fault::none ? 0 : count;
    return "ok";
  }
  if (name == "script" || name == "chatter") {
    std::string hex;
    arg_in >> hex;
    std::vector<uint8_t> bytes;
    if (!from_hex(hex, &bytes))
      return "error: bad hex";
    if (name == "script") {
      scripted_.push_back(std::move(bytes));
      return "ok";
    }
    uint32_t repeats = 1, interval = 0;
    arg_in >> repeats >> interval;
    const uint64_t start = now_ms();
    for (uint32_t i = 0; i < repeats; ++i)
      queue_locked(start + uint64_t(i) * interval, bytes);
    return "ok";
  }
  if (name == "delay") {
    arg_in >> delay_ms_;
    return "ok";
  }
  if (name == "received")
    return to_hex(received_);
  if (name == "pending") {
    size_t bytes = 0;
    for (const auto &pending : outbox_)
      bytes += pending.bytes.size();
    return std::to_string(bytes);
  }
  return device_command(name, args);
}

namespace {
constexpr const char *fault_names[] = {"none",         "nak",  "bad_checksum", "silence",
                                       "short_answer", "junk", "no_line_end"};
} // namespace

const char *fault_name(Fault fault) {
  return fault_names[static_cast<size_t>(fault)];
}

bool fault_from_name(const std::string &name, Fault *fault) {
  for (size_t i = 0; i < std::size(fault_names); ++i)
    if (name == fault_names[i]) {
      *fault = static_cast<Fault>(i);
      return true;
    }
  return false;
}

std::string to_hex(const std::vector<uint8_t> &bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(digits[b >> 4]);
    text.push_back(digits[b & 15]);
  }
  return text;
}

bool from_hex(const std::string &text, std::vector<uint8_t> *bytes) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    return -1;
  };
  if (text.size() % 2)
    return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0)
      return false;
    bytes->push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
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
