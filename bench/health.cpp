// health: plays the simulator's ageing battery, polled every 5 s, through the health tracker and prints its
// figures against the model's truth: the resistance of the stack and of each cell, the steps until a weak cell
// is named and the false ones of a healthy pack, the health after three discharges, the projected replacement
// date after 100 cycles; then, over five years played with a history file, the store's size added per year and
// the time of the health answer.
// usage: health_bench [DIR]   (default /var/tmp; the history file is removed at the end)
#include "battery_model.h"
#include "health.h"
#include "runtime.h"
#include "store.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr long long epoch = 1735689600; // 2025-01-01: the wall time every play starts at
constexpr double pollSeconds = 5;
constexpr double day = 86400;
constexpr double maxGap = 3.5 * pollSeconds; // what qavd's defaults make of --stale-after and --interval

// Next number in 0 to range-1 of the simulator's noise sequence.
int draw(unsigned* noise, int range)
{
    *noise = *noise * 1103515245U + 12345U;
    return static_cast<int>((*noise >> 16) % static_cast<unsigned>(range));
}

// The answer battery_sim sends of the model now: its cells with the simulator's ±10 mV, its layer and heatsink
// temperatures, drawn from one sequence in the simulator's order.
BatteryStatus answerOf(const BatteryModel& model, unsigned* noise)
{
    ModelAnswer now = modelAnswer(model, noise);
    draw(noise, 3); // the humidity's step
    BatteryStatus status{};
    status.gasGauge = now.gauge;
    for (int c = 0; c < 8; c++) {
        status.cellVoltage[c] = std::clamp(now.cellMillivolts[c] + draw(noise, 21) - 10, 0, 0xFFFF);
        if (status.cellVoltage[c] > 4150) status.voltAlertRegister |= 1 << c;
        if (status.cellVoltage[c] > now.cellMillivolts[c] + 5) status.balanceRegister |= 1 << c;
    }
    status.current = now.current & 0xFFFF;
    for (int layer = 0; layer < 8; layer++) status.temperature[layer] = 22 + draw(noise, 6);
    status.temperature[8] = 30 + draw(noise, 10);
    status.humidity = 45;
    status.statusRegister = static_cast<int>(0x8000U | now.modeBits | (status.temperature[8] > 35 ? 0x0008U : 0));
    return status;
}

// One battery polled every 5 s: the model, the runtime estimator and the health tracker qavd runs on its answers.
struct Play {
    BatteryModel model;
    RuntimeEstimator estimator;
    HealthTracker tracker;
    unsigned noise = 1;
    std::vector<Event> events;

    Play(const BatteryModel& battery, double rated, double replaceAt, Store* store = nullptr)
        : model(battery), estimator({rated, 0, maxGap}), tracker({"bench", rated, replaceAt, 20, 0, maxGap}, store)
    {
    }

    // Poll once more, 5 s on; the events come to events.
    void poll()
    {
        advanceModel(&model, model.time + pollSeconds);
        BatteryStatus status = answerOf(model, &noise);
        double wall = static_cast<double>(epoch) + model.time;
        Estimate estimate = estimator.accepted(status, wall);
        std::vector<Event> made = tracker.accepted(status, estimate, wall);
        events.insert(events.end(), made.begin(), made.end());
    }

    // The wall time of the last answer.
    long long now() const { return epoch + static_cast<long long>(model.time); }
};

// A model battery of 20 Ah, full, following a profile.
BatteryModel battery(const std::string& profile, double fade = 0, double cycles = 0, int weakCell = 0,
                     double weakFactor = 1)
{
    BatteryModel model;
    model.capacity = 20;
    model.resistance = 5;
    model.fade = fade;
    model.cycles = cycles;
    model.weakCell = weakCell;
    model.weakFactor = weakFactor;
    model.charge = presentCapacity(model);
    std::string wrong = parseProfile(profile, &model.profile);
    if (!wrong.empty()) std::fprintf(stderr, "health_bench: %s\n", wrong.c_str());
    return model;
}

