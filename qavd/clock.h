// clock: the wall clock watched against the monotonic clock, so that steps of it are noticed.
#ifndef QAVD_CLOCK_H
#define QAVD_CLOCK_H

#include <functional>
#include <string>

/** @return Seconds on the monotonic clock, which steps of the wall clock leave alone. */
double monotonicSeconds();

/** @return Seconds since the epoch on the wall clock, with their fraction. */
double wallSeconds();

/**
 * Watches the wall clock against the monotonic clock: between two looks the wall clock
 * should move as far as the monotonic one. When it moves more than 2 s further or less
 * far (more, over long looks, by what NTP may slew: 0.05 %), it stepped; each step is
 * logged once, with its size. Used from one thread.
 */
class ClockWatch {
public:
    /** A clock in seconds. */
    using Source = std::function<double()>;

    /**
     * @param wall      The wall clock; wallSeconds() by default.
     * @param monotonic The monotonic clock; monotonicSeconds() by default.
     */
    explicit ClockWatch(Source wall = nullptr, Source monotonic = nullptr);

    /** Look at both clocks. @return The step since the last look, in seconds (0 for none); logged. */
    double look();

    static constexpr double stepLimit = 2;       ///< Seconds of difference that make a step.
    static constexpr double slewAllowed = 0.0005; ///< What NTP may slew the clock, a second a second.

private:
    Source wallClock, steadyClock;
    double lastWall, lastSteady;
};

/** @return The text of a step: "forward by 31536000 s" or "back by 3600 s" (whole seconds). */
std::string clockStepText(double seconds);

#endif
