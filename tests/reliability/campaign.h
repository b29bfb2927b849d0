// Systematic fault campaigns over a scenario: a counting run without faults, then one run per counted
// point with one fault injected there (a pool allocation that fails, a USB request that is stalled, fails
// or never answers). Every run is judged by the scenario's own checks and by Rig::finish().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rig.h"

namespace rel {

// The fault of one run.
struct FaultPoint {
    enum class Kind { None, Pool, Usb };
    Kind kind = Kind::None;
    uint64_t ordinal = 0;                    // Pool: n-th allocation attempt of the body (1-based); Usb: n-th request (0-based)
    w98::FaultAction action = w98::FaultAction::Error;
    std::optional<w98::TrafficRecord> request;  // Usb: the request as the counting run saw it
    bool injected = false;                   // the fault was actually met (a run may take another road)

    bool none() const { return kind == Kind::None; }
    bool usbControl(uint8_t bmRequestType, uint8_t bRequest) const
    {
        return kind == Kind::Usb && request && request->kind == w98::TransferKind::Control &&
               request->setup.bmRequestType == bmRequestType && request->setup.bRequest == bRequest;
    }
    std::string text() const;
};

// What a scenario's body and checks note about one run.
class RunLog {
public:
    void expect(bool condition, const std::string& what)
    {
        if (!condition) problems.push_back(what);
    }
    void fail(const std::string& what) { problems.push_back(what); }
    // The device needed the control codes' recovery before it printed again (a documented way back).
    void noteRecovered() { recovered = true; }
    // A status must be one of `allowed`.
    void expectStatus(const std::string& step, NtStatus status, std::initializer_list<NtStatus> allowed);
    std::vector<std::string> problems;
    bool recovered = false;
};

struct Scenario {
    std::string name;
    // Runs without faults before the counting starts (plugging the cable for a print scenario, ...).
    std::function<void(Rig&)> setup;
    // The part under faults. It notes what it saw and checks what must hold whatever the fault.
    std::function<void(Rig&, RunLog&, const FaultPoint&)> body;
    // After the body, with faults cleared: checks that the device is still usable (optional).
    std::function<void(Rig&, RunLog&, const FaultPoint&)> after;
};

struct CampaignResult {
    std::string scenario;
    std::string kind;          // "pool", "usb stall", ...
    uint64_t points = 0;       // allocations or requests counted
    uint64_t runs = 0;         // runs with a fault armed
    uint64_t injected = 0;     // runs in which the fault was met
    uint64_t failedRuns = 0;   // runs with at least one problem (the counting run included)
    uint64_t recovered = 0;    // runs after which the device printed again only after the recovery codes
    std::vector<std::string> samples;  // the first problems, with their fault

    std::string summary() const;
};

CampaignResult RunPoolCampaign(const Scenario& scenario);
CampaignResult RunUsbCampaign(const Scenario& scenario, w98::FaultAction action);
// One run without faults (the counting run of both campaigns).
CampaignResult RunClean(const Scenario& scenario);

// Every campaign's result is kept for the summary printed at the end of the test program (and written to
// the file named by OSLNK_RELIABILITY_REPORT, if set).
void Remember(const CampaignResult& result);
void Remember(const std::string& line);
std::string ReportText();

}  // namespace rel
