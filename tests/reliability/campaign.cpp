#include "campaign.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace rel {

namespace {

constexpr size_t kSamples = 6;

struct Memory {
    std::mutex mutex;
    std::vector<std::string> lines;
};

Memory& TheMemory()
{
    static Memory memory;
    return memory;
}

// What one run found, with its fault named.
void Judge(CampaignResult& result, const FaultPoint& point, std::vector<std::string> problems)
{
    if (problems.empty()) return;
    ++result.failedRuns;
    for (const auto& p : problems) {
        if (result.samples.size() >= kSamples) break;
        result.samples.push_back("[" + point.text() + "] " + p);
    }
}

struct Counted {
    uint64_t allocations = 0;
    uint64_t firstRequest = 0;
    std::vector<w98::TrafficRecord> requests;
    std::vector<std::string> problems;
};

// One run: setup, body under `point` (armed by `arm` after the setup), after, finish.
std::vector<std::string> RunOnce(const Scenario& scenario, FaultPoint& point, Counted* counted, bool* recovered = nullptr)
{
    Rig rig(scenario.name);
    RunLog log;
    try {
        if (scenario.setup) scenario.setup(rig);
        const uint64_t allocationsBefore = rig.pool().allocationCount();
        const uint64_t firstRequest = rig.usb().nextRequestIndex();
        const uint64_t failuresBefore = rig.pool().failuresInjected();
        if (point.kind == FaultPoint::Kind::Pool) rig.pool().failNth(point.ordinal);
        int rule = 0;
        if (point.kind == FaultPoint::Kind::Usb) {
            w98::FaultRule r;
            r.match.requestIndex = firstRequest + point.ordinal;
            r.action = point.action;
            r.usbdStatus = int32_t(0xC0000005);  // device not responding
            rule = rig.usb().faults().add(r);
        }
        scenario.body(rig, log, point);
        if (point.kind == FaultPoint::Kind::Pool) point.injected = rig.pool().failuresInjected() > failuresBefore;
        if (point.kind == FaultPoint::Kind::Usb) point.injected = rig.usb().faults().active() == 0;
        rig.pool().clearFaults();
        if (rule != 0) rig.usb().faults().remove(rule);
        if (counted) {
            counted->allocations = rig.pool().allocationCount() - allocationsBefore;
            counted->firstRequest = firstRequest;
            for (const auto& r : rig.usb().log().records())
                if (r.index >= firstRequest) counted->requests.push_back(r);
        }
        if (scenario.after) scenario.after(rig, log, point);
    } catch (const std::exception& e) {
        log.fail(std::string("exception: ") + e.what());
    }
    auto problems = rig.finish();
    log.problems.insert(log.problems.end(), problems.begin(), problems.end());
    if (recovered) *recovered = log.recovered;
    return log.problems;
}

bool Selected(uint64_t index, uint64_t first, uint64_t last)
{
    return index == first || index == last || (index - first) % CampaignStride() == 0;
}

}  // namespace

std::string FaultPoint::text() const
{
    switch (kind) {
    case Kind::None:
        return "no fault";
    case Kind::Pool:
        return "pool allocation #" + std::to_string(ordinal) + " fails" + (injected ? "" : " (not reached)");
    case Kind::Usb: {
        std::string what = std::string(w98::toString(action)) + " of request #" + std::to_string(ordinal);
        if (request) what += " " + w98::toString(*request);
        return what + (injected ? "" : " (not reached)");
    }
    }
    return "?";
}

void RunLog::expectStatus(const std::string& step, NtStatus status, std::initializer_list<NtStatus> allowed)
{
    for (NtStatus a : allowed)
        if (a == status) return;
    std::string text = step + " ended with " + StatusText(status) + ", expected one of";
    for (NtStatus a : allowed) text += " " + StatusText(a);
    problems.push_back(text);
}

std::string CampaignResult::summary() const
{
    std::ostringstream s;
    s << scenario << " / " << kind << ": " << points << " points, " << runs << " runs, " << injected
      << " faults met, " << recovered << " needed the recovery codes, " << failedRuns << " failed runs";
    return s.str();
}

namespace {

// Runs the scenario once with `point` armed and counts the run in `result`.
void RunPoint(CampaignResult& result, const Scenario& scenario, FaultPoint& point)
{
    bool recovered = false;
    Judge(result, point, RunOnce(scenario, point, nullptr, &recovered));
    ++result.runs;
    result.injected += point.injected ? 1 : 0;
    result.recovered += recovered ? 1 : 0;
}

}  // namespace

CampaignResult RunClean(const Scenario& scenario)
{
    CampaignResult result{scenario.name, "clean"};
    FaultPoint none;
    Judge(result, none, RunOnce(scenario, none, nullptr));
    result.runs = 1;
    return result;
}

CampaignResult RunPoolCampaign(const Scenario& scenario)
{
    CampaignResult result{scenario.name, "pool"};
    FaultPoint none;
    Counted counted;
    Judge(result, none, RunOnce(scenario, none, &counted));
    result.points = counted.allocations;
    for (uint64_t n = 1; n <= counted.allocations; ++n) {
        if (!Selected(n, 1, counted.allocations)) continue;
        FaultPoint point;
        point.kind = FaultPoint::Kind::Pool;
        point.ordinal = n;
        RunPoint(result, scenario, point);
    }
    Remember(result);
    return result;
}

CampaignResult RunUsbCampaign(const Scenario& scenario, w98::FaultAction action)
{
    CampaignResult result{scenario.name, std::string("usb ") + w98::toString(action)};
    FaultPoint none;
    Counted counted;
    Judge(result, none, RunOnce(scenario, none, &counted));
    result.points = counted.requests.size();
    for (uint64_t i = 0; i < counted.requests.size(); ++i) {
        if (!Selected(i, 0, counted.requests.size() - 1)) continue;
        const auto& request = counted.requests[i];
        if (request.kind == w98::TransferKind::PipeRequest) continue;  // bookkeeping, never on the wire
        FaultPoint point;
        point.kind = FaultPoint::Kind::Usb;
        point.ordinal = request.index - counted.firstRequest;
        point.action = action;
        point.request = request;
        RunPoint(result, scenario, point);
    }
    Remember(result);
    return result;
}

void Remember(const CampaignResult& result)
{
    std::string line = result.summary();
    for (const auto& s : result.samples) line += "\n    " + s;
    Remember(line);
}

void Remember(const std::string& line)
{
    std::lock_guard lock(TheMemory().mutex);
    TheMemory().lines.push_back(line);
}

std::string ReportText()
{
    std::lock_guard lock(TheMemory().mutex);
    std::string text;
    for (const auto& l : TheMemory().lines) text += l + "\n";
    return text;
}

namespace {

// Prints the campaign summary once the test program is done, and writes it where asked.
class ReportEnvironment : public ::testing::Environment {
public:
    void TearDown() override
    {
        const std::string text = ReportText();
        if (text.empty()) return;
        std::printf("\n=== reliability summary (stride %llu) ===\n%s", static_cast<unsigned long long>(CampaignStride()),
                    text.c_str());
        if (const char* path = std::getenv("OSLNK_RELIABILITY_REPORT")) {
            std::ofstream out(path, std::ios::app);
            out << text;
        }
    }
};

const auto* const kReport = ::testing::AddGlobalTestEnvironment(new ReportEnvironment);

}  // namespace

}  // namespace rel
