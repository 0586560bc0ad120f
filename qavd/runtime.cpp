// runtime: time left and time to full from the battery's own current, and its capacity learned by counting charge.
#include "runtime.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <numeric>

namespace {

// The sign of a current: 1 charging, -1 discharging, 0 within restingAmperes of zero.
int directionOf(double amperes)
{
    return amperes > restingAmperes ? 1 : amperes < -restingAmperes ? -1 : 0;
}

// Whether two capacities are more than outlierFactor apart.
bool farApart(double a, double b)
{
    return a > b * outlierFactor || b > a * outlierFactor;
}

// The middle one of three values.
double median(double a, double b, double c)
{
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

} // namespace

double powerWatts(const BatteryStatus& status)
{
    return stackVoltage(&status) * currentAmperes(&status);
}

RuntimeEstimator::RuntimeEstimator(const RuntimeSettings& chosen) : settings(chosen) {}

bool RuntimeEstimator::seed(double capacity, double weight)
{
    if (!(capacity >= minimumCapacity) || !std::isfinite(capacity) || !(weight > 0) || !std::isfinite(weight))
        return false;
    learnedPercent = std::min(weight, learnWeightLimit);
    learnedAh = capacity * learnedPercent / 100;
    return true;
}

std::optional<double> RuntimeEstimator::learnedCapacity() const
{
    if (learnedPercent <= 0) return std::nullopt;
    return learnedAh / learnedPercent * 100;
}

// Add the energy since the previous answer, dt seconds ago: a trapezoid on each side of zero.
void RuntimeEstimator::count(double watts, double dt)
{
    energyIn += dt * (std::max(lastWatts, 0.0) + std::max(watts, 0.0)) / 2;
    energyOut += dt * (std::max(-lastWatts, 0.0) + std::max(-watts, 0.0)) / 2;
}

// The capacity the estimate uses: --capacity, else the learned one, else none.
std::optional<double> RuntimeEstimator::capacityInUse() const
{
    if (settings.ratedCapacity > 0) return settings.ratedCapacity;
    return learnedCapacity();
}

// Points of gauge this charge moves a battery of the capacity in use; 0 while none is known.
double RuntimeEstimator::pointsOf(double ampereHours) const
{
    std::optional<double> capacity = capacityInUse();
    return capacity ? ampereHours / *capacity * 100 : 0;
}

// Whether this gauge can be true, given the charge counted since the previous answer (continuing:
// that answer came within maxGap). Moves the believed gauge on to it when it can.
bool RuntimeEstimator::believable(double gauge, double ampereHours, bool continuing)
{
    if (!continuing) believed = false;
    sinceBelievedAh += ampereHours;
    sinceJumpAh += ampereHours;
    if (gauge > 100) return false;
    if (!believed || std::abs(gauge - believedGauge - pointsOf(sinceBelievedAh)) <= jumpPoints) {
        believe(gauge, believed);
        return true;
    }
    if (!confirmed) { // the first answer may have been the bad one: start over from this one
        believe(gauge, false);
        segmentOpen = false;
        return true;
    }
    bool agrees = jumpRun > 0 && std::abs(gauge - jumpGauge - pointsOf(sinceJumpAh)) <= jumpPoints;
    jumpRun = agrees ? jumpRun + 1 : 1;
    jumpGauge = gauge;
    sinceJumpAh = 0;
    if (jumpRun < jumpSettleAnswers) return false;
    believe(gauge, true);
    return true;
}

// Take this gauge as the believed one; confirmed when it agreed with the one before.
void RuntimeEstimator::believe(double gauge, bool agreed)
{
    believed = true;
    confirmed = agreed;
    believedGauge = gauge;
    sinceBelievedAh = 0;
    jumpRun = 0;
}

// The believed gauge moved by the charge counted since, within 0 to 100 %; none without one.
std::optional<double> RuntimeEstimator::countedGauge() const
{
    if (!believed) return std::nullopt;
    return std::clamp(believedGauge + pointsOf(sinceBelievedAh), 0.0, 100.0);
}

// Start a learning segment at this gauge, going the current's way.
void RuntimeEstimator::restartSegment(double gauge, int direction)
{
    segmentGauge = gauge;
    segmentAh = 0;
    segmentSign = direction;
    segmentOpen = true;
}

// Count the charge since the previous answer (none when not continuing, after a gap or a bad
// gauge) into the segment; one that moved the gauge far enough its own way yields a capacity.
void RuntimeEstimator::learn(double gauge, double ampereHours, int direction, bool continuing)
{
    if (!continuing || !segmentOpen || (direction != 0 && segmentSign != 0 && direction != segmentSign)) {
        restartSegment(gauge, direction);
        return;
    }
    if (segmentSign == 0) segmentSign = direction;
    segmentAh += ampereHours;
    double moved = (gauge - segmentGauge) * segmentSign;
    if (moved <= -learnSegmentPercent) restartSegment(gauge, direction);
    if (segmentSign == 0 || moved < learnSegmentPercent || segmentAh * segmentSign <= 0) return;
    finishSegment(std::abs(segmentAh), moved);
    restartSegment(gauge, direction);
}

// A finished segment: taken into the learned capacity, unless implausibly small or far from it.
void RuntimeEstimator::finishSegment(double ampereHours, double percent)
{
    double figure = ampereHours / percent * 100;
    if (figure < minimumCapacity) return;
    std::optional<double> learned = learnedCapacity();
    if (learned && farApart(figure, *learned)) {
        holdBack(ampereHours, percent);
        return;
    }
    heldCount = 0;
    addLearned(ampereHours, percent);
}

// Hold back a segment far from the learned capacity; once enough in a row agree, they replace it.
void RuntimeEstimator::holdBack(double ampereHours, double percent)
{
    double figure = ampereHours / percent * 100;
    for (int i = 0; i < heldCount; i++)
        if (farApart(figure, heldAh[i] / heldPercent[i] * 100)) heldCount = 0;
    heldAh[heldCount] = ampereHours;
    heldPercent[heldCount] = percent;
    if (++heldCount < outlierSegments) return;
    learnedAh = 0;
    learnedPercent = 0;
    for (int i = 0; i < heldCount; i++) addLearned(heldAh[i], heldPercent[i]);
    heldCount = 0;
}

// Add a segment to the learned capacity, keeping its weight at or below learnWeightLimit.
void RuntimeEstimator::addLearned(double ampereHours, double percent)
{
    learnedAh += ampereHours;
    learnedPercent += percent;
    if (learnedPercent > learnWeightLimit) {
        learnedAh *= learnWeightLimit / learnedPercent;
        learnedPercent = learnWeightLimit;
    }
}

// The median of the last three currents, smoothed over smoothingSeconds; restarted after a gap
// and when the median's direction differs from the smoothed current's.
double RuntimeEstimator::smooth(double amperes, std::optional<double> dt)
{
    if (!dt) recentCount = 0;
    recent[0] = recent[1];
    recent[1] = recent[2];
    recent[2] = amperes;
    recentCount = std::min(recentCount + 1, 3);
    double middle = recentCount < 3 ? amperes : median(recent[0], recent[1], recent[2]);
    if (!dt || directionOf(middle) != directionOf(smoothed)) smoothed = middle;
    else smoothed += (1 - std::exp(-*dt / smoothingSeconds)) * (middle - smoothed);
    return smoothed;
}

// The estimate at this gauge (percent; none when unknown) and smoothed current.
Estimate RuntimeEstimator::estimateAt(std::optional<double> gauge, double current) const
{
    Estimate estimate;
    estimate.learnedWeight = learnedPercent;
    estimate.energyCharged = energyIn;
    estimate.energyDischarged = energyOut;
    if (settings.ratedCapacity > 0) {
        estimate.capacity = settings.ratedCapacity;
        estimate.capacitySource = "rated";
    } else if (learnedPercent > 0) {
        estimate.capacity = learnedCapacity();
        estimate.capacitySource = "learned";
    } else if (gauge && segmentOpen) {
        double moved = (*gauge - segmentGauge) * segmentSign;
        estimate.learning = moved > 0 ? std::min(moved, learnSegmentPercent) : 0; // never -0
    }
    if (!estimate.capacity || !gauge) return estimate;
    int direction = directionOf(current);
    if (direction < 0) estimate.runtime = *gauge / 100 * *estimate.capacity / -current * 3600;
    if (direction > 0) estimate.timeToFull = std::max(0.0, 100 - *gauge) / 100 * *estimate.capacity / current * 3600;
    return estimate;
}

Estimate RuntimeEstimator::accepted(const BatteryStatus& status, double time)
{
    double amperes = currentAmperes(&status);
    double gauge = chargePercent(&status);
    double watts = powerWatts(status);
    std::optional<double> dt;
    if (started && time >= lastTime && time - lastTime <= settings.maxGap) dt = time - lastTime;
    if (dt) count(watts, *dt);
    double ampereHours = dt ? (lastAmperes + amperes) / 2 * *dt / 3600 : 0;
    bool plausible = believable(gauge, ampereHours, dt.has_value());
    if (plausible) learn(gauge, ampereHours, directionOf(amperes), dt.has_value());
    else segmentOpen = false;
    double current = smooth(amperes, dt);
    started = true;
    lastTime = time;
    lastAmperes = amperes;
    lastWatts = watts;
    Estimate estimate = estimateAt(plausible ? gauge : countedGauge(), current);
    estimate.implausible = !plausible;
    bool low = settings.lowRuntime > 0 && estimate.runtime && *estimate.runtime <= settings.lowRuntime;
    lowAnswers = low ? lowAnswers + 1 : 0;
    estimate.runtimeLow = lowAnswers >= lowRuntimeAnswers;
    return estimate;
}
