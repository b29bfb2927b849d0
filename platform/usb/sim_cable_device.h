// The simulated cable (sim::Cable) as a device on the emulated bus.
#pragma once

#include "usb/usb_device.h"

namespace sim {
class Cable;
}

namespace w98 {

class SimCableDevice : public UsbDevice {
 public:
  explicit SimCableDevice(sim::Cable& cable) : cable_(cable) {}
  ~SimCableDevice() override;

  sim::Cable& cable() { return cable_; }

  uint16_t vendorId() const override;
  uint16_t productId() const override;
  TransferResult control(const SetupPacket& setup, std::span<uint8_t> data) override;
  TransferResult bulkOut(uint8_t address, std::span<const uint8_t> data) override;
  TransferResult bulkIn(uint8_t address, std::span<uint8_t> data) override;
  void setChangeListener(std::function<void()> listener) override;
  bool changesByItself() const override;

 private:
  sim::Cable& cable_;
};

}  // namespace w98
