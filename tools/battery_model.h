// battery_model: a battery that charges and discharges by a profile, for the simulator and the benchmarks.
#ifndef QAV_BATTERY_MODEL_H
#define QAV_BATTERY_MODEL_H

#include <string>
#include <vector>

/** One step of a profile: for this many seconds, this current; positive charges (mains on), negative is a load (an outage). */
struct ProfileStep {
    double seconds;
    double amperes;
};

/** The default profile: mains on, a 20 A outage that steps to 30 A, mains back; 35 minutes in all. */
extern const char* const defaultProfile;

/**
 * Read a profile: steps "SECONDS:AMPERES" separated by commas, blanks or line
 * ends; '#' starts a comment that runs to the line's end. Seconds are above
 * 0; amperes are -300 to 300.
 *
 * @param text    The profile.
 * @param steps   Receives the steps.
 * @return "" when it is good, else what is wrong.
 */
std::string parseProfile(const std::string& text, std::vector<ProfileStep>* steps);

/**
 * A battery of a given capacity that follows a profile, repeating it after its
 * last step. The charger stops at full and the load goes at empty, so the
 * current is then zero.
 */
struct BatteryModel {
    double capacity = 20;              ///< Ampere-hours at 100 %.
    double charge = 18;                ///< Ampere-hours in it now.
    std::vector<ProfileStep> profile;  ///< What it does; not empty.
    double time = 0;                   ///< Seconds played so far.
};

/** @return The profile's current at @p time (seconds from its start, repeating). */
double profileAmperes(const std::vector<ProfileStep>& profile, double time);

/** @return The current flowing now: the profile's, or zero when full and charging or empty and discharging. */
double modelAmperes(const BatteryModel& model);

/** Play the model on to @p time, counting the charge exactly across the profile's steps. */
void advanceModel(BatteryModel* model, double time);

/**
 * @return Seconds until the model is empty if the present outage goes on as the
 *         profile has it; negative when mains come back first or it is not discharging.
 */
double secondsToEmpty(const BatteryModel& model);

/** The fields an answer of the model gives: gauge in hundredths, current in hundredths, each cell in millivolts. */
struct ModelAnswer {
    int gauge;
    int current;
    int cellMillivolts[8];
    unsigned modeBits; ///< 0x0400 charging, 0x0200 discharging, 0 resting.
};

/**
 * The answer of the model now: cells at 3.2 V empty to 4.2 V full, plus 4 mV
 * per ampere of current (so they sag under a load), and the current with up
 * to two hundredths of noise from @p noise, a linear congruential sequence.
 */
ModelAnswer modelAnswer(const BatteryModel& model, unsigned* noise);

#endif
