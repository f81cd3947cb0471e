#pragma once
// Simulated wave monitor. It takes the ASCII commands the library sends
// (ended by CR) and answers in binary, little-endian, closed by ACK:
//
//   LO?        laser word (bit 15 set while the laser is on), ACK
//   LO=1/LO=0  ACK; the laser follows after a settable number of LO? queries
//   MS?        the nine status words, ACK
//   CC?        the 40-byte or the 4-byte calibration, as the device is set, ACK
//   CL=n SS=x  ACK; the value is kept
//   RR=a,b     a and b as two 32-bit integers, ACK
//   DT?        a table: 32-bit element count, header, elements, ACK
//   other      NAK
//
// Protocol faults: nak puts NAK in place of the final ACK, bad_checksum puts
// a byte that is neither, no_line_end leaves the final byte out.

#include <array>
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

  const char *kind() const override { return "wave_monitor"; }

  // The status report; a list is answered in order, its last entry then
  // for every later MS?.
  void set_status(const wm_status &status) { set_statuses({status}); }
  void set_statuses(std::vector<wm_status> statuses);
  void set_calibration(const WaveMonitorCalibration &cal);
  // LO? queries after an LO= before the laser follows (kLaserNever: never).
  void set_laser_switch_after(int queries);
  void set_laser_on(bool on);
  bool laser_on() const;
  // The table DT? answers: header bytes, then elements of elem_size bytes.
  void set_table(std::vector<uint8_t> header, uint32_t elem_size, std::vector<uint8_t> elements);

  // The commands received so far, without their CR.
  std::vector<std::string> commands() const;

  // The bytes of a status report and of a calibration report, without the
  // final ACK (tests build mutated answers from them).
  static std::vector<uint8_t> encode_status(const wm_status &status);
  static std::vector<uint8_t> encode_calibration(const WaveMonitorCalibration &cal);

protected:
  void on_byte(uint8_t byte) override;

private:
  void handle_command(const std::string &command);
  // The answer to a command, as the device sends it without faults.
  std::vector<uint8_t> answer_for(const std::string &command);
  std::vector<uint8_t> laser_query();
  std::vector<uint8_t> status_report();
  std::vector<uint8_t> table_report() const;

  std::string line_;
  std::vector<std::string> commands_;
  std::deque<wm_status> statuses_{wm_status{}};
  WaveMonitorCalibration cal_;
  bool laser_on_ = false;
  bool laser_target_ = false;
  int laser_switch_after_ = 0;
  int laser_countdown_ = 0;
  std::vector<uint8_t> table_header_;
  uint32_t table_elem_size_ = 4;
  std::vector<uint8_t> table_elements_;
};

} // namespace ferry::sim
