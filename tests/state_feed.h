// state_feed: drive an output as the poll loop does: each call goes to the core's state keeper
// and to the output, and the output is then handed the keeper's snapshot.
#ifndef QAV_TESTS_STATE_FEED_H
#define QAV_TESTS_STATE_FEED_H

#include "output.h"
#include "state.h"

#include <chrono>
#include <memory>
#include <string>

struct StateFeed {
    Output& output;
    StateKeeper keeper;

    explicit StateFeed(Output& fed, const std::string& battery = "b1", long long started = 0)
        : output(fed), keeper(battery, started)
    {
    }
    void accepted(const Reading& reading)
    {
        auto kept = std::make_shared<const Reading>(reading);
        keeper.accepted(kept, std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
        output.accepted(*kept);
        publish();
    }
    void polled(PollResult result)
    {
        keeper.polled(result);
        output.polled(result);
        publish();
    }
    void connected(bool ok)
    {
        keeper.connected(ok);
        output.connected(ok);
        publish();
    }
    void event(const Event& event)
    {
        keeper.event(event);
        output.event(event);
        publish();
    }
    void dropped(const char* name, std::uint64_t total)
    {
        keeper.dropped(name, total);
        output.dropped(name, total);
        publish();
    }
    // Going stale is the keeper's; fresh comes with the next answer.
    void freshness(bool fresh)
    {
        if (!fresh) keeper.stale();
        output.freshness(fresh);
        publish();
    }
    void publish() { output.state(keeper.snapshot()); }
};

#endif
