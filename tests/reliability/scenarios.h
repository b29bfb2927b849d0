// The scenarios that the fault campaigns run. Each one checks, under whatever fault its run carries, what
// the driver promises for it: the statuses it may give, the print integrity rule, and that the device is
// still usable once the fault is gone (its `after` step).
#pragma once

#include "campaign.h"

namespace rel {

// The printer identifier the driver reports for kShortDeviceId.
inline constexpr char kShortPrinterId[] = "AcmeJet 1002888";

// Plugging a cable: AddDevice, start (descriptors, configuration, device-ID exchange, registers, DOS name)
// and the printer's child device.
Scenario PlugScenario();
// Open, print a job of a few requests through the port monitor, close.
Scenario PrintScenario();
// Every control code with valid buffers on an open device, and a recovery of a read in flight.
Scenario ControlScenario();
// Stop and start again.
Scenario StopStartScenario();
// Orderly removal of an idle cable, or with a handle still open (then the handle is used and closed).
Scenario RemoveScenario(bool handleOpen);
// The cable pulled out while a job is printing.
Scenario UnplugDuringJobScenario();

// Whether a devnode's state is one that a start ends in, or that of a devnode left without a driver.
bool StartEnded(const w98::DevNodeInfo& node);

// Prints a small job on the cable's port and notes any breach of the print rule. A failed job is a
// problem unless `mayRecover`: then the device is taken through the control codes' way back (select the
// interface again, read the device ID, which sets the registers up again, reset the write pipe) and a
// second job must go through whole.
void ExpectPrintWorks(Rig& rig, RunLog& log, int cable, const std::string& when, bool mayRecover = false);

}  // namespace rel
