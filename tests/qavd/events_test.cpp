// Tests of the event logic: staleness, alerts, faults, low battery and the failure log's throttle.
#include "events.h"
#include "runtime.h"

#include <gtest/gtest.h>

namespace {

// Names of the events, in order, as one text.
std::string names(const std::vector<Event>& events)
{
    std::string text;
    for (const Event& event : events) text += (text.empty() ? "" : " ") + event.name;
    return text;
}

// A half-full battery (never low) with these registers.
BatteryStatus statusWith(int tempAlert, int voltAlert, int statusRegister, int gasGauge = 5000)
{
    BatteryStatus status{};
    status.gasGauge = gasGauge;
    status.tempAlertRegister = tempAlert;
    status.voltAlertRegister = voltAlert;
    status.statusRegister = statusRegister;
    return status;
}

TEST(EventTracker, StaleAfterFailuresThenCommokOnTheNextAnswer)
{
    EventTracker tracker("b1", 3);
    EXPECT_FALSE(tracker.fresh());
    EXPECT_EQ(names(tracker.failed(PollResult::timeout, 10)), "");
    EXPECT_EQ(names(tracker.failed(PollResult::timeout, 11)), "");
    std::vector<Event> lost = tracker.failed(PollResult::disconnected, 12);
    ASSERT_EQ(names(lost), "commlost");
    EXPECT_EQ(lost[0].battery, "b1");
    EXPECT_EQ(lost[0].time, 12);
    EXPECT_EQ(lost[0].detail, "no accepted answer in 3 polls, the last disconnected");
    EXPECT_EQ(names(tracker.failed(PollResult::timeout, 13)), "");
    EXPECT_EQ(tracker.failures(), 4);
    std::vector<Event> back = tracker.accepted(statusWith(0, 0, 0x8000), 14);
    ASSERT_EQ(names(back), "commok");
    EXPECT_EQ(back[0].detail, "answer accepted after 4 failed polls");
    EXPECT_TRUE(tracker.fresh());
    EXPECT_EQ(tracker.failures(), 0);
}

TEST(EventTracker, FreshFromTheFirstAnswerAndFewerFailuresStayFresh)
{
    EventTracker tracker("b1", 2);
    EXPECT_EQ(names(tracker.failed(PollResult::malformed, 1)), "");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000), 2)), "");
    EXPECT_TRUE(tracker.fresh());
    EXPECT_EQ(names(tracker.failed(PollResult::shortAnswer, 3)), "");
    EXPECT_TRUE(tracker.fresh());
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000), 4)), "");
    EXPECT_EQ(names(tracker.failed(PollResult::timeout, 5)), "");
    EXPECT_EQ(names(tracker.failed(PollResult::timeout, 6)), "commlost");
    EXPECT_FALSE(tracker.fresh());
}

TEST(EventTracker, AlertOnEveryChangeWhileRaisedAndOneClear)
{
    EventTracker tracker("b1", 3);
    std::vector<Event> first = tracker.accepted(statusWith(0, 0x12, 0x8000), 1);
    ASSERT_EQ(names(first), "alert");
    EXPECT_EQ(first[0].detail, "temp alert register 0000, volt alert register 0012");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0x12, 0x8000), 2)), "");
    EXPECT_EQ(names(tracker.accepted(statusWith(0x1, 0x12, 0x8000), 3)), "alert");
    EXPECT_EQ(names(tracker.accepted(statusWith(0x1, 0, 0x8000), 4)), "alert");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000), 5)), "alertclear");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000), 6)), "");
}

TEST(EventTracker, FaultNamesOnlyNewlySetBitsAndClearsWhenAllAreGood)
{
    EventTracker tracker("b1", 3);
    // Fan, charge mode and battery enable are not faults.
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8608), 1)), "");
    std::vector<Event> fault = tracker.accepted(statusWith(0, 0, 0x8010), 2);
    ASSERT_EQ(names(fault), "fault");
    EXPECT_EQ(fault[0].detail, "main_fuse");
    // Undervoltage also makes the battery low.
    fault = tracker.accepted(statusWith(0, 0, 0xC8D0), 3);
    ASSERT_EQ(names(fault), "fault lowbattery");
    EXPECT_EQ(fault[0].detail, "overcurrent undervoltage discharge_transient battery_hot_limit");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8040), 4)), "lowbatteryclear");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000), 5)), "faultclear");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000), 6)), "");
}

