// qavd: polls a battery module for ever and hands each answer and event to every output.
#include "http.h"
#include "log.h"
#include "mqtt.h"
#include "nut.h"
#include "options.h"
#include "output.h"
#include "core_outputs.h"
#include "poller.h"
#include "recorder.h"
#include "signals.h"
#include "util.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <syslog.h>

// Report an output that cannot start; the status to exit with.
static int startFailure(const std::string& problem)
{
    standardError(problem);
    return 2;
}

// Parse the options, start every output, and poll until told to stop.
static int runQavd(int argc, char** argv)
{
    CLI::App app{"qavd: polls a battery module and reports every answer and event"};
    DaemonOptions options;
    addCoreOptions(app, options);
    HttpOptions httpOptions;
    addHttpOptions(app, httpOptions);
    MqttOptions mqttOptions;
    addMqttOptions(app, mqttOptions);
    NutOptions nutOptions;
    addNutOptions(app, nutOptions);
    HistoryOptions historyOptions;
    addHistoryOptions(app, historyOptions);
    int status = parseCommandLine(app, options, argc, argv);
    if (status >= 0) return status;
    if (options.publicUrl.empty()) options.publicUrl = pageAddress(httpOptions);
    Site site{options.name, {options}};

    // Before any output starts a thread, so every thread inherits the blocked signals.
    Signals signals;
    if (!signals.ok()) return startFailure(std::string("cannot watch signals: ") + std::strerror(errno));
    openlog("qavd", LOG_PID, LOG_DAEMON);
    startLogging();
    std::string problem;
    // Outlives the outputs, which are handed it.
    std::unique_ptr<HistoryRecorder> recorder = HistoryRecorder::start(historyOptions, options, &problem);
    if (!recorder) return startFailure(problem);
    Outputs outputs;
    CommandRunner runner;
    // Every output starts with the data stale; see Output::freshness().
    if (!addCoreOutputs(outputs, options, runner, &problem) ||
        !addHttpOutput(outputs, httpOptions, site, &problem, {recorder.get()}) ||
        !addMqttOutput(outputs, mqttOptions, site, &problem) ||
        !addNutOutput(outputs, nutOptions, site, &problem))
        return startFailure(problem);
    return runDaemon(options, outputs, signals, runner, *recorder);
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
