// metrics: Prometheus metrics, the HTTP exporter's part that shows the latest answer and the counters.
#include "metrics.h"

#include "event_table.h"
#include "json.h"
#include "options.h"
#include "qav_version.h"
#include "server.h"
#include "state.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <syslog.h>
#include <type_traits>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// Label values of the counters, in the order of their tallies.
const std::array<PollResult, 6> pollResults = {PollResult::accepted,   PollResult::timeout,
                                               PollResult::shortAnswer, PollResult::longAnswer,
                                               PollResult::malformed,  PollResult::disconnected};

// The outputs that drop lines for a slow reader.
const std::array<const char*, 3> droppingOutputs = {"stdout", "stderr", "syslog"};

// A family of one type with its help text, to which samples are added.
struct Family {
    MetricFamily family;
    const std::string& battery;

    // Add one sample, labelled with the battery and optionally one more label.
    Family& add(double value, const char* label = nullptr, const std::string& labelValue = "")
    {
        ClientMetric metric;
        metric.label.push_back({"battery", battery});
        if (label != nullptr) metric.label.push_back({label, labelValue});
        if (family.type == MetricType::Counter) metric.counter.value = value;
        else metric.gauge.value = value;
        family.metric.push_back(std::move(metric));
        return *this;
    }
};

// The metric families of one snapshot, in the order of the exposition.
class Families {
public:
    explicit Families(const std::string& name) : battery(name) {}

    // Start a new family.
    Family& start(const std::string& name, const std::string& help, MetricType type = MetricType::Gauge)
    {
        all.push_back({{name, help, type, {}}, battery});
        return all.back();
    }

    // The families, moved out.
    std::vector<MetricFamily> take()
    {
        std::vector<MetricFamily> families;
        families.reserve(all.size());
        std::transform(all.begin(), all.end(), std::back_inserter(families),
                       [](Family& f) { return std::move(f.family); });
        return families;
    }

private:
    const std::string& battery;
    std::deque<Family> all; // a deque, so a started family stays where it is
};

// The decoded values of a fresh answer: gauge, voltages, current, temperatures, humidity.
void addQuantities(Families* out, const BatteryStatus& s)
{
    out->start("qav_state_of_charge_ratio", "State of charge (gas gauge), 0 to 1.")
        .add(s.gasGauge / 10000.0); // the ratio from the field itself, as exact as a double allows
    Family& cells = out->start("qav_cell_voltage_volts", "Voltage of each cell (layer), in volts.");
    for (int i = 0; i < 8; i++) cells.add(s.cellVoltage[i] / 1000.0, "cell", std::to_string(i + 1));
    out->start("qav_stack_voltage_volts", "Sum of the eight cell voltages, in volts.").add(stackVoltage(&s));
    out->start("qav_current_amperes", "Battery current, in amperes; positive while charging.")
        .add(currentAmperes(&s));
    Family& temps = out->start("qav_temperature_celsius",
                               "Temperature of each layer and of the heatsink, in degrees Celsius.");
    // The answer lists layer 8 first and layer 1 last, then the heatsink.
    for (int layer = 1; layer <= 8; layer++)
        temps.add(s.temperature[8 - layer], "sensor", "layer" + std::to_string(layer));
    temps.add(s.temperature[8], "sensor", "heatsink");
    out->start("qav_relative_humidity_ratio", "Relative humidity inside the module, 0 to 1.")
        .add(s.humidity / 100.0);
}

