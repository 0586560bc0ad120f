// events: which events an answer or a failed poll raises, and when data is fresh.
#ifndef QAVD_EVENTS_H
#define QAVD_EVENTS_H

#include "output.h"
#include "runtime.h"

#include <string>
#include <vector>

/**
 * Follows the poll outcomes of one battery and tells which events they raise.
 *
 * The data starts stale. An accepted answer makes it fresh; the failed poll
 * that completes --stale-after failures in a row makes it stale and raises
 * commlost (so also at start when the first polls fail); the next accepted
 * answer raises commok. Alerts and faults are compared with the previous
 * accepted answer; before the first one all registers count as clear, so a
 * battery that starts in alarm raises alert or fault with its first answer.
 * So does low battery (batteryLow()): lowbattery when it comes, lowbatteryclear
 * when it goes.
 */
class EventTracker {
public:
    /**
     * @param batteryName       The battery's name, copied into each event.
     * @param staleAfterPolls   Failed polls in a row that make the data stale; at least 1.
     * @param lowBatteryPercent Gas gauge percent at or below which the battery is low.
     * @param lowRuntimeSeconds --low-runtime, only for the event's detail; 0 for off.
     */
    EventTracker(std::string batteryName, int staleAfterPolls, double lowBatteryPercent = 20,
                 double lowRuntimeSeconds = 0);

    /**
     * An accepted answer.
     *
     * @param status Its decoded fields.
     * @param time   Seconds since the epoch.
     * @param estimate Its estimate, whose runtimeLow also makes the battery low.
     * @return commok, alert, alertclear, fault, faultclear, lowbattery and
     *         lowbatteryclear as they apply, in that order.
     */
    std::vector<Event> accepted(const BatteryStatus& status, long long time, const Estimate& estimate = {});

    /**
     * A poll without an accepted answer.
     *
     * @param result Its outcome; anything but accepted.
     * @param time   Seconds since the epoch.
     * @return commlost when this poll makes the data stale; otherwise nothing.
     */
    std::vector<Event> failed(PollResult result, long long time);

    /** @return true from an accepted answer until the data goes stale. */
    bool fresh() const { return isFresh; }
    /** @return Polls without an accepted answer since the last accepted one. */
    long failures() const { return failedPolls; }

private:
    Event make(const char* name, std::string detail, long long time) const;
    void alertEvents(const BatteryStatus& status, long long time, std::vector<Event>* events);
    void faultEvents(const BatteryStatus& status, long long time, std::vector<Event>* events);
    void lowEvents(const BatteryStatus& status, const Estimate& estimate, long long time, std::vector<Event>* events);

    std::string battery;
    long staleAfter;
    double lowPercent;
    double lowRuntime;
    long failedPolls = 0;
    bool isFresh = false;
    bool lost = false;
    int tempAlert = 0;
    int voltAlert = 0;
    unsigned faults = 0;
    bool low = false;
};

/**
 * Whether an accepted answer counts as low: its gas gauge at or below
 * @p lowPercent (unless the estimator found that gauge implausible), the
 * undervoltage bit at Fault, or a discharging battery's runtime at or below
 * --low-runtime (Estimate::runtimeLow). Every output that reports low battery uses this.
 *
 * @param status     An accepted answer's fields.
 * @param estimate   Its estimate.
 * @param lowPercent --low-battery, in percent.
 */
bool batteryLow(const BatteryStatus& status, const Estimate& estimate, double lowPercent);

/**
 * Whether the failure log records a failed poll: the first ten in a row each,
 * then one in a hundred.
 *
 * @param failures Failed polls in a row, this one included; at least 1.
 * @return true when this failure is logged.
 */
bool failureLogged(long failures);

#endif
