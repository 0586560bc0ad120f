// state: the one state of a battery that the core keeps, and the immutable snapshots of it that
// every exporter renders.
#ifndef QAVD_STATE_H
#define QAVD_STATE_H

#include "event_table.h"
#include "health.h"
#include "output.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

/** Number of poll outcomes (PollResult's values). */
constexpr std::size_t pollResultCount = 6;

/** Events a snapshot keeps, the newest last. */
constexpr std::size_t recentEventsKept = 100;

/**
 * Everything an exporter shows of one battery after a poll. A snapshot never
 * changes once made; the next poll makes a new one. Exporters keep no copy of a
 * reading, no freshness rule and no event list of their own: they render this.
 */
struct BatteryState {
    std::string battery;                      ///< The battery's name (--name).
    long long started = 0;                    ///< When qavd started, in seconds since the epoch.
    std::shared_ptr<const Reading> reading;   ///< The latest accepted answer (its JSON made); null before the first.
    double readingAt = 0;                     ///< When it came, in seconds since the epoch (with fractions).
    bool fresh = false;                       ///< An answer came and the data has not gone stale since.
    PollResult lastFailure = PollResult::timeout; ///< The last poll without an accepted answer.
    bool connectFailed = false;               ///< The last attempt to open the port failed.
    long failedPolls = 0;                     ///< Polls without an accepted answer since the last accepted one.
    std::array<std::uint64_t, pollResultCount> polls{}; ///< Polls by outcome, in PollResult's order.
    std::uint64_t connectsOk = 0;             ///< Attempts to open the port that succeeded.
    std::uint64_t connectsFailed = 0;         ///< Attempts to open the port that failed.
    std::array<std::uint64_t, eventKindCount> eventCounts{}; ///< Events raised, by the event table's rows.
    std::shared_ptr<const std::deque<Event>> events; ///< The last recentEventsKept events, oldest first; never null.
    bool low = false;                         ///< lowbattery was raised and not cleared since.
    bool forcedShutdown = false;              ///< fsd was raised: a NUT primary set forced shutdown.
    std::vector<std::pair<std::string, std::uint64_t>> drops; ///< What each dropping output dropped, by its name.
    std::shared_ptr<const Health> health;     ///< The battery's health, shared between snapshots until it changes; never null.

    /**
     * @return Why the data is stale: "waiting for the first answer", "cannot connect",
     *         "no answer", "short answer", ... after the last failure.
     */
    std::string staleReason() const;
    /** @return While stale, since when: the last answer's time, or qavd's start. */
    long long staleSince() const { return reading ? reading->time : started; }
};

/** What every exporter is handed after each poll: the same snapshot. */
using BatterySnapshot = std::shared_ptr<const BatteryState>;

/**
 * Keeps one battery's state in the poll loop's thread, fed each poll's outcome,
 * answer and events, and makes a snapshot of it after each poll.
 */
class StateKeeper {
public:
    /**
     * @param battery The battery's name.
     * @param started When qavd started, in seconds since the epoch.
     */
    StateKeeper(std::string battery, long long started);

    /** The outcome of an attempt to open the port. */
    void connected(bool ok);
    /** The outcome of a poll; for accepted, accepted() follows. */
    void polled(PollResult result);
    /** The data went stale. */
    void stale() { working.fresh = false; }
    /** An accepted answer, received at @p receivedAt (seconds since the epoch); its JSON is made here, once. */
    void accepted(std::shared_ptr<const Reading> reading, double receivedAt);
    /** An event raised by the core. */
    void event(const Event& raised);
    /** What an output dropped so far, under its name. */
    void dropped(const char* output, std::uint64_t total);
    /** The battery's health after an answer (the same value while it does not change). */
    void health(std::shared_ptr<const Health> now) { working.health = std::move(now); }

    /** @return The state as it stands now; unchanged by later calls. */
    BatterySnapshot snapshot() const { return std::make_shared<const BatteryState>(working); }

private:
    BatteryState working;
};

#endif
