// batteries: each battery of a site with what is its own, each polled on a thread of its own.
#include "batteries.h"

#include "core_outputs.h"
#include "signals.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>

std::vector<std::unique_ptr<BatteryRun>> openBatteries(const Site& site, const HistoryOptions& history,
                                                    std::string* problem)
{
    std::vector<std::unique_ptr<BatteryRun>> batteries;
    for (const DaemonOptions& options : site.batteries) {
        auto battery = std::make_unique<BatteryRun>();
        battery->options = options;
        if (!battery->control.wake.ok()) {
            *problem = std::string("cannot make an eventfd: ") + std::strerror(errno);
            return {};
        }
        HistoryOptions own{historyFileOf(history, options.name, site.several())};
        battery->recorder = HistoryRecorder::start(own, battery->options, problem);
        if (!battery->recorder) return {};
        batteries.push_back(std::move(battery));
    }
    return batteries;
}

std::vector<HistoryRecorder*> recordersOf(const std::vector<std::unique_ptr<BatteryRun>>& batteries)
{
    std::vector<HistoryRecorder*> recorders(batteries.size());
    std::transform(batteries.begin(), batteries.end(), recorders.begin(),
                   [](const std::unique_ptr<BatteryRun>& battery) { return battery->recorder.get(); });
    return recorders;
}

bool addOutputs(std::vector<std::unique_ptr<BatteryRun>>& batteries, const Outputs& site, std::mutex& lock,
                std::string* problem)
{
    for (auto& battery : batteries) {
        if (!addBatteryOutputs(battery->outputs, battery->options, batteries.size() > 1, battery->runner, problem))
            return false;
        site.shareWith(battery->outputs, lock);
    }
    return true;
}

namespace {

// Wake every poll loop, after setting what they are to look at.
void wakeAll(const std::vector<std::unique_ptr<BatteryRun>>& batteries)
{
    for (const auto& battery : batteries) battery->control.wake.wake();
}

// Take the signals that came: false once told to stop, after telling every loop.
bool takeSignals(const std::vector<std::unique_ptr<BatteryRun>>& batteries, Outputs& site, std::mutex& lock, Signals& signals)
{
    signals.take();
    if (signals.rotate) {
        signals.rotate = false;
        std::lock_guard<std::mutex> held(lock);
        site.rotate();
        for (const auto& battery : batteries) battery->control.rotations++;
    }
    if (signals.terminate)
        for (const auto& battery : batteries) battery->control.stop = true;
    // Any signal may be SIGCHLD: each loop reaps its own children.
    wakeAll(batteries);
    return !signals.terminate;
}

} // namespace

int runSite(std::vector<std::unique_ptr<BatteryRun>>& batteries, Outputs& site, std::mutex& lock, Signals& signals)
{
    Wakeup ended;
    std::atomic<int> running{static_cast<int>(batteries.size())};
    std::vector<int> status(batteries.size(), 0);
    std::vector<std::thread> loops;
    for (std::size_t i = 0; i < batteries.size(); i++)
        loops.emplace_back([&, i] {
            BatteryRun& battery = *batteries[i];
            status[i] = runDaemon(battery.options, battery.outputs, battery.control, battery.runner, *battery.recorder);
            running--;
            ended.wake();
        });
    bool going = true;
    while (going && running > 0) {
        pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {ended.fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) ended.take();
        if (fds[0].revents != 0) going = takeSignals(batteries, site, lock, signals);
    }
    for (const auto& battery : batteries) battery->control.stop = true;
    wakeAll(batteries);
    for (std::thread& loop : loops) loop.join();
    site.finish();
    return *std::max_element(status.begin(), status.end());
}
