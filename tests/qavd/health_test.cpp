// Tests of the health tracker, fed literal answers with their times; every expectation worked by hand.
#include "health.h"
#include "store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double T0 = 1800000000;
constexpr long long day1 = 1704067200; // 2024-01-01
constexpr long long day2 = 1709164800; // 2024-02-29

// An answer: gauge in hundredths, current in amperes, each cell's millivolts; discharge mode while discharging.
BatteryStatus answer(int gauge, double amperes, std::array<int, 8> cells)
{
    BatteryStatus status{};
    status.gasGauge = gauge;
    for (int c = 0; c < 8; c++) status.cellVoltage[c] = cells[c];
    status.current = static_cast<int>(amperes * 100 + (amperes < 0 ? -0.5 : 0.5)) & 0xFFFF;
    status.statusRegister = amperes < 0 ? 0x0200 : 0;
    return status;
}

// Load steps alternating -10 A and -20 A at 80 %, each cell sagging by its resistance (mOhm);
// the events they raise as "step name", counting the first step of this call as 1.
std::vector<std::string> loadSteps(HealthTracker& tracker, double* time, std::array<double, 8> milliohms, int steps)
{
    std::vector<std::string> raised;
    for (int k = 0; k <= steps; k++) {
        double amperes = k % 2 == 0 ? -10 : -20;
        std::array<int, 8> cells{};
        for (int c = 0; c < 8; c++) cells[c] = 3300 + static_cast<int>(milliohms[c] * amperes);
        for (const Event& e : tracker.accepted(answer(8000, amperes, cells), {}, *time += 5))
            raised.push_back(std::to_string(k) + " " + e.name + ": " + e.detail);
    }
    return raised;
}

// The scripted curve: from 100 % down to 50 % at 50 A, up, down to 15 %, up again; an answer every 36 s
// (0.5 Ah, half a point of a 100 Ah battery; trackers fed it allow 40 s between answers), the gauge
// moved by the charge counted.
void chargeCurve(HealthTracker& tracker, double* time)
{
    const std::pair<double, int> legs[] = {{-50, 101}, {50, 101}, {-50, 171}, {50, 171}};
    Estimate rated;
    rated.capacity = 100;
    double charge = 10000, before = -50;
    for (auto [amperes, answers] : legs)
        for (int k = 0; k < answers; k++) {
            if (*time > T0) charge += (before + amperes) / 2 * 36 / 3600 * 100;
            before = amperes;
            tracker.accepted(answer(static_cast<int>(charge), amperes, {3300, 3300, 3300, 3300, 3300, 3300, 3300, 3300}),
                             rated, *time += 36);
        }
}

// A scratch store file, removed at the end.
class HealthStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/health_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0); }
    std::unique_ptr<Store> open()
    {
        std::string problem;
        std::unique_ptr<Store> store = Store::open(dir + "/b.db", 5, &problem);
        EXPECT_TRUE(store) << problem;
        return store;
    }
    std::string dir;
};

} // namespace

TEST(Health, ResistanceFromLoadStepsIgnoresSmallStepsAndMovingCharge)
{
    HealthTracker tracker({"b1", 100, 80, 20, 0, 17.5}, nullptr);
    struct Row { int gauge; double amperes; int millivolts; };
    // Steps of 2 mOhm, 2 mOhm and 3 mOhm per cell; a 1 A step and one while the charge moved 0.7 points are ignored.
    const Row rows[] = {{8000, -10, 3300}, {8000, -20, 3280}, {7990, -10, 3300}, {7990, -11, 3250},
                        {7920, -21, 3000}, {7920, -31, 2970}};
    double time = T0;
    for (const Row& r : rows) tracker.accepted(answer(r.gauge, r.amperes, {r.millivolts, r.millivolts, r.millivolts,
                                                r.millivolts, r.millivolts, r.millivolts, r.millivolts, r.millivolts}), {}, time += 5);
    std::shared_ptr<const Health> h = tracker.current();
    EXPECT_EQ(h->loadSteps, 3u);
    EXPECT_NEAR(*h->stackResistance, 0.016, 1e-9);
    for (const auto& cell : h->cellResistance) EXPECT_NEAR(*cell, 0.002, 1e-9);
}

TEST(Health, AWeakCellIsNamedAfterTwentyStepsAndAHealthyPackNever)
{
    double time = T0;
    HealthTracker healthy({"b1", 100, 80, 20, 0, 17.5}, nullptr);
    EXPECT_EQ(loadSteps(healthy, &time, {2, 2.5, 3, 2, 2.5, 2, 3, 2.5}, 100), std::vector<std::string>{});
    EXPECT_NEAR(*healthy.current()->stackResistance, 0.0195, 1e-9);
    EXPECT_EQ(healthy.current()->weakCell, 0);

    HealthTracker tracker({"b1", 100, 80, 20, 0, 17.5}, nullptr);
    EXPECT_EQ(loadSteps(tracker, &time, {2, 2, 2, 2, 2, 4, 2, 2}, 24),
              std::vector<std::string>{"20 weakcell: cell 6: resistance 4.00 mOhm, 2.00 times the median of the others"});
    EXPECT_EQ(tracker.current()->weakCell, 6);
    // At 1 mOhm its median falls to 2.5 mOhm at the 24th step, with as many steps at 1 as at 4:
    // sound after 20 steps at or below 1.5 times.
    EXPECT_EQ(loadSteps(tracker, &time, {2, 2, 2, 2, 2, 1, 2, 2}, 45),
              std::vector<std::string>{"43 weakcellclear: cell 6: resistance within 1.5 times the median of the others again"});
}

