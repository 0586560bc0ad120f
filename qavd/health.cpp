// health: a battery's lifetime figures, state of health, internal resistance and weak cell.
#include "health.h"

#include "battery_status.h"
#include "store.h"

#include <syslog.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

// The store's names of the lifetime figures and of the predecessor's.
constexpr const char* lifetimeKey = "health_lifetime";
constexpr const char* predecessorKey = "health_predecessor";
// The cells, as an index of their arrays.
constexpr std::size_t cells = healthCells;
constexpr double secondsPerYear = 365.25 * 86400;
// The discharge mode bit of the status register.
constexpr unsigned dischargeMask = 0x0200;

// The sign of a current: 1 charging, -1 discharging, 0 within restingAmperes of zero.
int directionOf(double amperes)
{
    return amperes > restingAmperes ? 1 : amperes < -restingAmperes ? -1 : 0;
}

// The median of some values (the mean of the middle two of an even count); none of none.
std::optional<double> medianOf(std::vector<double> values)
{
    if (values.empty()) return std::nullopt;
    auto middle = values.begin() + static_cast<long>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1) return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

// Take a value as the lowest (or, with high, the highest) when it is the first or beyond the one kept.
bool extreme(Extreme* kept, double value, long long at, int which, bool high)
{
    if (kept->time != 0 && (high ? value <= kept->value : value >= kept->value)) return false;
    *kept = Extreme{value, at, which};
    return true;
}

// A straight line fitted by least squares; false when the xs do not spread.
bool fitLine(const std::vector<double>& xs, const std::vector<double>& ys, double* slope, double* intercept)
{
    double n = static_cast<double>(xs.size()), sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < xs.size(); i++) {
        sx += xs[i];
        sy += ys[i];
        sxx += xs[i] * xs[i];
        sxy += xs[i] * ys[i];
    }
    double spread = n * sxx - sx * sx;
    if (xs.size() < 2 || !(std::abs(spread) > 1e-12)) return false;
    *slope = (n * sxy - sx * sy) / spread;
    *intercept = (sy - *slope * sx) / n;
    return true;
}

// An extreme as JSON under the name of its unit, with its cell or layer when it has one.
nlohmann::json extremeJson(const Extreme& e, const char* unit, const char* which)
{
    if (e.time == 0) return nullptr;
    nlohmann::json out = {{unit, e.value}, {"time", e.time}};
    if (which != nullptr) out[which] = e.which;
    return out;
}

// An extreme read back from extremeJson().
Extreme extremeFrom(const nlohmann::json& in, const char* unit, const char* which)
{
    Extreme e;
    if (!in.is_object()) return e;
    e.value = in.value(unit, 0.0);
    e.time = in.value("time", 0LL);
    if (which != nullptr) e.which = in.value(which, 0);
    return e;
}

// A number as JSON, or null when there is none.
nlohmann::json orNull(const std::optional<double>& value)
{
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// What a fit makes of a battery's capacity points.
struct Fit {
    std::optional<double> health, slopePerYear, fitted, fadePer100Cycles, fadePerYear;
    std::optional<long long> replaceDate;
    const char* reference = nullptr;
    double referenceAh = 0;
};

// Fit the last fitSpan of the points: health at the newest over the rated or the first capacity.
Fit fitPoints(const std::vector<CapacityPoint>& points, double rated, double replaceAt)
{
    Fit fit;
    if (points.empty()) return fit;
    fit.reference = rated > 0 ? "rated" : "first measured";
    fit.referenceAh = rated > 0 ? rated : points.front().ampereHours;
    const CapacityPoint& newest = points.back();
    std::vector<double> years, cycles, ah;
    for (const CapacityPoint& p : points) {
        if (p.time < newest.time - fitSpan) continue;
        years.push_back(static_cast<double>(p.time - newest.time) / secondsPerYear);
        cycles.push_back(p.cycles);
        ah.push_back(p.ampereHours);
    }
    double slope = 0, intercept = newest.ampereHours, perCycle = 0, unused = 0;
    if (fitLine(years, ah, &slope, &intercept)) {
        fit.slopePerYear = slope;
        fit.fadePerYear = -slope / fit.referenceAh * 100;
        double target = replaceAt / 100 * fit.referenceAh;
        // A line that does not fall (within rounding) never reaches it.
        if (slope < -1e-9 * fit.referenceAh) fit.replaceDate = newest.time + std::llround((target - intercept) / slope * secondsPerYear);
    }
    if (fitLine(cycles, ah, &perCycle, &unused)) fit.fadePer100Cycles = -perCycle * 100 / fit.referenceAh * 100;
    fit.fitted = intercept;
    if (fit.referenceAh > 0) fit.health = intercept / fit.referenceAh;
    return fit;
}

// Parse a kept JSON text; null when it is missing or not JSON.
nlohmann::json parsed(const std::optional<std::string>& text)
{
    if (!text) return nullptr;
    return nlohmann::json::parse(*text, nullptr, false);
}

// The predecessor's figures as JSON.
nlohmann::json predecessorJson(const PredecessorFigures& p)
{
    return {{"lifetime", lifetimeJson(p.lifetime)}, {"replaced_time", p.replaced}, {"health_ratio", orNull(p.health)}};
}

} // namespace

