// json: the JSON form of an accepted answer, shared by standard output and MQTT.
#ifndef QAVD_JSON_H
#define QAVD_JSON_H

#include "output.h"

#include <nlohmann/json.hpp>

#include <string>

/** One bit of the status register and its name in JSON, metrics and topics. */
struct StatusFlag {
    unsigned mask;    ///< The bit in the status register.
    const char* name; ///< "fan", "main_fuse", ... "battery_enable".
    bool isFault;     ///< true for the nine Fault/Good bits.
};

/** The thirteen reported status bits, in register order (0x0008 up to 0x8000). */
extern const StatusFlag statusFlags[13];

/**
 * Whether the status register has the bit of a flag set (On, or a fault).
 *
 * @param statusRegister The register.
 * @param name           A name from statusFlags; any other name is never set.
 */
bool flagSet(int statusRegister, const char* name);

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
