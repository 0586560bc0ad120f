// health: a battery's lifetime figures, state of health, internal resistance and weak cell,
// followed over months and years from its accepted answers.
#ifndef QAVD_HEALTH_H
#define QAVD_HEALTH_H

#include "output.h"
#include "runtime.h"
#include "store.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/** Cells (layers) of a battery. */
constexpr int healthCells = 8;
/** A load step: consecutive answers whose currents differ by at least this many amperes ... */
constexpr double stepAmperes = 2;
/** ... while the charge moved less than this many points. */
constexpr double stepChargePoints = 0.5;
/** Load steps whose resistances the median is taken of. */
constexpr std::size_t resistanceSteps = 50;
/** A cell is weak while its resistance is above this factor of the median of the others ... */
constexpr double weakFactor = 1.5;
/** ... for at least this many steps in a row; as many steps at or below it make it sound again. */
constexpr int weakSteps = 20;
/** A discharge or charge that moves the charge at least this many points yields a measured capacity. */
constexpr double capacityRunPoints = 10;
/** A discharge that moves the charge at least this many points counts as one (depth, deep discharges). */
constexpr double dischargePoints = 2;
/** The charge at or above which the battery counts as full, in percent. */
constexpr double fullPercent = 99.5;
/** Discharges whose depth is averaged. */
constexpr std::size_t depthsKept = 10;
/** Seconds of capacity points the fit goes through. */
constexpr long long fitSpan = 365LL * 86400;

/** A lowest or highest value and when it was seen; time 0 for never. */
struct Extreme {
    double value = 0;   ///< In the reading's units: volts or degrees Celsius.
    long long time = 0; ///< Seconds since the epoch.
    int which = 0;      ///< The cell or layer, 1 to 8; 0 for the stack.
    /** Field by field. */
    bool operator==(const Extreme&) const = default;
};

/** What a battery went through since it was installed (or first seen). */
struct LifetimeFigures {
    long long installed = 0;       ///< Installation date (--installed) in seconds since the epoch; 0 unknown.
    long long battery = 0;         ///< Which battery of the store: 0 for the first, one more at each replacement.
    long long since = 0;           ///< The first answer these figures count; 0 before it.
    double ahCharged = 0;          ///< Ampere-hours into the battery.
    double ahDischarged = 0;       ///< Ampere-hours out of it.
    double whCharged = 0;          ///< Watt-hours into it.
    double whDischarged = 0;       ///< Watt-hours out of it.
    double cycles = 0;             ///< Equivalent full cycles: ahDischarged over the capacity in use.
    double lowestCharge = 0;       ///< The deepest discharge: the lowest charge in percent ...
    long long lowestChargeAt = 0;  ///< ... and when; 0 for never.
    std::array<double, depthsKept> depths{}; ///< Depths of the last discharges, in points, oldest first.
    std::size_t depthCount = 0;    ///< How many of depths hold one.
    std::uint64_t discharges = 0;  ///< Discharges counted (at least dischargePoints).
    std::uint64_t deepDischarges = 0; ///< Those down to --low-battery.
    long long lastFull = 0;        ///< The last answer at fullPercent or more; 0 for never.
    double secondsOnBattery = 0;   ///< Time with the discharge mode bit set.
    Extreme stackLow, stackHigh, cellLow, cellHigh, temperatureLow, temperatureHigh;
    std::array<std::uint64_t, 9> faults{};  ///< Times each Fault/Good bit went to Fault, in statusBits' order.
    std::array<long long, 9> faultLast{};   ///< When each last did.
    std::array<std::uint64_t, 2> alerts{};  ///< Times the temperature and the voltage alert register became non-zero.
    std::array<long long, 2> alertLast{};   ///< When each last did.
    std::array<double, healthCells> balanceSeconds{}; ///< Seconds each balance-register bit (cell) was set.

    /** @return The mean depth of the last discharges in points, none before the first. */
    std::optional<double> meanDepth() const;
    /** Field by field. */
    bool operator==(const LifetimeFigures&) const = default;
};

