// Home Assistant discovery configs: topics, fields, and templates that reach the right values.
#include "discovery.h"
#include "json.h"
#include "sample_answers.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <tuple>

namespace {

// The state JSON of answerA for battery b1, with 1234 s left and 2 kWh in, 1 Wh out.
nlohmann::json stateOfAnswerA()
{
    Reading reading{"b1", 1700000000, answerA, {}};
    decodeStatus(answerA.data(), answerA.size(), &reading.status);
    reading.estimate.runtime = 1234.4;
    reading.estimate.energyCharged = 7200000;
    reading.estimate.energyDischarged = 3600;
    return readingJson(reading);
}

// What a "{{ value_json.key[i] }}" template gives on state, or null when it does not fit that form.
nlohmann::json evaluate(const std::string& tmpl, const nlohmann::json& state)
{
    std::smatch m;
    static const std::regex value(R"(\{\{ value_json\.([a-z_]+)(\[([0-7])\])?( / 3600000)? \}\})");
    static const std::regex flag(R"(\{\{ 'ON' if value_json\.status_flags\.([a-z_]+) else 'OFF' \}\})");
    static const std::regex low(R"(\{\{ 'ON' if value_json\.gas_gauge_percent <= ([0-9.]+) or )"
                                R"(value_json\.status_flags\.undervoltage( or \(value_json\.runtime_seconds is number )"
                                R"(and value_json\.runtime_seconds <= ([0-9.]+)\))? else 'OFF' \}\})");
    if (std::regex_match(tmpl, m, flag)) return state["status_flags"].at(m[1].str()) ? "ON" : "OFF";
    if (std::regex_match(tmpl, m, low)) {
        const nlohmann::json& runtime = state["runtime_seconds"];
        bool shortRuntime = m[2].matched && runtime.is_number() && runtime.get<double>() <= std::stod(m[3].str());
        return state["gas_gauge_percent"].get<double>() <= std::stod(m[1].str()) ||
                       state["status_flags"]["undervoltage"].get<bool>() || shortRuntime
                   ? "ON"
                   : "OFF";
    }
    if (!std::regex_match(tmpl, m, value)) return nullptr;
    const nlohmann::json& field = state.at(m[1].str());
    if (m[4].matched) return field.get<double>() / 3600000;
    return m[3].matched ? field.at(std::stoul(m[3].str())) : field;
}

} // namespace

TEST(Discovery, EverySensorAndFlagHasItsConfigAndReadsTheRightValue)
{
    MqttTopics topics = mqttTopics("qav", "b1");
    EXPECT_EQ(topics.state, "qav/b1/state");
    EXPECT_EQ(topics.availability, "qav/b1/availability");
    EXPECT_EQ(topics.event, "qav/b1/event");
    // object: device class, unit ("" for binary sensors), value on answerA
    std::map<std::string, std::tuple<std::string, std::string, nlohmann::json>> expected = {
        {"gas_gauge", {"battery", "%", 85.0}}, {"stack_voltage", {"voltage", "V", 26.4}},
        {"current", {"current", "A", -1.0}}, {"heatsink_temperature", {"temperature", "°C", 31}},
        {"humidity", {"humidity", "%", 45}}, {"fan", {"running", "", "OFF"}},
        {"charge_mode", {"battery_charging", "", "OFF"}}, {"battery_enable", {"power", "", "ON"}},
        {"discharge_mode", {"", "", "OFF"}}, {"battery_low", {"battery", "", "OFF"}},
        {"runtime", {"duration", "s", 1234}}, {"power", {"power", "W", -26.4}},
        {"energy_charged", {"energy", "kWh", 2.0}}, {"energy_discharged", {"energy", "kWh", 0.001}}};
    for (int i = 1; i <= 8; i++) {
        expected["cell_" + std::to_string(i) + "_voltage"] = {"voltage", "V", 3.3};
        expected["layer_" + std::to_string(i) + "_temperature"] = {"temperature", "°C", 30 - i};
    }
    for (const char* fault : {"main_fuse", "safe_operating_area", "overcurrent", "undervoltage", "overvoltage",
                              "discharge_transient", "battery_cold_limit", "heatsink_hot_limit", "battery_hot_limit"})
        expected[fault] = {"problem", "", "OFF"};
    ASSERT_EQ(expected.size(), 39U);

    nlohmann::json state = stateOfAnswerA();
    std::vector<DiscoveryConfig> configs = discoveryConfigs(topics, "homeassistant", "b1");
    ASSERT_EQ(configs.size(), 39U);
    std::set<std::string> seen;
    static const std::regex topic("homeassistant/(sensor|binary_sensor)/qav_b1/([a-z0-9_]+)/config");
    for (const DiscoveryConfig& config : configs) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(config.topic, m, topic)) << config.topic;
        std::string object = m[2], component = m[1];
        SCOPED_TRACE(object);
        ASSERT_EQ(expected.count(object), 1U);
        EXPECT_TRUE(seen.insert(object).second);
        const auto& [deviceClass, unit, value] = expected[object];
        const nlohmann::json& p = nlohmann::json::parse(config.payload.dump());
        EXPECT_EQ(component, unit.empty() ? "binary_sensor" : "sensor");
        EXPECT_EQ(p.value("device_class", ""), deviceClass);
        EXPECT_EQ(p.value("unit_of_measurement", ""), unit);
        EXPECT_EQ(p.value("state_class", ""), unit.empty() ? "" : unit == "kWh" ? "total_increasing" : "measurement");
        EXPECT_EQ(p["unique_id"], "qav_b1_" + object);
        EXPECT_EQ(p["state_topic"], "qav/b1/state");
        EXPECT_EQ(p["availability_topic"], "qav/b1/availability");
        EXPECT_EQ(p["device"], nlohmann::json::parse(
                                   R"({"identifiers":["qav_b1"],"name":"b1","model":"battery module"})"));
        if (unit.empty()) {
            EXPECT_EQ(p["payload_on"], "ON");
            EXPECT_EQ(p["payload_off"], "OFF");
        }
        EXPECT_EQ(evaluate(p["value_template"], state), value) << p["value_template"];
    }
}