// Power, time left, capacity and energy of a fresh answer; a value the estimate lacks is left out.
void addEstimate(Families* out, const BatteryStatus& s, const Estimate& e)
{
    out->start("qav_battery_power_watts", "Stack voltage times current, in watts; positive while charging.")
        .add(powerWatts(s));
    if (e.runtime)
        out->start("qav_battery_runtime_seconds", "Time left on battery at the smoothed discharge current, in seconds.")
            .add(*e.runtime);
    if (e.timeToFull)
        out->start("qav_battery_time_to_full_seconds", "Time to full charge at the smoothed charge current, in seconds.")
            .add(*e.timeToFull);
    if (e.capacity)
        // In coulombs, the base unit Prometheus asks for: 3600 per ampere-hour.
        out->start("qav_battery_capacity_coulombs", "Capacity at 100 % charge, rated or learned, in coulombs (3600 per Ah).")
            .add(*e.capacity * 3600, "source", e.capacitySource);
    out->start("qav_battery_energy_charged_joules_total", "Energy into the battery since qavd started, in joules.",
               MetricType::Counter)
        .add(e.energyCharged);
    out->start("qav_battery_energy_discharged_joules_total", "Energy out of the battery since qavd started, in joules.",
               MetricType::Counter)
        .add(e.energyDischarged);
}

// The registers of a fresh answer, raw and as status flags.
void addRegisters(Families* out, const BatteryStatus& s)
{
    out->start("qav_balance_register", "Balance register, raw value.").add(s.balanceRegister);
    out->start("qav_temp_alert_register", "Temperature alert register, raw value; non-zero is an alert.")
        .add(s.tempAlertRegister);
    out->start("qav_volt_alert_register", "Voltage alert register, raw value; non-zero is an alert.")
        .add(s.voltAlertRegister);
    out->start("qav_status_register", "Battery status register, raw value.").add(s.statusRegister);
    Family& flags = out->start("qav_status_flag", "1 when the status bit is set (on, or a fault), else 0.");
    for (const StatusBit& bit : statusBits)
        flags.add((static_cast<unsigned>(s.statusRegister) & bit.mask) != 0 ? 1 : 0, "flag", bit.name);
}

// Each cell's series of one family: a value for cells 1 to 8, or none for a cell without one.
template <typename Value> void addCells(Family& family, const std::array<Value, healthCells>& cells)
{
    for (std::size_t i = 0; i < cells.size(); i++) {
        std::optional<double> value;
        if constexpr (std::is_arithmetic_v<Value>) value = static_cast<double>(cells[i]);
        else if (cells[i]) value = *cells[i];
        if (value) family.add(*value, "cell", std::to_string(i + 1));
    }
}

// The replace flag and the weak cell, shown from the start so that an alert needs no absent().
void addHealthFlags(Families* out, const Health& h)
{
    out->start("qav_battery_replace", "1 once health fell to --replace-at, until a new battery is recorded; else 0.")
        .add(h.replace ? 1 : 0);
    std::array<int, healthCells> weak{};
    if (h.weakCell >= 1 && h.weakCell <= healthCells) weak[static_cast<std::size_t>(h.weakCell - 1)] = 1;
    addCells(out->start("qav_cell_weak", "1 for the weak cell, whose resistance stays well above the others'; else 0."),
             weak);
}

// State of health, the projected replacement and the resistances, each once it is known.
void addHealthFigures(Families* out, const Health& h)
{
    if (h.lifetime.installed != 0)
        out->start("qav_battery_installed_timestamp_seconds", "Installation date (--installed), in seconds since the epoch.")
            .add(static_cast<double>(h.lifetime.installed));
    if (h.health && h.reference != nullptr)
        out->start("qav_battery_health_ratio", "Measured capacity over the reference capacity (rated or first measured).")
            .add(*h.health, "reference", h.reference);
    if (h.replaceDate)
        out->start("qav_battery_replace_timestamp_seconds",
                   "When the fitted capacity line reaches --replace-at, in seconds since the epoch.")
            .add(static_cast<double>(*h.replaceDate));
    if (h.stackResistance)
        out->start("qav_stack_resistance_ohms", "Internal resistance of the stack from load steps, in ohms.")
            .add(*h.stackResistance);
    if (std::any_of(h.cellResistance.begin(), h.cellResistance.end(), [](const auto& r) { return r.has_value(); }))
        addCells(out->start("qav_cell_resistance_ohms", "Internal resistance of each cell from load steps, in ohms."),
                 h.cellResistance);
}