// ---- Resistance and the weak cell ----

// A load that steps: mains on at 20 A for an hour, then an outage whose load alternates every 30 s
// between low and high amperes, taking about 60 % of a 20 Ah battery.
std::string steppingProfile(double low, double high)
{
    int pairs = static_cast<int>(0.6 * 20 * 3600 / ((low + high) / 2 * 60));
    std::string text = "3600:+20";
    for (int i = 0; i < pairs; i++) text += ", 30:-" + std::to_string(low) + ", 30:-" + std::to_string(high);
    return text;
}

// A profile of the resistance table.
struct Load {
    const char* name;
    std::string profile;
};

// Percent error of a measured resistance in ohms against the model's in milliohms; none unmeasured.
double errorOf(const std::optional<double>& ohms, double milliohms)
{
    return ohms ? (*ohms * 1000 - milliohms) / milliohms * 100 : NAN;
}

// The larger magnitude.
double worse(double kept, double error)
{
    return std::isnan(kept) || std::abs(error) > std::abs(kept) ? error : kept;
}

// The errors of one health's resistances: the stack's, and the largest of the cells' (the weak one's apart).
struct ResistanceErrors {
    double stack = NAN, cells = NAN, weak = NAN;
};

// The errors of the resistances now against the model's.
ResistanceErrors resistanceErrors(const Health& health, const BatteryModel& model)
{
    ResistanceErrors e;
    e.stack = errorOf(health.stackResistance, stackResistance(model));
    for (int c = 0; c < 8; c++) {
        double error = errorOf(health.cellResistance[c], cellResistance(model, c));
        if (c + 1 == model.weakCell) e.weak = error;
        else e.cells = worse(e.cells, error);
    }
    return e;
}

// The highest ratio of a cell's resistance over the median of the other seven's.
double highestRatio(const Health& health)
{
    double highest = 0;
    for (int c = 0; c < 8; c++) {
        std::vector<double> others;
        for (int o = 0; o < 8; o++)
            if (o != c) others.push_back(*health.cellResistance[o]);
        std::sort(others.begin(), others.end());
        highest = std::max(highest, *health.cellResistance[c] / others[3]);
    }
    return highest;
}

// A healthy pack over 1,000 load steps: the errors at the end and the worst once 50 steps are in the median,
// and the weak cells it names.
void healthyRow(const Load& load)
{
    Play play(battery(load.profile), 20, 80);
    ResistanceErrors worst;
    int falseWeak = 0;
    double highest = 0;
    while (play.tracker.current()->loadSteps < 1000) {
        play.poll();
        auto health = play.tracker.current();
        for (const Event& e : play.events) falseWeak += e.name == "weakcell" ? 1 : 0;
        play.events.clear();
        if (health->loadSteps < resistanceSteps) continue;
        ResistanceErrors now = resistanceErrors(*health, play.model);
        worst.stack = worse(worst.stack, now.stack);
        worst.cells = worse(worst.cells, now.cells);
        highest = std::max(highest, highestRatio(*health));
    }
    ResistanceErrors end = resistanceErrors(*play.tracker.current(), play.model);
    std::printf("%-28s %+7.2f %% %+7.2f %% %+7.2f %% %+7.2f %% %6.2f %6d\n", load.name, end.stack, end.cells, worst.stack,
                worst.cells, highest, falseWeak);
}

// A pack whose cell 6 has twice the others' resistance: the load steps until it is named (and whether another
// cell ever was), and the errors after 200 steps.
void weakRow(const Load& load)
{
    Play play(battery(load.profile, 0, 0, 6, 2), 20, 80);
    std::uint64_t named = 0;
    int wrong = 0;
    while (play.tracker.current()->loadSteps < 200) {
        play.poll();
        for (const Event& e : play.events)
            if (e.name == "weakcell") {
                bool six = e.detail.rfind("cell 6:", 0) == 0;
                wrong += six ? 0 : 1;
                if (six && named == 0) named = play.tracker.current()->loadSteps;
            }
        play.events.clear();
    }
    auto health = play.tracker.current();
    ResistanceErrors end = resistanceErrors(*health, play.model);
    char steps[16];
    std::snprintf(steps, sizeof steps, named == 0 ? "never" : "%llu", static_cast<unsigned long long>(named));
    std::printf("%-28s %6s %6d %+7.2f %% %+7.2f %% %+7.2f %% %6.2f\n", load.name, steps, wrong, end.stack, end.weak,
                end.cells, health->weakRatio);
}