std::optional<double> LifetimeFigures::meanDepth() const
{
    if (depthCount == 0) return std::nullopt;
    double sum = 0;
    for (std::size_t i = 0; i < depthCount; i++) sum += depths[i];
    return sum / static_cast<double>(depthCount);
}

std::optional<long long> civilDate(const std::string& text)
{
    int year = 0, month = 0, day = 0, used = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10)
        return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || !std::all_of(text.begin(), text.end(), [](char c) { return c == '-' || (c >= '0' && c <= '9'); }))
        return std::nullopt;
    if (year < 1970 || month < 1 || month > 12 || day < 1) return std::nullopt;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > days[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
    // Days since the epoch of a proleptic Gregorian date (the civil-from-days inverse).
    int y = year - (month <= 2 ? 1 : 0);
    int era = y / 400, yoe = y - era * 400;
    int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    long long doe = yoe * 365LL + yoe / 4 - yoe / 100 + doy;
    return (era * 146097LL + doe - 719468) * 86400;
}

std::string civilDateText(long long seconds)
{
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32];
    if (gmtime_r(&t, &parts) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d", &parts) == 0) return "";
    return text;
}

nlohmann::json lifetimeJson(const LifetimeFigures& f)
{
    nlohmann::json faults = nlohmann::json::object();
    std::size_t k = 0;
    for (const StatusBit& bit : statusBits)
        if (bit.isFault) {
            faults[bit.name] = {{"count", f.faults[k]}, {"last_time", f.faultLast[k]}};
            k++;
        }
    std::vector<double> depths(f.depths.begin(), f.depths.begin() + static_cast<long>(f.depthCount));
    return {{"installed_time", f.installed}, {"battery", f.battery}, {"since_time", f.since},
            {"charged_ampere_hours", f.ahCharged}, {"discharged_ampere_hours", f.ahDischarged},
            {"charged_watt_hours", f.whCharged}, {"discharged_watt_hours", f.whDischarged},
            {"equivalent_cycles", f.cycles},
            {"lowest_charge", f.lowestChargeAt == 0 ? nlohmann::json(nullptr)
                                                    : nlohmann::json{{"percent", f.lowestCharge}, {"time", f.lowestChargeAt}}},
            {"discharge_depths_percent", depths}, {"discharges", f.discharges}, {"deep_discharges", f.deepDischarges},
            {"last_full_charge_time", f.lastFull}, {"on_battery_seconds", f.secondsOnBattery},
            {"stack_voltage_lowest", extremeJson(f.stackLow, "volts", nullptr)},
            {"stack_voltage_highest", extremeJson(f.stackHigh, "volts", nullptr)},
            {"cell_voltage_lowest", extremeJson(f.cellLow, "volts", "cell")},
            {"cell_voltage_highest", extremeJson(f.cellHigh, "volts", "cell")},
            {"layer_temperature_lowest", extremeJson(f.temperatureLow, "celsius", "layer")},
            {"layer_temperature_highest", extremeJson(f.temperatureHigh, "celsius", "layer")},
            {"faults", faults},
            {"alerts", {{"temperature", {{"count", f.alerts[0]}, {"last_time", f.alertLast[0]}}},
                        {"voltage", {{"count", f.alerts[1]}, {"last_time", f.alertLast[1]}}}}},
            {"balance_seconds", f.balanceSeconds}};
}

