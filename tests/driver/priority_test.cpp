// Real-time message passing through a running zelkd: a high-priority
// client's round trip to a low-priority server does not wait for busy work
// of middling priority, and the server runs at the client's priority only
// while it serves the message. Needs root (SCHED_FIFO); everything runs on
// one CPU, and a thread spins there for two seconds at a real-time priority.
#include <gtest/gtest.h>

#include "driver/inversion_scenario.h"
#include "support/zelkd_fixture.h"

namespace {

using namespace std::chrono_literals;
using zelk::test::InversionResult;
using zelk::test::kClientPriority;
using zelk::test::kServerPriority;
using zelk::test::runInversion;
using zelk::test::ThreadPriority;

constexpr auto kSpin = 2000ms;

class PriorityTest : public zelk::test::ZelkdTest {
protected:
    InversionResult run()
    {
        InversionResult result = runInversion(zelkd.pid(), kSpin);
        if (result.error.find("SCHED_FIFO") != std::string::npos)
            skip = result.error;
        return result;
    }
    std::string skip;
};

TEST_F(PriorityTest, ServerInheritsTheClientsPriorityWhileServing)
{
    const InversionResult result = run();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    ASSERT_EQ("", result.error);
    // Far below the spin: the client never waited for the spinner.
    EXPECT_LT(result.roundTrip, 500ms);
    const ThreadPriority own{SCHED_FIFO, kServerPriority};
    EXPECT_EQ(own, result.serverBefore);
    // Raised with SCHED_RESET_ON_FORK: a child it forks meanwhile does not
    // keep the client's priority.
    EXPECT_EQ(
        (ThreadPriority{SCHED_FIFO | SCHED_RESET_ON_FORK, kClientPriority}),
        result.serverServing);
    EXPECT_EQ(own, result.serverAfter);
}

TEST_F(PriorityTest, WithoutInheritanceTheClientWaitsForTheSpinner)
{
    if (IsSkipped())
        return;
    zelkd.stop();
    ASSERT_EQ("", zelkd.start("/dev/zelk", {"--no-inheritance"}));
    const InversionResult result = run();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    ASSERT_EQ("", result.error);
    EXPECT_GT(result.roundTrip, kSpin / 2);
    EXPECT_EQ((ThreadPriority{SCHED_FIFO, kServerPriority}),
              result.serverServing);
}

} // namespace