TEST(Discovery, PrefixesShapeEveryTopic)
{
    MqttTopics topics = mqttTopics("site/qav", "north-2");
    EXPECT_EQ(topics.state, "site/qav/north-2/state");
    std::vector<DiscoveryConfig> configs = discoveryConfigs(topics, "ha", "north-2");
    EXPECT_EQ(configs.front().topic, "ha/sensor/qav_north-2/gas_gauge/config");
    EXPECT_EQ(configs.back().topic, "ha/binary_sensor/qav_north-2/battery_enable/config");
    EXPECT_EQ(configs.back().payload["state_topic"], "site/qav/north-2/state");
    // battery_low follows --low-battery: on at 12.5 % and below, or with an undervoltage fault.
    configs = discoveryConfigs(topics, "ha", "north-2", 12.5);
    auto isLow = [](const DiscoveryConfig& c) { return c.topic == "ha/binary_sensor/qav_north-2/battery_low/config"; };
    auto low = std::find_if(configs.begin(), configs.end(), isLow);
    ASSERT_NE(low, configs.end());
    nlohmann::json state = stateOfAnswerA();
    const std::string tmpl = low->payload["value_template"];
    for (auto [gauge, undervoltage, value] : {std::tuple(12.5, false, "ON"), std::tuple(12.51, false, "OFF"),
                                              std::tuple(85.0, true, "ON")}) {
        state["gas_gauge_percent"] = gauge;
        state["status_flags"]["undervoltage"] = undervoltage;
        EXPECT_EQ(evaluate(tmpl, state), value) << tmpl << " " << gauge;
    }
    // With --low-runtime 300 it is on at 300 s left and below too, and off while the runtime is unknown.
    configs = discoveryConfigs(topics, "ha", "north-2", 12.5, 300);
    low = std::find_if(configs.begin(), configs.end(), isLow);
    ASSERT_NE(low, configs.end());
    const std::string withRuntime = low->payload["value_template"];
    state["status_flags"]["undervoltage"] = false;
    for (auto [runtime, value] : {std::pair(nlohmann::json(300), "ON"), std::pair(nlohmann::json(301), "OFF"),
                                  std::pair(nlohmann::json(nullptr), "OFF")}) {
        state["runtime_seconds"] = runtime;
        EXPECT_EQ(evaluate(withRuntime, state), value) << withRuntime << " " << runtime;
    }
}