namespace {

// A JSON object written straight into its text, for figures made of names and numbers only.
class JsonText {
public:
    JsonText& key(const char* name)
    {
        comma();
        out.append("\"").append(name).append("\":");
        return *this;
    }
    // A number as its shortest text that reads back exactly; what is not finite as 0.
    JsonText& number(double value)
    {
        char text[32];
        comma();
        out.append(text, std::to_chars(text, text + sizeof text, std::isfinite(value) ? value : 0.0).ptr);
        return *this;
    }
    JsonText& whole(long long value)
    {
        char text[24];
        comma();
        out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
        return *this;
    }
    JsonText& open(char bracket)
    {
        comma();
        out += bracket;
        return *this;
    }
    JsonText& close(char bracket)
    {
        out += bracket;
        return *this;
    }
    JsonText& null()
    {
        comma();
        out += "null";
        return *this;
    }
    // A count and when it last happened, as {"count":N,"last_time":T}.
    JsonText& counted(std::uint64_t count, long long last)
    {
        open('{').key("count").whole(static_cast<long long>(count)).key("last_time").whole(last);
        return close('}');
    }
    // An extreme as extremeJson() makes it.
    JsonText& extreme(const Extreme& e, const char* unit, const char* which)
    {
        if (e.time == 0) return null();
        open('{').key(unit).number(e.value).key("time").whole(e.time);
        if (which != nullptr) key(which).whole(e.which);
        return close('}');
    }
    std::string out;

private:
    // A comma before a key or value, but the first of an object or array and a key's value.
    void comma()
    {
        if (!out.empty() && out.back() != ':' && out.back() != '[' && out.back() != '{') out += ',';
    }
};

} // namespace

std::string lifetimeText(const LifetimeFigures& f)
{
    JsonText j;
    j.out.reserve(1536);
    j.open('{').key("installed_time").whole(f.installed).key("battery").whole(f.battery).key("since_time").whole(f.since);
    j.key("charged_ampere_hours").number(f.ahCharged).key("discharged_ampere_hours").number(f.ahDischarged);
    j.key("charged_watt_hours").number(f.whCharged).key("discharged_watt_hours").number(f.whDischarged);
    j.key("equivalent_cycles").number(f.cycles).key("lowest_charge");
    if (f.lowestChargeAt == 0) j.null();
    else j.open('{').key("percent").number(f.lowestCharge).key("time").whole(f.lowestChargeAt).close('}');
    j.key("discharge_depths_percent").open('[');
    for (std::size_t i = 0; i < f.depthCount; i++) j.number(f.depths[i]);
    j.close(']').key("discharges").whole(static_cast<long long>(f.discharges));
    j.key("deep_discharges").whole(static_cast<long long>(f.deepDischarges)).key("last_full_charge_time").whole(f.lastFull);
    j.key("on_battery_seconds").number(f.secondsOnBattery);
    j.key("stack_voltage_lowest").extreme(f.stackLow, "volts", nullptr).key("stack_voltage_highest").extreme(f.stackHigh, "volts", nullptr);
    j.key("cell_voltage_lowest").extreme(f.cellLow, "volts", "cell").key("cell_voltage_highest").extreme(f.cellHigh, "volts", "cell");
    j.key("layer_temperature_lowest").extreme(f.temperatureLow, "celsius", "layer");
    j.key("layer_temperature_highest").extreme(f.temperatureHigh, "celsius", "layer");
    j.key("faults").open('{');
    std::size_t k = 0;
    for (const StatusBit& bit : statusBits)
        if (bit.isFault) {
            j.key(bit.name).counted(f.faults[k], f.faultLast[k]);
            k++;
        }
    j.close('}').key("alerts").open('{').key("temperature").counted(f.alerts[0], f.alertLast[0]);
    j.key("voltage").counted(f.alerts[1], f.alertLast[1]).close('}').key("balance_seconds").open('[');
    for (double seconds : f.balanceSeconds) j.number(seconds);
    j.close(']').close('}');
    return j.out;
}

