// runtime: plays the simulator's outages through the runtime estimator and prints its error against the real time to empty.
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
    return 0;
}
