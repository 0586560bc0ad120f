// discovery: the MQTT topics of one battery and its Home Assistant discovery configs.
#include "discovery.h"

#include "json.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// A measured value: its object id, its name in Home Assistant, its class, unit and template.
struct SensorConfig {
    std::string object;
    std::string label;
    const char* deviceClass;
    const char* unit;
    std::string valueTemplate;
    const char* stateClass = "measurement";
};

// "main_fuse" as a label: "Main fuse".
std::string labelOf(const std::string& object)
{
    std::string label = object;
    std::replace(label.begin(), label.end(), '_', ' ');
    if (!label.empty()) label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
    return label;
}

// The sensors of one battery, in the order of the state JSON.
std::vector<SensorConfig> sensorConfigs()
{
    std::vector<SensorConfig> sensors = {
        {"gas_gauge", "Gas gauge", "battery", "%", "{{ value_json.gas_gauge_percent }}"},
        {"stack_voltage", "Stack voltage", "voltage", "V", "{{ value_json.stack_voltage_volts }}"},
        {"current", "Current", "current", "A", "{{ value_json.current_amperes }}"},
    };
    for (int i = 0; i < 8; i++) {
        std::string n = std::to_string(i + 1), at = "[" + std::to_string(i) + "]";
        sensors.push_back({"cell_" + n + "_voltage", "Cell " + n + " voltage", "voltage", "V",
                         "{{ value_json.cell_voltages_volts" + at + " }}"});
    }
    for (int i = 0; i < 8; i++) {
        std::string n = std::to_string(i + 1), at = "[" + std::to_string(i) + "]";
        sensors.push_back({"layer_" + n + "_temperature", "Layer " + n + " temperature", "temperature", "°C",
                         "{{ value_json.layer_temperatures_celsius" + at + " }}"});
    }
    sensors.push_back({"heatsink_temperature", "Heatsink temperature", "temperature", "°C",
                     "{{ value_json.heatsink_temperature_celsius }}"});
    sensors.push_back({"humidity", "Humidity", "humidity", "%", "{{ value_json.relative_humidity_percent }}"});
    // Time left and energy; an unknown runtime renders None, which Home Assistant shows as unknown.
    sensors.push_back({"runtime", "Runtime", "duration", "s", "{{ value_json.runtime_seconds }}"});
    sensors.push_back({"power", "Power", "power", "W", "{{ value_json.power_watts }}"});
    sensors.push_back({"energy_charged", "Energy charged", "energy", "kWh",
                       "{{ value_json.energy_charged_joules / 3600000 }}", "total_increasing"});
    sensors.push_back({"energy_discharged", "Energy discharged", "energy", "kWh",
                       "{{ value_json.energy_discharged_joules / 3600000 }}", "total_increasing"});
    return sensors;
}

// The fields every entity of the battery shares.
nlohmann::json entityBase(const MqttTopics& topics, const std::string& name, const std::string& object,
                          const std::string& label)
{
    return {
        {"name", label},
        {"has_entity_name", true},
        {"unique_id", "qav_" + name + "_" + object},
        {"state_topic", topics.state},
        {"availability_topic", topics.availability},
        {"payload_available", "online"},
        {"payload_not_available", "offline"},
        {"device", {{"identifiers", {"qav_" + name}}, {"name", name}, {"model", "battery module"}}},
    };
}

// The device class of a status flag that is not a fault, if Home Assistant has one for it.
const char* flagClass(const StatusFlag& flag)
{
    if (flag.isFault) return "problem";
    std::string name = flag.name;
    if (name == "fan") return "running";
    if (name == "charge_mode") return "battery_charging";
    if (name == "battery_enable") return "power";
    return nullptr;
}

// "<prefix>/<component>/qav_<name>/<object>/config".
std::string configTopic(const std::string& prefix, const char* component, const std::string& name,
                        const std::string& object)
{
    std::string topic = prefix;
    topic.append("/").append(component).append("/qav_").append(name).append("/").append(object).append("/config");
    return topic;
}

// The battery_low binary sensor: on as readingLow() has it.
nlohmann::json batteryLowConfig(const MqttTopics& topics, const std::string& name, double lowPercent,
                                double lowRuntime)
{
    nlohmann::json payload = entityBase(topics, name, "battery_low", "Battery low");
    char runtime[96] = "";
    if (lowRuntime > 0)
        std::snprintf(runtime, sizeof runtime, " or (value_json.runtime_seconds is number and "
                                               "value_json.runtime_seconds <= %g)", lowRuntime);
    char test[256];
    std::snprintf(test, sizeof test, "{{ 'ON' if value_json.gas_gauge_percent <= %g or "
                                     "value_json.status_flags.undervoltage%s else 'OFF' }}", lowPercent, runtime);
    payload["device_class"] = "battery";
    payload["payload_on"] = "ON";
    payload["payload_off"] = "OFF";
    payload["value_template"] = test;
    return payload;
}

} // namespace

MqttTopics mqttTopics(const std::string& topicPrefix, const std::string& name)
{
    std::string base = topicPrefix + "/" + name + "/";
    return {base + "state", base + "availability", base + "event"};
}

std::vector<DiscoveryConfig> discoveryConfigs(const MqttTopics& topics, const std::string& discoveryPrefix,
                                              const std::string& name, double lowPercent, double lowRuntime)
{
    std::vector<DiscoveryConfig> configs;
    for (const SensorConfig& sensor : sensorConfigs()) {
        nlohmann::json payload = entityBase(topics, name, sensor.object, sensor.label);
        payload["device_class"] = sensor.deviceClass;
        payload["unit_of_measurement"] = sensor.unit;
        payload["state_class"] = sensor.stateClass;
        payload["value_template"] = sensor.valueTemplate;
        configs.push_back({configTopic(discoveryPrefix, "sensor", name, sensor.object), std::move(payload)});
    }
    configs.push_back({configTopic(discoveryPrefix, "binary_sensor", name, "battery_low"),
                       batteryLowConfig(topics, name, lowPercent, lowRuntime)});
    for (const StatusFlag& flag : statusFlags) {
        nlohmann::json payload = entityBase(topics, name, flag.name, labelOf(flag.name));
        if (const char* deviceClass = flagClass(flag)) payload["device_class"] = deviceClass;
        payload["payload_on"] = "ON";
        payload["payload_off"] = "OFF";
        payload["value_template"] = std::string("{{ 'ON' if value_json.status_flags.") + flag.name + " else 'OFF' }}";
        configs.push_back({configTopic(discoveryPrefix, "binary_sensor", name, flag.name), std::move(payload)});
    }
    return configs;
}
