// site_page: the HTTP exporter of a site of batteries on a free loopback port, fed on standard
// input as the poll loops would feed it, for the overview's test in a real browser.
// usage: site_page SITE BATTERY...
// Prints "serving 127.0.0.1:PORT" on standard error, then reads lines "BATTERY ANSWER" (an
// answer accepted now, of a battery rated 10 Ah) or "BATTERY stale" (a poll without an answer
// after which the data is stale), and stops at the end of its input.
#include "metrics.h"
#include "page.h"
#include "state.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <map>
#include <sstream>

namespace {

// What the poll loop hands on after a line: an accepted answer, or the poll that goes stale.
void feed(StateKeeper& keeper, HttpExporter& exporter, const std::string& battery, const std::string& what)
{
    if (what == "stale") {
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
