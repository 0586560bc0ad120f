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

// The middle one of three values.
double median(double a, double b, double c)
{
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

} // namespace

double powerWatts(const BatteryStatus& status)
{
    long long millivolts = std::accumulate(std::begin(status.cellVoltage), std::end(status.cellVoltage), 0LL);
    return static_cast<double>(millivolts) / 1000 * (static_cast<std::int16_t>(status.current & 0xFFFF) / 100.0);
}

RuntimeEstimator::RuntimeEstimator(const RuntimeSettings& chosen) : settings(chosen) {}

void RuntimeEstimator::seed(double capacity, double weight)
{
    if (!(capacity > 0) || !(weight > 0)) return;
    learnedPercent = std::min(weight, learnWeightLimit);
    learnedAh = capacity * learnedPercent / 100;
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

// Start a learning segment at this gauge, going the current's way.
void RuntimeEstimator::restartSegment(double gauge, int direction)
{
    segmentGauge = gauge;
    segmentAh = 0;
    segmentSign = direction;
}

// Count the charge since the previous answer (dt seconds ago, or none after a gap) into the
// segment; one that moved the gauge far enough its own way yields a capacity.
void RuntimeEstimator::learn(double gauge, double amperes, std::optional<double> dt)
{
    int direction = directionOf(amperes);
    if (!dt || (direction != 0 && segmentSign != 0 && direction != segmentSign)) {
        restartSegment(gauge, direction);
        return;
    }
    if (segmentSign == 0) segmentSign = direction;
    segmentAh += (lastAmperes + amperes) / 2 * *dt / 3600;
    double moved = (gauge - segmentGauge) * segmentSign;
    if (moved <= -learnSegmentPercent) restartSegment(gauge, direction);
    if (segmentSign == 0 || moved < learnSegmentPercent || segmentAh * segmentSign <= 0) return;
    learnedAh += std::abs(segmentAh);
    learnedPercent += moved;
    if (learnedPercent > learnWeightLimit) {
        learnedAh *= learnWeightLimit / learnedPercent;
        learnedPercent = learnWeightLimit;
    }
    restartSegment(gauge, direction);
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

// The estimate at this gauge (percent) and smoothed current.
Estimate RuntimeEstimator::estimateAt(double gauge, double current) const
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
    } else {
        double moved = (gauge - segmentGauge) * segmentSign;
        estimate.learning = moved > 0 ? std::min(moved, learnSegmentPercent) : 0; // never -0
    }
    if (!estimate.capacity) return estimate;
    int direction = directionOf(current);
    if (direction < 0) estimate.runtime = gauge / 100 * *estimate.capacity / -current * 3600;
    if (direction > 0) estimate.timeToFull = std::max(0.0, 100 - gauge) / 100 * *estimate.capacity / current * 3600;
    estimate.runtimeLow = settings.lowRuntime > 0 && estimate.runtime && *estimate.runtime <= settings.lowRuntime;
    return estimate;
}

Estimate RuntimeEstimator::accepted(const BatteryStatus& status, double time)
{
    double amperes = static_cast<std::int16_t>(status.current & 0xFFFF) / 100.0;
    double gauge = status.gasGauge / 100.0;
    double watts = powerWatts(status);
    std::optional<double> dt;
    if (started && time >= lastTime && time - lastTime <= settings.maxGap) dt = time - lastTime;
    if (dt) count(watts, *dt);
    learn(gauge, amperes, dt);
    double current = smooth(amperes, dt);
    started = true;
    lastTime = time;
    lastAmperes = amperes;
    lastWatts = watts;
    return estimateAt(gauge, current);
}
