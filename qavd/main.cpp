// qavd: polls battery modules for ever and hands each answer and event to every output.
#include "batteries.h"
#include "core_outputs.h"
#include "http.h"
#include "log.h"
#include "mqtt.h"
#include "nut.h"
#include "options.h"
#include "output.h"
#include "signals.h"
#include "util.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <syslog.h>

// Report an output that cannot start; the status to exit with.
static int startFailure(const std::string& problem)
{
    standardError(problem);
    return 2;
}

// Parse the options, start every output, and poll every battery until told to stop.
static int runQavd(int argc, char** argv)
{
    CLI::App app{"qavd: polls battery modules and reports every answer and event"};
    DaemonOptions options;
    addCoreOptions(app, options);
    HttpOptions httpOptions;
    addHttpOptions(app, httpOptions);
    MqttOptions mqttOptions;
    addMqttOptions(app, mqttOptions);
    NutOptions nutOptions;
    addNutOptions(app, nutOptions);
    HistoryOptions historyOptions;
    addHistoryOptions(app, historyOptions, options);
    Site site;
    int status = parseCommandLine(app, options, argc, argv, &site.batteries);
    if (status >= 0) return status;
    site.name = options.name;
    std::string publicUrl = options.publicUrl.empty() ? pageAddress(httpOptions) : options.publicUrl;
    for (DaemonOptions& battery : site.batteries) battery.publicUrl = publicUrl;

    // Before any output starts a thread, so every thread inherits the blocked signals.
    Signals signals;
    if (!signals.ok()) return startFailure(std::string("cannot watch signals: ") + std::strerror(errno));
    openlog("qavd", LOG_PID, LOG_DAEMON);
    startLogging();
    std::string problem;
    // Outlive the outputs, which are handed their recorders.
    std::vector<std::unique_ptr<BatteryRun>> batteries = openBatteries(site, historyOptions, &problem);
    if (batteries.empty()) return startFailure(problem);
    Outputs shared;
    std::mutex lock; // the site's outputs are called for one battery at a time
    // Every output starts with the data stale; see Output::freshness().
    addSiteOutputs(shared, options);
    if (!addHttpOutput(shared, httpOptions, site, &problem, recordersOf(batteries)) ||
        !addMqttOutput(shared, mqttOptions, site, &problem) || !addNutOutput(shared, nutOptions, site, &problem) ||
        !addOutputs(batteries, shared, lock, &problem))
        return startFailure(problem);
    return runSite(batteries, shared, lock, signals);
}

// runQavd(), with any exception a library lets out turned into a message.
int main(int argc, char** argv)
{
    // Before anything opens a file, so none takes the place of standard error.
    openStandardDescriptors();
    int status = 1;
    try {
        status = runQavd(argc, argv);
    } catch (const std::exception& error) {
        standardError(error.what());
    }
    finishLogging(std::chrono::steady_clock::now() + logExitGrace);
    return status;
}
