// clock: the wall clock watched against the monotonic clock, so that steps of it are noticed.
#include "clock.h"

#include "output.h"

#include <cmath>
#include <syslog.h>
#include <time.h>

namespace {

// Seconds on a clock of clock_gettime(); 0 should it fail (it cannot for these two).
double secondsOn(clockid_t id)
{
    timespec now{};
    if (clock_gettime(id, &now) != 0) return 0;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

double monotonicSeconds()
{
    return secondsOn(CLOCK_MONOTONIC);
}

double wallSeconds()
{
    return secondsOn(CLOCK_REALTIME);
}

ClockWatch::ClockWatch(Source wall, Source monotonic)
    : wallClock(wall ? std::move(wall) : Source(wallSeconds)),
      steadyClock(monotonic ? std::move(monotonic) : Source(monotonicSeconds)), lastWall(wallClock()),
      lastSteady(steadyClock())
{
}

double ClockWatch::look()
{
    double wall = wallClock(), steady = steadyClock();
    double passed = steady - lastSteady, step = (wall - lastWall) - passed;
    lastWall = wall;
    lastSteady = steady;
    if (std::fabs(step) <= stepLimit + slewAllowed * std::fabs(passed)) return 0;
    logMessage(LOG_WARNING, "the wall clock stepped " + clockStepText(step) +
                                "; the history goes by the monotonic clock across it");
    return step;
}

std::string clockStepText(double seconds)
{
    auto whole = static_cast<long long>(std::llround(std::fabs(seconds)));
    return std::string(seconds < 0 ? "back" : "forward") + " by " + std::to_string(whole) + " s";
}
