// options: qavd's command line and config file, and the checks on their values.
#include "options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>

#ifndef QAVD_VERSION
#define QAVD_VERSION "unknown"
#endif

namespace {

// A battery name fits in topics, metric labels and file names unchanged.
CLI::Validator batteryName()
{
    return {[](const std::string& text) {
                bool fits = !text.empty() && text.size() <= 32 &&
                            std::all_of(text.begin(), text.end(), [](char c) {
                                return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
                            });
                return fits ? std::string() : std::string("must be 1 to 32 of A-Z, a-z, 0-9, _ and -");
            },
            "NAME"};
}

// The port and line settings.
void addPortOptions(CLI::App& app, DaemonOptions& options)
{
    app.add_option("-a,--address", options.address,
                   "Port-library address: tcp:HOST:PORT or a device path")
        ->type_name("ADDR")
        ->capture_default_str();
    app.add_option("--speed", options.speed, "Line speed of a device path, in baud")
        ->check(CLI::Range(1, 4000000))
        ->capture_default_str();
    app.add_option("--data-bits", options.dataBits, "Data bits of a device path")
        ->check(CLI::Range(5, 8))
        ->capture_default_str();
    app.add_option("--stop-bits", options.stopBits, "Stop bits of a device path")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    app.add_option("--parity", options.parity, "Parity of a device path")
        ->check(CLI::IsMember({"none", "even", "odd"}, CLI::ignore_case))
        ->capture_default_str();
}

// Polling and staleness.
void addPollOptions(CLI::App& app, DaemonOptions& options)
{
    app.add_option("-n,--name", options.name, "This battery's name in outputs, events, metrics and topics")
        ->check(batteryName())
        ->capture_default_str();
    app.add_option("-i,--interval", options.interval, "Poll period in seconds, start to start")
        ->check(CLI::Range(0.1, 86400.0))
        ->capture_default_str();
    app.add_option("-t,--timeout", options.timeout,
                   "Seconds to wait for a whole answer (below the interval)")
        ->check(CLI::Range(0.05, 86400.0))
        ->capture_default_str();
    app.add_option("--stale-after", options.staleAfter,
                   "Polls without an accepted answer after which the data is stale")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
}

// Where answers and events go.
void addOutputOptions(CLI::App& app, DaemonOptions& options)
{
    app.add_option_function<std::string>(
           "--output",
           [&options](const std::string& form) {
               options.output = form == "console" ? StdoutForm::console
                                : form == "none"  ? StdoutForm::none
                                                  : StdoutForm::json;
           },
           "Standard output per accepted answer: json, console or none")
        ->check(CLI::IsMember({"json", "console", "none"}))
        ->type_name("FORM")
        ->default_str("json");
    app.add_option("--datalog", options.datalogDir,
                   "Append data log lines to DIR/<start seconds>qav.log")
        ->check(CLI::ExistingDirectory)
        ->type_name("DIR");
    app.add_flag("--syslog-records", options.syslogRecords,
                 "Send two system log records per accepted answer");
    app.add_option("--event-command", options.eventCommand, "Run PATH on every event")
        ->check(CLI::ExistingFile)
        ->type_name("PATH");
    app.add_flag("--once", options.once,
                 "Print the first accepted answer and exit (1 when none came)");
}

} // namespace

void addCoreOptions(CLI::App& app, DaemonOptions& options)
{
    app.set_config("--config", "", "Read options from FILE (TOML or INI; keys are long option names)")
        ->type_name("FILE");
    // A misspelt key must not be dropped without a word.
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.set_version_flag("--version", std::string("qavd ") + QAVD_VERSION);
    addPortOptions(app, options);
    addPollOptions(app, options);
    addOutputOptions(app, options);
}

std::string crossCheck(const DaemonOptions& options)
{
    if (options.timeout < options.interval) return "";
    char text[128];
    std::snprintf(text, sizeof text, "--timeout %g must be below --interval %g", options.timeout,
                  options.interval);
    return text;
}

int parseCommandLine(CLI::App& app, const DaemonOptions& options, int argc, char** argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "qavd: %s\nRun with --help for more information.\n", error.what());
        return 2;
    }
    std::string problem = crossCheck(options);
    if (!problem.empty()) {
        std::fprintf(stderr, "qavd: %s\n", problem.c_str());
        return 2;
    }
    return -1;
}
