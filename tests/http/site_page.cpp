// site_page: the HTTP exporter of a site of batteries on a free loopback port, fed on standard
// input as the poll loops would feed it, for the overview's test in a real browser.
// usage: site_page SITE BATTERY...
// Prints "serving 127.0.0.1:PORT" on standard error, then reads lines "BATTERY ANSWER" (an
// answer accepted now, of a battery rated 10 Ah) or "BATTERY stale" (a poll without an answer
// after which the data is stale) or "BATTERY health" (the figures of healthOf() in its next
// snapshots), and stops at the end of its input.
#include "metrics.h"
#include "page.h"
#include "state.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <map>
#include <sstream>

namespace {

// A battery rated 10 Ah, installed 700 days ago: three capacities a quarter of a year apart on a
// line falling 0.8 Ah a year, 8.8 Ah at the newest (1 June 2026), so 80 % a year after it; cell 6 weak.
std::shared_ptr<const Health> healthOf(long long now)
{
    constexpr long long quarter = 7889400, newest = 1780272000; // 365.25 / 4 days; 2026-06-01
    auto h = std::make_shared<Health>();
    LifetimeFigures& f = h->lifetime;
    f.installed = (now / 86400 - 700) * 86400, f.ahCharged = 330.5, f.ahDischarged = 312.4;
    f.whCharged = 8930, f.whDischarged = 8120, f.cycles = 31.24, f.lastFull = now - 273600;
    h->points = std::make_shared<const std::vector<CapacityPoint>>(std::vector<CapacityPoint>{
        {newest - 2 * quarter, 9.2, 20}, {newest - quarter, 9.0, 26}, {newest, 8.8, 31}});
    h->capacity = 10, h->health = 0.88, h->reference = "rated", h->referenceAh = 10;
    h->fitSlopePerYear = -0.8, h->fitAmpereHours = 8.8, h->fadePer100Cycles = 36.4, h->replaceDate = newest + 4 * quarter;
    h->stackResistance = 0.0918;
    h->cellResistance.fill(0.0102);
    h->cellResistance[5] = 0.0204, h->weakCell = 6, h->weakRatio = 2;
    return h;
}

// What the poll loop hands on after a line: an accepted answer, or the poll that goes stale.
void feed(StateKeeper& keeper, HttpExporter& exporter, const std::string& battery, const std::string& what)
{
    if (what == "health") {
        keeper.health(healthOf(std::time(nullptr)));
    } else if (what == "stale") {
        keeper.polled(PollResult::timeout);
        keeper.stale();
    } else {
        auto reading = std::make_shared<Reading>();
        reading->battery = battery;
        reading->time = std::time(nullptr);
        reading->answer = what + "\n";
        decodeStatus(reading->answer.data(), reading->answer.size(), &reading->status);
        reading->estimate.capacity = 10;
        reading->estimate.capacitySource = "rated";
        keeper.polled(PollResult::accepted);
        keeper.accepted(reading, std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
        exporter.accepted(*reading);
    }
    exporter.state(keeper.snapshot());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: site_page SITE BATTERY...\n";
        return 2;
    }
    Site site;
    site.name = argv[1];
    std::map<std::string, StateKeeper> keepers;
    for (int i = 2; i < argc; i++) {
        site.batteries.emplace_back().name = argv[i];
        keepers.emplace(argv[i], StateKeeper(argv[i], std::time(nullptr)));
    }
    std::vector<std::unique_ptr<HttpPart>> parts;
    parts.push_back(makeMetrics(site));
    parts.push_back(makePage(site, {}));
    std::string problem;
    auto exporter = HttpExporter::start("127.0.0.1:0", std::move(parts), "HTTP", &problem);
    if (!exporter) {
        std::cerr << "site_page: " << problem << "\n";
        return 1;
    }
    std::cerr << "serving 127.0.0.1:" << exporter->port() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string battery, what;
        words >> battery >> what;
        auto keeper = keepers.find(battery);
        if (keeper == keepers.end() || what.empty()) std::cerr << "site_page: not understood: " << line << std::endl;
        else feed(keeper->second, *exporter, battery, what);
    }
    exporter->finish();
    return 0;
}