TEST(Health, CyclesDepthsAndCapacityPointsOverAChargeCurve)
{
    HealthTracker tracker({"b1", 100, 80, 20, 0, 40}, nullptr);
    double time = T0;
    chargeCurve(tracker, &time);
    std::shared_ptr<const Health> h = tracker.current();
    const LifetimeFigures& f = h->lifetime;
    // 50 + 85 Ah at full current, and 0.25 Ah each way over each of the three turns.
    EXPECT_NEAR(f.ahDischarged, 135.75, 1e-9);
    EXPECT_NEAR(f.ahCharged, 135.75, 1e-9);
    EXPECT_NEAR(f.cycles, 1.3575, 1e-9);
    EXPECT_NEAR(f.whDischarged, 135.75 * 26.4, 1e-6);
    EXPECT_EQ(f.discharges, 2u);
    EXPECT_EQ(f.deepDischarges, 1u);
    EXPECT_NEAR(*f.meanDepth(), 67.5, 1e-9);
    EXPECT_EQ(f.lowestCharge, 15);
    EXPECT_EQ(f.lowestChargeAt, T0 + 372 * 36 + 36);
    EXPECT_EQ(f.lastFull, T0 + 544 * 36);
    EXPECT_NEAR(f.secondsOnBattery, (100 + 1 + 170) * 36, 1e-9);
    // The last charge goes on: two discharges and one charge measured 100 Ah each.
    ASSERT_EQ(h->points->size(), 3u);
    const double cycles[] = {0.5, 0.5025, 1.355};
    for (int i = 0; i < 3; i++) {
        EXPECT_NEAR((*h->points)[i].ampereHours, 100, 1e-9);
        EXPECT_NEAR((*h->points)[i].cycles, cycles[i], 1e-9);
    }
    EXPECT_NEAR(*h->health, 1, 1e-9);
    EXPECT_STREQ(h->reference, "rated");
    EXPECT_FALSE(h->replaceDate);
}

