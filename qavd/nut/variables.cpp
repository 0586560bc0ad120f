// variables: the NUT variables of an accepted answer, ups.status among them.
#include "variables.h"
#include "qav_version.h"

#include "events.h"
#include "json.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <numeric>

namespace {

// What a value is made from.
struct Source {
    const BatteryStatus& status;
    const std::string& battery;
    double lowPercent;
    const Estimate& estimate;
    double lowRuntime;
    const Health* health; // null when none is known
};

// One variable: what it is, and how its value is made ("" when it has none now).
struct Row {
    NutVariableInfo info;
    std::function<std::string(const Source&)> value;
};

// One number as printf formats it.
template <typename Number> std::string format(const char* pattern, Number number)
{
    char text[32];
    std::snprintf(text, sizeof text, pattern, number);
    return text;
}

// A value that never changes.
std::function<std::string(const Source&)> fixed(const char* text)
{
    return [text](const Source&) { return std::string(text); };
}

// A temperature: the answer's layers 8 down to 1 (0 to 7), the heatsink (8); whole degrees.
std::function<std::string(const Source&)> temperature(int index)
{
    return [index](const Source& s) { return format("%d", s.status.temperature[index]); };
}

// The coolest or the hottest of the eight layers.
std::function<std::string(const Source&)> layerExtreme(bool hottest)
{
    return [hottest](const Source& s) {
        const int* layers = s.status.temperature;
        return format("%d", hottest ? *std::max_element(layers, layers + 8) : *std::min_element(layers, layers + 8));
    };
}

// The lowest or the highest cell voltage, in volts.
std::function<std::string(const Source&)> cellExtreme(bool highest)
{
    return [highest](const Source& s) {
        CellRange cells = cellRange(&s.status);
        return format("%.3f", (highest ? cells.highest : cells.lowest) / 1000.0);
    };
}

// A register in as many hex digits as the answer gives it.
std::function<std::string(const Source&)> hexRegister(int BatteryStatus::*field, const char* pattern)
{
    return [field, pattern](const Source& s) { return format(pattern, static_cast<unsigned>(s.status.*field) & 0xFFFFU); };
}

// What is alarmed: the names of the Fault bits set, then temp_alert and volt_alert; "" for nothing.
std::string alarmText(const BatteryStatus& status)
{
    std::string text;
    auto add = [&text](const char* word) { text.append(text.empty() ? "" : " ").append(word); };
    for (const StatusBit& bit : statusBits)
        if (bit.isFault && statusBitSet(&status, bit.name)) add(bit.name);
    if (status.tempAlertRegister != 0) add("temp_alert");
    if (status.voltAlertRegister != 0) add("volt_alert");
    return text;
}

// The installation date as YYYY-MM-DD; "" when it is not known.
std::string installedDate(const Source& s)
{
    return s.health != nullptr && s.health->lifetime.installed != 0 ? civilDateText(s.health->lifetime.installed) : "";
}

// What the battery is doing, by its mode bits; discharge wins over charge, as in ups.status.
std::string chargerStatus(const Source& s)
{
    if (statusBitSet(&s.status, "discharge_mode")) return "discharging";
    return statusBitSet(&s.status, "charge_mode") ? "charging" : "resting";
}

// The variables of the battery as a whole.
std::vector<Row> batteryRows()
{
    return {
        {{"ambient.humidity", true, "Relative humidity inside the module (percent)"},
         [](const Source& s) { return format("%d", s.status.humidity); }},
        {{"battery.capacity", true, "Battery capacity at full charge, rated or learned (Ah)"},
         [](const Source& s) { return s.estimate.capacity ? format("%.2f", *s.estimate.capacity) : ""; }},
        {{"battery.charge", true, "Battery charge: the gas gauge (percent)"},
         [](const Source& s) { return format("%.1f", chargePercent(&s.status)); }},
        {{"battery.charge.low", true, "Charge at or below which the battery is low (percent)"},
         [](const Source& s) { return format("%g", s.lowPercent); }},
        {{"battery.charger.status", false, "charging, discharging or resting"}, chargerStatus},
        {{"battery.date", false, "Battery installation date (YYYY-MM-DD, --installed)"}, installedDate},
        {{"battery.current", true, "Battery current, positive while charging (A)"},
         [](const Source& s) { return format("%.2f", currentAmperes(&s.status)); }},
        {{"battery.runtime", true, "Time left on battery at the present load (seconds)"},
         [](const Source& s) { return s.estimate.runtime ? format("%.0f", *s.estimate.runtime) : ""; }},
        {{"battery.runtime.low", true, "Runtime at or below which the battery is low (seconds)"},
         [](const Source& s) { return s.lowRuntime > 0 ? format("%g", s.lowRuntime) : ""; }},
        {{"battery.temperature", true, "Temperature of the hottest layer (degrees C)"}, layerExtreme(true)},
        {{"battery.temperature.cell.max", true, "Temperature of the hottest layer (degrees C)"}, layerExtreme(true)},
        {{"battery.temperature.cell.min", true, "Temperature of the coolest layer (degrees C)"}, layerExtreme(false)},
        {{"battery.voltage", true, "Stack voltage: the sum of the eight cells (V)"},
         [](const Source& s) { return format("%.3f", stackVoltage(&s.status)); }},
        {{"battery.voltage.cell.max", true, "Highest cell voltage (V)"}, cellExtreme(true)},
        {{"battery.voltage.cell.min", true, "Lowest cell voltage (V)"}, cellExtreme(false)},
        {{"ups.alarm", false, "Alarms: the Fault bits set, temp_alert, volt_alert"},
         [](const Source& s) { return alarmText(s.status); }},
        {{"ups.status", false, "Status: OL or OB, CHRG, DISCHRG, LB, RB, OVER, OFF, ALARM, FSD"},
         [](const Source& s) { return nutStatus(s.status, s.estimate, s.lowPercent, s.health != nullptr && s.health->replace); }},
        {{"ups.temperature", true, "Heatsink temperature (degrees C)"}, temperature(8)},
    };
}

// The variables naming the device and its driver.
std::vector<Row> deviceRows()
{
    return {
        {{"device.mfr", false, "Manufacturer"}, fixed("QAV")},
        {{"device.model", false, "Model"}, fixed("battery module")},
        {{"device.serial", false, "The battery's name"}, [](const Source& s) { return s.battery; }},
        {{"device.type", false, "Device type"}, fixed("battery")},
        {{"driver.name", false, "Driver name"}, fixed("qavd")},
        {{"driver.version", false, "Driver version"}, fixed(QAV_VERSION)},
        {{"ups.mfr", false, "Manufacturer"}, fixed("QAV")},
        {{"ups.model", false, "Model"}, fixed("battery module")},
    };
}

// The rest of the answer: each cell and layer, and the four registers.
std::vector<Row> answerRows()
{
    std::vector<Row> rows = {
        {{"experimental.qav.register.alert.temperature", false, "Temperature alert register (hex)"},
         hexRegister(&BatteryStatus::tempAlertRegister, "%04X")},
        {{"experimental.qav.register.alert.voltage", false, "Voltage alert register (hex)"},
         hexRegister(&BatteryStatus::voltAlertRegister, "%04X")},
        {{"experimental.qav.register.balance", false, "Balance register (hex)"},
         hexRegister(&BatteryStatus::balanceRegister, "%02X")},
        {{"experimental.qav.register.status", false, "Battery status register (hex)"},
         hexRegister(&BatteryStatus::statusRegister, "%04X")},
    };
    for (int n = 1; n <= 8; n++) {
        std::string number = std::to_string(n);
        rows.push_back({{"experimental.qav.cell." + number + ".voltage", true, "Voltage of cell " + number + " (V)"},
                        [n](const Source& s) { return format("%.3f", s.status.cellVoltage[n - 1] / 1000.0); }});
        rows.push_back({{"experimental.qav.layer." + number + ".temperature", true,
                         "Temperature of layer " + number + " (degrees C)"},
                        temperature(8 - n)});
    }
    return rows;
}

// Every variable, sorted by name.
const std::vector<Row>& table()
{
    static const std::vector<Row> rows = [] {
        std::vector<Row> all = batteryRows();
        for (auto part : {deviceRows(), answerRows()}) std::move(part.begin(), part.end(), std::back_inserter(all));
        std::sort(all.begin(), all.end(), [](const Row& a, const Row& b) { return a.info.name < b.info.name; });
        return all;
    }();
    return rows;
}

} // namespace

