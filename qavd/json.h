// json: the JSON form of an accepted answer, shared by standard output and MQTT.
#ifndef QAVD_JSON_H
#define QAVD_JSON_H

#include "output.h"

#include <nlohmann/json.hpp>

#include <string>

/**
 * The JSON object of one accepted answer: battery, time, the decoded values
 * scaled as the console report scales them, registers, status_flags and the
 * answer as received; with the estimate's power_watts, runtime_seconds,
 * time_to_full_seconds, capacity_ah, capacity_source, capacity_learning_percent
 * (while learning), energy_charged_joules and energy_discharged_joules.
 */
nlohmann::json readingJson(const Reading& reading);

/** readingJson() as one line of text, without a line end. */
std::string readingJsonLine(const Reading& reading);

#endif
