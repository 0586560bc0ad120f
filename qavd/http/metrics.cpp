// metrics: Prometheus metrics, the HTTP exporter's part that shows the latest answer and the counters.
#include "metrics.h"

#include "json.h"
#include "options.h"
#include "qav_version.h"
#include "server.h"

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
#include <sstream>
#include <sys/socket.h>
#include <syslog.h>
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
// lowbattery and lowbatteryclear alternate, so the battery is low while the first outnumbers the second.
const std::array<const char*, 8> eventNames = {"commlost", "commok",     "alert",      "alertclear",
                                               "fault",    "faultclear", "lowbattery", "lowbatteryclear"};

// The outputs that drop lines for a slow reader.
const std::array<const char*, 3> droppingOutputs = {"stdout", "stderr", "syslog"};

// Everything a scrape shows, copied out under the lock so a scrape never holds it long.
struct Snapshot {
    bool fresh = false;       // an answer was accepted and the data has not gone stale since
    bool haveReading = false; // at least one answer was accepted
    BatteryStatus status{};
    long long time = 0;
    std::array<std::uint64_t, pollResults.size()> polls{};
    std::array<std::uint64_t, 2> connects{}; // ok, failed
    std::array<std::uint64_t, eventNames.size()> events{};
    std::array<std::uint64_t, 3> dropped{}; // lines each of droppingOutputs dropped for a slow reader
    std::map<std::string, std::uint64_t> otherDropped; // what other outputs dropped, by output name
};

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

// The current's low 16 bits as signed hundredths, in amperes.
double amperes(int current)
{
    return static_cast<std::int16_t>(current & 0xFFFF) / 100.0;
}

// The decoded values of a fresh answer: gauge, voltages, current, temperatures, humidity.
void addQuantities(Families* out, const BatteryStatus& s)
{
    out->start("qav_state_of_charge_ratio", "State of charge (gas gauge), 0 to 1.")
        .add(s.gasGauge / 10000.0);
    Family& cells = out->start("qav_cell_voltage_volts", "Voltage of each cell (layer), in volts.");
    for (int i = 0; i < 8; i++) cells.add(s.cellVoltage[i] / 1000.0, "cell", std::to_string(i + 1));
    long long stack = std::accumulate(std::begin(s.cellVoltage), std::end(s.cellVoltage), 0LL);
    out->start("qav_stack_voltage_volts", "Sum of the eight cell voltages, in volts.")
        .add(static_cast<double>(stack) / 1000.0);
    out->start("qav_current_amperes", "Battery current, in amperes; positive while charging.")
        .add(amperes(s.current));
    Family& temps = out->start("qav_temperature_celsius",
                               "Temperature of each layer and of the heatsink, in degrees Celsius.");
    // The answer lists layer 8 first and layer 1 last, then the heatsink.
    for (int layer = 1; layer <= 8; layer++)
        temps.add(s.temperature[8 - layer], "sensor", "layer" + std::to_string(layer));
    temps.add(s.temperature[8], "sensor", "heatsink");
    out->start("qav_relative_humidity_ratio", "Relative humidity inside the module, 0 to 1.")
        .add(s.humidity / 100.0);
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
    for (const StatusFlag& flag : statusFlags)
        flags.add((static_cast<unsigned>(s.statusRegister) & flag.mask) != 0 ? 1 : 0, "flag", flag.name);
}

// The counters, present from the start and never reset.
void addCounters(Families* out, const Snapshot& s)
{
    Family& polls = out->start("qav_polls_total", "Polls of the battery, by outcome.", MetricType::Counter);
    for (std::size_t i = 0; i < pollResults.size(); i++)
        polls.add(static_cast<double>(s.polls[i]), "result", pollResultName(pollResults[i]));
    out->start("qav_connects_total", "Attempts to open the battery's port, by outcome.", MetricType::Counter)
        .add(static_cast<double>(s.connects[0]), "result", "ok")
        .add(static_cast<double>(s.connects[1]), "result", "failed");
    Family& events = out->start("qav_events_total", "Events raised, by name.", MetricType::Counter);
    for (std::size_t i = 0; i < eventNames.size(); i++)
        events.add(static_cast<double>(s.events[i]), "event", eventNames[i]);
    Family& drops = out->start("qav_output_dropped_total", "Lines an output dropped because its reader fell behind.",
                               MetricType::Counter);
    for (std::size_t i = 0; i < droppingOutputs.size(); i++)
        drops.add(static_cast<double>(s.dropped[i]), "output", droppingOutputs[i]);
    // Any other output that drops says so under a name of its own, such as "mqtt_events".
    for (const auto& [output, total] : s.otherDropped)
        out->start("qav_" + output + "_dropped_total", "Items the " + output + " output dropped, keeping newer ones.",
                   MetricType::Counter)
            .add(static_cast<double>(total));
}

