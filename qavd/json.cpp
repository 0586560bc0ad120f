// json: the JSON form of an accepted answer, shared by standard output and MQTT.
#include "json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <numeric>
#include <vector>

namespace {

// The answer's bytes as a UTF-8 text: each byte is the code point of its value, so
// any byte survives JSON (which holds only valid UTF-8) and can be read back exactly.
std::string bytesAsText(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

// The status register's thirteen reported bits by name.
nlohmann::json flagsJson(int statusRegister)
{
    nlohmann::json flags = nlohmann::json::object();
    for (const StatusBit& bit : statusBits) flags[bit.name] = (static_cast<unsigned>(statusRegister) & bit.mask) != 0;
    return flags;
}

// The measured values, scaled as the console report scales them.
void addMeasurements(nlohmann::json& object, const BatteryStatus& status)
{
    object["gas_gauge_percent"] = chargePercent(&status);
    std::vector<double> cells(std::size(status.cellVoltage));
    std::transform(std::begin(status.cellVoltage), std::end(status.cellVoltage), cells.begin(),
                   [](int thousandths) { return thousandths / 1000.0; });
    object["cell_voltages_volts"] = cells;
    object["stack_voltage_volts"] = stackVoltage(&status);
    object["current_amperes"] = currentAmperes(&status);
    // The answer lists layer 8 first; JSON lists layer 1 first.
    nlohmann::json layers = nlohmann::json::array();
    for (int layer = 7; layer >= 0; layer--) layers.push_back(status.temperature[layer]);
    object["layer_temperatures_celsius"] = layers;
    object["heatsink_temperature_celsius"] = status.temperature[8];
    object["relative_humidity_percent"] = status.humidity;
}

// ,"key":value rounded to a number of decimals (0 to 3), or null when there is none. With
// decimals the number reads as nlohmann::json writes the rounded double: trailing zeros
// dropped but one ("26.4", "12.0"); without, a whole number. Integer arithmetic keeps it cheap.
void appendField(std::string& line, const char* key, std::optional<double> value, int decimals)
{
    static const long long scales[] = {1, 10, 100, 1000};
    line.append(",\"").append(key).append("\":");
    if (!value || !std::isfinite(*value) || std::abs(*value) > 1e15) {
        line += "null";
        return;
    }
    long long scaled = std::llround(*value * static_cast<double>(scales[decimals]));
    if (scaled < 0) line += '-';
    unsigned long long magnitude = scaled < 0 ? 0ULL - static_cast<unsigned long long>(scaled) : static_cast<unsigned long long>(scaled);
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, magnitude / static_cast<unsigned long long>(scales[decimals])).ptr;
    line.append(text, end);
    if (decimals == 0) return;
    auto fraction = magnitude % static_cast<unsigned long long>(scales[decimals]);
    char digits[3] = {};
    for (int i = decimals - 1; i >= 0; i--, fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
    int kept = decimals;
    while (kept > 1 && digits[kept - 1] == '0') kept--;
    line += '.';
    line.append(digits, static_cast<std::size_t>(kept));
}

// Power, time left, capacity and energy, written straight into the line: they are on every
// answer, and building them as JSON values first would cost more than the rest of the poll.
void appendEstimate(std::string& line, const Reading& reading)
{
    const Estimate& e = reading.estimate;
    appendField(line, "power_watts", powerWatts(reading.status), 2);
    appendField(line, "runtime_seconds", e.runtime, 0);
    appendField(line, "time_to_full_seconds", e.timeToFull, 0);
    appendField(line, "capacity_ah", e.capacity, 3);
    line.append(",\"capacity_source\":");
    if (e.capacitySource != nullptr) line.append("\"").append(e.capacitySource).append("\"");
    else line.append("null");
    appendField(line, "capacity_learning_percent", e.capacity ? std::nullopt : std::optional<double>(e.learning), 2);
    appendField(line, "energy_charged_joules", e.energyCharged, 0);
    appendField(line, "energy_discharged_joules", e.energyDischarged, 0);
}

// The keys of the object in the order a line shows them.
const char* const lineOrder[] = {"battery", "time", "gas_gauge_percent", "cell_voltages_volts",
                                 "stack_voltage_volts", "current_amperes",
                                 "layer_temperatures_celsius", "heatsink_temperature_celsius",
                                 "relative_humidity_percent", "balance_register",
                                 "temp_alert_register", "volt_alert_register", "status_register",
                                 "status_flags"};

// The names of the status flags in register order.
std::array<const char*, statusBitCount> flagNames()
{
    std::array<const char*, statusBitCount> names{};
    std::transform(std::begin(statusBits), std::end(statusBits), names.begin(), [](const StatusBit& bit) { return bit.name; });
    return names;
}

// Append "key":value pairs of object to line in the given order, inside braces.
// Keys are plain names, so they need no escaping.
template <typename Keys> void appendInOrder(std::string& line, const nlohmann::json& object, const Keys& keys)
{
    line += '{';
    for (const auto& key : keys) {
        if (line.back() != '{') line += ',';
        const nlohmann::json& value = object.at(key);
        line += '"';
        line += key;
        line += "\":";
        if (value.is_object()) appendInOrder(line, value, flagNames());
        else line += value.dump();
    }
    line += '}';
}

// The object of an answer without the estimate.
nlohmann::json answerJson(const Reading& reading)
{
    const BatteryStatus& status = reading.status;
    nlohmann::json object = nlohmann::json::object();
    object["battery"] = reading.battery;
    object["time"] = reading.time;
    addMeasurements(object, status);
    object["balance_register"] = status.balanceRegister;
    object["temp_alert_register"] = status.tempAlertRegister;
    object["volt_alert_register"] = status.voltAlertRegister;
    object["status_register"] = status.statusRegister;
    object["status_flags"] = flagsJson(status.statusRegister);
    object["answer"] = bytesAsText(reading.answer);
    return object;
}

} // namespace

nlohmann::json readingJson(const Reading& reading)
{
    return nlohmann::json::parse(readingJsonLine(reading));
}

std::string readingJsonLine(const Reading& reading)
{
    // Every text in the object is valid UTF-8, so dump() cannot throw.
    nlohmann::json object = answerJson(reading);
    std::string line;
    line.reserve(1024);
    appendInOrder(line, object, lineOrder);
    line.pop_back(); // the closing brace: the estimate and the answer follow
    appendEstimate(line, reading);
    line += ",\"answer\":";
    line += object["answer"].dump();
    line += '}';
    return line;
}

const std::string& Reading::json() const
{
    if (jsonCache.empty()) jsonCache = readingJsonLine(*this);
    return jsonCache;
}
