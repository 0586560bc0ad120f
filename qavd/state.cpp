// state: the one state of a battery that the core keeps, and its snapshots.
#include "state.h"

#include <numeric>

std::string BatteryState::staleReason() const
{
    std::uint64_t all = std::accumulate(polls.begin(), polls.end(), std::uint64_t{0});
    if (all == polls[static_cast<std::size_t>(PollResult::accepted)]) return "waiting for the first answer";
    switch (lastFailure) {
    case PollResult::accepted: return "";
    case PollResult::timeout: return "timeout";
    case PollResult::disconnected: return connectFailed ? "cannot connect" : "connection lost";
    default: return std::string("rejected answers (") + pollResultName(lastFailure) + ")";
    }
}

StateKeeper::StateKeeper(std::string battery, long long started)
{
    working.battery = std::move(battery);
    working.started = started;
    working.events = std::make_shared<const std::deque<Event>>();
    auto none = std::make_shared<Health>();
    none->points = std::make_shared<const std::vector<CapacityPoint>>();
    working.health = std::move(none);
}

void StateKeeper::connected(bool ok)
{
    working.connectFailed = !ok;
    (ok ? working.connectsOk : working.connectsFailed)++;
}

void StateKeeper::polled(PollResult result)
{
    working.polls[static_cast<std::size_t>(result)]++;
    if (result == PollResult::accepted) return;
    working.lastFailure = result;
    working.failedPolls++;
}

void StateKeeper::accepted(std::shared_ptr<const Reading> reading, double receivedAt)
{
    reading->json(); // made here, before any other thread can see the reading
    working.reading = std::move(reading);
    working.readingAt = receivedAt;
    working.fresh = true;
    working.failedPolls = 0;
}

void StateKeeper::event(const Event& raised)
{
    if (const EventKind* kind = findEventKind(raised.name))
        working.eventCounts[static_cast<std::size_t>(kind - eventKinds)]++;
    if (raised.name == "lowbattery") working.low = true;
    if (raised.name == "lowbatteryclear") working.low = false;
    if (raised.name == "fsd") working.forcedShutdown = true;
    auto events = std::make_shared<std::deque<Event>>(*working.events);
    if (events->size() == recentEventsKept) events->pop_front();
    events->push_back(raised);
    working.events = std::move(events);
}

void StateKeeper::dropped(const char* output, std::uint64_t total)
{
    for (auto& [name, count] : working.drops)
        if (name == output) {
            count = total;
            return;
        }
    working.drops.emplace_back(output, total);
}