const std::vector<NutVariableInfo>& nutVariableInfo()
{
    static const std::vector<NutVariableInfo> info = [] {
        std::vector<NutVariableInfo> all(table().size());
        std::transform(table().begin(), table().end(), all.begin(), [](const Row& row) { return row.info; });
        return all;
    }();
    return info;
}

std::string nutStatus(const BatteryStatus& status, const Estimate& estimate, double lowPercent, bool replace)
{
    std::string text = alarmText(status).empty() ? "" : "ALARM ";
    if (statusBitSet(&status, "discharge_mode")) text += "OB DISCHRG";
    else text += statusBitSet(&status, "charge_mode") ? "OL CHRG" : "OL";
    if (batteryLow(status, estimate, lowPercent)) text += " LB";
    if (replace) text += " RB";
    if (statusBitSet(&status, "overcurrent")) text += " OVER";
    if (!statusBitSet(&status, "battery_enable")) text += " OFF";
    return text;
}

std::vector<NutVariable> nutVariables(const BatteryStatus& status, const std::string& battery, double lowPercent,
                                      const Estimate& estimate, double lowRuntime, const Health* health)
{
    Source source{status, battery, lowPercent, estimate, lowRuntime, health};
    std::vector<NutVariable> variables;
    for (const Row& row : table()) {
        std::string value = row.value(source);
        if (!value.empty()) variables.push_back({row.info.name, std::move(value)});
    }
    return variables;
}
