// options: qavd's command line and config file, and the checks on their values.
#include "options.h"
#include "qav_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const char* const portProblem = "the port must be a number from 1 to 65535, with nothing after it";

int portNumber(const std::string& text, int low)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    int port = std::stoi(text);
    return port >= low && port <= 65535 ? port : -1;
}

std::string credentialPath(const std::string& name)
{
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (dir == nullptr || *dir == '\0') return "";
    std::string path = std::string(dir) + "/" + name;
    return access(path.c_str(), F_OK) == 0 ? path : "";
}

std::string exposedSecret(const std::string& path)
{
    struct stat file {};
    if (stat(path.c_str(), &file) != 0 || (file.st_mode & S_IROTH) == 0) return "";
    return path + " holds a secret but every user may read it; chmod o-r, or pass it with LoadCredential=";
}

namespace {

// --help with an option's dependencies said after its description, which keeps the
// left column to the option and its value.
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_option_opts(const CLI::Option* option) const override
    {
        std::string opts = CLI::Formatter::make_option_opts(option);
        std::size_t needs = opts.find(" " + get_label("Needs") + ":");
        if (needs == std::string::npos) return opts;
        std::size_t excludes = opts.find(" " + get_label("Excludes") + ":", needs);
        return opts.erase(needs, excludes == std::string::npos ? std::string::npos : excludes - needs);
    }

    std::string make_option_desc(const CLI::Option* option) const override
    {
        std::string text = option->get_description();
        const char* separator = ". Needs:";
        for (const CLI::Option* needed : option->get_needs()) {
            text += separator + (" " + needed->get_name());
            separator = ",";
        }
        return text;
    }
};

// The battery's address: "tcp:HOST:PORT", or the path of a device that exists.
CLI::Validator batteryAddress()
{
    return {[](const std::string& text) {
                HostPort endpoint;
                if (text.rfind("tcp:", 0) == 0) return parseTcpAddress(text, &endpoint);
                if (access(text.c_str(), F_OK) == 0) return std::string();
                return std::string("expected tcp:HOST:PORT or the path of a device: ") + std::strerror(errno);
            },
            "ADDR"};
}

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

// The port, line settings and poll timing.
void addPollOptions(CLI::App& app, DaemonOptions& options)
{
    const char* group = "Polling";
    app.add_option("-a,--address", options.address, "The battery's port: tcp:HOST:PORT or a device path")
        ->check(unnamed(batteryAddress()))->type_name("ADDR")->capture_default_str()->group(group);
    app.add_option("--speed", options.speed, "Line speed of a device path, 1 to 4000000 baud")
        ->check(unnamed(CLI::Range(1, 4000000)))->type_name("BAUD")->capture_default_str()->group(group);
    app.add_option("--data-bits", options.dataBits, "Data bits of a device path, 5 to 8")
        ->check(unnamed(CLI::Range(5, 8)))->type_name("BITS")->capture_default_str()->group(group);
    app.add_option("--stop-bits", options.stopBits, "Stop bits of a device path, 1 or 2")
        ->check(unnamed(CLI::IsMember({1, 2})))->type_name("BITS")->capture_default_str()->group(group);
    app.add_option("--parity", options.parity, "Parity of a device path: none, even or odd")
        ->check(unnamed(CLI::IsMember({"none", "even", "odd"}, CLI::ignore_case)))
        ->type_name("PARITY")->capture_default_str()->group(group);
    app.add_option("-n,--name", options.name,
                   "This battery's name in outputs, events, metrics and topics: 1 to 32 of A-Z, a-z, 0-9, _ and -")
        ->check(unnamed(batteryName()))->type_name("NAME")->capture_default_str()->group(group);
    app.add_option("-i,--interval", options.interval, "Poll period in seconds, start to start, 0.1 to 86400")
        ->check(unnamed(CLI::Range(0.1, 86400.0)))->type_name("SECONDS")->capture_default_str()->group(group);
    app.add_option("-t,--timeout", options.timeout,
                   "Seconds to wait for a whole answer, 0.05 to 86400 and below the interval")
        ->check(unnamed(CLI::Range(0.05, 86400.0)))->type_name("SECONDS")->capture_default_str()->group(group);
    app.add_option("--stale-after", options.staleAfter,
                   "Polls without an accepted answer after which the data is stale, 1 to 1000000")
        ->check(unnamed(CLI::Range(1, 1000000)))->type_name("POLLS")->capture_default_str()->group(group);
}

// Where answers go: standard output, the data log, the system log.
void addOutputOptions(CLI::App& app, DaemonOptions& options)
{
    const char* group = "Standard output and files";
    app.add_option_function<std::string>(
           "--output",
           [&options](const std::string& form) {
               options.output = form == "console" ? StdoutForm::console
                                : form == "none"  ? StdoutForm::none
                                                  : StdoutForm::json;
           },
           "Standard output per accepted answer: json, console or none")
        ->check(unnamed(CLI::IsMember({"json", "console", "none"})))->type_name("FORM")->default_str("json")
        ->group(group);
    app.add_option("--datalog", options.datalogDir, "Append data log lines to DIR/<start seconds>qav.log")
        ->check(unnamed(CLI::ExistingDirectory))->type_name("DIR")->group(group);
    app.add_flag("--syslog-records", options.syslogRecords, "Send two system log records per accepted answer")
        ->group(group);
    app.add_flag("--once", options.once, "Print the first accepted answer and exit (1 when none came)")
        ->group(group);
}

// Events: the low battery threshold and the program run on each.
void addEventOptions(CLI::App& app, DaemonOptions& options)
{
    const char* group = "Events";
    app.add_option("--low-battery", options.lowBattery,
                   "Gas gauge percent at or below which the battery is low, 0 to 100 (also an undervoltage fault)")
        ->check(unnamed(CLI::Range(0.0, 100.0)))->type_name("PERCENT")->capture_default_str()->group(group);
    app.add_option("--event-command", options.eventCommand, "Run PATH on every event")
        ->check(unnamed(CLI::ExistingFile))->type_name("PATH")->group(group);
}

} // namespace

void addCoreOptions(CLI::App& app, DaemonOptions& options)
{
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_config("--config", "", "Read options from FILE (TOML or INI; keys are long option names)")
        ->type_name("FILE");
    // A misspelt key must not be dropped without a word.
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.set_version_flag("--version", "qavd " QAV_VERSION "\n" QAV_LICENCE_NOTICE);
    addPollOptions(app, options);
    addOutputOptions(app, options);
    addEventOptions(app, options);
}

CLI::Validator unnamed(CLI::Validator validator)
{
    validator.description("");
    return validator;
}

std::string parseTcpAddress(const std::string& address, HostPort* out)
{
    std::string usage = "expected tcp:HOST:PORT, such as tcp:192.168.10.20:10001";
    if (address.rfind("tcp:", 0) != 0) return usage;
    std::size_t colon = address.find(':', 4);
    if (colon == std::string::npos) return "no port: " + usage;
    std::string host = address.substr(4, colon - 4);
    if (host.empty()) return "no host: " + usage;
    int port = portNumber(address.substr(colon + 1), 1);
    if (port < 0) return portProblem;
    *out = {host, port};
    return "";
}

std::string parseListenAddress(const std::string& text, HostPort* out)
{
    std::size_t colon = text.rfind(':');
    in_addr address{};
    int port = colon == std::string::npos ? -1 : portNumber(text.substr(colon + 1), 0);
    if (port < 0 || inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1)
        return "expected ADDR:PORT with a numeric IPv4 address, such as 127.0.0.1:9788";
    *out = {text.substr(0, colon), port};
    return "";
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
