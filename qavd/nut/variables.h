// variables: the NUT variables of an accepted answer, ups.status among them.
#ifndef QAVD_NUT_VARIABLES_H
#define QAVD_NUT_VARIABLES_H

#include "battery_status.h"
#include "health.h"
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
 * mode or "OL", then "LB" when batteryLow(), "RB" when the battery is due for
 * replacement, "OVER" on overcurrent, and "OFF" when the battery is not enabled.
 *
 * @param status     The answer's fields.
 * @param estimate   Its estimate.
 * @param lowPercent --low-battery.
 * @param replace    The battery's health fell to --replace-at (Health::replace).
 */
std::string nutStatus(const BatteryStatus& status, const Estimate& estimate, double lowPercent, bool replace = false);

/**
 * The variables of an accepted answer, sorted by name; ups.alarm only while
 * something is alarmed.
 *
 * @param status     The answer's fields.
 * @param battery    The battery's name (device.serial).
 * @param lowPercent --low-battery (battery.charge.low, and LB in ups.status).
 * @param estimate   The answer's estimate: battery.runtime, battery.capacity, and LB.
 * @param lowRuntime --low-runtime (battery.runtime.low); 0 leaves it out.
 * @param health     The battery's health (battery.date, RB in ups.status), or null for none known.
 */
std::vector<NutVariable> nutVariables(const BatteryStatus& status, const std::string& battery, double lowPercent,
                                      const Estimate& estimate = {}, double lowRuntime = 0,
                                      const Health* health = nullptr);

#endif
