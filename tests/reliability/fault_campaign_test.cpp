// Systematic low resources and USB faults: every scenario once per pool allocation with that allocation
// failing, and once per USB request with that request stalled, failed or never answered.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "scenarios.h"

namespace rel {
namespace {

struct Named {
    const char* name;
    std::function<Scenario()> make;
    bool usesBus;  // the scenario talks to the cable, so the USB campaigns must find requests to fault
};

const Named kScenarios[] = {
    {"Plug", PlugScenario, true},
    {"Print", PrintScenario, true},
    {"ControlCodes", ControlScenario, true},
    {"StopStart", StopStartScenario, true},
    {"Remove", [] { return RemoveScenario(false); }, false},
    {"RemoveWithHandleOpen", [] { return RemoveScenario(true); }, false},
    {"UnplugDuringJob", UnplugDuringJobScenario, true},
};

// How ctest and gtest show a scenario parameter.
void PrintTo(const Named& named, std::ostream* out) { *out << named.name; }

std::string Samples(const CampaignResult& r)
{
    std::string text = r.summary();
    for (const auto& s : r.samples) text += "\n  " + s;
    return text;
}

class FaultCampaign : public ::testing::TestWithParam<Named> {};

TEST_P(FaultCampaign, CleanRunKeepsEveryPromise)
{
    const CampaignResult r = RunClean(GetParam().make());
    EXPECT_EQ(r.failedRuns, 0u) << Samples(r);
}

TEST_P(FaultCampaign, EveryPoolAllocationFailingInTurnKeepsEveryPromise)
{
    const CampaignResult r = RunPoolCampaign(GetParam().make());
    EXPECT_GT(r.points, 0u) << "the scenario allocated nothing: the campaign tested nothing";
    EXPECT_GT(r.injected, 0u) << "no injected failure was ever met";
    EXPECT_EQ(r.failedRuns, 0u) << Samples(r);
}

TEST_P(FaultCampaign, EveryUsbRequestStalledKeepsEveryPromise)
{
    const CampaignResult r = RunUsbCampaign(GetParam().make(), w98::FaultAction::Stall);
    EXPECT_EQ(r.failedRuns, 0u) << Samples(r);
}

TEST_P(FaultCampaign, EveryUsbRequestFailingKeepsEveryPromise)
{
    const CampaignResult r = RunUsbCampaign(GetParam().make(), w98::FaultAction::Error);
    if (GetParam().usesBus) {
        EXPECT_GT(r.points, 0u) << "no USB request counted: the campaign tested nothing";
        EXPECT_GT(r.injected, 0u) << "no injected USB fault was ever met";
    }
    EXPECT_EQ(r.failedRuns, 0u) << Samples(r);
}

TEST_P(FaultCampaign, EveryUsbRequestNeverAnsweredKeepsEveryPromise)
{
    const CampaignResult r = RunUsbCampaign(GetParam().make(), w98::FaultAction::Hang);
    EXPECT_EQ(r.failedRuns, 0u) << Samples(r);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultCampaign, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Named>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace rel