// The resistance tables: a healthy pack and one with a weak cell, under loads that step by more and less.
void resistance()
{
    const Load loads[] = {
        {"steps of 2 A (10 / 12 A)", steppingProfile(10, 12)},
        {"steps of 5 A (10 / 15 A)", steppingProfile(10, 15)},
        {"steps of 10 A (10 / 20 A)", steppingProfile(10, 20)},
        {"steps of 20 A (10 / 30 A)", steppingProfile(10, 30)},
        {"battery_sim's default", defaultProfile},
    };
    std::printf("Resistance of a healthy pack (5 mOhm a cell, 40 mOhm the stack) over 1,000 load steps: the error at\n"
                "the end and the worst once %zu steps are in the median, the highest ratio of a cell over the\n"
                "median of the others from then on, and the weak cells named\n\n",
                resistanceSteps);
    std::printf("%-28s %9s %9s %9s %9s %6s %6s\n", "load", "stack", "cells", "worst st.", "worst c.", "ratio", "weak");
    for (const Load& load : loads) healthyRow(load);
    std::printf("\nA pack whose cell 6 has twice the others' resistance: the load steps until it is named, the other\n"
                "cells named, and after 200 steps the errors of the stack, cell 6, the others' worst, and its ratio\n\n");
    std::printf("%-28s %6s %6s %9s %9s %9s %6s\n", "load", "named", "wrong", "stack", "cell 6", "others", "ratio");
    for (const Load& load : loads) weakRow(load);
}

// ---- Health after three discharges ----

// One row of the health table.
struct Discharges {
    const char* name;
    double cycles;  // the battery's start (--cycles)
    double points;  // depth of each discharge in points of its present capacity
    double amperes; // its load
    bool rated;     // --capacity given
};

// Three discharges of a full battery, each followed by a charge at 10 A and an hour's rest: the health after the
// third discharge (its point just measured) against the model's.
void healthRow(const Discharges& row)
{
    BatteryModel aged = battery("1:0", 10, row.cycles);
    double outage = row.points / 100 * presentCapacity(aged) / row.amperes * 3600;
    char profile[160];
    std::snprintf(profile, sizeof profile, "%.0f:-%g, %.0f:+10, 3600:0", outage, row.amperes,
                  row.points / 100 * 20 / 10 * 3600 * 1.2);
    Play play(battery(profile, 10, row.cycles), row.rated ? 20 : 0, 80);
    double length = 0;
    for (const ProfileStep& step : play.model.profile) length += step.seconds;
    double reference = 0;
    while (play.model.time < 2 * length + outage + 60) {
        play.poll();
        if (reference == 0 && !play.tracker.current()->points->empty()) reference = presentCapacity(play.model);
    }
    auto health = play.tracker.current();
    double truth = presentCapacity(play.model) / (row.rated ? play.model.capacity : reference);
    std::printf("%-40s %6.2f %% %6.2f %% %+6.2f %3zu\n", row.name, truth * 100, health->health.value_or(NAN) * 100,
                (health->health.value_or(NAN) - truth) * 100, health->points->size());
}