LifetimeFigures lifetimeFromJson(const nlohmann::json& in)
{
    LifetimeFigures f;
    if (!in.is_object()) return f;
    try {
        f.installed = in.value("installed_time", 0LL);
        f.battery = in.value("battery", 0LL);
        f.since = in.value("since_time", 0LL);
        f.ahCharged = in.value("charged_ampere_hours", 0.0);
        f.ahDischarged = in.value("discharged_ampere_hours", 0.0);
        f.whCharged = in.value("charged_watt_hours", 0.0);
        f.whDischarged = in.value("discharged_watt_hours", 0.0);
        f.cycles = in.value("equivalent_cycles", 0.0);
        if (const auto& low = in.value("lowest_charge", nlohmann::json()); low.is_object()) {
            f.lowestCharge = low.value("percent", 0.0);
            f.lowestChargeAt = low.value("time", 0LL);
        }
        for (const auto& depth : in.value("discharge_depths_percent", nlohmann::json::array()))
            if (f.depthCount < depthsKept) f.depths[f.depthCount++] = depth.get<double>();
        f.discharges = in.value("discharges", std::uint64_t{0});
        f.deepDischarges = in.value("deep_discharges", std::uint64_t{0});
        f.lastFull = in.value("last_full_charge_time", 0LL);
        f.secondsOnBattery = in.value("on_battery_seconds", 0.0);
        f.stackLow = extremeFrom(in.value("stack_voltage_lowest", nlohmann::json()), "volts", nullptr);
        f.stackHigh = extremeFrom(in.value("stack_voltage_highest", nlohmann::json()), "volts", nullptr);
        f.cellLow = extremeFrom(in.value("cell_voltage_lowest", nlohmann::json()), "volts", "cell");
        f.cellHigh = extremeFrom(in.value("cell_voltage_highest", nlohmann::json()), "volts", "cell");
        f.temperatureLow = extremeFrom(in.value("layer_temperature_lowest", nlohmann::json()), "celsius", "layer");
        f.temperatureHigh = extremeFrom(in.value("layer_temperature_highest", nlohmann::json()), "celsius", "layer");
        std::size_t k = 0;
        const nlohmann::json faults = in.value("faults", nlohmann::json::object());
        for (const StatusBit& bit : statusBits)
            if (bit.isFault) {
                const nlohmann::json one = faults.value(bit.name, nlohmann::json::object());
                f.faults[k] = one.value("count", std::uint64_t{0});
                f.faultLast[k++] = one.value("last_time", 0LL);
            }
        const nlohmann::json alerts = in.value("alerts", nlohmann::json::object());
        const char* kinds[] = {"temperature", "voltage"};
        for (std::size_t i = 0; i < 2; i++) {
            const nlohmann::json one = alerts.value(kinds[i], nlohmann::json::object());
            f.alerts[i] = one.value("count", std::uint64_t{0});
            f.alertLast[i] = one.value("last_time", 0LL);
        }
        const nlohmann::json balance = in.value("balance_seconds", nlohmann::json::array());
        for (std::size_t i = 0; i < balance.size() && i < f.balanceSeconds.size(); i++) f.balanceSeconds[i] = balance[i].get<double>();
    } catch (const nlohmann::json::exception&) {
        // A value of the wrong type: what was read before it stays, the rest at its default.
    }
    return f;
}

namespace {

// The fitted line: its value at the newest point and its slope, and the times of the newest
// point and of the oldest one it goes through, so a chart can draw it.
nlohmann::json fitJson(const Health& h)
{
    nlohmann::json from = nullptr, to = nullptr;
    if (!h.points->empty()) {
        to = h.points->back().time;
        auto first = std::find_if(h.points->begin(), h.points->end(),
                                  [&](const CapacityPoint& p) { return p.time >= h.points->back().time - fitSpan; });
        from = first->time;
    }
    return {{"capacity_ah", orNull(h.fitAmpereHours)}, {"slope_ah_per_year", orNull(h.fitSlopePerYear)},
            {"time", to}, {"from_time", from}};
}

} // namespace

