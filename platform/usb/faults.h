// Fault injection on the bus: rules that replace or delay the device's answer to chosen requests.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb_device.h"

namespace w98 {

enum class FaultAction {
  Stall,  // the request is answered with STALL (a bulk pipe is then halted); the device never sees it
  Error,  // the request fails with `usbdStatus`; the device never sees it
  Slow,   // the request goes through normally and completes `extraDelay` later
  Hang,   // the request never completes, until it is cancelled or its pipe aborted; the device never sees it
};

const char* toString(FaultAction action);

// Which requests a rule applies to; every field that is set must match. An empty match takes any request.
struct FaultMatch {
  std::optional<uint64_t> requestIndex;  // position of the request on the bus (TrafficRecord::index)
  std::optional<uint16_t> urbFunction;
  std::optional<uint8_t> bmRequestType;  // control requests only
  std::optional<uint8_t> bRequest;
  std::optional<uint16_t> wValue;
  std::optional<uint16_t> wIndex;
  std::optional<uint8_t> endpoint;       // bulk requests: endpoint address with direction bit
};

struct FaultRule {
  FaultMatch match;
  FaultAction action = FaultAction::Error;
  int32_t usbdStatus = int32_t(0xC0000005);  // USBD_STATUS_DEV_NOT_RESPONDING, for Error
  int64_t extraDelay = 0;                    // 100-ns units, for Slow
  int64_t count = 1;                         // how many matching requests it applies to; -1 = all of them
};

// The request a rule is matched against.
struct FaultQuery {
  uint64_t index = 0;
  uint16_t urbFunction = 0;
  std::optional<SetupPacket> setup;
  std::optional<uint8_t> endpoint;
};

class FaultInjector {
 public:
  // Returns an id for `remove`.
  int add(FaultRule rule);
  bool remove(int id);
  void clear();
  // Rules still active (count not used up).
  size_t active() const;

  // The first active rule that matches, with its count used up by one.
  std::optional<FaultRule> take(const FaultQuery& query);

  // Shorthands.
  int failNext(int64_t n, FaultAction action, int32_t usbdStatus = int32_t(0xC0000005));
  int failIndex(uint64_t index, FaultAction action);

 private:
  struct Entry {
    int id;
    FaultRule rule;
  };
  static bool matches(const FaultMatch& m, const FaultQuery& q);

  mutable std::mutex mutex_;
  std::vector<Entry> rules_;
  int nextId_ = 1;
};

}  // namespace w98