TEST(EventTracker, StateSurvivesCommunicationLoss)
{
    EventTracker tracker("b1", 1);
    EXPECT_EQ(names(tracker.accepted(statusWith(2, 0, 0x8020), 1)), "alert fault");
    EXPECT_EQ(names(tracker.failed(PollResult::timeout, 2)), "commlost");
    // The same alarm after the gap is no change; only the link comes back.
    EXPECT_EQ(names(tracker.accepted(statusWith(2, 0, 0x8020), 3)), "commok");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000), 4)), "alertclear faultclear");
}

TEST(EventTracker, LowBatteryAtOrBelowTheMarkOrOnUndervoltageAfterTheOtherEvents)
{
    EventTracker tracker("b1", 1, 20);
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8000, 2001), 1)), "");
    std::vector<Event> low = tracker.accepted(statusWith(0, 0, 0x8200, 2000), 2);
    ASSERT_EQ(names(low), "lowbattery");
    EXPECT_EQ(low[0].detail, "gas gauge 20.00%, low at or below 20%, undervoltage Good");
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8200, 1500), 3)), "");
    // Undervoltage keeps it low above the mark; the fault comes first.
    EXPECT_EQ(names(tracker.accepted(statusWith(0, 0, 0x8080, 9000), 4)), "fault");
    EXPECT_EQ(names(tracker.failed(PollResult::timeout, 5)), "commlost");
    std::vector<Event> clear = tracker.accepted(statusWith(0, 0, 0x8000, 9000), 6);
    ASSERT_EQ(names(clear), "commok faultclear lowbatteryclear");
    EXPECT_EQ(clear[2].detail, "gas gauge 90.00%, low at or below 20%, undervoltage Good");
    EXPECT_EQ(names(tracker.accepted(statusWith(1, 0, 0x8080, 9000), 7)), "alert fault lowbattery");
    // Before the first answer the battery counts as not low.
    EXPECT_EQ(names(EventTracker("b1", 1, 20).accepted(statusWith(0, 0, 0x8000, 0), 1)), "lowbattery");
}

TEST(EventTracker, LowRuntimeMakesItLowAndTheDetailSaysWhichLimit)
{
    EventTracker tracker("b1", 1, 20, 300);
    Estimate shortRuntime;
    shortRuntime.runtime = 250;
    shortRuntime.runtimeLow = true;
    std::vector<Event> low = tracker.accepted(statusWith(0, 0, 0x8200, 5000), 1, shortRuntime);
    ASSERT_EQ(names(low), "lowbattery");
    EXPECT_EQ(low[0].detail, "gas gauge 50.00%, low at or below 20%, undervoltage Good, runtime 250 s, low at or below 300 s");
    std::vector<Event> clear = tracker.accepted(statusWith(0, 0, 0x8400, 5000), 2);
    ASSERT_EQ(names(clear), "lowbatteryclear");
    EXPECT_EQ(clear[0].detail, "gas gauge 50.00%, low at or below 20%, undervoltage Good, runtime unknown, low at or below 300 s");
}

TEST(EventTracker, LowRuntimeTakesTwoAnswersInARowFromTheEstimator)
{
    // 10 Ah at 20 A every 5 s: 0.28 % an answer, and 18 s of runtime per percent; low at or below 600 s.
    RuntimeEstimator estimator({10, 600, 17.5});
    EventTracker tracker("b1", 1, 20, 600);
    std::string seen;
    int time = 0;
    for (int gauge : {3400, 3372, 0xFFFF, 3317, 3289}) {
        BatteryStatus status = statusWith(0, 0, 0x8200, gauge);
        status.current = -2000 & 0xFFFF;
        for (const Event& event : tracker.accepted(status, time, estimator.accepted(status, time)))
            seen += std::to_string(time) + " " + event.name + ": " + event.detail;
        time += 5;
    }
    // The FFFF counts as 33.44 % (601.9 s); 33.17 % (597.1 s) is low once; 32.89 % (592.0 s) twice.
    EXPECT_EQ(seen, "20 lowbattery: gas gauge 32.89%, low at or below 20%, undervoltage Good, runtime 592 s, "
                    "low at or below 600 s");
}

TEST(FailureLogged, FirstTenThenOneInAHundred)
{
    for (long n = 1; n <= 10; n++) EXPECT_TRUE(failureLogged(n)) << n;
    for (long n : {11L, 12L, 99L, 101L, 150L, 199L, 1001L}) EXPECT_FALSE(failureLogged(n)) << n;
    for (long n : {100L, 200L, 1000L}) EXPECT_TRUE(failureLogged(n)) << n;
}

} // namespace