/** The battery before the one installed now. */
struct PredecessorFigures {
    LifetimeFigures lifetime;      ///< Its lifetime figures when it was replaced.
    long long replaced = 0;        ///< When the new one was recorded.
    std::optional<double> health;  ///< Its last state of health, as a ratio.
};

/** Everything outputs show of a battery's health; immutable once in a snapshot. */
struct Health {
    LifetimeFigures lifetime;              ///< This battery's figures.
    long long at = 0;                      ///< The answer these figures end with; 0 before the first.
    std::optional<double> capacity;        ///< Ampere-hours the cycles are counted against (rated or learned).
    std::optional<double> health;          ///< State of health as a ratio (0.84 for 84 %).
    const char* reference = nullptr;       ///< "rated" or "first measured"; null without health.
    double referenceAh = 0;                ///< The capacity health is measured against.
    std::shared_ptr<const std::vector<CapacityPoint>> points; ///< Measured capacities, oldest first; never null.
    std::optional<double> fitSlopePerYear;  ///< The fitted line, ampere-hours per year ...
    std::optional<double> fitAmpereHours;   ///< ... and its value at the newest point.
    std::optional<double> fadePer100Cycles; ///< Points of health lost per 100 cycles.
    std::optional<double> fadePerYear;      ///< Points of health lost per year.
    double replaceAt = 80;                 ///< --replace-at, percent.
    std::optional<long long> replaceDate;  ///< When the fitted line reaches it.
    bool replace = false;                  ///< Health fell to replaceAt or below: replacebattery was raised.
    std::optional<double> stackResistance; ///< Ohms, the median of the last load steps.
    std::array<std::optional<double>, healthCells> cellResistance{}; ///< Ohms, per cell.
    std::uint64_t loadSteps = 0;           ///< Load steps seen since qavd started.
    int weakCell = 0;                      ///< The weak cell, 1 to 8; 0 for none.
    double weakRatio = 0;                  ///< Its resistance over the median of the others.
    std::shared_ptr<const PredecessorFigures> predecessor; ///< Null when none was recorded.
};

/** How a battery's health is followed. */
struct HealthSettings {
    std::string battery;       ///< Its name, for the events.
    double ratedCapacity = 0;  ///< --capacity; 0 when not rated.
    double replaceAt = 80;     ///< --replace-at, percent.
    double lowBattery = 20;    ///< --low-battery, percent: a discharge down to it is deep.
    long long installed = 0;   ///< --installed in seconds since the epoch; 0 when not given.
    double maxGap = 17.5;      ///< Longest time between answers that are counted together, in seconds.
};

/**
 * Follows the accepted answers of one battery and keeps its health: lifetime figures,
 * measured capacities and their fit, internal resistance from load steps, the weak cell.
 * It has no clock: each answer comes with its wall time, so tests feed it literal readings.
 *
 * Resistance: between consecutive accepted answers whose currents differ by at least
 * stepAmperes while the charge moved less than stepChargePoints, R = -dV/dI with I the
 * discharge current (dV/dI with the answer's current, positive while charging), for the
 * stack and each cell; each is the median of its last resistanceSteps steps. After each
 * step, a cell whose resistance is above weakFactor times the median of the other cells'
 * for weakSteps steps in a row becomes weak (weakcell), and sound again after weakSteps steps
 * at or below it (weakcellclear once no cell is weak).
 *
 * Capacity: a run of answers the same way (discharging or charging, resting between) without
 * a gap or an implausible gauge measures the charge counted over the points it moved; one
 * that moved capacityRunPoints or more is a capacity point. Health is the fitted line through
 * the last fitSpan of points, at the newest, over --capacity, or over the first point when not
 * rated. At or below --replace-at it raises replacebattery, cleared when a new battery is recorded.
 *
 * A store keeps the lifetime figures (handed over with every answer, written every 10 s and
 * at the end), the points and the predecessor's figures; an --installed later than the
 * stored one starts a new battery, whose predecessor the stored one becomes.
 */