nlohmann::json healthJson(const Health& h, long long now)
{
    const LifetimeFigures& f = h.lifetime;
    nlohmann::json points = nlohmann::json::array();
    std::transform(h.points->begin(), h.points->end(), std::back_inserter(points), [](const CapacityPoint& p) {
        return nlohmann::json{{"time", p.time}, {"capacity_ah", p.ampereHours}, {"cycles", p.cycles}};
    });
    nlohmann::json cellOhms = nlohmann::json::array();
    std::transform(h.cellResistance.begin(), h.cellResistance.end(), std::back_inserter(cellOhms), orNull);
    nlohmann::json out = {
        {"installed", f.installed != 0 ? nlohmann::json(civilDateText(f.installed)) : nlohmann::json(nullptr)},
        {"age_seconds", f.installed != 0 ? nlohmann::json(std::max(0LL, now - f.installed)) : nlohmann::json(nullptr)},
        {"lifetime", lifetimeJson(f)},
        {"mean_discharge_depth_percent", orNull(f.meanDepth())},
        {"since_full_charge_seconds", f.lastFull != 0 ? nlohmann::json(std::max(0LL, now - f.lastFull)) : nlohmann::json(nullptr)},
        {"capacity_ah", orNull(h.capacity)},
        {"health_ratio", orNull(h.health)},
        {"health_reference", h.reference != nullptr ? nlohmann::json(h.reference) : nlohmann::json(nullptr)},
        {"reference_capacity_ah", h.reference != nullptr ? nlohmann::json(h.referenceAh) : nlohmann::json(nullptr)},
        {"capacity_points", points},
        {"fit", fitJson(h)},
        {"fade_per_100_cycles_percent", orNull(h.fadePer100Cycles)},
        {"fade_per_year_percent", orNull(h.fadePerYear)},
        {"replace_at_percent", h.replaceAt},
        {"replace_date", h.replaceDate ? nlohmann::json(civilDateText(*h.replaceDate)) : nlohmann::json(nullptr)},
        {"replace_time", h.replaceDate ? nlohmann::json(*h.replaceDate) : nlohmann::json(nullptr)},
        {"replace", h.replace},
        {"resistance", {{"stack_ohms", orNull(h.stackResistance)}, {"cell_ohms", cellOhms}, {"load_steps", h.loadSteps}}},
        {"weak_cell", h.weakCell != 0 ? nlohmann::json{{"cell", h.weakCell}, {"ratio", h.weakRatio}} : nlohmann::json(nullptr)},
        {"predecessor", h.predecessor ? predecessorJson(*h.predecessor) : nlohmann::json(nullptr)},
    };
    return out;
}

// ---- The tracker ----

HealthTracker::HealthTracker(const HealthSettings& chosen, Store* store) : settings(chosen), disk(store)
{
    figures.replaceAt = settings.replaceAt;
    figures.lifetime.installed = settings.installed;
    figures.points = std::make_shared<const std::vector<CapacityPoint>>();
    if (disk != nullptr) restore();
}

// Read the stored figures; a later --installed than theirs starts a new battery.
void HealthTracker::restore()
{
    nlohmann::json kept = parsed(disk->value(lifetimeKey));
    if (kept.is_object()) figures.lifetime = lifetimeFromJson(kept);
    nlohmann::json before = parsed(disk->value(predecessorKey));
    if (before.is_object()) {
        auto p = std::make_shared<PredecessorFigures>();
        p->lifetime = lifetimeFromJson(before.value("lifetime", nlohmann::json()));
        p->replaced = before.value("replaced_time", 0LL);
        if (before.contains("health_ratio") && before["health_ratio"].is_number()) p->health = before["health_ratio"].get<double>();
        figures.predecessor = std::move(p);
    }
    points = disk->capacityPoints(figures.lifetime.battery);
    long long stored = figures.lifetime.installed;
    if (settings.installed > stored) {
        // A first date given for the battery followed so far is its own; a later one is a new battery's.
        bool used = stored != 0 && (figures.lifetime.since != 0 || !points.empty());
        if (used) startNewBattery();
        figures.lifetime.installed = settings.installed;
        keep();
    } else if (settings.installed != 0 && settings.installed < stored) {
        logMessage(LOG_WARNING, settings.battery + ": --installed " + civilDateText(settings.installed) +
                                    " is before the stored installation date " + civilDateText(stored) +
                                    "; going on with the stored battery");
    }
    figures.points = std::make_shared<const std::vector<CapacityPoint>>(points);
    fit();
}

