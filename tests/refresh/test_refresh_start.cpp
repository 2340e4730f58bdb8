// What the main loop lets a refresh through with reaches its channels by
// value, and the pipeline's time budget follows the enabled channels.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "tests/support/core_fixture.h"
#include "tests/support/pipeline_support.h"

using namespace zelmar;
using namespace std::chrono_literals;
using zelmar::test::OneChannel;
using zelmar::test::ScriptedChannel;

namespace {

struct StartCase {
    const char* what;
    RefreshStart start;
};

class StartTravels : public zelmar::test::CoreTest, public ::testing::WithParamInterface<StartCase> {};

// What the channel sees can only have come with the refresh: nothing of it
// is in the settings or the shared state.
TEST_P(StartTravels, ToTheChannel) {
    const StartCase& c = GetParam();
    MakeCore();
    RefreshSnapshot seen;
    RefreshPipeline pipeline;
    pipeline.AddChannelFactory(OneChannel([&](const ChannelContext&) {
        return std::make_unique<ScriptedChannel>("Seen", [&](const RefreshSnapshot& s, Reporter&) {
            seen = s;
            return DeliveryResult::Success();
        });
    }));
    pipeline.RunRefresh(*core, nullptr, c.start);
    EXPECT_EQ(seen.trigger, c.start.trigger);
    EXPECT_EQ(seen.programStatusChanged, c.start.programStatusChanged);
}

INSTANTIATE_TEST_SUITE_P(Rows, StartTravels,
                         ::testing::Values(StartCase{"manual", {RefreshTrigger::Manual, false}},
                                           StartCase{"startup", {RefreshTrigger::Startup, true}},
                                           StartCase{"timer", {RefreshTrigger::Timer, true}},
                                           StartCase{"network", {RefreshTrigger::NetworkChange, false}}),
                         [](const auto& info) { return std::string(info.param.what); });

// A channel with a deadline of its own (0: one step, the default).
class TimedChannel : public ScriptedChannel {
public:
    TimedChannel(std::chrono::seconds own) : ScriptedChannel("Timed", nullptr), own_(own) {}
    std::chrono::seconds Deadline(std::chrono::seconds step) const override { return own_ > 0s ? own_ : step; }

private:
    std::chrono::seconds own_;
};

struct BudgetCase {
    const char* what;
    int timeout;
    int furtherLookups;
    std::vector<int> deadlines;  // one per enabled channel; 0: one step
    int disabled;                // families that build no channel
    long long seconds;
};

class Budget : public zelmar::test::CoreTest, public ::testing::WithParamInterface<BudgetCase> {};

TEST_P(Budget, IsTheLookupsAndEveryEnabledChannel) {
    const BudgetCase& c = GetParam();
    MakeCore();
    core->EditSettings([&](Settings& s) { s.Timeout = c.timeout; });
    RefreshPipeline pipeline;
    pipeline.SetAddressLookup([](Core&) { return LookedUpAddresses{}; });
    for (int i = 0; i < c.furtherLookups; ++i) pipeline.AddAddressLookup([](LookupContext&, AddressSet&, AddressSet&) {});
    for (const int own : c.deadlines)
        pipeline.AddChannelFactory(OneChannel([own](const ChannelContext&) {
            return std::make_unique<TimedChannel>(std::chrono::seconds(own));
        }));
    for (int i = 0; i < c.disabled; ++i)
        pipeline.AddChannelFactory([](const ChannelContext&) { return std::vector<std::unique_ptr<DeliveryChannel>>{}; });
    core->SetServices(pipeline.Services());
    EXPECT_EQ(core->RefreshBudget(), std::chrono::seconds(c.seconds));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Budget,
    ::testing::Values(BudgetCase{"lookupsOnly", 10, 1, {}, 0, 20},
                      BudgetCase{"oneStepChannel", 10, 1, {0}, 0, 30},
                      BudgetCase{"ownDeadline", 10, 1, {0, 80}, 0, 110},
                      BudgetCase{"disabledAddsNothing", 10, 1, {0, 80}, 2, 110},
                      BudgetCase{"timeoutZeroIsTheDefault", 0, 0, {0}, 0, 30},
                      BudgetCase{"oneSecond", 1, 1, {0, 0, 0}, 0, 5}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
