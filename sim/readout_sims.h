#pragma once
// Simulated digital readouts: the Metronics readout answers "KEY 1\n", the
// Heid readout answers STX; each with its reply line and CR LF.

#include <string>

#include "sim/serial_device.h"

namespace ferry::sim {

class ReadoutSim : public SerialDevice {
public:
  // The line each request is answered with (without its line end).
  void set_reply(const std::string &line);
  std::string reply() const;
  size_t requests() const;

protected:
  explicit ReadoutSim(std::string reply) : reply_(reply), initial_reply_(std::move(reply)) {}
  // Called after each received byte; true when it completes a request.
  virtual bool request_complete(uint8_t byte) = 0;
  void on_byte(uint8_t byte) override;
  // reply HEX, requests (answers the count).
  std::string device_command(const std::string &name, const std::string &args) override;
  void reset_device() override;

private:
  std::string reply_;
  std::string initial_reply_;
  size_t requests_ = 0;
};

class MetronicsSim : public ReadoutSim {
public:
  MetronicsSim() : ReadoutSim("12.5 mm") {}
  const char *kind() const override { return "metronics"; }

protected:
  bool request_complete(uint8_t byte) override;
  void reset_device() override {
    ReadoutSim::reset_device();
    pending_.clear();
  }

private:
  std::string pending_;
};

class HeidSim : public ReadoutSim {
public:
  HeidSim() : ReadoutSim("+  12.5") {}
  const char *kind() const override { return "heid"; }

protected:
  bool request_complete(uint8_t byte) override { return byte == 0x02; }
};

} // namespace ferry::sim