// The health table: new and aged batteries, discharges of 30 to 80 points at 5 to 20 A.
void healthTable()
{
    const Discharges rows[] = {
        {"new, 30 points at 10 A, rated", 0, 30, 10, true},
        {"new, 50 points at 10 A, rated", 0, 50, 10, true},
        {"new, 80 points at 20 A, rated", 0, 80, 20, true},
        {"300 cycles, 30 points at 5 A, rated", 300, 30, 5, true},
        {"300 cycles, 30 points at 20 A, rated", 300, 30, 20, true},
        {"300 cycles, 50 points at 10 A, learned", 300, 50, 10, false},
    };
    std::printf("\nHealth after three discharges (fading 10 %% per 100 cycles), against the model's present capacity\n"
                "over the rated one (over its capacity at the first point when learned); error in points\n\n");
    std::printf("%-40s %8s %8s %6s %3s\n", "discharges", "truth", "health", "error", "pts");
    for (const Discharges& row : rows) healthRow(row);
}

// ---- The projected replacement date, and five years with a history file ----

// A week of one outage a day at 10 A, 20 to 60 points of a 20 Ah battery deep, each followed by a charge at
// 10 A and the rest of the day on mains.
std::string weeklyProfile()
{
    const double depths[] = {20, 35, 50, 25, 60, 40, 30};
    std::string text;
    for (double points : depths) {
        double outage = points / 100 * 20 / 10 * 3600;
        double charge = outage * 1.2;
        char step[96];
        std::snprintf(step, sizeof step, "%s%.0f:-10, %.0f:+10, %.0f:0", text.empty() ? "" : ", ", outage, charge,
                      day - outage - charge);
        text += step;
    }
    return text;
}

// When the model, playing on as it does, reaches the replace-at level: seconds since the epoch.
long long truthDate(BatteryModel model, double replaceAt)
{
    while (presentCapacity(model) > replaceAt / 100 * model.capacity) advanceModel(&model, model.time + 60);
    return epoch + static_cast<long long>(model.time);
}

// The projected date of a play now against the model's, as a share of the time left; prints a row.
void dateRow(const char* name, Play& play, double replaceAt)
{
    auto health = play.tracker.current();
    long long truth = truthDate(play.model, replaceAt);
    double left = static_cast<double>(truth - play.now());
    double error = health->replaceDate ? static_cast<double>(*health->replaceDate - truth) / left * 100 : NAN;
    std::printf("%-30s %6.1f %11s %11s %7.0f d %+7.2f %% %6.2f %6.2f %+7.2f %%\n", name, play.model.cycles,
                civilDateText(truth).c_str(), health->replaceDate ? civilDateText(*health->replaceDate).c_str() : "-",
                left / day, error, health->fadePer100Cycles.value_or(NAN), play.model.fade,
                (health->lifetime.cycles - play.model.cycles) / play.model.cycles * 100);
}

// Bytes of a file and its write-ahead log.
long long sizeOf(const std::string& path)
{
    long long total = 0;
    for (const char* suffix : {"", "-wal"}) {
        struct stat file {};
        if (stat((path + suffix).c_str(), &file) == 0) total += file.st_size;
    }
    return total;
}

// Open the history file; null (reported) when it cannot be.
std::unique_ptr<Store> openStore(const std::string& path)
{
    std::string problem;
    std::unique_ptr<Store> store = Store::open(path, 5, &problem);
    if (!store) std::fprintf(stderr, "health_bench: %s\n", problem.c_str());
    return store;
}

// Milliseconds of the health answer (healthJson, and with its text) of a health: the first run, then the median
// and the largest of 20 more.
void answerTime(const Health& health, long long now)
{
    std::vector<double> built, texts;
    std::size_t bytes = 0;
    for (int run = 0; run < 21; run++) {
        auto begun = std::chrono::steady_clock::now();
        nlohmann::json answer = healthJson(health, now);
        auto made = std::chrono::steady_clock::now();
        bytes = answer.dump().size();
        auto done = std::chrono::steady_clock::now();
        built.push_back(std::chrono::duration<double, std::milli>(made - begun).count());
        texts.push_back(std::chrono::duration<double, std::milli>(done - begun).count());
    }
    std::printf("health answer of %zu capacity points (%zu bytes), first run: healthJson %.2f ms, with its text %.2f ms\n",
                health.points->size(), bytes, built[0], texts[0]);
    std::sort(built.begin() + 1, built.end());
    std::sort(texts.begin() + 1, texts.end());
    std::printf("20 runs after it: healthJson %.2f ms (largest %.2f), with its text %.2f ms (largest %.2f)\n", built[10],
                built.back(), texts[10], texts.back());
}

