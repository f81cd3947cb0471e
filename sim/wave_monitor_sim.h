#pragma once
// Simulated wave monitor. It takes the ASCII commands the library sends
// (ended by CR) and answers in binary, little-endian, closed by ACK:
//
//   LO?        laser word (bit 15 set while the laser is on), ACK
//   LO=1/LO=0  ACK; the laser follows after a settable number of LO? queries
//   MS?        the nine status words, ACK
//   CC?        the 40-byte or the 4-byte calibration, as the device is set, ACK
//   CL=n SS=x  ACK
//   RR=a,b     a and b as two 32-bit integers, ACK
//   DT?        a table: 32-bit element count, header, elements, ACK
//   other      NAK
//
// Protocol faults: nak puts NAK in place of the final ACK, bad_checksum puts
// a byte that is neither, no_line_end leaves the final byte out.
//
// Control commands of this device (beside the generic ones):
//   status HEX...                 status reports (36 bytes each), answered
//                                 in order, the last one from then on
//   calibration HEX               the CC? data: 40 bytes, or 4 (system gain)
//   laser_on 0|1                  the laser's state, at once
//   laser_switch_after N          LO? queries before the laser follows (-1: never)
//   laser                         answers 1 while the laser is on, else 0
//   table HEADER ELEM_SIZE ELEMS  the DT? table ("-" for no bytes)

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "serial/wave_monitor.h"
#include "sim/serial_device.h"

namespace ferry::sim {

struct WaveMonitorCalibration {
  bool long_form = true; // answer CC? with 40 bytes, else with the system gain alone
  float adc_gain[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  float system_gain = 1.0f;
  uint16_t adc_offset[4] = {};
  float phase_offset[3] = {};
};

class WaveMonitorSim : public SerialDevice {
public:
  static constexpr int kLaserNever = -1;

  WaveMonitorSim() { reset_device(); }
  const char *kind() const override { return "wave_monitor"; }

  // The data bytes (without the final ACK) of a status report and of a
  // calibration report.
  static std::vector<uint8_t> encode_status(const wm_status &status);
  static std::vector<uint8_t> encode_calibration(const WaveMonitorCalibration &cal);

protected:
  void on_byte(uint8_t byte) override;
  std::string device_command(const std::string &name, const std::string &args) override;
  void reset_device() override;

private:
  void handle_command(const std::string &command);
  // The answer to a command, as the device sends it without faults.
  std::vector<uint8_t> answer_for(const std::string &command);
  std::vector<uint8_t> laser_query();
  std::vector<uint8_t> status_report();
  std::vector<uint8_t> table_report() const;

  std::string line_;
  std::deque<std::vector<uint8_t>> statuses_;
  std::vector<uint8_t> calibration_;
  bool laser_on_ = false;
  bool laser_target_ = false;
  int laser_switch_after_ = 0;
  int laser_countdown_ = 0;
  std::vector<uint8_t> table_header_;
  uint32_t table_elem_size_ = 4;
  std::vector<uint8_t> table_elements_;
};

} // namespace ferry::sim