// The stored battery was replaced: its figures become the predecessor's, and this one starts afresh.
void HealthTracker::startNewBattery()
{
    auto p = std::make_shared<PredecessorFigures>();
    p->lifetime = figures.lifetime;
    p->replaced = settings.installed;
    p->health = fitPoints(points, settings.ratedCapacity, settings.replaceAt).health;
    clearPending = p->health && *p->health * 100 <= settings.replaceAt;
    disk->setValue(predecessorKey, predecessorJson(*p).dump());
    figures.predecessor = std::move(p);
    long long next = figures.lifetime.battery + 1;
    figures.lifetime = LifetimeFigures{};
    figures.lifetime.battery = next;
    points.clear();
    logMessage(LOG_NOTICE, settings.battery + ": a new battery installed on " + civilDateText(settings.installed) +
                               " is recorded; the figures of the one before are kept as its predecessor's");
}

// Hand the lifetime figures to the store; it makes their text when it writes its next batch.
void HealthTracker::keep()
{
    if (disk != nullptr) disk->setValueLater(lifetimeKey, [copy = figures.lifetime] { return lifetimeText(copy); });
}

std::vector<Event> HealthTracker::accepted(const BatteryStatus& status, const Estimate& estimate, double time)
{
    std::vector<Event> events;
    auto at = static_cast<long long>(time);
    double amperes = currentAmperes(&status);
    double dt = time - lastTime;
    bool continuing = previous && dt >= 0 && dt <= settings.maxGap;
    bool plausible = !estimate.implausible && chargePercent(&status) <= 100;
    LifetimeFigures before = figures.lifetime;
    if (figures.lifetime.since == 0) figures.lifetime.since = at;
    if (continuing) countEnergy(status, dt);
    countExtremes(status, at);
    countBits(status, at, continuing ? dt : 0);
    // A run that ended at the previous answer takes that answer's cycles, so they go after it.
    followCharge(status, estimate, amperes, continuing ? dt : -1, at);
    if (estimate.capacity && *estimate.capacity > 0) {
        figures.capacity = estimate.capacity;
        figures.lifetime.cycles = figures.lifetime.ahDischarged / *estimate.capacity;
    }
    if (continuing && plausible && lastPlausible) loadStep(status, amperes);
    if (loadStepped) weakCells(at, &events);
    replaceEvents(at, &events);
    previous = true;
    lastPlausible = plausible;
    lastTime = time;
    lastAmperes = amperes;
    lastVolts = stackVoltage(&status);
    lastCharge = chargePercent(&status);
    for (std::size_t c = 0; c < cells; c++) lastCells[c] = status.cellVoltage[c] / 1000.0;
    if (!(before == figures.lifetime)) changed = true;
    if (changed) {
        figures.at = at;
        keep();
    }
    return events;
}

std::shared_ptr<const Health> HealthTracker::current()
{
    if (changed || !published) published = std::make_shared<const Health>(figures);
    changed = false;
    return published;
}

// Count the charge and energy since the previous answer, dt seconds ago: a trapezoid on each side of zero.
void HealthTracker::countEnergy(const BatteryStatus& status, double dt)
{
    double amperes = currentAmperes(&status), volts = stackVoltage(&status);
    double watts = amperes * volts, lastWatts = lastAmperes * lastVolts;
    LifetimeFigures& f = figures.lifetime;
    f.ahCharged += dt * (std::max(lastAmperes, 0.0) + std::max(amperes, 0.0)) / 2 / 3600;
    f.ahDischarged += dt * (std::max(-lastAmperes, 0.0) + std::max(-amperes, 0.0)) / 2 / 3600;
    f.whCharged += dt * (std::max(lastWatts, 0.0) + std::max(watts, 0.0)) / 2 / 3600;
    f.whDischarged += dt * (std::max(-lastWatts, 0.0) + std::max(-watts, 0.0)) / 2 / 3600;
    if ((static_cast<unsigned>(status.statusRegister) & dischargeMask) != 0) f.secondsOnBattery += dt;
}

// The lowest and highest stack voltage, cell voltage and layer temperature so far.
void HealthTracker::countExtremes(const BatteryStatus& status, long long at)
{
    LifetimeFigures& f = figures.lifetime;
    double stack = stackVoltage(&status);
    extreme(&f.stackLow, stack, at, 0, false);
    extreme(&f.stackHigh, stack, at, 0, true);
    CellRange range = cellRange(&status);
    extreme(&f.cellLow, range.lowest / 1000.0, at, range.lowestCell, false);
    extreme(&f.cellHigh, range.highest / 1000.0, at, range.highestCell, true);
    // temperature[0] is layer 8, down to temperature[7], layer 1.
    for (int i = healthCells - 1; i >= 0; i--) {
        extreme(&f.temperatureLow, status.temperature[i], at, healthCells - i, false);
        extreme(&f.temperatureHigh, status.temperature[i], at, healthCells - i, true);
    }
}

