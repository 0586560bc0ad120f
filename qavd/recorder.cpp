// recorder: hands every answer to the history store and keeps the outage journal.
#include "recorder.h"

#include "events.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The status register's discharge mode bit.

// Seconds a resumed outage may have gone on while qavd was stopped; more is a step of the clock.
constexpr double resumeLongest = 86400;

// A duration as "1 h 2 min 5 s", "2 min 5 s" or "5 s".
std::string durationText(long long seconds)
{
    std::string out;
    if (seconds >= 3600) out += std::to_string(seconds / 3600) + " h ";
    if (seconds >= 60) out += std::to_string(seconds / 60 % 60) + " min ";
    return out + std::to_string(seconds % 60) + " s";
}

} // namespace

void addHistoryOptions(CLI::App& app, HistoryOptions& options, DaemonOptions& daemon)
{
    const char* group = "History";
    app.add_option("--history", options.file,
                   "Keep the history and the outage journal in the SQLite file FILE (none by default)")
        ->envname("QAVD_HISTORY")->type_name("FILE")->group(group);
    addOutageOption(app, daemon);
}

std::string historyFileOf(const HistoryOptions& history, const std::string& battery, bool several)
{
    if (history.file.empty() || !several) return history.file;
    std::size_t slash = history.file.rfind('/');
    return (slash == std::string::npos ? "" : history.file.substr(0, slash + 1)) + battery + ".db";
}

OutageTracker::OutageTracker(std::string batteryName, double minimumSeconds, double lowBatteryPercent, double interval)
    : battery(std::move(batteryName)), minimum(minimumSeconds), lowPercent(lowBatteryPercent),
      longestStep(3 * interval)
{
}

void OutageTracker::resume(const OutageRecord& open)
{
    record = open;
    record->interrupted = true;
    counted = true;
    resumed = true;
    length = static_cast<double>(std::max(0LL, open.last - open.start));
}

OutageTracker::Step OutageTracker::accepted(const BatteryStatus& status, const Estimate& estimate, long long time,
                                            double steady)
{
    Step step;
    if (!statusBitSet(&status, "discharge_mode")) {
        if (record && counted) {
            record->end = record->last;
            step.record = record;
            step.ended = Event{battery, "outageend", outageSummary(*record), time};
        }
        record.reset();
        counted = false;
        return step;
    }
    std::int32_t values[storeFields];
    recordedValues(status, values);
    int gauge = values[0];
    int draw = std::max(0, -values[2]); // hundredths of an ampere out of the battery
    if (!record) {
        record = OutageRecord{time, 0, time, gauge, gauge, gauge, 0, 0, false, false};
        length = 0;
    } else if (resumed) {
        // The time qavd was stopped counts by the wall clock, when that is plausible.
        auto stopped = static_cast<double>(time - record->last);
        if (stopped > 0 && stopped <= resumeLongest) length += stopped;
    } else {
        double elapsed = steady - lastSteady;
        if (elapsed > 0 && elapsed <= longestStep) record->energyWh += values[1] / 1000.0 * draw / 100.0 * elapsed / 3600;
        if (elapsed > 0) length += elapsed;
    }
    resumed = false;
    lastSteady = steady;
    record->last = record->start + std::llround(length);
    // A gauge the estimator found implausible says nothing of the charge.
    if (!estimate.implausible) {
        record->chargeLowest = std::min(record->chargeLowest, gauge);
        record->chargeEnd = gauge;
    }
    record->peakCurrent = std::max(record->peakCurrent, draw);
    record->lowBattery = record->lowBattery || batteryLow(status, estimate, lowPercent);
    if (!counted && static_cast<double>(record->last - record->start) >= minimum) counted = true;
    if (counted) step.record = record;
    return step;
}

std::optional<OutageRecord> OutageTracker::going() const
{
    return counted ? record : std::nullopt;
}