// A counter of the lifetime figures.
Family& lifetimeCounter(Families* out, const char* name, const char* help)
{
    return out->start(name, std::string(help) + " since the battery was installed (or first seen).",
                      MetricType::Counter);
}

// Cycles and what went through the battery, in base units.
void addThroughput(Families* out, const LifetimeFigures& f)
{
    out->start("qav_battery_equivalent_cycles", "Equivalent full cycles: charge discharged over the capacity.")
        .add(f.cycles);
    lifetimeCounter(out, "qav_battery_lifetime_charged_coulombs_total", "Charge into the battery, in coulombs,")
        .add(f.ahCharged * 3600);
    lifetimeCounter(out, "qav_battery_lifetime_discharged_coulombs_total", "Charge out of the battery, in coulombs,")
        .add(f.ahDischarged * 3600);
    lifetimeCounter(out, "qav_battery_lifetime_charged_joules_total", "Energy into the battery, in joules,")
        .add(f.whCharged * 3600);
    lifetimeCounter(out, "qav_battery_lifetime_discharged_joules_total", "Energy out of the battery, in joules,")
        .add(f.whDischarged * 3600);
    lifetimeCounter(out, "qav_battery_on_battery_seconds_total", "Time in discharge mode, in seconds,")
        .add(f.secondsOnBattery);
}

// The discharges: how many, how deep, and the last full charge.
void addDischarges(Families* out, const LifetimeFigures& f)
{
    lifetimeCounter(out, "qav_battery_discharges_total", "Discharges").add(static_cast<double>(f.discharges));
    lifetimeCounter(out, "qav_battery_deep_discharges_total", "Discharges down to --low-battery")
        .add(static_cast<double>(f.deepDischarges));
    if (f.lowestChargeAt != 0)
        out->start("qav_battery_lowest_charge_ratio", "The deepest discharge: the lowest charge seen, 0 to 1.")
            .add(f.lowestCharge / 100);
    if (std::optional<double> depth = f.meanDepth())
        out->start("qav_battery_discharge_depth_ratio", "Mean depth of the last ten discharges, 0 to 1.")
            .add(*depth / 100);
    if (f.lastFull != 0)
        out->start("qav_battery_last_full_charge_timestamp_seconds", "The last full charge, in seconds since the epoch.")
            .add(static_cast<double>(f.lastFull));
}

// Faults and alerts counted by kind, and the time each cell was balanced.
void addLifetimeBits(Families* out, const LifetimeFigures& f)
{
    Family& faults = lifetimeCounter(out, "qav_battery_lifetime_faults_total", "Times each fault bit was set");
    std::size_t k = 0;
    for (const StatusBit& bit : statusBits)
        if (bit.isFault) faults.add(static_cast<double>(f.faults[k++]), "flag", bit.name);
    lifetimeCounter(out, "qav_battery_lifetime_alerts_total", "Times each alert register became non-zero")
        .add(static_cast<double>(f.alerts[0]), "register", "temperature")
        .add(static_cast<double>(f.alerts[1]), "register", "voltage");
    addCells(lifetimeCounter(out, "qav_cell_balance_seconds_total", "Time each cell was balanced, in seconds,"),
             f.balanceSeconds);
}

// The battery's health: flags from the start, figures once known, lifetime figures once they
// count an answer (kept in the store, so across restarts). Not readings: shown while stale too.
void addHealth(Families* out, const Health& h)
{
    addHealthFlags(out, h);
    addHealthFigures(out, h);
    if (h.lifetime.since == 0) return;
    addThroughput(out, h.lifetime);
    addDischarges(out, h.lifetime);
    addLifetimeBits(out, h.lifetime);
}

// What the output named @p name dropped so far; 0 before it said.
std::uint64_t droppedBy(const BatteryState& s, const char* name)
{
    for (const auto& [output, total] : s.drops)
        if (output == name) return total;
    return 0;
}

