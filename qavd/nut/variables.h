// variables: the NUT variables of an accepted answer, ups.status among them.
#ifndef QAVD_NUT_VARIABLES_H
#define QAVD_NUT_VARIABLES_H

#include "battery_status.h"
#include "runtime.h"

#include <string>
#include <vector>

/** One variable and its value; values never hold '\', '"' or '#'. */
struct NutVariable {
    std::string name;  ///< "battery.charge", ...
    std::string value; ///< "85.3", ...
};

/** What a variable is, whether or not an answer has it now. */
struct NutVariableInfo {
    std::string name;        ///< Its name.
    bool number;             ///< true for a number, false for text.
    std::string description; ///< One line for GET DESC.
};

/** Every variable this server can show, ups.alarm among them, sorted by name. */
const std::vector<NutVariableInfo>& nutVariableInfo();

/**
 * ups.status of an answer, without FSD: "ALARM" when a Fault bit or an alert
 * register is set, then "OB DISCHRG" in discharge mode, "OL CHRG" in charge
 * mode or "OL", then "LB" when batteryLow(), "OVER" on overcurrent, and
 * "OFF" when the battery is not enabled.
 *
 * @param status     The answer's fields.
 * @param estimate   Its estimate.
 * @param lowPercent --low-battery.
 */
std::string nutStatus(const BatteryStatus& status, const Estimate& estimate, double lowPercent);

/**
 * The variables of an accepted answer, sorted by name; ups.alarm only while
 * something is alarmed.
 *
 * @param status     The answer's fields.
 * @param battery    The battery's name (device.serial).
 * @param lowPercent --low-battery (battery.charge.low, and LB in ups.status).
 * @param estimate   The answer's estimate: battery.runtime, battery.capacity, and LB.
 * @param lowRuntime --low-runtime (battery.runtime.low); 0 leaves it out.
 */
std::vector<NutVariable> nutVariables(const BatteryStatus& status, const std::string& battery, double lowPercent,
                                      const Estimate& estimate = {}, double lowRuntime = 0);

#endif
