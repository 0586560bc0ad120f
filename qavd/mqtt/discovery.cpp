// discovery: the MQTT topics of one battery and its Home Assistant discovery configs.
#include "discovery.h"

#include "event_table.h"
#include "json.h"
#include "qav_version.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace {

// A measured value: its object id, its name in Home Assistant, its class, unit, template, the
// decimals to show (none for a date), whether it is a diagnostic detail rather than a headline
// value, its state class, and whether it reads the health topic rather than the state topic.
struct SensorConfig {
    std::string object;
    std::string label;
    const char* deviceClass;
    const char* unit;
    std::string valueTemplate;
    int precision;
    bool diagnostic;
    const char* stateClass = "measurement";
    bool health = false;
};

// A template giving value_json's @p field, scaled by @p scale ("* 1000", "/ 3600" or ""), or
// None (unknown) while it is null.
std::string scaled(const std::string& field, const char* scale)
{
    std::string value = "value_json." + field;
    return "{{ " + value + (*scale != 0 ? std::string(" ") + scale : "") + " if " + value + " is number else None }}";
}

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
        {"gas_gauge", "Gas gauge", "battery", "%", "{{ value_json.gas_gauge_percent }}", 1, false},
        {"stack_voltage", "Stack voltage", "voltage", "V", "{{ value_json.stack_voltage_volts }}", 2, false},
        {"current", "Current", "current", "A", "{{ value_json.current_amperes }}", 2, false},
    };
    for (int i = 0; i < 8; i++) {
        std::string n = std::to_string(i + 1), at = "[" + std::to_string(i) + "]";
        sensors.push_back({"cell_" + n + "_voltage", "Cell " + n + " voltage", "voltage", "V",
                         "{{ value_json.cell_voltages_volts" + at + " }}", 3, true});
    }
    for (int i = 0; i < 8; i++) {
        std::string n = std::to_string(i + 1), at = "[" + std::to_string(i) + "]";
        sensors.push_back({"layer_" + n + "_temperature", "Layer " + n + " temperature", "temperature", "°C",
                         "{{ value_json.layer_temperatures_celsius" + at + " }}", 0, true});
    }
    sensors.push_back({"heatsink_temperature", "Heatsink temperature", "temperature", "°C",
                     "{{ value_json.heatsink_temperature_celsius }}", 0, false});
    sensors.push_back({"humidity", "Humidity", "humidity", "%", "{{ value_json.relative_humidity_percent }}", 0, false});
    // The raw registers: no unit, no class.
    const std::array<std::string, 4> registers = {"balance", "temp_alert", "volt_alert", "status"};
    std::transform(registers.begin(), registers.end(), std::back_inserter(sensors), [](const std::string& reg) {
        return SensorConfig{reg + "_register", labelOf(reg) + " register", nullptr, nullptr,
                            "{{ value_json." + reg + "_register }}", 0, true, nullptr};
    });
    // Time left and energy; an unknown runtime renders None, which Home Assistant shows as unknown.
    sensors.push_back({"runtime", "Runtime", "duration", "s", "{{ value_json.runtime_seconds }}", 0, false});
    sensors.push_back({"power", "Power", "power", "W", "{{ value_json.power_watts }}", 1, false});
    sensors.push_back({"energy_charged", "Energy charged", "energy", "kWh",
                       "{{ value_json.energy_charged_joules / 3600000 }}", 3, false, "total_increasing"});
    sensors.push_back({"energy_discharged", "Energy discharged", "energy", "kWh",
                       "{{ value_json.energy_discharged_joules / 3600000 }}", 3, false, "total_increasing"});
    return sensors;
}

