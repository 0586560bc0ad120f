// history_bench: writes five synthetic years of answers at a 5 s interval into a history
// file on a set clock, and reports the file's size after one year and after five, and the
// time of the page's view queries (1,000 points each) at the end of each.
// usage: history_bench [DIR [YEARS]]   (default /var/tmp and 5; the file is removed at the end)
#include "history.h"
#include "store.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long long start = 1700000100; // a whole number of quarters
constexpr long long year = 365 * 86400LL;

// Bytes of the file and its write-ahead log.
long long sizeOf(const std::string& path)
{
    long long total = 0;
    for (const char* suffix : {"", "-wal"}) {
        struct stat file {};
        if (stat((path + suffix).c_str(), &file) == 0) total += file.st_size;
    }
    return total;
}

// A day of charging and discharging, with a little noise, in the answer's units.
void synthetic(long long t, std::int32_t* values)
{
    double phase = static_cast<double>(t % 86400) / 86400 * 2 * M_PI;
    int noise = static_cast<int>((t * 2654435761LL) >> 7 & 15);
    values[0] = static_cast<std::int32_t>(6000 + 3000 * std::sin(phase)) + noise;
    values[1] = static_cast<std::int32_t>(26000 + 1500 * std::sin(phase)) + noise;
    values[2] = static_cast<std::int32_t>(1200 * std::cos(phase)) + noise;
    values[3] = 3200 + noise;
    values[4] = 3300 + noise;
    values[5] = 25 + noise / 4;
    values[6] = 30 + noise / 4;
    values[7] = 40 + noise / 8;
}

// The time of each view's query and its JSON, median of 5 runs.
void views(Store& store, long long now)
{
    const long long spans[] = {3600, 21600, 86400, 604800, 2592000, year};
    const char* names[] = {"1 h", "6 h", "24 h", "7 d", "30 d", "1 y"};
    for (int v = 0; v < 6; v++) {
        double times[5];
        std::size_t bytes = 0;
        for (double& ms : times) {
            auto begun = std::chrono::steady_clock::now();
            long long wanted = (spans[v] + 999) / 1000;
            long long tier = store.widthFor(spans[v], wanted);
            long long step = std::max(tier, (wanted + tier - 1) / tier * tier);
            bytes = History::storeJson(store, now - spans[v], now, step, true).size();
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();
        }
        std::sort(times, times + 5);
        std::printf("  %-4s  %7.2f ms  %8zu bytes of JSON\n", names[v], times[2], bytes);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string path = std::string(argc > 1 ? argv[1] : "/var/tmp") + "/history_bench." + std::to_string(getpid()) + ".db";
    long long clock = start;
    std::string problem;
    auto store = Store::open(path, 5, &problem, [&clock] { return clock; });
    if (!store) {
        std::fprintf(stderr, "history_bench: %s\n", problem.c_str());
        return 1;
    }
    std::int32_t values[storeFields];
    auto begun = std::chrono::steady_clock::now();
    int years = argc > 2 ? std::atoi(argv[2]) : 5;
    for (int y = 1; y <= years; y++) {
        for (long long t = start + (y - 1) * year; t < start + y * year; t += 5) {
            synthetic(t, values);
            store->add(t, values, false);
            // Within the queue's limit, as the poll loop would at 5 s.
            if ((t - start) % 3600 == 3595) {
                clock = t + 5;
                store->flush();
            }
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        std::printf("after %d year%s: %.1f MB (%.0f s to write)\n", y, y > 1 ? "s" : "", static_cast<double>(sizeOf(path)) / 1e6, seconds);
        if (y == 1 || y == years) views(*store, clock);
    }
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm", ".lock"}) std::remove((path + suffix).c_str());
    return 0;
}