// Count faults and alerts as they come, and the time each balance bit is set, dt seconds since the previous answer.
void HealthTracker::countBits(const BatteryStatus& status, long long at, double dt)
{
    LifetimeFigures& f = figures.lifetime;
    auto reg = static_cast<unsigned>(status.statusRegister);
    std::size_t k = 0;
    for (const StatusBit& bit : statusBits) {
        if (!bit.isFault) continue;
        if ((reg & bit.mask) != 0 && (lastFaults & bit.mask) == 0) {
            f.faults[k]++;
            f.faultLast[k] = at;
        }
        k++;
    }
    lastFaults = reg;
    const bool alerts[2] = {status.tempAlertRegister != 0, status.voltAlertRegister != 0};
    const bool before[2] = {lastTempAlert, lastVoltAlert};
    for (std::size_t i = 0; i < 2; i++)
        if (alerts[i] && !before[i]) {
            f.alerts[i]++;
            f.alertLast[i] = at;
        }
    lastTempAlert = alerts[0];
    lastVoltAlert = alerts[1];
    if (dt > 0)
        for (std::size_t c = 0; c < cells; c++)
            if ((static_cast<unsigned>(status.balanceRegister) >> c & 1U) != 0) f.balanceSeconds[c] += dt;
}

// Follow the charge: the deepest, the last full, and the run of answers one way that measures
// a capacity; dt below 0 when the answer does not continue from the previous one.
void HealthTracker::followCharge(const BatteryStatus& status, const Estimate& estimate, double amperes, double dt,
                                 long long at)
{
    LifetimeFigures& f = figures.lifetime;
    double charge = chargePercent(&status);
    bool plausible = !estimate.implausible && charge <= 100;
    if (plausible && charge >= fullPercent) f.lastFull = at;
    if (plausible && (f.lowestChargeAt == 0 || charge < f.lowestCharge)) {
        f.lowestCharge = charge;
        f.lowestChargeAt = at;
    }
    int direction = directionOf(amperes);
    bool turned = direction != 0 && runSign != 0 && direction != runSign;
    if (runOpen && (dt < 0 || !plausible || turned)) endRun(lastTime);
    if (!plausible) return;
    if (!runOpen) {
        runOpen = true;
        runSign = direction;
        runStart = runEnd = runLowest = charge;
        runAh = 0;
        return;
    }
    if (runSign == 0) runSign = direction;
    runAh += (lastAmperes + amperes) / 2 * dt / 3600;
    runEnd = charge;
    runLowest = std::min(runLowest, charge);
}

// End the run of answers one way at its last answer's time: a discharge counted, a capacity measured.
void HealthTracker::endRun(double endTime)
{
    runOpen = false;
    double moved = (runEnd - runStart) * runSign;
    LifetimeFigures& f = figures.lifetime;
    if (runSign < 0 && moved >= dischargePoints) {
        if (f.depthCount == depthsKept) std::rotate(f.depths.begin(), f.depths.begin() + 1, f.depths.end());
        else f.depthCount++;
        f.depths[f.depthCount - 1] = runStart - runLowest;
        f.discharges++;
        if (runLowest <= settings.lowBattery) f.deepDischarges++;
    }
    if (runSign == 0 || moved < capacityRunPoints || runAh * runSign <= 0) return;
    addPoint({static_cast<long long>(endTime), std::abs(runAh) / moved * 100, f.cycles});
}

// Keep a measured capacity, hand it to the store and fit the points again.
void HealthTracker::addPoint(const CapacityPoint& point)
{
    points.push_back(point);
    if (disk != nullptr) disk->addCapacityPoint(figures.lifetime.battery, point);
    figures.points = std::make_shared<const std::vector<CapacityPoint>>(points);
    fit();
}