// The health sensors, all diagnostic, in the order of the health JSON.
std::vector<SensorConfig> healthSensorConfigs()
{
    const char* total = "total_increasing";
    std::vector<SensorConfig> sensors = {
        {"installed", "Installed", "date", nullptr, "{{ value_json.installed or None }}", -1, true, nullptr, true},
        {"age", "Age", "duration", "d", scaled("age_seconds", "/ 86400"), 0, true, "measurement", true},
        {"equivalent_cycles", "Equivalent full cycles", nullptr, nullptr, scaled("lifetime.equivalent_cycles", ""), 1,
         true, total, true},
        {"lifetime_charged", "Lifetime charged", nullptr, "Ah", scaled("lifetime.charged_ampere_hours", ""), 1, true,
         total, true},
        {"lifetime_discharged", "Lifetime discharged", nullptr, "Ah", scaled("lifetime.discharged_ampere_hours", ""), 1,
         true, total, true},
        {"lifetime_energy_charged", "Lifetime energy charged", "energy", "kWh",
         scaled("lifetime.charged_watt_hours", "/ 1000"), 2, true, total, true},
        {"lifetime_energy_discharged", "Lifetime energy discharged", "energy", "kWh",
         scaled("lifetime.discharged_watt_hours", "/ 1000"), 2, true, total, true},
        {"since_full_charge", "Time since full charge", "duration", "h", scaled("since_full_charge_seconds", "/ 3600"),
         1, true, "measurement", true},
        {"health", "Health", nullptr, "%", scaled("health_ratio", "* 100"), 1, true, "measurement", true},
        // The projected day, as the midnight (UTC) that begins it.
        {"replace_date", "Projected replacement", "timestamp", nullptr,
         "{{ value_json.replace_date ~ 'T00:00:00+00:00' if value_json.replace_date else None }}", -1, true, nullptr,
         true},
        {"stack_resistance", "Stack resistance", nullptr, "mΩ", scaled("resistance.stack_ohms", "* 1000"), 1, true,
         "measurement", true},
    };
    for (int i = 0; i < 8; i++) {
        std::string n = std::to_string(i + 1);
        sensors.push_back({"cell_" + n + "_resistance", "Cell " + n + " resistance", nullptr, "mΩ",
                           scaled("resistance.cell_ohms[" + std::to_string(i) + "]", "* 1000"), 2, true, "measurement",
                           true});
    }
    return sensors;
}

// The device all of the battery's entities belong to; the page's address when there is one.
nlohmann::json deviceOf(const std::string& name, const std::string& configurationUrl)
{
    nlohmann::json device = {{"identifiers", {"qav_" + name}}, {"name", name},          {"manufacturer", "QAV"},
                             {"model", "battery module"},       {"sw_version", QAV_VERSION}};
    if (!configurationUrl.empty()) device["configuration_url"] = configurationUrl;
    return device;
}

// The fields every entity of the battery shares.
nlohmann::json entityBase(const MqttTopics& topics, const nlohmann::json& device, const std::string& object,
                          const std::string& label)
{
    const std::string& name = device["name"].get_ref<const std::string&>();
    nlohmann::json entity = {{"name", label}, {"unique_id", "qav_" + name + "_" + object}, {"state_topic", topics.state}};
    if (topics.connection.empty()) {
        entity["availability_topic"] = topics.availability;
        entity["payload_available"] = "online";
        entity["payload_not_available"] = "offline";
    } else {
        // The connection's last will can speak for one topic only: the site's, which each battery's joins.
        auto available = [](const std::string& topic) {
            return nlohmann::json{{"topic", topic}, {"payload_available", "online"}, {"payload_not_available", "offline"}};
        };
        entity["availability"] = nlohmann::json::array({available(topics.connection), available(topics.availability)});
        entity["availability_mode"] = "all";
    }
    entity["device"] = device;
    return entity;
}

// A binary sensor reading "ON" or "OFF" from a template.
nlohmann::json binaryBase(const MqttTopics& topics, const nlohmann::json& device, const std::string& object,
                          const std::string& label, const std::string& valueTemplate)
{
    nlohmann::json payload = entityBase(topics, device, object, label);
    payload["payload_on"] = "ON";
    payload["payload_off"] = "OFF";
    payload["value_template"] = valueTemplate;
    return payload;
}

