// runtime: plays the simulator's outages through the runtime estimator and prints its error against the real time to
// empty, then what single bad gauge readings do to the learned capacity.
#include "battery_model.h"
#include "runtime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace {

// One outage: the battery, what it does, and whether qavd is told its capacity.
struct Scenario {
    const char* name;
    double capacity;     // ampere-hours
    const char* profile; // from a full battery: mains on, then the outage until empty
    bool rated;          // --capacity given; otherwise learned
    double stepAt;       // seconds into the profile of a load step; 0 for none
};

const Scenario scenarios[] = {
    {"20 Ah, 20 A, rated", 20, "120:+10, 100000:-20", true, 0},
    {"20 Ah, 20 A, learned", 20, "120:+10, 100000:-20", false, 0},
    {"20 Ah, 5 A, learned", 20, "120:+10, 1000000:-5", false, 0},
    {"100 Ah, 40 A, learned", 100, "120:+10, 100000:-40", false, 0},
    {"20 Ah, 10 A then 30 A, rated", 20, "120:+10, 600:-10, 100000:-30", true, 720},
    {"20 Ah, 10 A then 30 A, learned", 20, "120:+10, 600:-10, 100000:-30", false, 720},
    {"20 Ah, 30 A then 10 A, rated", 20, "120:+10, 600:-30, 100000:-10", true, 720},
};

constexpr double outageStart = 120; // every profile above starts its outage here
constexpr double pollSeconds = 5;

// The largest relative errors over one outage, in percent; none where no poll counted.
struct Errors {
    std::optional<double> fromFirstMinute; // from 60 s into the outage
    std::optional<double> onceLearned;     // from when 2 % of charge has been used
    std::optional<double> minuteAfterStep; // at 60 s after the step
    std::optional<double> afterStep;       // from 60 s after the step on
    double capacity = 0;                   // what the estimator used at the end
};

// Keep the larger magnitude.
void worst(std::optional<double>* kept, double error)
{
    if (!kept->has_value() || std::abs(error) > std::abs(**kept)) *kept = error;
}

// An answer of the model as the decoder gives it.
BatteryStatus statusOf(const ModelAnswer& answer)
{
    BatteryStatus status{};
    status.gasGauge = answer.gauge;
    std::copy(std::begin(answer.cellMillivolts), std::end(answer.cellMillivolts), status.cellVoltage);
    status.current = answer.current & 0xFFFF;
    status.statusRegister = static_cast<int>(0x8000U | answer.modeBits);
    return status;
}

// Play one outage from full to empty, polling every 5 s, until 60 s before empty.
Errors play(const Scenario& scenario)
{
    BatteryModel model;
    model.capacity = scenario.capacity;
    model.charge = scenario.capacity;
    parseProfile(scenario.profile, &model.profile);
    RuntimeEstimator estimator({scenario.rated ? scenario.capacity : 0, 0, 3.5 * pollSeconds});
    Errors errors;
    unsigned noise = 1;
    for (long poll = 0;; poll++) {
        double t = static_cast<double>(poll) * pollSeconds;
        advanceModel(&model, t);
        Estimate estimate = estimator.accepted(statusOf(modelAnswer(model, &noise)), t);
        double truth = secondsToEmpty(model);
        if (t < outageStart) continue;
        if (truth < 60) break;
        if (!estimate.runtime) continue;
        double error = (*estimate.runtime - truth) / truth * 100;
        errors.capacity = *estimate.capacity;
        // Before a step the real time to empty holds a load that has not come yet: only after it counts.
        if (scenario.stepAt == 0 && t >= outageStart + 60) worst(&errors.fromFirstMinute, error);
        if (scenario.stepAt == 0 && model.charge <= scenario.capacity * 0.98) worst(&errors.onceLearned, error);
        if (scenario.stepAt > 0 && t == scenario.stepAt + 60) errors.minuteAfterStep = error;
        if (scenario.stepAt > 0 && t >= scenario.stepAt + 60) worst(&errors.afterStep, error);
    }
    return errors;
}

// A run of the model with the gauge field replaced at some answers, as a failing gauge sends it.
struct Glitch {
    const char* name;
    double storedAh;     // a capacity kept from an earlier run (weight 100 %); 0 for none
    const char* profile; // the model's current, from 50 % (90 % with a stored capacity below 0.1 Ah)
    int field;           // the gauge field of each bad answer
    double firstAt;      // seconds to the first bad answer; then one every glitchEvery
};