TEST_F(HealthStore, TheFitAndItsProjectedDateFromCapacityPoints)
{
    // Five points a fifth of a year apart, 2 Ah less each and 25 cycles apart; one older than a year is left out of the fit.
    const long long fifth = 6311520, newest = static_cast<long long>(T0);
    {
        std::unique_ptr<Store> store = open();
        store->addCapacityPoint(0, {newest - 400 * 86400, 104, 0});
        for (int k = 0; k < 5; k++) store->addCapacityPoint(0, {newest - (4 - k) * fifth, 100.0 - 2 * k, 25.0 * k});
        store->setValue("health_lifetime", "{\"installed_time\": 1704067200}");
    }
    struct Case { double rated, replaceAt, health, perYear, per100; long long replaceIn; std::string event; };
    const Case cases[] = {
        {100, 80, 0.92, 10, 8, 37869120, ""},
        {0, 90, 92.0 / 104, 1000.0 / 104, 800.0 / 104, -5049216,
         "replacebattery: health 88.5 % (92.00 Ah of 104.00 Ah first measured) is at or below 90 %"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Store> store = open();
        HealthTracker tracker({"b1", c.rated, c.replaceAt, 20, day1, 17.5}, store.get());
        std::vector<Event> events = tracker.accepted(answer(9000, 0, {3300, 3300, 3300, 3300, 3300, 3300, 3300, 3300}), {}, T0);
        std::shared_ptr<const Health> h = tracker.current();
        EXPECT_NEAR(*h->health, c.health, 1e-9);
        EXPECT_NEAR(*h->fadePerYear, c.perYear, 1e-9);
        EXPECT_NEAR(*h->fadePer100Cycles, c.per100, 1e-9);
        EXPECT_EQ(*h->replaceDate, newest + c.replaceIn);
        EXPECT_EQ(events.empty() ? "" : events[0].name + ": " + events[0].detail, c.event);
    }
}

TEST_F(HealthStore, FiguresSurviveAReopenAndALaterInstallationStartsANewBattery)
{
    double time = T0;
    {
        std::unique_ptr<Store> store = open();
        HealthTracker tracker({"b1", 110, 95, 20, day1, 40}, store.get());
        chargeCurve(tracker, &time);
    }
    {
        std::unique_ptr<Store> store = open();
        std::shared_ptr<const Health> h = HealthTracker({"b1", 110, 95, 20, day1, 40}, store.get()).current();
        EXPECT_NEAR(h->lifetime.ahDischarged, 135.75, 1e-9);
        EXPECT_EQ(h->lifetime.deepDischarges, 1u);
        EXPECT_EQ(h->lifetime.lastFull, T0 + 544 * 36);
        EXPECT_EQ(h->points->size(), 3u);
        EXPECT_FALSE(h->predecessor);
    }
    for (int run = 0; run < 2; run++) {
        std::unique_ptr<Store> store = open();
        HealthTracker tracker({"b1", 110, 95, 20, day2, 40}, store.get());
        std::vector<Event> events = tracker.accepted(answer(9000, 0, {3300, 3300, 3300, 3300, 3300, 3300, 3300, 3300}), {}, time += 36);
        std::shared_ptr<const Health> h = tracker.current();
        EXPECT_EQ(h->lifetime.installed, day2);
        EXPECT_EQ(h->lifetime.ahDischarged, 0);
        EXPECT_EQ(h->points->size(), 0u);
        ASSERT_TRUE(h->predecessor);
        EXPECT_NEAR(h->predecessor->lifetime.ahDischarged, 135.75, 1e-9);
        EXPECT_EQ(h->predecessor->lifetime.installed, day1);
        EXPECT_NEAR(*h->predecessor->health, 100.0 / 110, 1e-9);
        // The battery due for replacement (at 91 % of 110 Ah) is replaced once: the clear comes in the first run only.
        EXPECT_EQ(events.size(), run == 0 ? 1u : 0u);
        if (run == 0) {
            EXPECT_EQ(events[0].name + ": " + events[0].detail, "replacebatteryclear: a new battery installed on 2024-02-29 is recorded");
        }
    }
}

TEST(Health, InstallationDatesAreRealDates)
{
    EXPECT_EQ(civilDate("2024-01-01"), day1);
    EXPECT_EQ(civilDate("2024-02-29"), day2);
    EXPECT_EQ(civilDate("1970-01-01"), 0);
    for (const char* wrong : {"2023-02-29", "2024-13-01", "2024-1-01", "24-01-01", "2024-01-01x", "1969-12-31", "+024-01-01"})
        EXPECT_FALSE(civilDate(wrong)) << wrong;
    EXPECT_EQ(civilDateText(day2), "2024-02-29");
}

// The store's text of the lifetime figures is the API's object and reads back exactly,
// every field set (fractions that only read back in their shortest exact form) or none.
TEST(Health, TheStoresTextOfTheLifetimeFiguresIsTheApisObjectAndReadsBack)
{
    LifetimeFigures f;
    f.installed = day1;
    f.battery = 2;
    f.since = day1 + 3600;
    f.ahCharged = 12.5;
    f.ahDischarged = 0.1 + 0.2;
    f.whCharged = 1e-7;
    f.whDischarged = 123456.789;
    f.cycles = 1.0 / 3;
    f.lowestCharge = 7.25;
    f.lowestChargeAt = day2;
    f.depths = {10, 20.5, 30};
    f.depthCount = 3;
    f.discharges = 4;
    f.deepDischarges = 1;
    f.lastFull = day2 + 60;
    f.secondsOnBattery = 3601.5;
    f.stackLow = {24.5, day2 + 1, 0};
    f.stackHigh = {29.1, day2 + 2, 0};
    f.cellLow = {3.05, day2 + 3, 6};
    f.cellHigh = {3.65, day2 + 4, 2};
    f.temperatureLow = {-5, day2 + 5, 8};
    f.temperatureHigh = {41, day2 + 6, 1};
    for (std::size_t k = 0; k < f.faults.size(); k++) {
        f.faults[k] = k + 1;
        f.faultLast[k] = day2 + 100 + static_cast<long long>(k);
    }
    f.alerts = {3, 5};
    f.alertLast = {day2 + 200, day2 + 201};
    f.balanceSeconds = {0, 1.5, 2, 0, 0, 0, 0, 99.25};
    for (const LifetimeFigures& figures : {f, LifetimeFigures{}}) {
        const std::string text = lifetimeText(figures);
        nlohmann::json parsed = nlohmann::json::parse(text);
        EXPECT_EQ(parsed, lifetimeJson(figures)) << text;
        EXPECT_TRUE(lifetimeFromJson(parsed) == figures) << text;
    }
    // The start of each text, as literals.
    const std::string text = lifetimeText(f), none = lifetimeText(LifetimeFigures{});
    const std::string head = "{\"installed_time\":1704067200,\"battery\":2,\"since_time\":1704070800,\"charged_ampere_hours\":12.5,"
                             "\"discharged_ampere_hours\":0.30000000000000004,\"charged_watt_hours\":1e-07,";
    const std::string noneHead = "{\"installed_time\":0,\"battery\":0,\"since_time\":0,\"charged_ampere_hours\":0,"
                                 "\"discharged_ampere_hours\":0,\"charged_watt_hours\":0,\"discharged_watt_hours\":0,"
                                 "\"equivalent_cycles\":0,\"lowest_charge\":null,\"discharge_depths_percent\":[],\"discharges\":0,";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(none.substr(0, noneHead.size()), noneHead);
    EXPECT_NE(text.find(",\"cell_voltage_lowest\":{\"volts\":3.05,\"time\":1709164803,\"cell\":6},"), std::string::npos) << text;
}