// "fault": on while any Fault bit is set; the status register and the set bits' names as attributes.
nlohmann::json faultConfig(const MqttTopics& topics, const nlohmann::json& device)
{
    std::string names;
    for (const StatusBit& flag : statusBits)
        if (flag.isFault) names += std::string(names.empty() ? "" : ", ") + "'" + flag.name + "'";
    std::string set = "([" + names + "] | select('in', value_json.status_flags | dictsort | selectattr(1) | "
                      "map(attribute=0) | list) | list)";
    nlohmann::json payload = binaryBase(topics, device, "fault", "Fault", "{{ 'ON' if " + set + " else 'OFF' }}");
    payload["device_class"] = "problem";
    payload["json_attributes_topic"] = topics.state;
    payload["json_attributes_template"] =
        "{{ {'status_register': value_json.status_register, 'faults': " + set + "} | tojson }}";
    return payload;
}

// "temp_alert" or "volt_alert": on while the register is not 0; its value, in hex, and its set bits as attributes.
nlohmann::json alertConfig(const MqttTopics& topics, const nlohmann::json& device, const std::string& reg)
{
    std::string value = "value_json." + reg + "_register";
    nlohmann::json payload = binaryBase(topics, device, reg, labelOf(reg), "{{ 'ON' if " + value + " else 'OFF' }}");
    payload["device_class"] = "problem";
    payload["json_attributes_topic"] = topics.state;
    payload["json_attributes_template"] =
        "{% set r = " + value + " %}{% set ns = namespace(bits=[]) %}"
        "{% for b in range(16) if (r // 2 ** b) % 2 %}{% set ns.bits = ns.bits + [b] %}{% endfor %}"
        "{{ {'register': r, 'register_hex': '0x%04X' | format(r), 'bits': ns.bits} | tojson }}";
    return payload;
}

// qavd's events as an event entity, so that automations can trigger on each of them.
nlohmann::json eventConfig(const MqttTopics& topics, const nlohmann::json& device)
{
    nlohmann::json payload = entityBase(topics, device, "event", "Event");
    payload["state_topic"] = topics.event;
    nlohmann::json types = nlohmann::json::array();
    std::transform(std::begin(eventKinds), std::end(eventKinds), std::back_inserter(types),
                   [](const EventKind& kind) { return kind.name; });
    payload["event_types"] = types;
    payload["value_template"] =
        "{{ {'event_type': value_json.event, 'detail': value_json.detail, 'time': value_json.time} | tojson }}";
    return payload;
}

// The device class of a status flag that is not a fault, if Home Assistant has one for it.
const char* flagClass(const StatusBit& flag)
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

// A problem sensor of the health topic: on by its template, with attributes by their template.
nlohmann::json healthProblemConfig(const MqttTopics& topics, const nlohmann::json& device, const char* object,
                                   const char* name, const char* onTemplate, const char* attributes)
{
    nlohmann::json payload = binaryBase(topics, device, object, name, onTemplate);
    payload["state_topic"] = payload["json_attributes_topic"] = topics.health;
    payload["device_class"] = "problem";
    payload["json_attributes_template"] = attributes;
    return payload;
}

// "replace_battery": on while health is at or below --replace-at; the health, the level and the
// projected date as attributes.
nlohmann::json replaceConfig(const MqttTopics& topics, const nlohmann::json& device)
{
    return healthProblemConfig(
        topics, device, "replace_battery", "Replace battery", "{{ 'ON' if value_json.replace else 'OFF' }}",
        "{{ {'health_percent': value_json.health_ratio * 100 if value_json.health_ratio is number else None, "
        "'replace_at_percent': value_json.replace_at_percent, 'replace_date': value_json.replace_date} | tojson }}");
}

// "weak_cell": on while a cell is weak; the cell and its resistance over the others' median as attributes.
nlohmann::json weakCellConfig(const MqttTopics& topics, const nlohmann::json& device)
{
    return healthProblemConfig(topics, device, "weak_cell", "Weak cell", "{{ 'ON' if value_json.weak_cell else 'OFF' }}",
                               "{{ (value_json.weak_cell or {'cell': None, 'ratio': None}) | tojson }}");
}

