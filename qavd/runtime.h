// runtime: time left and time to full from the battery's own current, and its capacity learned by counting charge.
#ifndef QAVD_RUNTIME_H
#define QAVD_RUNTIME_H

#include "battery_status.h"

#include <optional>

/** What the estimator makes of one accepted answer; every output shows the same. */
struct Estimate {
    std::optional<double> runtime;      ///< Seconds to empty while discharging; none when unknown.
    std::optional<double> timeToFull;   ///< Seconds to full while charging; none when unknown.
    std::optional<double> capacity;     ///< Ampere-hours at 100 %; none before it is known.
    const char* capacitySource = nullptr; ///< "rated", "learned", or null while unknown.
    double learning = 0;                ///< While learning, percent of gauge moved in the first segment so far.
    double learnedWeight = 0;           ///< Percent of gauge the learned capacity rests on, for a store to keep (see seed()).
    double energyCharged = 0;           ///< Joules into the battery since the start.
    double energyDischarged = 0;        ///< Joules out of the battery since the start.
    bool runtimeLow = false;            ///< Discharging with runtime at or below --low-runtime.
};

/** A learned capacity kept from an earlier run, to seed() an estimator with. */
struct LearnedCapacity {
    double ampereHours = 0; ///< 0 for none.
    double weight = 0;      ///< Percent of gauge it rests on.
};

/** @return Stack voltage times current, in watts; positive while charging, like the current. */
double powerWatts(const BatteryStatus& status);

/** How the estimator is set up. */
struct RuntimeSettings {
    double ratedCapacity = 0; ///< --capacity in ampere-hours; 0 to learn it.
    double lowRuntime = 0;    ///< --low-runtime in seconds; 0 for off.
    double maxGap = 17.5;     ///< Longest time between answers within one segment, in seconds.
};

/** Percent of gauge a segment must move before it yields a capacity. */
constexpr double learnSegmentPercent = 2;
/** Time constant of the smoothed current, in seconds. */
constexpr double smoothingSeconds = 20;
/** Currents within this many amperes of zero count as none. */
constexpr double restingAmperes = 0.05;
/** The learned capacity's weight is kept at or below this many percent of gauge, so it follows an ageing battery. */
constexpr double learnWeightLimit = 100;

/**
 * Follows the accepted answers of one battery and estimates its time left.
 * It has no clock: each answer comes with its time, so tests feed it literal
 * readings.
 *
 * The current is the median of the last three answers (one spike does not
 * count), smoothed exponentially with smoothingSeconds; the smoothing starts
 * again at the median when it turns from charging, resting or discharging to
 * another of them (an outage shows at once). Charge is counted by
 * trapezoids between answers; an answer more than maxGap after the previous one
 * starts afresh (nothing is integrated over the gap, the smoothing restarts,
 * and the learning segment is dropped), and so does a current against the
 * segment's direction.
 */
class RuntimeEstimator {
public:
    explicit RuntimeEstimator(const RuntimeSettings& chosen);

    /**
     * One accepted answer.
     *
     * @param status Its decoded fields.
     * @param time   Seconds on a clock that never goes back.
     * @return The estimate after it.
     */
    Estimate accepted(const BatteryStatus& status, double time);

    /**
     * Start from a capacity learned before (such as one kept across a restart).
     *
     * @param capacity Ampere-hours at 100 %; ignored unless positive.
     * @param weight   Percent of gauge it was learned over; ignored unless positive.
     */
    void seed(double capacity, double weight);

    /** @return The learned capacity in ampere-hours, or none before the first segment. */
    std::optional<double> learnedCapacity() const;
    /** @return Percent of gauge the learned capacity rests on (at most learnWeightLimit). */
    double learnedWeight() const { return learnedPercent; }

private:
    void count(double watts, double dt);
    void restartSegment(double gauge, int direction);
    void learn(double gauge, double amperes, std::optional<double> dt);
    double smooth(double amperes, std::optional<double> dt);
    Estimate estimateAt(double gauge, double current) const;

    RuntimeSettings settings;
    bool started = false;
    double lastTime = 0;
    double lastAmperes = 0;
    double lastWatts = 0;
    double recent[3] = {};     // the last three currents, for the median
    int recentCount = 0;
    double smoothed = 0;
    double energyIn = 0, energyOut = 0;
    // The segment being learned: where the gauge started, the charge counted since, its direction.
    double segmentGauge = 0;
    double segmentAh = 0;
    int segmentSign = 0;
    // Every finished segment: ampere-hours and percent of gauge, summed.
    double learnedAh = 0;
    double learnedPercent = 0;
};

#endif