// The counters, present from the start and never reset.
void addCounters(Families* out, const BatteryState& s)
{
    Family& polls = out->start("qav_polls_total", "Polls of the battery, by outcome.", MetricType::Counter);
    for (PollResult result : pollResults)
        polls.add(static_cast<double>(s.polls[static_cast<std::size_t>(result)]), "result", pollResultName(result));
    out->start("qav_connects_total", "Attempts to open the battery's port, by outcome.", MetricType::Counter)
        .add(static_cast<double>(s.connectsOk), "result", "ok")
        .add(static_cast<double>(s.connectsFailed), "result", "failed");
    Family& events = out->start("qav_events_total", "Events raised, by name.", MetricType::Counter);
    for (std::size_t i = 0; i < eventKindCount; i++)
        events.add(static_cast<double>(s.eventCounts[i]), "event", eventKinds[i].name);
    Family& drops = out->start("qav_output_dropped_total", "Lines an output dropped because its reader fell behind.",
                               MetricType::Counter);
    for (const char* name : droppingOutputs) drops.add(static_cast<double>(droppedBy(s, name)), "output", name);
    // Any other output that drops says so under a name of its own, such as "mqtt_events".
    std::map<std::string, std::uint64_t> others(s.drops.begin(), s.drops.end());
    for (const char* name : droppingOutputs) others.erase(name);
    for (const auto& [output, total] : others)
        out->start("qav_" + output + "_dropped_total", "Items the " + output + " output dropped, keeping newer ones.",
                   MetricType::Counter)
            .add(static_cast<double>(total));
}

// The series of one snapshot after qav_build_info: the value series only while it is fresh.
void addSnapshot(Families* out, const BatteryState& s)
{
    bool up = s.fresh && s.reading;
    out->start("qav_up", "1 while the battery's data is fresh, 0 once stale or before the first answer.").add(up ? 1 : 0);
    out->start("qav_forced_shutdown", "1 once a NUT primary set forced shutdown (FSD), else 0.")
        .add(s.forcedShutdown ? 1 : 0);
    if (up) {
        addQuantities(out, s.reading->status);
        addEstimate(out, s.reading->status, s.reading->estimate);
        addRegisters(out, s.reading->status);
        out->start("qav_low_battery",
                   "1 while the battery is low (--low-battery, --low-runtime, or an undervoltage fault), else 0.")
            .add(s.low ? 1 : 0);
    }
    if (s.reading)
        out->start("qav_last_answer_timestamp_seconds", "Time of the last accepted answer, in seconds since the epoch.")
            .add(static_cast<double>(s.reading->time));
    if (s.health) addHealth(out, *s.health);
    addCounters(out, s);
}

// Add the families of @p more to @p all: a family already there takes the new samples after its own.
// A new family makes room for as many samples from each of @p batteries.
void merge(std::vector<MetricFamily>* all, std::map<std::string, std::size_t>* where, std::vector<MetricFamily> more,
           std::size_t batteries)
{
    for (MetricFamily& family : more) {
        auto [at, added] = where->try_emplace(family.name, all->size());
        if (added) {
            family.metric.reserve(family.metric.size() * batteries);
            all->push_back(std::move(family));
        }
        else std::move(family.metric.begin(), family.metric.end(), std::back_inserter((*all)[at->second].metric));
    }
}

// The latest snapshot of each battery behind a short lock, rendered on every scrape.
class Collector : public prometheus::Collectable {
public:
    explicit Collector(const std::vector<std::string>& batteries)
    {
        for (const std::string& name : batteries) {
            places.emplace(name, latest.size());
            latest.push_back(StateKeeper(name, 0).snapshot());
        }
    }

    // Show this snapshot from now on, in place of its battery's last (the only battery's when one).
    void show(BatterySnapshot snapshot)
    {
        auto place = latest.size() == 1 ? places.begin() : places.find(snapshot->battery);
        if (place == places.end()) return;
        std::lock_guard<std::mutex> lock(mutex);
        latest[place->second] = std::move(snapshot);
    }

