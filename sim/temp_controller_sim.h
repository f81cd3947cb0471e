#pragma once
// Simulated temperature controller at address "0011": write frames set a
// parameter and are acknowledged, read frames answer with the mnemonic and
// its value, and a refused write can be asked for its error code ("EE").

#include <map>
#include <string>
#include <vector>

#include "sim/serial_device.h"

namespace ferry::sim {

class TempControllerSim : public SerialDevice {
public:
  TempControllerSim() { reset_device(); }
  const char *kind() const override { return "temp_controller"; }

  // The value a read of mnemonic returns; a mnemonic without one is
  // answered with EOT.
  void set_value(const std::string &mnemonic, const std::string &value);
  std::string value(const std::string &mnemonic) const;
  // The texts of the write frames accepted so far, in order.
  std::vector<std::string> writes() const;
  // Answers to reads carry a different mnemonic than the one asked.
  void set_wrong_mnemonic(bool on);

protected:
  void on_byte(uint8_t byte) override;
  // value MN HEX, get MN (answers HEX), writes (HEX,HEX,...),
  // wrong_mnemonic 0|1.
  std::string device_command(const std::string &name, const std::string &args) override;
  void reset_device() override;

private:
  void answer_write(const std::string &text, uint8_t bcc);
  void answer_read(const std::string &mnemonic);

  std::vector<uint8_t> frame_;
  bool in_frame_ = false;
  bool bcc_next_ = false;
  std::map<std::string, std::string> values_;
  std::vector<std::string> writes_;
  bool wrong_mnemonic_ = false;
};

// A data answer: STX, text, ETX, block check.
std::vector<uint8_t> temp_data_answer(const std::string &text);

} // namespace ferry::sim
