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
 *
 * It ages by what it plays: every ampere-hour that flows out adds 1 / capacity
 * equivalent full cycles, and each cycle takes fade / 100 percent of the rated
 * capacity, in a straight line: presentCapacity() is
 * capacity * max(0.01, 1 - fade * cycles / 10000). The charge never exceeds it.
 * Each cell's voltage sags by its own resistance times the current (see
 * modelAnswer()); the resistances do not change with age.
 */
struct BatteryModel {
    double capacity = 20;              ///< Rated ampere-hours: at 100 % when new.
    double charge = 18;                ///< Ampere-hours in it now.
    std::vector<ProfileStep> profile;  ///< What it does; not empty.
    double time = 0;                   ///< Seconds played so far.
    double resistance = 4;             ///< Milliohms of every cell but the weak one.
    int weakCell = 0;                  ///< The weak cell, 1 to 8; 0 for none.
    double weakFactor = 1;             ///< The weak cell's resistance over the others'.
    double fade = 0;                   ///< Percent of the rated capacity lost per 100 equivalent full cycles.
    double cycles = 0;                 ///< Equivalent full cycles so far, counting those it started with.
};

/** @return Ampere-hours at 100 % now: the rated capacity less the fade of the cycles so far, at least 1 % of it. */
double presentCapacity(const BatteryModel& model);

/** @return Milliohms of the cell at @p index (0 to 7, so cell number index + 1). */
double cellResistance(const BatteryModel& model, int index);

/** @return Milliohms of the stack: the sum of its eight cells'. */
double stackResistance(const BatteryModel& model);

/** @return The profile's current at @p time (seconds from its start, repeating). */
double profileAmperes(const std::vector<ProfileStep>& profile, double time);

/** @return The current flowing now: the profile's, or zero when full and charging or empty and discharging. */
double modelAmperes(const BatteryModel& model);

/** Play the model on to @p time, counting the charge, the cycles and the fade exactly across the profile's steps. */
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
 * The answer of the model now. The gauge is the charge over presentCapacity().
 * Cell i is 3200 + 1000 * gauge fraction + cellResistance(i) * amperes
 * millivolts, rounded and kept to 0 to 65535, with the current itself, not its
 * noise (positive charging, so a load makes the cells sag; 4 milliohms by
 * default, 4 mV per ampere). The current carries up to two hundredths of noise
 * from @p noise, a linear congruential sequence.
 */
ModelAnswer modelAnswer(const BatteryModel& model, unsigned* noise);

#endif
