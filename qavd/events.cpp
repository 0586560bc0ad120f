// events: which events an answer or a failed poll raises, and when data is fresh.
#include "events.h"

#include "json.h"

#include <cstdio>
#include <iterator>
#include <numeric>
#include <utility>

namespace {

// The nine Fault/Good bits of the status register.
unsigned faultBits(int statusRegister)
{
    unsigned bits = std::accumulate(std::begin(statusBits), std::end(statusBits), 0U,
                                    [](unsigned sum, const StatusBit& flag) {
                                        return flag.isFault ? sum | flag.mask : sum;
                                    });
    return static_cast<unsigned>(statusRegister) & bits;
}

// The names of the flags in bits, separated by spaces.
std::string flagNames(unsigned bits)
{
    std::string names;
    for (const StatusBit& flag : statusBits) {
        if ((bits & flag.mask) == 0) continue;
        if (!names.empty()) names += ' ';
        names += flag.name;
    }
    return names;
}

// Both alert registers as the event detail shows them.
std::string alertText(int tempAlert, int voltAlert)
{
    char text[64];
    std::snprintf(text, sizeof text, "temp alert register %04x, volt alert register %04x",
                  static_cast<unsigned>(tempAlert) & 0xFFFFU, static_cast<unsigned>(voltAlert) & 0xFFFFU);
    return text;
}

} // namespace

EventTracker::EventTracker(std::string batteryName, int staleAfterPolls, double lowBatteryPercent,
                           double lowRuntimeSeconds)
    : battery(std::move(batteryName)), staleAfter(staleAfterPolls), lowPercent(lowBatteryPercent),
      lowRuntime(lowRuntimeSeconds)
{
}

Event EventTracker::make(const char* name, std::string detail, long long time) const
{
    return Event{battery, name, std::move(detail), time};
}

std::vector<Event> EventTracker::accepted(const BatteryStatus& status, long long time, const Estimate& estimate)
{
    std::vector<Event> events;
    if (lost)
        events.push_back(make("commok", "answer accepted after " + std::to_string(failedPolls) +
                                            " failed polls", time));
    lost = false;
    isFresh = true;
    failedPolls = 0;
    alertEvents(status, time, &events);
    faultEvents(status, time, &events);
    lowEvents(status, estimate, time, &events);
    return events;
}

void EventTracker::alertEvents(const BatteryStatus& status, long long time, std::vector<Event>* events)
{
    bool raised = status.tempAlertRegister != 0 || status.voltAlertRegister != 0;
    bool changed = status.tempAlertRegister != tempAlert || status.voltAlertRegister != voltAlert;
    if (changed && raised)
        events->push_back(make("alert", alertText(status.tempAlertRegister, status.voltAlertRegister), time));
    else if (changed)
        events->push_back(make("alertclear", "both alert registers are zero", time));
    tempAlert = status.tempAlertRegister;
    voltAlert = status.voltAlertRegister;
}

void EventTracker::faultEvents(const BatteryStatus& status, long long time, std::vector<Event>* events)
{
    unsigned now = faultBits(status.statusRegister);
    unsigned newlySet = now & ~faults;
    if (newlySet != 0) events->push_back(make("fault", flagNames(newlySet), time));
    else if (now == 0 && faults != 0) events->push_back(make("faultclear", "all fault bits are good", time));
    faults = now;
}

void EventTracker::lowEvents(const BatteryStatus& status, const Estimate& estimate, long long time,
                             std::vector<Event>* events)
{
    bool now = batteryLow(status, estimate, lowPercent);
    if (now == low) return;
    low = now;
    char detail[160];
    int n = std::snprintf(detail, sizeof detail, "gas gauge %.2f%%, low at or below %g%%, undervoltage %s",
                          chargePercent(&status), lowPercent,
                          statusBitSet(&status, "undervoltage") ? "Fault" : "Good");
    // The runtime's limit is named only when it is set, so the detail says which limit it was.
    if (lowRuntime > 0 && estimate.runtime)
        std::snprintf(detail + n, sizeof detail - static_cast<std::size_t>(n), ", runtime %.0f s, low at or below %g s",
                      *estimate.runtime, lowRuntime);
    else if (lowRuntime > 0)
        std::snprintf(detail + n, sizeof detail - static_cast<std::size_t>(n), ", runtime unknown, low at or below %g s",
                      lowRuntime);
    events->push_back(make(low ? "lowbattery" : "lowbatteryclear", detail, time));
}

std::vector<Event> EventTracker::failed(PollResult result, long long time)
{
    std::vector<Event> events;
    failedPolls++;
    if (failedPolls == staleAfter) {
        isFresh = false;
        lost = true;
        events.push_back(make("commlost", "no accepted answer in " + std::to_string(failedPolls) +
                                              " polls, the last " + pollResultName(result), time));
    }
    return events;
}

bool batteryLow(const BatteryStatus& status, const Estimate& estimate, double lowPercent)
{
    return (!estimate.implausible && chargePercent(&status) <= lowPercent) || statusBitSet(&status, "undervoltage") ||
           estimate.runtimeLow;
}

bool failureLogged(long failures)
{
    return failures <= 10 || failures % 100 == 0;
}
