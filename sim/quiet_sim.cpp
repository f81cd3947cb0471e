// A device that answers nothing by itself.

#include "sim/serial_device.h"

namespace ferry::sim {

namespace {

class QuietDevice : public SerialDevice {
public:
  const char *kind() const override { return "quiet"; }

protected:
  void on_byte(uint8_t) override {}
};

} // namespace

std::unique_ptr<SerialDevice> make_quiet_sim() {
  return std::make_unique<QuietDevice>();
}

} // namespace ferry::sim