// The fade of 10 % per 100 cycles played for five years of daily outages with a history file, restarting at each
// year's end: the projected date once 100 cycles are in, the file's size each year, the restart's time and the
// health answer's at the end.
void fiveYears(const std::string& dir)
{
    std::string path = dir + "/health_bench." + std::to_string(getpid()) + ".db";
    unlink(path.c_str());
    { openStore(path); }
    long long empty = sizeOf(path), before = empty;
    BatteryModel model = battery(weeklyProfile(), 10);
    std::unique_ptr<Store> store = openStore(path);
    if (!store) return;
    auto play = std::make_unique<Play>(model, 20, 80, store.get());
    bool dated = false;
    std::printf("\nFive years of the weekly outages (10 %% per 100 cycles) with a history file, qavd restarted at each "
                "year's end\n\n");
    for (int year = 1; year <= 5; year++) {
        while (play->model.time < year * 365 * day) {
            play->poll();
            if (dated || play->model.cycles < 100) continue;
            dated = true;
            dateRow("weekly outages, 80 % (history)", *play, 80);
        }
        // Restart on the same file: the store closes (its log folded in) and the tracker reads back what it kept.
        BatteryModel now = play->model;
        unsigned noise = play->noise;
        play.reset();
        store.reset();
        long long size = sizeOf(path);
        store = openStore(path);
        if (!store) return;
        auto begun = std::chrono::steady_clock::now();
        play = std::make_unique<Play>(now, 20, 80, store.get());
        double restart = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();
        play->noise = noise;
        auto health = play->tracker.current();
        std::printf("year %d: %5zu capacity points, %6.1f cycles, health %5.1f %%, file %7lld bytes (%+6lld this "
                    "year), restart %.2f ms\n",
                    year, health->points->size(), health->lifetime.cycles, health->health.value_or(NAN) * 100, size,
                    size - before, restart);
        before = size;
    }
    std::printf("added per year: %.0f bytes on average over the %lld bytes of an empty file; the lifetime figures "
                "are one row of %zu bytes, rewritten\n",
                static_cast<double>(before - empty) / 5, empty,
                lifetimeJson(play->tracker.current()->lifetime).dump().size());
    answerTime(*play->tracker.current(), play->now());
    play.reset();
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm", ".lock"}) unlink((path + suffix).c_str());
}

// The replacement table: batteries fading at 5 to 15 % per 100 cycles, 100 cycles after they were new.
void replacement(const std::string& dir)
{
    std::printf("\nProjected replacement date after 100 cycles of the weekly outages (20 to 60 points a day at 10 A),\n"
                "against the date the model reaches --replace-at playing on; error as a share of the time left;\n"
                "the fade per 100 cycles fitted and the model's, and the error of the cycles counted\n\n");
    std::printf("%-30s %6s %11s %11s %9s %9s %6s %6s %9s\n", "battery", "cycles", "truth", "projected", "left",
                "error", "fade", "model", "cycles");
    const double fades[] = {5, 15};
    for (double fade : fades) {
        Play play(battery(weeklyProfile(), fade), 20, 80);
        while (play.model.cycles < 100) play.poll();
        char name[48];
        std::snprintf(name, sizeof name, "weekly outages, fade %g %%", fade);
        dateRow(name, play, 80);
    }
    fiveYears(dir);
}

} // namespace

int main(int argc, char** argv)
{
    std::string dir = argc > 1 ? argv[1] : "/var/tmp";
    std::printf("The health tracker against the simulator's model, polled every %g s (cells with the simulator's "
                "+-10 mV)\n\n",
                pollSeconds);
    resistance();
    healthTable();
    replacement(dir);
    return 0;
}
