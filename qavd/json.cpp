// json: the JSON form of an accepted answer, shared by standard output and MQTT.
#include "json.h"

#include <cstdint>
#include <numeric>

const StatusFlag statusFlags[13] = {
    {0x0008, "fan", false},
    {0x0010, "main_fuse", true},
    {0x0020, "safe_operating_area", true},
    {0x0040, "overcurrent", true},
    {0x0080, "undervoltage", true},
    {0x0100, "overvoltage", true},
    {0x0200, "discharge_mode", false},
    {0x0400, "charge_mode", false},
    {0x0800, "discharge_transient", true},
    {0x1000, "battery_cold_limit", true},
    {0x2000, "heatsink_hot_limit", true},
    {0x4000, "battery_hot_limit", true},
    {0x8000, "battery_enable", false},
};

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
template <typename Json> Json flagsJson(int statusRegister)
{
    Json flags = Json::object();
    for (const StatusFlag& flag : statusFlags)
        flags[flag.name] = (static_cast<unsigned>(statusRegister) & flag.mask) != 0;
    return flags;
}

// The measured values, scaled as the console report scales them.
template <typename Json> void addMeasurements(Json& object, const BatteryStatus& status)
{
    object["gas_gauge_percent"] = status.gasGauge / 100.0;
    Json cells = Json::array();
    for (int thousandths : status.cellVoltage) cells.push_back(thousandths / 1000.0);
    object["cell_voltages_volts"] = cells;
    long long sum = std::accumulate(std::begin(status.cellVoltage), std::end(status.cellVoltage), 0LL);
    object["stack_voltage_volts"] = static_cast<double>(sum) / 1000.0;
    object["current_amperes"] = static_cast<std::int16_t>(status.current & 0xFFFF) / 100.0;
    // The answer lists layer 8 first; JSON lists layer 1 first.
    Json layers = Json::array();
    for (int layer = 7; layer >= 0; layer--) layers.push_back(status.temperature[layer]);
    object["layer_temperatures_celsius"] = layers;
    object["heatsink_temperature_celsius"] = status.temperature[8];
    object["relative_humidity_percent"] = status.humidity;
}

// The whole object; Json decides whether keys keep this order.
template <typename Json> Json buildReading(const Reading& reading)
{
    const BatteryStatus& status = reading.status;
    Json object = Json::object();
    object["battery"] = reading.battery;
    object["time"] = reading.time;
    addMeasurements(object, status);
    object["balance_register"] = status.balanceRegister;
    object["temp_alert_register"] = status.tempAlertRegister;
    object["volt_alert_register"] = status.voltAlertRegister;
    object["status_register"] = status.statusRegister;
    object["status_flags"] = flagsJson<Json>(status.statusRegister);
    object["answer"] = bytesAsText(reading.answer);
    return object;
}

} // namespace

nlohmann::json readingJson(const Reading& reading)
{
    return buildReading<nlohmann::json>(reading);
}

std::string readingJsonLine(const Reading& reading)
{
    // The line keeps the documented key order; every text in it is valid UTF-8,
    // so dump() cannot throw.
    return buildReading<nlohmann::ordered_json>(reading).dump();
}
