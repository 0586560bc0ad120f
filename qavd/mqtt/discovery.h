// discovery: the MQTT topics of one battery and its Home Assistant discovery configs.
#ifndef QAVD_DISCOVERY_H
#define QAVD_DISCOVERY_H

#include "health.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

/** The topics one battery publishes on. */
struct MqttTopics {
    std::string state;        ///< "<prefix>/<name>/state": the JSON of the latest answer, retained.
    std::string availability; ///< "<prefix>/<name>/availability": "online" or "offline", retained.
    std::string event;        ///< "<prefix>/<name>/event": one JSON object per event.
    std::string health;       ///< "<prefix>/<name>/health": the battery's health (healthState()), retained.
    /// In a site of several batteries, "<prefix>/<site>/connection": "online" while qavd is connected,
    /// and "offline" as its last will, so that it speaks for every battery; empty with one battery.
    std::string connection{};
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
 * The discovery configs of battery @p name, all of one device, following the
 * availability topic (with a connection topic, both: available while both say
 * "online"): a sensor for each measured value and register; binary
 * sensors battery_low, fault, temp_alert and volt_alert (the last three with
 * the register and its set bits as attributes) and one for each status flag,
 * all reading the state topic; and an event entity on the event topic. Cells,
 * layers, registers and single flags are diagnostic entities. From the health
 * topic: diagnostic sensors of the health figures (health, cycles, resistance of
 * the stack and of each cell, lifetime throughput, time since a full charge,
 * installation date and age, the projected replacement date as a timestamp), and
 * problem binary sensors replace_battery and weak_cell (the cell and its ratio as
 * attributes).
 *
 * @param topics           The battery's topics (mqttTopics()).
 * @param discoveryPrefix  The prefix Home Assistant listens on, e.g. "homeassistant".
 * @param name             The battery's name.
 * @param lowPercent       --low-battery: battery_low is on at or below this gas gauge,
 *                         or with an undervoltage fault.
 * @param lowRuntime       --low-runtime: battery_low is also on while the runtime is
 *                         at or below this; 0 for off.
 * @param configurationUrl The page's address for the device's link; "" for none.
 */
std::vector<DiscoveryConfig> discoveryConfigs(const MqttTopics& topics, const std::string& discoveryPrefix,
                                              const std::string& name, double lowPercent = 20,
                                              double lowRuntime = 0, const std::string& configurationUrl = "");

/**
 * What the health topic carries: healthJson() without the capacity points, which
 * grow with the years and which /api/v1/health serves.
 *
 * @param health The health of a snapshot.
 * @param now    Seconds since the epoch, for the age and the time since the last full charge.
 */
nlohmann::json healthState(const Health& health, long long now);

#endif