    // Every battery's families, each family once; qav_build_info once, with one battery labelled as its series.
    std::vector<MetricFamily> Collect() const override
    {
        std::vector<BatterySnapshot> shown;
        {
            std::lock_guard<std::mutex> lock(mutex);
            shown = latest;
        }
        const char* buildHelp = "1, labelled with the version of qavd.";
        if (shown.size() == 1) {
            Families out(shown.front()->battery);
            out.start("qav_build_info", buildHelp).add(1, "version", QAV_VERSION);
            addSnapshot(&out, *shown.front());
            return out.take();
        }
        ClientMetric build;
        build.label.push_back({"version", QAV_VERSION});
        build.gauge.value = 1;
        std::vector<MetricFamily> all{{"qav_build_info", buildHelp, MetricType::Gauge, {build}}};
        std::map<std::string, std::size_t> where{{"qav_build_info", 0}};
        for (const BatterySnapshot& s : shown) {
            Families out(s->battery);
            addSnapshot(&out, *s);
            merge(&all, &where, out.take(), shown.size());
        }
        return all;
    }

private:
    mutable std::mutex mutex;
    std::vector<BatterySnapshot> latest; // in the site's order
    std::map<std::string, std::size_t, std::less<>> places; // each battery's place in latest
};

// The exposition of a collector's current snapshot.
HttpResponse exposition(const Collector& collector)
{
    std::ostringstream text;
    prometheus::TextSerializer().Serialize(text, collector.Collect());
    return {200, "text/plain; version=0.0.4; charset=utf-8", text.str(), {}};
}

// Why @p text is not a numeric IPv4 ADDR:PORT; empty when it is.
std::string listenProblem(const std::string& text)
{
    HostPort where;
    return parseListenAddress(text, &where);
}

// The exporter's part: the collector, kept up to date by the output calls, and its route.
class Exporter final : public HttpPart {
public:
    explicit Exporter(const std::vector<std::string>& batteries) : collector(batteries) {}

    void addRoutes(std::map<std::string, HttpHandler>& routes) override
    {
        routes["/metrics"] = [this](const HttpRequest&) { return exposition(collector); };
    }

    // Show the state of the latest poll.
    void state(const BatterySnapshot& snapshot) override { collector.show(snapshot); }

private:
    Collector collector;
};

} // namespace

void addMetricsOptions(CLI::App& app, MetricsOptions& options)
{
    app.add_option("--metrics-listen", options.listen,
                   "Serve Prometheus metrics on GET /metrics at ADDR:PORT (off by default)")
        ->type_name("ADDR:PORT")
        ->group("HTTP")
        ->check(CLI::Validator([](const std::string& value) { return listenProblem(value); }, ""));
}

std::unique_ptr<HttpPart> makeMetrics(const std::string& battery)
{
    return std::make_unique<Exporter>(std::vector<std::string>{battery});
}

std::unique_ptr<HttpPart> makeMetrics(const Site& site)
{
    std::vector<std::string> names(site.batteries.size());
    std::transform(site.batteries.begin(), site.batteries.end(), names.begin(),
                   [](const DaemonOptions& battery) { return battery.name; });
    return std::make_unique<Exporter>(names);
}

std::unique_ptr<HttpExporter> startMetrics(const MetricsOptions& options, const std::string& battery,
                                           std::string* problem)
{
    Site site;
    site.batteries.emplace_back().name = battery;
    return startMetrics(options, site, problem);
}

std::unique_ptr<HttpExporter> startMetrics(const MetricsOptions& options, const Site& site, std::string* problem)
{
    if (std::string why = listenProblem(options.listen); !why.empty()) {
        *problem = "--metrics-listen " + options.listen + ": " + why;
        return nullptr;
    }
    std::vector<std::unique_ptr<HttpPart>> parts;
    parts.push_back(makeMetrics(site));
    return HttpExporter::start(options.listen, std::move(parts), "metrics", problem);
}
