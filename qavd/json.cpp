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

// A whole number of units of 10^-decimals (decimals 0 to 3) as nlohmann::json writes the
// double it stands for: trailing zeros dropped but one ("4.032", "85.1", "-1.0"); with no
// decimals, a whole number.
void appendScaled(std::string& line, long long scaled, int decimals)
{
    static const unsigned long long scales[] = {1, 10, 100, 1000};
    if (scaled < 0) line += '-';
    unsigned long long magnitude = scaled < 0 ? 0ULL - static_cast<unsigned long long>(scaled) : static_cast<unsigned long long>(scaled);
    unsigned long long scale = scales[decimals];
    char text[32];
    line.append(text, std::to_chars(text, text + sizeof text, magnitude / scale).ptr);
    if (decimals == 0) return;
    auto fraction = magnitude % scale;
    char digits[3] = {};
    for (int i = decimals - 1; i >= 0; i--, fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
    int kept = decimals;
    while (kept > 1 && digits[kept - 1] == '0') kept--;
    line += '.';
    line.append(digits, static_cast<std::size_t>(kept));
}

// ,"key":value rounded to a number of decimals (0 to 3), or null when there is none, as
// appendScaled() writes it. Integer arithmetic keeps it cheap.
void appendField(std::string& line, const char* key, std::optional<double> value, int decimals)
{
    static const double scales[] = {1, 10, 100, 1000};
    line.append(",\"").append(key).append("\":");
    if (!value || !std::isfinite(*value) || std::abs(*value) > 1e15) {
        line += "null";
        return;
    }
    appendScaled(line, std::llround(*value * scales[decimals]), decimals);
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

// ,"key":N for a whole number.
void appendWhole(std::string& line, const char* key, long long value)
{
    char text[32];
    line.append(",\"").append(key).append("\":").append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// The measured values, scaled as the console report scales them; layer 1 first, although
// the answer lists layer 8 first.
void appendMeasurements(std::string& line, const BatteryStatus& status)
{
    line += ",\"gas_gauge_percent\":";
    appendScaled(line, status.gasGauge, 2);
    line += ",\"cell_voltages_volts\":[";
    for (int cell : status.cellVoltage) {
        if (line.back() != '[') line += ',';
        appendScaled(line, cell, 3);
    }
    line += "],\"stack_voltage_volts\":";
    appendScaled(line, std::accumulate(std::begin(status.cellVoltage), std::end(status.cellVoltage), 0LL), 3);
    line += ",\"current_amperes\":";
    appendScaled(line, static_cast<std::int16_t>(status.current & 0xFFFF), 2);
    line += ",\"layer_temperatures_celsius\":[";
    for (int layer = 7; layer >= 0; layer--) line.append(layer == 7 ? "" : ",").append(std::to_string(status.temperature[layer]));
    line += ']';
    appendWhole(line, "heatsink_temperature_celsius", status.temperature[8]);
    appendWhole(line, "relative_humidity_percent", status.humidity);
}

// The registers, then the status register's thirteen reported bits by name.
void appendRegisters(std::string& line, const BatteryStatus& status)
{
    appendWhole(line, "balance_register", status.balanceRegister);
    appendWhole(line, "temp_alert_register", status.tempAlertRegister);
    appendWhole(line, "volt_alert_register", status.voltAlertRegister);
    appendWhole(line, "status_register", status.statusRegister);
    line += ",\"status_flags\":{";
    for (const StatusBit& bit : statusBits) {
        bool set = (static_cast<unsigned>(status.statusRegister) & bit.mask) != 0;
        line.append(line.back() == '{' ? "\"" : ",\"").append(bit.name).append(set ? "\":true" : "\":false");
    }
    line += '}';
}

} // namespace

nlohmann::json readingJson(const Reading& reading)
{
    return nlohmann::json::parse(readingJsonLine(reading));
}

std::string readingJsonLine(const Reading& reading)
{
    // Written straight into the line, as nlohmann::json would write each value: the line is
    // made on every answer, and building a JSON object first costs more than the rest of the
    // poll. The texts go through the library, for their escaping.
    std::string line;
    line.reserve(1024);
    line += "{\"battery\":";
    line += nlohmann::json(reading.battery).dump();
    appendWhole(line, "time", reading.time);
    appendMeasurements(line, reading.status);
    appendRegisters(line, reading.status);
    appendEstimate(line, reading);
    line += ",\"answer\":";
    // Every text in the object is valid UTF-8, so dump() cannot throw.
    line += nlohmann::json(bytesAsText(reading.answer)).dump();
    line += '}';
    return line;
}

const std::string& Reading::json() const
{
    if (jsonCache.empty()) jsonCache = readingJsonLine(*this);
    return jsonCache;
}