// A sensor's config: its class, unit and state class where it has them, and its topic.
nlohmann::json sensorConfig(const MqttTopics& topics, const nlohmann::json& device, const SensorConfig& sensor)
{
    nlohmann::json payload = entityBase(topics, device, sensor.object, sensor.label);
    if (sensor.health) payload["state_topic"] = topics.health;
    if (sensor.deviceClass != nullptr) payload["device_class"] = sensor.deviceClass;
    if (sensor.unit != nullptr) payload["unit_of_measurement"] = sensor.unit;
    if (sensor.stateClass != nullptr) payload["state_class"] = sensor.stateClass;
    payload["value_template"] = sensor.valueTemplate;
    if (sensor.precision >= 0) payload["suggested_display_precision"] = sensor.precision;
    if (sensor.diagnostic) payload["entity_category"] = "diagnostic";
    return payload;
}

// The battery_low binary sensor: on as readingLow() has it.
nlohmann::json batteryLowConfig(const MqttTopics& topics, const nlohmann::json& device, double lowPercent,
                                double lowRuntime)
{
    char runtime[96] = "";
    if (lowRuntime > 0)
        std::snprintf(runtime, sizeof runtime, " or (value_json.runtime_seconds is number and "
                                               "value_json.runtime_seconds <= %g)", lowRuntime);
    char test[256];
    std::snprintf(test, sizeof test, "{{ 'ON' if value_json.gas_gauge_percent <= %g or "
                                     "value_json.status_flags.undervoltage%s else 'OFF' }}", lowPercent, runtime);
    nlohmann::json payload = binaryBase(topics, device, "battery_low", "Battery low", test);
    payload["device_class"] = "battery";
    return payload;
}

} // namespace

MqttTopics mqttTopics(const std::string& topicPrefix, const std::string& name)
{
    std::string base = topicPrefix + "/" + name + "/";
    return {base + "state", base + "availability", base + "event", base + "health"};
}

nlohmann::json healthState(const Health& health, long long now)
{
    // The figures without their points; the shared points stay untouched.
    Health figures = health;
    figures.points = std::make_shared<const std::vector<CapacityPoint>>();
    nlohmann::json state = healthJson(figures, now);
    state.erase("capacity_points");
    return state;
}

std::vector<DiscoveryConfig> discoveryConfigs(const MqttTopics& topics, const std::string& discoveryPrefix,
                                              const std::string& name, double lowPercent, double lowRuntime,
                                              const std::string& configurationUrl)
{
    nlohmann::json device = deviceOf(name, configurationUrl);
    std::vector<DiscoveryConfig> configs;
    std::vector<SensorConfig> sensors = sensorConfigs(), health = healthSensorConfigs();
    sensors.insert(sensors.end(), health.begin(), health.end());
    std::transform(sensors.begin(), sensors.end(), std::back_inserter(configs), [&](const SensorConfig& sensor) {
        return DiscoveryConfig{configTopic(discoveryPrefix, "sensor", name, sensor.object), sensorConfig(topics, device, sensor)};
    });
    auto binary = [&](const std::string& object, nlohmann::json payload) {
        configs.push_back({configTopic(discoveryPrefix, "binary_sensor", name, object), std::move(payload)});
    };
    binary("battery_low", batteryLowConfig(topics, device, lowPercent, lowRuntime));
    binary("fault", faultConfig(topics, device));
    binary("temp_alert", alertConfig(topics, device, "temp_alert"));
    binary("volt_alert", alertConfig(topics, device, "volt_alert"));
    for (const StatusBit& flag : statusBits) {
        nlohmann::json payload = binaryBase(topics, device, flag.name, labelOf(flag.name),
                                            std::string("{{ 'ON' if value_json.status_flags.") + flag.name +
                                                " else 'OFF' }}");
        if (const char* deviceClass = flagClass(flag)) payload["device_class"] = deviceClass;
        payload["entity_category"] = "diagnostic";
        binary(flag.name, std::move(payload));
    }
    binary("replace_battery", replaceConfig(topics, device));
    binary("weak_cell", weakCellConfig(topics, device));
    configs.push_back({configTopic(discoveryPrefix, "event", name, "event"), eventConfig(topics, device)});
    return configs;
}
