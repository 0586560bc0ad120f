// Home Assistant discovery configs: topics, fields, and templates that reach the right values.
#include "discovery.h"
#include "event_table.h"
#include "json.h"
#include "qav_version.h"
#include "sample_answers.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
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

// Render each Jinja template on its state JSON with Python's jinja2 (the engine Home
// Assistant templates run on), in one run; the texts, or the error for each.
std::vector<std::string> render(const std::vector<std::pair<std::string, nlohmann::json>>& cases)
{
    char path[] = "/tmp/qav_templates_XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    std::ofstream(path) << nlohmann::json(cases).dump();
    std::string script = "import jinja2,json,sys\n"
                         "e=jinja2.Environment(extensions=['jinja2.ext.do'])\n"
                         "def r(t,v):\n"
                         " try: return e.from_string(t).render(value_json=v)\n"
                         " except Exception as x: return 'error: %s' % x\n"
                         "print(json.dumps([r(t,v) for t,v in json.load(open(sys.argv[1]))]))\n";
    std::FILE* out = popen(("python3 -c \"" + script + "\" " + path).c_str(), "r");
    std::string text;
    for (int c; out != nullptr && (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    if (out != nullptr) pclose(out);
    unlink(path);
    return nlohmann::json::parse(text, nullptr, false).get<std::vector<std::string>>();
}

// Home Assistant's documented MQTT discovery keys of each component, and its device classes.
const std::set<std::string> commonKeys = {
    "availability", "availability_mode", "availability_template", "availability_topic", "device",
    "enabled_by_default", "encoding", "entity_category", "entity_picture", "icon", "json_attributes_template",
    "json_attributes_topic", "name", "object_id", "payload_available", "payload_not_available", "platform", "qos",
    "unique_id", "value_template"};
const std::map<std::string, std::set<std::string>> componentKeys = {
    {"sensor", {"device_class", "expire_after", "force_update", "last_reset_value_template", "options", "state_class",
                "state_topic", "suggested_display_precision", "unit_of_measurement"}},
    {"binary_sensor", {"device_class", "expire_after", "force_update", "off_delay", "payload_off", "payload_on",
                       "state_topic"}},
    {"event", {"device_class", "event_types", "state_topic"}}};
const std::set<std::string> deviceKeys = {"configuration_url", "connections", "hw_version", "identifiers",
                                          "manufacturer", "model", "model_id", "name", "serial_number",
                                          "suggested_area", "sw_version", "via_device"};
const std::map<std::string, std::set<std::string>> deviceClasses = {
    {"binary_sensor", {"battery", "battery_charging", "carbon_monoxide", "cold", "connectivity", "door",
                       "garage_door", "gas", "heat", "light", "lock", "moisture", "motion", "moving", "occupancy",
                       "opening", "plug", "power", "presence", "problem", "running", "safety", "smoke", "sound",
                       "tamper", "update", "vibration", "window"}},
    {"event", {"button", "doorbell", "motion"}}};
// A sensor's device class and the units Home Assistant accepts with it.
const std::map<std::string, std::set<std::string>> sensorUnits = {
    {"battery", {"%"}}, {"voltage", {"V", "mV"}}, {"current", {"A", "mA"}}, {"temperature", {"°C", "°F", "K"}},
    {"humidity", {"%"}}, {"power", {"W", "kW"}}, {"energy", {"Wh", "kWh", "MWh"}}, {"duration", {"s", "min", "h", "d"}},
    {"date", {""}}, {"timestamp", {""}}};

} // namespace

TEST(Discovery, EveryPayloadUsesOnlyDocumentedKeysAndClasses)
{
    std::vector<DiscoveryConfig> configs =
        discoveryConfigs(mqttTopics("qav", "b1"), "homeassistant", "b1", 20, 0, "http://qav.example:9788/");
    std::set<std::string> objects;
    for (const DiscoveryConfig& config : configs) {
        SCOPED_TRACE(config.topic);
        std::string component = config.topic.substr(14, config.topic.find('/', 14) - 14);
        ASSERT_EQ(componentKeys.count(component), 1U);
        for (const auto& [key, value] : config.payload.items())
            EXPECT_TRUE(commonKeys.count(key) + componentKeys.at(component).count(key) == 1) << key;
        for (const auto& [key, value] : config.payload["device"].items()) EXPECT_EQ(deviceKeys.count(key), 1U) << key;
        EXPECT_TRUE(config.payload.contains("state_topic"));
        std::string deviceClass = config.payload.value("device_class", "");
        if (component == "sensor") {
            // A date has no decimals, and no unit.
            bool date = deviceClass == "date" || deviceClass == "timestamp";
            EXPECT_EQ(config.payload.contains("suggested_display_precision"), !date);
            EXPECT_FALSE(date && config.payload.contains("state_class"));
            if (!deviceClass.empty()) {
                EXPECT_EQ(sensorUnits.at(deviceClass).count(config.payload.value("unit_of_measurement", "")), 1U);
            }
        } else if (!deviceClass.empty()) {
            EXPECT_EQ(deviceClasses.at(component).count(deviceClass), 1U) << deviceClass;
        }
        std::string category = config.payload.value("entity_category", "diagnostic");
        EXPECT_EQ(category, "diagnostic");
        category = config.payload.value("entity_category", "");
        std::string object = config.payload["unique_id"].get<std::string>().substr(7);
        objects.insert(object);
        bool detail = object.find("cell_") == 0 || object.find("layer_") == 0 || object.ends_with("_register") ||
                      (component == "sensor" && config.payload["state_topic"] == "qav/b1/health") ||
                      (component == "binary_sensor" && object != "battery_low" && object != "fault" &&
                       object != "temp_alert" && object != "volt_alert" && object != "replace_battery" &&
                       object != "weak_cell");
        EXPECT_EQ(category == "diagnostic", detail) << object;
        EXPECT_EQ(config.payload["device"],
                  nlohmann::json::parse(R"({"identifiers":["qav_b1"],"name":"b1","manufacturer":"QAV",
                      "model":"battery module","sw_version":")" QAV_VERSION R"(",
                      "configuration_url":"http://qav.example:9788/"})"));
    }
    for (const char* wanted : {"fault", "temp_alert", "volt_alert", "event", "status_register", "balance_register"})
        EXPECT_EQ(objects.count(wanted), 1U) << wanted;
}

TEST(Discovery, FaultAlertsAndEventsReadTheirValuesAndAttributes)
{
    std::map<std::string, nlohmann::json> byObject;
    for (const DiscoveryConfig& config : discoveryConfigs(mqttTopics("qav", "b1"), "homeassistant", "b1"))
        byObject[config.payload["unique_id"].get<std::string>().substr(7)] = config.payload;
    nlohmann::json calm = stateOfAnswerA(), raised = stateOfAnswerA();
    raised["status_register"] = 0x8850;
    for (const char* flag : {"main_fuse", "discharge_transient", "safe_operating_area"})
        raised["status_flags"][flag] = true;
    raised["temp_alert_register"] = 0x0102;
    // object, state, expected value, expected attributes
    std::vector<std::tuple<std::string, nlohmann::json, std::string, nlohmann::json>> cases = {
        {"fault", calm, "OFF", {{"status_register", 32768}, {"faults", nlohmann::json::array()}}},
        {"fault", raised, "ON",
         {{"status_register", 0x8850}, {"faults", {"main_fuse", "safe_operating_area", "discharge_transient"}}}},
        {"temp_alert", calm, "OFF", {{"register", 0}, {"register_hex", "0x0000"}, {"bits", nlohmann::json::array()}}},
        {"temp_alert", raised, "ON", {{"register", 258}, {"register_hex", "0x0102"}, {"bits", {1, 8}}}},
        {"volt_alert", calm, "ON", {{"register", 18}, {"register_hex", "0x0012"}, {"bits", {1, 4}}}}};
    std::vector<std::pair<std::string, nlohmann::json>> templates;
    for (const auto& [object, state, value, attributes] : cases) {
        EXPECT_EQ(byObject[object]["device_class"], "problem");
        EXPECT_EQ(byObject[object]["json_attributes_topic"], "qav/b1/state");
        templates.emplace_back(byObject[object]["value_template"], state);
        templates.emplace_back(byObject[object]["json_attributes_template"], state);
    }
    nlohmann::json event = byObject["event"];
    EXPECT_EQ(event["state_topic"], "qav/b1/event");
    // Every row of the event table (its names are pinned in the table's own test).
    nlohmann::json types = nlohmann::json::array();
    for (const EventKind& kind : eventKinds) types.push_back(kind.name);
    EXPECT_EQ(event["event_types"], types);
    templates.emplace_back(event["value_template"],
                           nlohmann::json::parse(R"({"event":"fault","detail":"main_fuse","time":1700000001})"));
    std::vector<std::string> rendered = render(templates);
    ASSERT_EQ(rendered.size(), templates.size());
    for (std::size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(std::get<0>(cases[i]) + " " + std::get<2>(cases[i]));
        EXPECT_EQ(rendered[2 * i], std::get<2>(cases[i]));
        EXPECT_EQ(nlohmann::json::parse(rendered[2 * i + 1], nullptr, false), std::get<3>(cases[i]))
            << rendered[2 * i + 1];
    }
    EXPECT_EQ(nlohmann::json::parse(rendered.back(), nullptr, false),
              nlohmann::json::parse(R"({"event_type":"fault","detail":"main_fuse","time":1700000001})"))
        << rendered.back();
}

TEST(Discovery, EverySensorAndFlagHasItsConfigAndReadsTheRightValue)
{
    MqttTopics topics = mqttTopics("qav", "b1");
    EXPECT_EQ(topics.state, "qav/b1/state");
    EXPECT_EQ(topics.availability, "qav/b1/availability");
    EXPECT_EQ(topics.event, "qav/b1/event");
    EXPECT_EQ(topics.health, "qav/b1/health");
    // object: device class, unit ("" for binary sensors), value on answerA
    std::map<std::string, std::tuple<std::string, std::string, nlohmann::json>> expected = {
        {"gas_gauge", {"battery", "%", 85.0}}, {"stack_voltage", {"voltage", "V", 26.4}},
        {"current", {"current", "A", -1.0}}, {"heatsink_temperature", {"temperature", "°C", 31}},
        {"humidity", {"humidity", "%", 45}}, {"fan", {"running", "", "OFF"}},
        {"charge_mode", {"battery_charging", "", "OFF"}}, {"battery_enable", {"power", "", "ON"}},
        {"discharge_mode", {"", "", "OFF"}}, {"battery_low", {"battery", "", "OFF"}},
        {"balance_register", {"", "", 5}}, {"temp_alert_register", {"", "", 0}},
        {"volt_alert_register", {"", "", 18}}, {"status_register", {"", "", 32768}},
        // Read by FaultAlertsAndEventsReadTheirValuesAndAttributes.
        {"fault", {"problem", "", nullptr}}, {"temp_alert", {"problem", "", nullptr}},
        {"volt_alert", {"problem", "", nullptr}},
        {"runtime", {"duration", "s", 1234}}, {"power", {"power", "W", -26.4}},
        {"energy_charged", {"energy", "kWh", 2.0}}, {"energy_discharged", {"energy", "kWh", 0.001}}};
    for (int i = 1; i <= 8; i++) {
        expected["cell_" + std::to_string(i) + "_voltage"] = {"voltage", "V", 3.3};
        expected["layer_" + std::to_string(i) + "_temperature"] = {"temperature", "°C", 30 - i};
    }
    for (const char* fault : {"main_fuse", "safe_operating_area", "overcurrent", "undervoltage", "overvoltage",
                              "discharge_transient", "battery_cold_limit", "heatsink_hot_limit", "battery_hot_limit"})
        expected[fault] = {"problem", "", "OFF"};
    ASSERT_EQ(expected.size(), 46U);

    nlohmann::json state = stateOfAnswerA();
    std::vector<DiscoveryConfig> configs = discoveryConfigs(topics, "homeassistant", "b1");
    ASSERT_EQ(configs.size(), 68U);
    EXPECT_EQ(configs.back().topic, "homeassistant/event/qav_b1/event/config");
    configs.pop_back();
    // Those of the health topic are read by HealthSensorsReadTheHealthTopic.
    std::erase_if(configs, [](const DiscoveryConfig& c) { return c.payload["state_topic"] == "qav/b1/health"; });
    ASSERT_EQ(configs.size(), 46U);
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
        bool binary = value.is_string() || value.is_null();
        EXPECT_EQ(component, binary ? "binary_sensor" : "sensor");
        EXPECT_EQ(p.value("device_class", ""), deviceClass);
        EXPECT_EQ(p.value("unit_of_measurement", ""), unit);
        EXPECT_EQ(p.value("state_class", ""), unit.empty() ? "" : unit == "kWh" ? "total_increasing" : "measurement");
        EXPECT_EQ(p["unique_id"], "qav_b1_" + object);
        EXPECT_EQ(p["state_topic"], "qav/b1/state");
        EXPECT_EQ(p["availability_topic"], "qav/b1/availability");
        EXPECT_EQ(p["device"], nlohmann::json::parse(R"({"identifiers":["qav_b1"],"name":"b1","manufacturer":"QAV",
                                   "model":"battery module","sw_version":")" QAV_VERSION R"("})"));
        if (binary) {
            EXPECT_EQ(p["payload_on"], "ON");
            EXPECT_EQ(p["payload_off"], "OFF");
        }
        EXPECT_EQ(evaluate(p["value_template"], state), value) << p["value_template"];
    }
}

