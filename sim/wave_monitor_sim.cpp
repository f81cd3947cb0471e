#include "sim/wave_monitor_sim.h"

#include <bit>
#include <cstdio>
#include <sstream>

namespace ferry::sim {

namespace {

// Longest command line kept; a longer one is a broken line and refused.
constexpr size_t kMaxLine = 256;
constexpr size_t kStatusBytes = 36;
constexpr size_t kLongCalBytes = 40;
constexpr size_t kShortCalBytes = 4;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
// Neither ACK nor NAK: what a garbled final byte looks like.
constexpr uint8_t kGarbled = 0x3F;

void put_u32(std::vector<uint8_t> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(uint8_t(v >> (8 * i)));
}
void put_u16(std::vector<uint8_t> &out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void put_f32(std::vector<uint8_t> &out, float v) {
  put_u32(out, std::bit_cast<uint32_t>(v));
}

bool starts_with(const std::string &s, const char *prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Hexadecimal bytes of a control command; "-" stands for none.
bool bytes_arg(const std::string &text, std::vector<uint8_t> *bytes) {
  if (text == "-") {
    bytes->clear();
    return true;
  }
  return !text.empty() && from_hex(text, bytes);
}

// Commits the faults only the protocol knows, on an answer closed by ACK.
void commit_protocol_fault(std::vector<uint8_t> &answer, Fault fault) {
  if (answer.empty())
    return;
  switch (fault) {
  case Fault::nak:
    answer.back() = kNak;
    break;
  case Fault::bad_checksum:
    answer.back() = kGarbled;
    break;
  case Fault::no_line_end:
    answer.pop_back();
    break;
  default:
    break;
  }
}

} // namespace

std::vector<uint8_t> WaveMonitorSim::encode_status(const wm_status &s) {
  std::vector<uint8_t> out;
  put_u32(out, s.word0);
  for (float v : s.values)
    put_f32(out, v);
  put_u32(out, uint32_t(s.cal_age));
  put_u32(out, uint32_t(s.word7));
  put_u32(out, s.flags);
  return out;
}

std::vector<uint8_t> WaveMonitorSim::encode_calibration(const WaveMonitorCalibration &cal) {
  std::vector<uint8_t> out;
  if (!cal.long_form) {
    put_f32(out, cal.system_gain);
    return out;
  }
  for (float g : cal.adc_gain)
    put_f32(out, g);
  put_f32(out, cal.system_gain);
  for (uint16_t o : cal.adc_offset)
    put_u16(out, o);
  for (float p : cal.phase_offset)
    put_f32(out, p);
  return out;
}

void WaveMonitorSim::reset_device() {
  line_.clear();
  statuses_.assign(1, std::vector<uint8_t>(kStatusBytes, 0));
  calibration_ = encode_calibration({});
  laser_on_ = laser_target_ = false;
  laser_switch_after_ = laser_countdown_ = 0;
  table_header_.clear();
  table_elem_size_ = 4;
  table_elements_.clear();
}

std::string WaveMonitorSim::device_command(const std::string &name, const std::string &args) {
  std::istringstream in(args);
  if (name == "status") {
    std::deque<std::vector<uint8_t>> reports;
    std::string hex;
    std::vector<uint8_t> bytes;
    while (in >> hex) {
      if (!bytes_arg(hex, &bytes) || bytes.size() != kStatusBytes)
        return "error: a status report is 36 bytes";
      reports.push_back(bytes);
    }
    if (reports.empty())
      return "error: no status report";
    statuses_ = std::move(reports);
    return "ok";
  }
  if (name == "calibration") {
    std::string hex;
    std::vector<uint8_t> bytes;
    if (!(in >> hex) || !bytes_arg(hex, &bytes) ||
        (bytes.size() != kLongCalBytes && bytes.size() != kShortCalBytes))
      return "error: a calibration is 40 or 4 bytes";
    calibration_ = bytes;
    return "ok";
  }
  if (name == "laser_on") {
    int on = 0;
    in >> on;
    laser_on_ = laser_target_ = on != 0;
    return "ok";
  }
  if (name == "laser_switch_after") {
    if (!(in >> laser_switch_after_))
      return "error: laser_switch_after N";
    return "ok";
  }
  if (name == "laser")
    return laser_on_ ? "1" : "0";
  if (name == "table") {
    std::string header, elements;
    uint32_t elem_size = 0;
    std::vector<uint8_t> header_bytes, element_bytes;
    if (!(in >> header >> elem_size >> elements) || !bytes_arg(header, &header_bytes) ||
        !bytes_arg(elements, &element_bytes))
      return "error: table HEADER ELEM_SIZE ELEMENTS";
    table_header_ = header_bytes;
    table_elem_size_ = elem_size;
    table_elements_ = element_bytes;
    return "ok";
  }
  return SerialDevice::device_command(name, args);
}

void WaveMonitorSim::on_byte(uint8_t byte) {
  if (byte == WM_CR) {
    std::string command = std::move(line_);
    line_.clear();
    handle_command(command);
    return;
  }
  if (line_.size() < kMaxLine)
    line_.push_back(char(byte));
}

void WaveMonitorSim::handle_command(const std::string &command) {
  const Fault fault = next_fault();
  std::vector<uint8_t> answer = answer_for(command);
  commit_protocol_fault(answer, fault);
  send_answer(std::move(answer), fault);
}

std::vector<uint8_t> WaveMonitorSim::answer_for(const std::string &command) {
  std::vector<uint8_t> out;
  if (command == "LO?") {
    out = laser_query();
  } else if (command == "LO=1" || command == "LO=0") {
    laser_target_ = command.back() == '1';
    laser_countdown_ = laser_switch_after_;
    if (laser_countdown_ == 0)
      laser_on_ = laser_target_;
  } else if (command == "MS?") {
    out = status_report();
  } else if (command == "CC?") {
    out = calibration_;
  } else if (command == "DT?") {
    out = table_report();
  } else if (starts_with(command, "RR=")) {
    int a = 0, b = 0;
    char tail = 0;
    if (std::sscanf(command.c_str() + 3, "%d,%d%c", &a, &b, &tail) != 2)
      return {kNak};
    put_u32(out, uint32_t(a));
    put_u32(out, uint32_t(b));
  } else if (!starts_with(command, "CL=") && !starts_with(command, "SS=")) {
    return {kNak};
  }
  out.push_back(kAck);
  return out;
}

std::vector<uint8_t> WaveMonitorSim::laser_query() {
  if (laser_on_ != laser_target_ && laser_countdown_ != kLaserNever) {
    if (laser_countdown_ > 0)
      --laser_countdown_;
    if (laser_countdown_ == 0)
      laser_on_ = laser_target_;
  }
  std::vector<uint8_t> out;
  // Other bits of the word are set too, so a reader must look at bit 15.
  put_u32(out, (laser_on_ ? uint32_t(WM_LASER_ON_BIT) : 0u) | 0x00A50001u);
  return out;
}

std::vector<uint8_t> WaveMonitorSim::status_report() {
  std::vector<uint8_t> report = statuses_.front();
  if (statuses_.size() > 1)
    statuses_.pop_front();
  return report;
}

std::vector<uint8_t> WaveMonitorSim::table_report() const {
  std::vector<uint8_t> out;
  const uint32_t count = table_elem_size_ ? uint32_t(table_elements_.size() / table_elem_size_) : 0;
  put_u32(out, count);
  out.insert(out.end(), table_header_.begin(), table_header_.end());
  out.insert(out.end(), table_elements_.begin(), table_elements_.end());
  return out;
}

std::unique_ptr<SerialDevice> make_wave_monitor_sim() {
  return std::make_unique<WaveMonitorSim>();
}

} // namespace ferry::sim