// The health and its fit from the points.
void HealthTracker::fit()
{
    Fit made = fitPoints(points, settings.ratedCapacity, settings.replaceAt);
    figures.health = made.health;
    figures.reference = made.reference;
    figures.referenceAh = made.referenceAh;
    figures.fitSlopePerYear = made.slopePerYear;
    figures.fitAmpereHours = made.fitted;
    figures.fadePer100Cycles = made.fadePer100Cycles;
    figures.fadePerYear = made.fadePerYear;
    figures.replaceDate = made.replaceDate;
    changed = true;
}

// A load step from the previous answer: the resistance of the stack and of each cell, as medians.
void HealthTracker::loadStep(const BatteryStatus& status, double amperes)
{
    double dI = amperes - lastAmperes;
    if (std::abs(dI) < stepAmperes || std::abs(chargePercent(&status) - lastCharge) >= stepChargePoints) return;
    // The answer's current is positive while charging: R = -dV/d(discharge current) = dV/dI.
    double values[healthCells + 1];
    values[0] = (stackVoltage(&status) - lastVolts) / dI;
    for (std::size_t c = 0; c < cells; c++) values[c + 1] = (status.cellVoltage[c] / 1000.0 - lastCells[c]) / dI;
    for (std::size_t i = 0; i <= healthCells; i++) {
        if (steps[i].size() == resistanceSteps) steps[i].pop_front();
        steps[i].push_back(values[i]);
    }
    figures.stackResistance = medianOf({steps[0].begin(), steps[0].end()});
    for (std::size_t c = 0; c < cells; c++)
        figures.cellResistance[c] = medianOf({steps[c + 1].begin(), steps[c + 1].end()});
    figures.loadSteps++;
    loadStepped = true;
    changed = true;
}

// After a load step: which cells are weak, and weakcell or weakcellclear when the weak one changes.
void HealthTracker::weakCells(long long at, std::vector<Event>* events)
{
    loadStepped = false;
    std::array<double, healthCells> ratios{};
    std::size_t weakest = 0; // from 1; 0 for none
    for (std::size_t c = 0; c < cells; c++) {
        std::vector<double> others;
        others.reserve(cells - 1);
        for (std::size_t o = 0; o < cells; o++)
            if (o != c) others.push_back(*figures.cellResistance[o]);
        double median = *medianOf(others);
        ratios[c] = median > 0 ? *figures.cellResistance[c] / median : 0;
        bool high = ratios[c] > weakFactor;
        above[c] = high ? above[c] + 1 : 0;
        below[c] = high ? 0 : below[c] + 1;
        weak[c] = weak[c] ? below[c] < weakSteps : above[c] >= weakSteps;
        if (weak[c] && (weakest == 0 || ratios[c] > ratios[weakest - 1])) weakest = c + 1;
    }
    int was = figures.weakCell;
    figures.weakCell = static_cast<int>(weakest);
    figures.weakRatio = weakest != 0 ? ratios[weakest - 1] : 0;
    if (figures.weakCell == was) return;
    char text[160];
    if (weakest != 0) {
        std::snprintf(text, sizeof text, "cell %d: resistance %.2f mOhm, %.2f times the median of the others",
                      figures.weakCell, *figures.cellResistance[weakest - 1] * 1000, figures.weakRatio);
        events->push_back(make("weakcell", text, at));
    } else {
        std::snprintf(text, sizeof text, "cell %d: resistance within %.1f times the median of the others again", was, weakFactor);
        events->push_back(make("weakcellclear", text, at));
    }
}

// replacebatteryclear for a replaced battery that was due, and replacebattery when health falls to --replace-at.
void HealthTracker::replaceEvents(long long at, std::vector<Event>* events)
{
    if (clearPending) {
        clearPending = false;
        events->push_back(make("replacebatteryclear", "a new battery installed on " + civilDateText(settings.installed) +
                                                          " is recorded", at));
    }
    if (figures.replace || !figures.health || *figures.health * 100 > settings.replaceAt) return;
    figures.replace = true;
    changed = true;
    char text[200];
    std::snprintf(text, sizeof text, "health %.1f %% (%.2f Ah of %.2f Ah %s) is at or below %g %%",
                  *figures.health * 100, *figures.fitAmpereHours, figures.referenceAh, figures.reference,
                  settings.replaceAt);
    events->push_back(make("replacebattery", text, at));
}

// An event of this battery.
Event HealthTracker::make(const char* name, const std::string& detail, long long at) const
{
    return Event{settings.battery, name, detail, at};
}