// The exporter's state behind a short lock, collected on every scrape.
class Collector : public prometheus::Collectable {
public:
    explicit Collector(std::string name) : battery(std::move(name)) {}

    // Change the snapshot under the lock.
    template <typename Change> void update(Change change)
    {
        std::lock_guard<std::mutex> lock(mutex);
        change(state);
    }

    // The families of the current snapshot; the value series only while it is fresh.
    std::vector<MetricFamily> Collect() const override
    {
        Snapshot s;
        {
            std::lock_guard<std::mutex> lock(mutex);
            s = state;
        }
        Families out(battery);
        out.start("qav_build_info", "1, labelled with the version of qavd.").add(1, "version", QAV_VERSION);
        bool up = s.fresh && s.haveReading;
        out.start("qav_up", "1 while the battery's data is fresh, 0 once stale or before the first answer.")
            .add(up ? 1 : 0);
        if (up) {
            addQuantities(&out, s.status);
            addRegisters(&out, s.status);
            out.start("qav_low_battery", "1 while the battery is low (--low-battery, or an undervoltage fault), else 0.")
                .add(s.events[6] > s.events[7] ? 1 : 0);
        }
        if (s.haveReading)
            out.start("qav_last_answer_timestamp_seconds",
                      "Time of the last accepted answer, in seconds since the epoch.")
                .add(static_cast<double>(s.time));
        addCounters(&out, s);
        return out.take();
    }

private:
    const std::string battery;
    mutable std::mutex mutex;
    Snapshot state;
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
    explicit Exporter(const std::string& battery) : collector(battery) {}

    void addRoutes(std::map<std::string, HttpHandler>& routes) override
    {
        routes["/metrics"] = [this](const HttpRequest&) { return exposition(collector); };
    }

    // Keep the answer's values and show them from now on.
    void answer(const Reading& reading) override
    {
        collector.update([&](Snapshot& s) {
            s.status = reading.status;
            s.time = reading.time;
            s.haveReading = true;
            s.fresh = true;
        });
    }

    // Only going stale is taken from here: the answer that makes the data fresh comes
    // with its own call, and showing the values before it would show the old ones as live.
    void freshness(bool fresh) override
    {
        if (!fresh) collector.update([](Snapshot& s) { s.fresh = false; });
    }

    // Count the poll by its outcome.
    void polled(PollResult result) override
    {
        for (std::size_t i = 0; i < pollResults.size(); i++)
            if (pollResults[i] == result) collector.update([&](Snapshot& s) { s.polls[i]++; });
    }

    // Count the attempt to open the port.
    void connected(bool ok) override
    {
        collector.update([&](Snapshot& s) { s.connects[ok ? 0 : 1]++; });
    }

    // Count the event; a name outside the list is left out.
    void event(const Event& event) override
    {
        for (std::size_t i = 0; i < eventNames.size(); i++)
            if (event.name == eventNames[i]) collector.update([&](Snapshot& s) { s.events[i]++; });
    }

    // Keep each dropping output's count: standard output, standard error and the system log
    // under qav_output_dropped_total, any other under a name of its own.
    void dropped(const char* output, std::uint64_t total) override
    {
        collector.update([&](Snapshot& s) {
            for (std::size_t i = 0; i < droppingOutputs.size(); i++)
                if (std::strcmp(output, droppingOutputs[i]) == 0) {
                    s.dropped[i] = total;
                    return;
                }
            s.otherDropped[output] = total;
        });
    }

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
    return std::make_unique<Exporter>(battery);
}

std::unique_ptr<HttpExporter> startMetrics(const MetricsOptions& options, const std::string& battery,
                                           std::string* problem)
{
    if (std::string why = listenProblem(options.listen); !why.empty()) {
        *problem = "--metrics-listen " + options.listen + ": " + why;
        return nullptr;
    }
    std::vector<std::unique_ptr<HttpPart>> parts;
    parts.push_back(makeMetrics(battery));
    return HttpExporter::start(options.listen, std::move(parts), "metrics", problem);
}