const Glitch glitches[] = {
    {"gauge 0, 20 A out, nothing kept", 0, "100000:-20", 0, 10},
    {"gauge 0, 20 A out, 20 Ah kept", 20, "100000:-20", 0, 300},
    {"gauge 0, 10 A in, nothing kept", 0, "100000:+10", 0, 10},
    {"gauge 0, 10 A in, 20 Ah kept", 20, "100000:+10", 0, 300},
    {"gauge FFFF, 20 A out, 20 Ah kept", 20, "100000:-20", 0xFFFF, 300},
    {"0.002 Ah kept, 20 A out", 0.002, "100000:-20", -1, 0},
};

constexpr double glitchEvery = 300;
constexpr int glitchCount = 3;
constexpr double glitchLowRuntime = 600; // --low-runtime

// Play 20 minutes of one glitch row, printing the capacity an answer after each bad one,
// the runtime at the end, and how many answers said low on runtime.
void playGlitch(const Glitch& glitch)
{
    BatteryModel model;
    model.capacity = 20;
    model.charge = glitch.storedAh > 0 && glitch.storedAh < 0.1 ? 18 : 10;
    parseProfile(glitch.profile, &model.profile);
    RuntimeEstimator estimator({0, glitchLowRuntime, 3.5 * pollSeconds});
    estimator.seed(glitch.storedAh, 100);
    std::printf("%-34s", glitch.name);
    unsigned noise = 1;
    int lowAnswers = 0, shown = 0;
    Estimate estimate;
    for (double t = 0; t <= 1200; t += pollSeconds) {
        advanceModel(&model, t);
        BatteryStatus status = statusOf(modelAnswer(model, &noise));
        double since = t - glitch.firstAt;
        bool bad = glitch.field >= 0 && since >= 0 && std::fmod(since, glitchEvery) == 0 && since < glitchEvery * glitchCount;
        if (bad) status.gasGauge = glitch.field;
        estimate = estimator.accepted(status, t);
        lowAnswers += estimate.runtimeLow ? 1 : 0;
        bool afterBad = glitch.field >= 0 && since > 0 && std::fmod(since - pollSeconds, glitchEvery) == 0 &&
                        since - pollSeconds < glitchEvery * glitchCount;
        if (afterBad || (glitch.field < 0 && t == pollSeconds && shown++ == 0)) {
            if (estimate.capacity) std::printf(" %10.4f Ah", *estimate.capacity);
            else std::printf(" %13s", "-");
        }
    }
    if (glitch.field < 0) std::printf(" %13s %13s", "", "");
    if (estimate.runtime) std::printf(" %9.0f s", *estimate.runtime);
    else std::printf(" %11s", "-");
    std::printf(" %8d\n", lowAnswers);
}

// A percentage, or a dash.
void print(std::optional<double> value)
{
    if (value) std::printf(" %+8.2f %%", *value);
    else std::printf("   %8s", "-");
}

} // namespace

int main()
{
    std::printf("Largest error of the runtime against the real time to empty, polling every %g s\n", pollSeconds);
    std::printf("(the same model battery_sim --capacity plays; each outage from full until 60 s before empty)\n\n");
    std::printf("%-32s %9s %11s %11s %11s %11s\n", "outage", "capacity", "from 1 min", "2 % used", "step+1 min",
                "after step");
    for (const Scenario& scenario : scenarios) {
        Errors errors = play(scenario);
        std::printf("%-32s %6.2f Ah", scenario.name, errors.capacity);
        print(errors.fromFirstMinute);
        print(errors.onceLearned);
        print(errors.minuteAfterStep);
        print(errors.afterStep);
        std::printf("\n");
    }
    std::printf("\nThe capacity one answer after each bad gauge reading (a 20 Ah battery from 50 %%, polled every %g s,\n"
                "one bad answer every %g s from the time in the row), the runtime after 20 minutes, and the answers\n"
                "low on runtime with --low-runtime %g\n\n",
                pollSeconds, glitchEvery, glitchLowRuntime);
    std::printf("%-34s %13s %13s %13s %11s %8s\n", "bad answers", "after 1st", "after 2nd", "after 3rd", "runtime",
                "low");
    for (const Glitch& glitch : glitches) playGlitch(glitch);
    return 0;
}