class HealthTracker {
public:
    /**
     * Load what the store keeps (none without one), starting a new battery when
     * @p chosen's installation date is later than the stored one.
     *
     * @param chosen Its settings.
     * @param store  The battery's store, or null to keep everything in memory; must outlive the tracker.
     */
    HealthTracker(const HealthSettings& chosen, Store* store);

    /**
     * One accepted answer.
     *
     * @param status   Its decoded fields.
     * @param estimate Its estimate (capacity, implausible gauge).
     * @param time     Its wall time in seconds since the epoch, with fractions.
     * @return replacebattery, replacebatteryclear, weakcell and weakcellclear as they apply.
     */
    std::vector<Event> accepted(const BatteryStatus& status, const Estimate& estimate, double time);

    /** @return The health as it stands; a new value only after a change, so a snapshot can share it. */
    std::shared_ptr<const Health> current();

private:
    void restore();
    void startNewBattery();
    void keep();
    void countEnergy(const BatteryStatus& status, double dt);
    void countExtremes(const BatteryStatus& status, long long at);
    void countBits(const BatteryStatus& status, long long at, double dt);
    void followCharge(const BatteryStatus& status, const Estimate& estimate, double amperes, double dt, long long at);
    void endRun(double endTime);
    void addPoint(const CapacityPoint& point);
    void fit();
    void loadStep(const BatteryStatus& status, double amperes);
    void weakCells(long long at, std::vector<Event>* events);
    void replaceEvents(long long at, std::vector<Event>* events);
    Event make(const char* name, const std::string& detail, long long at) const;

    HealthSettings settings;
    Store* disk;
    Health figures;              // what current() hands out, once copied
    std::vector<CapacityPoint> points;
    std::shared_ptr<const Health> published;
    bool changed = true;
    bool clearPending = false;   // a replaced battery was due for replacement: raise replacebatteryclear
    // The previous accepted answer.
    bool previous = false, lastPlausible = false;
    double lastTime = 0, lastAmperes = 0, lastVolts = 0, lastCharge = 0;
    std::array<double, healthCells> lastCells{};
    unsigned lastFaults = 0;
    bool lastTempAlert = false, lastVoltAlert = false;
    // The run of answers the same way that may measure a capacity.
    int runSign = 0;
    double runStart = 0, runEnd = 0, runAh = 0, runLowest = 0;
    bool runOpen = false;
    // The resistance of each load step, newest last: the stack's, then each cell's.
    std::array<std::deque<double>, healthCells + 1> steps;
    std::array<int, healthCells> above{}, below{};
    std::array<bool, healthCells> weak{};
    bool loadStepped = false; // a load step came with this answer
};

/**
 * @param text A date as YYYY-MM-DD.
 * @return Its midnight (UTC) in seconds since the epoch; none unless a real date from 1970 to 9999.
 */
std::optional<long long> civilDate(const std::string& text);

/** @return @p seconds since the epoch as YYYY-MM-DD (UTC). */
std::string civilDateText(long long seconds);

/**
 * The JSON object of a battery's health, as /api/v1/health serves it: everything in base
 * units (ampere-hours, watt-hours, seconds, ohms, ratios), dates as seconds since the epoch
 * and as YYYY-MM-DD; nulls for what is not known yet.
 *
 * @param health The health of a snapshot.
 * @param now    Seconds since the epoch, for the age and the time since the last full charge.
 */
nlohmann::json healthJson(const Health& health, long long now);

/** The lifetime figures as JSON, in the store's and healthJson()'s form. */
nlohmann::json lifetimeJson(const LifetimeFigures& figures);

/**
 * The text of lifetimeJson(), written straight into it for the store, which keeps it every
 * 10 s per battery: the same object, numbers in their shortest exact form.
 */
std::string lifetimeText(const LifetimeFigures& figures);

/** @return Lifetime figures read back from lifetimeJson() or lifetimeText(); what is missing or wrong stays at its default. */
LifetimeFigures lifetimeFromJson(const nlohmann::json& in);

#endif
