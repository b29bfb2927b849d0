// What the bus needs from a device plugged into it: the three kinds of transaction of a full-speed function
// (control on the default pipe, bulk OUT, bulk IN) at the level of handshakes, with no Windows types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace w98 {

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;

  bool in() const { return (bmRequestType & 0x80) != 0; }
  bool operator==(const SetupPacket&) const = default;
};

std::string toString(const SetupPacket& setup);

// The device's answer to one transaction.
enum class Handshake {
  Ack,    // done; `bytes` tells how many data bytes moved
  Nak,    // not now: try again when the device reports a change
  Stall,  // the endpoint (or the request) is halted
  Error,  // no valid answer (CRC, time-out, ...)
};

struct TransferResult {
  Handshake handshake = Handshake::Ack;
  size_t bytes = 0;

  static TransferResult ack(size_t n) { return {Handshake::Ack, n}; }
  static TransferResult nak() { return {Handshake::Nak, 0}; }
  static TransferResult stall() { return {Handshake::Stall, 0}; }
  static TransferResult error() { return {Handshake::Error, 0}; }
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Identity, as the bus reports it to Plug and Play.
  virtual uint16_t vendorId() const = 0;
  virtual uint16_t productId() const = 0;

  // A control transfer on the default pipe. `data` has wLength bytes: filled by the device for IN, read for OUT.
  virtual TransferResult control(const SetupPacket& setup, std::span<uint8_t> data) = 0;
  // Bulk transactions on the endpoint `address` (0x01..0x0F OUT, 0x81..0x8F IN).
  virtual TransferResult bulkOut(uint8_t address, std::span<const uint8_t> data) = 0;
  virtual TransferResult bulkIn(uint8_t address, std::span<uint8_t> data) = 0;

  // The device calls this back when its state changed so that a NAKed transfer may now go through. It may be
  // called from any thread, also from inside one of the calls above: the bus only schedules a retry.
  virtual void setChangeListener(std::function<void()> listener) = 0;
  // True for devices whose state also moves when they are polled (no change is reported then): the bus
  // retries their NAKed transfers once per frame.
  virtual bool changesByItself() const { return false; }
};

}  // namespace w98