std::string outageSummary(const OutageRecord& r)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s on battery: charge %.2f %% to %.2f %% (lowest %.2f %%), %.1f Wh drawn, peak %.2f A, "
                  "low battery %s",
                  durationText((r.end != 0 ? r.end : r.last) - r.start).c_str(), r.chargeStart / 100.0,
                  r.chargeEnd / 100.0, r.chargeLowest / 100.0, r.energyWh, r.peakCurrent / 100.0,
                  r.lowBattery ? "reached" : "not reached");
    std::string out = text;
    if (r.interrupted) out += "; qavd was stopped during it";
    return out;
}

// ---- The recorder ----

std::unique_ptr<HistoryRecorder> HistoryRecorder::start(const HistoryOptions& history, const DaemonOptions& daemon,
                                                        std::string* problem)
{
    std::unique_ptr<Store> file;
    if (!history.file.empty()) {
        file = Store::open(history.file, bucketWidth(daemon.interval), problem);
        if (!file) return nullptr;
    }
    return std::unique_ptr<HistoryRecorder>(new HistoryRecorder(daemon, std::move(file)));
}

HistoryRecorder::HistoryRecorder(const DaemonOptions& daemon, std::unique_ptr<Store> store)
    : disk(std::move(store)), tracker(daemon.name, daemon.outageMin, daemon.lowBattery, daemon.interval)
{
    if (!disk) return;
    std::vector<OutageRecord> last = disk->outages(1);
    if (!last.empty() && last[0].end == 0) tracker.resume(last[0]);
}

std::vector<OutageRecord> HistoryRecorder::outages(std::size_t limit)
{
    if (disk) return disk->outages(limit);
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<OutageRecord> out;
    if (auto now = tracker.going()) out.push_back(*now);
    for (auto it = ended.rbegin(); it != ended.rend() && out.size() < limit; ++it) out.push_back(*it);
    if (out.size() > limit) out.resize(limit);
    return out;
}

// Hand the store a learned capacity each time its weight grows, so a restart starts from it.
void HistoryRecorder::keepLearned(const Estimate& estimate)
{
    if (!disk || !estimate.capacity) return;
    if (estimate.capacitySource == nullptr || std::strcmp(estimate.capacitySource, "learned") != 0) return;
    // A capacity that took the place of one far from it (see RuntimeEstimator) is kept at once.
    bool replaced = *estimate.capacity > keptCapacity * outlierFactor || *estimate.capacity * outlierFactor < keptCapacity;
    if (estimate.learnedWeight <= keptWeight && !replaced) return;
    keptWeight = estimate.learnedWeight;
    keptCapacity = *estimate.capacity;
    char text[64];
    std::snprintf(text, sizeof text, "%.6f %.3f", *estimate.capacity, keptWeight);
    disk->setValue(learnedCapacityKey, text);
}

LearnedCapacity HistoryRecorder::learned()
{
    std::optional<std::string> kept = disk ? disk->value(learnedCapacityKey) : std::nullopt;
    LearnedCapacity out;
    if (!kept || std::sscanf(kept->c_str(), "%lf %lf", &out.ampereHours, &out.weight) != 2 ||
        !std::isfinite(out.ampereHours) || !std::isfinite(out.weight) || out.ampereHours <= 0 || out.weight <= 0)
        return {};
    // One that cannot be true is refused at start (see runDaemon()) and written over by the next one learned.
    if (out.ampereHours >= minimumCapacity) {
        keptWeight = out.weight;
        keptCapacity = out.ampereHours;
    }
    return out;
}

std::optional<Event> HistoryRecorder::accepted(const Reading& reading)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (disk) {
        std::int32_t values[storeFields];
        recordedValues(reading.status, values);
        disk->add(reading.time, values, gap);
    }
    gap = false;
    keepLearned(reading.estimate);
    clock.look();
    OutageTracker::Step step = tracker.accepted(reading.status, reading.estimate, reading.time, monotonicSeconds());
    if (step.record && disk) disk->saveOutage(*step.record);
    if (step.ended && !disk) {
        ended.push_back(*step.record);
        if (ended.size() > memoryKept) ended.pop_front();
    }
    return step.ended;
}

void HistoryRecorder::stale()
{
    std::lock_guard<std::mutex> lock(mutex);
    gap = true;
}

void HistoryRecorder::flush()
{
    if (disk) disk->flush();
}
