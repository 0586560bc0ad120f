// discovery: the MQTT topics of one battery and its Home Assistant discovery configs.
#ifndef QAVD_DISCOVERY_H
#define QAVD_DISCOVERY_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

/** The topics one battery publishes on. */
struct MqttTopics {
    std::string state;        ///< "<prefix>/<name>/state": the JSON of the latest answer, retained.
    std::string availability; ///< "<prefix>/<name>/availability": "online" or "offline", retained.
    std::string event;        ///< "<prefix>/<name>/event": one JSON object per event.
};

/**
 * The topics of battery @p name under @p topicPrefix.
 *
 * @param topicPrefix The first levels of every topic, e.g. "qav".
 * @param name        The battery's name.
 */
MqttTopics mqttTopics(const std::string& topicPrefix, const std::string& name);

/** One Home Assistant discovery message: its topic and its retained JSON payload. */
struct DiscoveryConfig {
    std::string topic;      ///< "<discovery prefix>/<component>/qav_<name>/<object>/config".
    nlohmann::json payload; ///< The entity's configuration.
};

/**
 * The discovery configs of battery @p name: a sensor for each measured value,
 * a binary sensor for each status flag, and the binary sensor battery_low, all
 * of one device, reading the state topic and following the availability topic.
 *
 * @param topics          The battery's topics (mqttTopics()).
 * @param discoveryPrefix The prefix Home Assistant listens on, e.g. "homeassistant".
 * @param name            The battery's name.
 * @param lowPercent      --low-battery: battery_low is on at or below this gas gauge,
 *                        or with an undervoltage fault.
 * @param lowRuntime      --low-runtime: battery_low is also on while the runtime is
 *                        at or below this; 0 for off.
 */
std::vector<DiscoveryConfig> discoveryConfigs(const MqttTopics& topics, const std::string& discoveryPrefix,
                                              const std::string& name, double lowPercent = 20,
                                              double lowRuntime = 0);

#endif
