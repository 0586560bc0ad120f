// recorder: hands every answer to the history store and keeps the outage journal.
#ifndef QAVD_RECORDER_H
#define QAVD_RECORDER_H

#include "clock.h"
#include "options.h"
#include "output.h"
#include "store.h"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}


/** The history's options. */
struct HistoryOptions {
    std::string file; ///< --history: the store's file; empty for none.
};

/**
 * Register --history FILE (also from $QAVD_HISTORY, below the config file) on
 * @p app, and --outage-min SECONDS into @p daemon.
 */
void addHistoryOptions(CLI::App& app, HistoryOptions& options, DaemonOptions& daemon);

/**
 * The store file of one battery: --history itself with one battery; with
 * several, NAME.db in the directory of --history, so a file written for one
 * battery is read as that battery's when more join it.
 *
 * @return The path, or "" without --history.
 */
std::string historyFileOf(const HistoryOptions& history, const std::string& battery, bool several);

/**
 * Follows the discharge mode bit of the accepted answers. A stretch of discharging
 * answers counts as an outage once it has lasted @p minimum seconds (first to last
 * discharging answer); it ends with the first answer that is not discharging. Stale
 * stretches inside it neither end it nor count towards its energy. Its start is the wall
 * clock's time of its first answer; its length and energy go by the monotonic clock, so a
 * step of the wall clock during it changes neither (its last and end are start + length).
 */
class OutageTracker {
public:
    /**
     * @param batteryName       The battery's name, for the event.
     * @param minimumSeconds    --outage-min.
     * @param lowBatteryPercent --low-battery.
     * @param interval          The poll interval; energy is not summed over a longer silence than 3 of them.
     */
    OutageTracker(std::string batteryName, double minimumSeconds, double lowBatteryPercent, double interval);

    /** Continue an outage that was going on when qavd stopped; it is marked interrupted. */
    void resume(const OutageRecord& open);

    /** What one answer changed. */
    struct Step {
        std::optional<OutageRecord> record; ///< The outage to save, when one counts and changed.
        std::optional<Event> ended;         ///< outageend, when it ended.
    };
    /**
     * An accepted answer with its estimate, at @p time on the wall clock and @p steady
     * seconds on the monotonic clock.
     */
    Step accepted(const BatteryStatus& status, const Estimate& estimate, long long time, double steady);

    /** @return The outage going on, once it counts. */
    std::optional<OutageRecord> going() const;

private:
    std::string battery;
    double minimum, lowPercent, longestStep;
    std::optional<OutageRecord> record;
    bool counted = false;
    bool resumed = false;   // the record came from a run before, without a monotonic time
    double lastSteady = 0;  // the monotonic clock at the record's last answer
    double length = 0;      // seconds from its start to its last answer, on the monotonic clock
};

/** The outageend event's detail: duration, charge, energy, peak current, low battery, stops. */
std::string outageSummary(const OutageRecord& record);

/**
 * The history's core: the store (with --history), the outage tracker and the journal
 * in memory (without a store). The poll loop feeds it in its event step and raises the
 * outageend it returns; the outputs that serve history are handed it to read.
 */
class HistoryRecorder {
public:
    /**
     * Open the store when one is asked for, and resume an outage it holds as going on.
     *
     * @return The recorder, or null with @p problem set when another qavd holds the store.
     */
    static std::unique_ptr<HistoryRecorder> start(const HistoryOptions& history, const DaemonOptions& daemon,
                                                  std::string* problem);

    /** @return The store, or null without --history. */
    Store* store() { return disk.get(); }
    /** @return The last @p limit outages, newest first, the one going on too. */
    std::vector<OutageRecord> outages(std::size_t limit);
    /** @return The capacity a run before learned, as the store keeps it; {0, 0} for none. */
    LearnedCapacity learned();
    /**
     * Record an accepted answer: in the store, and in the outage journal. Called by the
     * poll loop in its event step.
     *
     * @return outageend when the answer ended an outage.
     */
    std::optional<Event> accepted(const Reading& reading);
    /** The data went stale: the next answer starts a new line in the charts. */
    void stale();
    /** Write what is queued (at a clean exit). */
    void flush();

    /** How many outages are kept in memory without a store. */
    static constexpr std::size_t memoryKept = 100;

private:
    HistoryRecorder(const DaemonOptions& daemon, std::unique_ptr<Store> store);
    void keepLearned(const Estimate& estimate);

    std::unique_ptr<Store> disk;
    std::mutex mutex; // the tracker and the journal, read by the servers' threads
    OutageTracker tracker;
    std::deque<OutageRecord> ended; // without a store, oldest first
    bool gap = false;               // the data went stale since the last answer
    ClockWatch clock;               // steps of the wall clock, noticed at each answer
    double keptWeight = 0;          // of the learned capacity last handed to the store
    double keptCapacity = 0;        // that capacity, in ampere-hours
    static constexpr const char* learnedCapacityKey = "learned_capacity";
};

#endif
