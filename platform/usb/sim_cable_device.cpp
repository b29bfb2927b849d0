#include "usb/sim_cable_device.h"

#include "sim/cable.h"
#include "usb/usb_bus.h"

namespace w98 {

namespace {
TransferResult fromControl(const sim::ControlResult& r) {
  switch (r.status) {
    case sim::ControlStatus::Ack: return TransferResult::ack(r.length);
    case sim::ControlStatus::Stall: return TransferResult::stall();
    case sim::ControlStatus::Error: return TransferResult::error();
  }
  return TransferResult::error();
}
TransferResult fromBulk(const sim::BulkResult& r) {
  switch (r.status) {
    case sim::BulkStatus::Ack: return TransferResult::ack(r.length);
    case sim::BulkStatus::Nak: return TransferResult::nak();
    case sim::BulkStatus::Stall: return TransferResult::stall();
    case sim::BulkStatus::Error: return TransferResult::error();
  }
  return TransferResult::error();
}
}  // namespace

SimCableDevice::~SimCableDevice() { cable_.setChangeHandler(nullptr); }

uint16_t SimCableDevice::vendorId() const { return cable_.config().vendorId; }
uint16_t SimCableDevice::productId() const { return cable_.config().productId; }

TransferResult SimCableDevice::control(const SetupPacket& s, std::span<uint8_t> data) {
  sim::SetupPacket setup{s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength};
  return fromControl(cable_.control(setup, data));
}

TransferResult SimCableDevice::bulkOut(uint8_t address, std::span<const uint8_t> data) {
  return fromBulk(cable_.bulkOut(address, data));
}

TransferResult SimCableDevice::bulkIn(uint8_t address, std::span<uint8_t> data) {
  return fromBulk(cable_.bulkIn(address, data));
}

void SimCableDevice::setChangeListener(std::function<void()> listener) { cable_.setChangeHandler(std::move(listener)); }

bool SimCableDevice::changesByItself() const { return cable_.changesByItself(); }

int UsbBus::plug(sim::Cable& cable, PortOptions options) {
  return plug(std::make_shared<SimCableDevice>(cable), std::move(options));
}

}  // namespace w98
