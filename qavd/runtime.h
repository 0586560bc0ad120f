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
    bool runtimeLow = false;            ///< Discharging with runtime at or below --low-runtime, this answer and the one before.
    bool implausible = false;           ///< The answer's gauge cannot be true; the runtime comes from the charge counted instead.
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
/** The smallest capacity, in ampere-hours, that is taken as learned or kept. */
constexpr double minimumCapacity = 0.1;
/** A gauge further than this many points from where the counted charge moved it cannot be true. */
constexpr double jumpPoints = 2;
/** Answers in a row that agree with each other, after such a jump, for their gauge to be taken as it is. */
constexpr int jumpSettleAnswers = 3;
/** A segment's capacity more than this factor from the learned one is held back ... */
constexpr double outlierFactor = 2;
/** ... until this many such segments in a row agree, within that factor of each other, and replace it. */
constexpr int outlierSegments = 3;
/** Answers in a row with the runtime at or below --low-runtime that make it low. */
constexpr int lowRuntimeAnswers = 2;

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
 *
 * A gauge above 100 %, or one more than jumpPoints from where the charge
 * counted since the last believed answer moved it (by the capacity in use;
 * by none before one is known), is implausible: it ends the learning
 * segment, and the time left comes from that believed gauge moved by the
 * charge counted since. A jump that jumpSettleAnswers answers in a row agree
 * with is taken from the last of them on; so is the one answer after a first
 * answer (at start or after a gap) it disagrees with, since either may be the
 * bad one. A finished segment yields its capacity unless that is below
 * minimumCapacity, or more than outlierFactor from the learned one: such
 * segments are held back until outlierSegments of them agree, and then
 * replace what was learned.
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
     * @param capacity Ampere-hours at 100 %; ignored unless at least minimumCapacity.
     * @param weight   Percent of gauge it was learned over; ignored unless positive.
     * @return Whether it was taken.
     */
    bool seed(double capacity, double weight);

    /** @return The learned capacity in ampere-hours, or none before the first segment. */
    std::optional<double> learnedCapacity() const;
    /** @return Percent of gauge the learned capacity rests on (at most learnWeightLimit). */
    double learnedWeight() const { return learnedPercent; }

private:
    void count(double watts, double dt);
    std::optional<double> capacityInUse() const;
    double pointsOf(double ampereHours) const;
    bool believable(double gauge, double ampereHours, bool continuing);
    void believe(double gauge, bool agreed);
    std::optional<double> countedGauge() const;
    void restartSegment(double gauge, int direction);
    void learn(double gauge, double ampereHours, int direction, bool continuing);
    void finishSegment(double ampereHours, double percent);
    void holdBack(double ampereHours, double percent);
    void addLearned(double ampereHours, double percent);
    double smooth(double amperes, std::optional<double> dt);
    Estimate estimateAt(std::optional<double> gauge, double current) const;

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
    bool segmentOpen = false;
    // The last believed gauge and the charge counted since; whether an answer after it agreed with it.
    bool believed = false;
    bool confirmed = false;
    double believedGauge = 0;
    double sinceBelievedAh = 0;
    // Answers in a row that jumped from the believed gauge and agree with each other; the last one's gauge.
    int jumpRun = 0;
    double jumpGauge = 0;
    double sinceJumpAh = 0;
    // Segments held back for being far from the learned capacity: ampere-hours and percent of gauge.
    double heldAh[outlierSegments] = {};
    double heldPercent[outlierSegments] = {};
    int heldCount = 0;
    int lowAnswers = 0; // in a row, with the runtime at or below --low-runtime
    // Every finished segment: ampere-hours and percent of gauge, summed.
    double learnedAh = 0;
    double learnedPercent = 0;
};

#endif
