// skeleton_exporter: the whole of what a new exporter writes, as a test that runs it; copy it to
// start one. The core calls an exporter on the poll loop's thread, which it must never hold up:
// it keeps the snapshot it is handed and renders that, on a thread of its own (here the test's),
// and it is handed each event as the core raised it. It keeps no reading, no freshness rule and
// no event list of its own, so it cannot disagree with the others.
#include "output.h"
#include "sample_answers.h"
#include "state.h"
#include "state_feed.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace {

class SkeletonExporter final : public Output {
public:
    // The poll loop's thread: keep the snapshot, nothing more.
    void state(const BatterySnapshot& snapshot) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        latest = snapshot;
    }

    // The poll loop's thread: a real exporter queues the event for its own thread, bounded.
    void event(const Event& raised) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastEvent = raised.name + ": " + raised.detail;
    }

    // The exporter's thread: what a client is sent, from the snapshot alone.
    std::string render() const
    {
        BatterySnapshot s;
        {
            std::lock_guard<std::mutex> lock(mutex);
            s = latest;
        }
        if (!s) return "no poll yet";
        if (!s->fresh) return s->battery + " stale since " + std::to_string(s->staleSince()) + ": " + s->staleReason();
        char charge[16];
        std::snprintf(charge, sizeof charge, "%.2f", chargePercent(&s->reading->status));
        return s->battery + " " + charge + " %" + (s->low ? " low" : "");
    }

    std::string event() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lastEvent;
    }

private:
    mutable std::mutex mutex;
    BatterySnapshot latest;
    std::string lastEvent;
};

// An accepted answer as the core hands it on.
Reading readingOf(const std::string& answer, long long time)
{
    Reading reading{"b1", time, answer, {}, {}};
    decodeStatus(answer.data(), answer.size(), &reading.status);
    return reading;
}

} // namespace

TEST(SkeletonExporter, RendersTheCoresSnapshotAndEvents)
{
    SkeletonExporter exporter;
    EXPECT_EQ(exporter.render(), "no poll yet");
    StateFeed feed(exporter, "b1", 1700000000);
    feed.polled(PollResult::timeout);
    EXPECT_EQ(exporter.render(), "b1 stale since 1700000000: timeout");
    feed.polled(PollResult::accepted);
    feed.accepted(readingOf(answerA, 1700000005));
    EXPECT_EQ(exporter.render(), "b1 85.00 %");
    feed.event({"b1", "lowbattery", "gas gauge 85.00%", 1700000005});
    EXPECT_EQ(exporter.render(), "b1 85.00 % low");
    EXPECT_EQ(exporter.event(), "lowbattery: gas gauge 85.00%");
    feed.freshness(false);
    EXPECT_EQ(exporter.render(), "b1 stale since 1700000005: timeout");
}
