#pragma once
// Simulated instrument board. It takes request packets (count, command,
// arguments, 8-bit sum) and answers each with one packet: an acknowledgement
// 03 FF 00 FF, or in reply mode the echoed command with a payload. A request
// whose sum is wrong is refused (03 FE 00 FE).
//
// Protocol faults: nak refuses a good request, bad_checksum sends the
// answer with its sum off by one.
//
// Control commands of this device (beside the generic ones):
//   board 1|3|6|7       the board type (answers it with no argument)
//   answer ack|reply    how a good request is answered
//   payload [HEX]       the data after the echoed command (none given: the
//                       request's own arguments)
//   wrong_echo N        the next N replies echo another command
//   empty HEX N         the next N answers are this one count byte (00, 80)
//   unsolicited HEX N   the next N answers come behind a report of code HEX
// A report sent unasked is the generic chatter of report(code).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/serial_device.h"

namespace ferry::sim {

class InstrumentBoardSim : public SerialDevice {
public:
  InstrumentBoardSim() { reset_device(); }
  const char *kind() const override { return "instrument_board"; }

  // A packet as the board sends it: count, code, data, sum of code and data.
  static std::vector<uint8_t> packet(uint8_t code, const std::vector<uint8_t> &data);
  // An unsolicited report of code: 03 code 00 code.
  static std::vector<uint8_t> report(uint8_t code) { return packet(code, {0x00}); }

protected:
  void on_byte(uint8_t byte) override;
  std::string device_command(const std::string &name, const std::string &args) override;
  void reset_device() override;

private:
  void answer_request();
  std::vector<uint8_t> good_answer(uint8_t command, const std::vector<uint8_t> &arguments);

  std::vector<uint8_t> request_;
  size_t expected_ = 0; // bytes of the request still to come after its count
  int board_type_ = 1;
  bool reply_mode_ = false;
  std::optional<std::vector<uint8_t>> payload_;
  int wrong_echoes_ = 0;
  uint8_t empty_count_ = 0;
  int empty_answers_ = 0;
  uint8_t unsolicited_code_ = 0;
  int unsolicited_answers_ = 0;
};

std::unique_ptr<SerialDevice> make_instrument_board_sim();

} // namespace ferry::sim