TEST(Discovery, HealthSensorsReadTheHealthTopic)
{
    // An aged battery with a weak cell, due for replacement; and one with nothing known yet.
    long long now = *civilDate("2026-12-09") + 12 * 3600;
    Health aged, unknown;
    LifetimeFigures& f = aged.lifetime;
    f.installed = *civilDate("2025-03-01"), f.lastFull = now - 5400, f.cycles = 5.9375;
    f.ahCharged = 123.4, f.ahDischarged = 118.75, f.whCharged = 3100, f.whDischarged = 2950.5;
    aged.health = 0.75, aged.replace = true, aged.replaceDate = *civilDate("2026-11-20");
    aged.stackResistance = 0.0412, aged.weakCell = 6, aged.weakRatio = 2.02;
    aged.cellResistance.fill(0.005);
    aged.cellResistance[5] = 0.0101;
    aged.points = unknown.points = std::make_shared<const std::vector<CapacityPoint>>(2, CapacityPoint{now, 15, 5});
    nlohmann::json agedState = healthState(aged, now), unknownState = healthState(unknown, now);

    // object: value when aged and when nothing is known (null for "None"), attributes when aged.
    nlohmann::json none;
    std::map<std::string, std::tuple<nlohmann::json, nlohmann::json, nlohmann::json>> expected = {
        {"installed", {"2025-03-01", none, none}}, {"age", {648.5, none, none}},
        {"equivalent_cycles", {5.9375, 0, none}}, {"lifetime_charged", {123.4, 0, none}},
        {"lifetime_discharged", {118.75, 0, none}}, {"lifetime_energy_charged", {3.1, 0, none}},
        {"lifetime_energy_discharged", {2.9505, 0, none}}, {"since_full_charge", {1.5, none, none}},
        {"health", {75, none, none}}, {"replace_date", {"2026-11-20T00:00:00+00:00", none, none}},
        {"stack_resistance", {41.2, none, none}},
        {"replace_battery", {"ON", "OFF", {{"health_percent", 75.0}, {"replace_at_percent", 80.0},
                                            {"replace_date", "2026-11-20"}}}},
        {"weak_cell", {"ON", "OFF", {{"cell", 6}, {"ratio", 2.02}}}}};
    for (int i = 1; i <= 8; i++) expected["cell_" + std::to_string(i) + "_resistance"] = {i == 6 ? 10.1 : 5.0, none, none};
    std::vector<std::pair<std::string, nlohmann::json>> templates;
    std::vector<std::string> objects;
    for (const DiscoveryConfig& config : discoveryConfigs(mqttTopics("qav", "b1"), "homeassistant", "b1")) {
        const nlohmann::json& p = config.payload;
        if (p["state_topic"] != "qav/b1/health") continue;
        std::string object = p["unique_id"].get<std::string>().substr(7);
        ASSERT_EQ(expected.count(object), 1U) << object;
        // Sensors are diagnostic; the binary sensors are problems, with attributes from the health topic.
        bool binary = config.topic.starts_with("homeassistant/binary_sensor/");
        EXPECT_EQ(p.value("entity_category", ""), binary ? "" : "diagnostic") << object;
        EXPECT_TRUE(!binary || p["device_class"] == "problem") << object;
        EXPECT_EQ(p.value("json_attributes_topic", ""), binary ? "qav/b1/health" : "") << object;
        objects.push_back(object);
        templates.emplace_back(p["value_template"], agedState);
        templates.emplace_back(p["value_template"], unknownState);
        templates.emplace_back(p.value("json_attributes_template", "null"), agedState);
    }
    ASSERT_EQ(objects.size(), expected.size());
    std::vector<std::string> rendered = render(templates);
    ASSERT_EQ(rendered.size(), templates.size());
    for (std::size_t i = 0; i < objects.size(); i++) {
        SCOPED_TRACE(objects[i]);
        const auto& [agedValue, unknownValue, attributes] = expected[objects[i]];
        for (const auto& [want, got] : {std::pair(agedValue, rendered[3 * i]), std::pair(unknownValue, rendered[3 * i + 1])}) {
            if (want.is_number()) EXPECT_NEAR(std::stod(got), want.get<double>(), 1e-9) << got;
            else EXPECT_EQ(got, want.is_null() ? "None" : want.get<std::string>());
        }
        EXPECT_EQ(nlohmann::json::parse(rendered[3 * i + 2], nullptr, false), attributes) << rendered[3 * i + 2];
    }
}

TEST(Discovery, PrefixesShapeEveryTopic)
{
    MqttTopics topics = mqttTopics("site/qav", "north-2");
    EXPECT_EQ(topics.state, "site/qav/north-2/state");
    std::vector<DiscoveryConfig> configs = discoveryConfigs(topics, "ha", "north-2");
    EXPECT_EQ(configs.front().topic, "ha/sensor/qav_north-2/gas_gauge/config");
    EXPECT_EQ(configs.back().topic, "ha/event/qav_north-2/event/config");
    EXPECT_EQ(configs.back().payload["state_topic"], "site/qav/north-2/event");
    EXPECT_EQ(configs.front().payload["state_topic"], "site/qav/north-2/state");
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
