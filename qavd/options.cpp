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
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// Open a file read at start without blocking; "" with *fd set, or what is wrong.
std::string openStartFile(const std::string& path, bool secret, int* fd)
{
    *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (*fd < 0) return "cannot read " + path + ": " + std::strerror(errno);
    struct stat file {};
    std::string problem;
    if (fstat(*fd, &file) != 0) problem = "cannot read " + path + ": " + std::strerror(errno);
    else if (!S_ISREG(file.st_mode)) problem = path + " is not a regular file";
    else if (secret && ((file.st_mode & S_IWOTH) != 0 || ((file.st_mode & S_IWGRP) != 0 && file.st_gid != 0))) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.st_mode & 07777));
        problem = path + " holds passwords but others may change it (mode " + mode + "); chmod go-w it";
    }
    if (!problem.empty()) close(*fd);
    return problem;
}

// A number option's text: decimal digits, with one decimal point where fraction allows;
// no sign, base prefix, exponent, NaN or infinity.
CLI::Validator decimal(bool fraction)
{
    return {[fraction](const std::string& text) {
                auto points = std::count(text.begin(), text.end(), '.');
                bool digits = !text.empty() && text != "." && points <= (fraction ? 1 : 0) &&
                              std::all_of(text.begin(), text.end(), [](char c) {
                                  return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.';
                              });
                return digits ? std::string()
                              : text + (fraction ? " is not a decimal number" : " is not a whole decimal number");
            },
            ""};
}

// The battery's address: "tcp:HOST:PORT", or the path of a character device (not a
// memory device such as /dev/null).
CLI::Validator batteryAddress()
{
    return {[](const std::string& text) {
                HostPort endpoint;
                if (text.rfind("tcp:", 0) == 0) return parseTcpAddress(text, &endpoint);
                struct stat device {};
                if (stat(text.c_str(), &device) != 0)
                    return std::string("expected tcp:HOST:PORT or the path of a device: ") + std::strerror(errno);
                if (!S_ISCHR(device.st_mode) || major(device.st_rdev) == 1)
                    return text + " is not a serial device (expected tcp:HOST:PORT or a character device)";
                return std::string();
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
        ->check(decimal(false))->check(unnamed(CLI::Range(1, 4000000)))->type_name("BAUD")->capture_default_str()->group(group);
    app.add_option("--data-bits", options.dataBits, "Data bits of a device path, 5 to 8")
        ->check(decimal(false))->check(unnamed(CLI::Range(5, 8)))->type_name("BITS")->capture_default_str()->group(group);
    app.add_option("--stop-bits", options.stopBits, "Stop bits of a device path, 1 or 2")
        ->check(decimal(false))->check(unnamed(CLI::IsMember({1, 2})))->type_name("BITS")->capture_default_str()->group(group);
    app.add_option("--parity", options.parity, "Parity of a device path: none, even or odd")
        ->check(unnamed(CLI::IsMember({"none", "even", "odd"}, CLI::ignore_case)))
        ->type_name("PARITY")->capture_default_str()->group(group);
    app.add_option("-n,--name", options.name,
                   "This battery's name in outputs, events, metrics and topics: 1 to 32 of A-Z, a-z, 0-9, _ and -")
        ->check(unnamed(batteryName()))->type_name("NAME")->capture_default_str()->group(group);
    app.add_option("-i,--interval", options.interval, "Poll period in seconds, start to start, 0.1 to 86400")
        ->check(decimal(true))->check(unnamed(CLI::Range(0.1, 86400.0)))->type_name("SECONDS")->capture_default_str()->group(group);
    app.add_option("-t,--timeout", options.timeout,
                   "Seconds to wait for a whole answer, 0.05 to 86400 and below the interval")
        ->check(decimal(true))->check(unnamed(CLI::Range(0.05, 86400.0)))->type_name("SECONDS")->capture_default_str()->group(group);
    app.add_option("--stale-after", options.staleAfter,
                   "Polls without an accepted answer after which the data is stale, 1 to 1000000")
        ->check(decimal(false))->check(unnamed(CLI::Range(1, 1000000)))->type_name("POLLS")->capture_default_str()->group(group);
    app.add_option("--max-backoff", options.maxBackoff,
                   "Longest wait in seconds between attempts to connect (from 1 s, doubling), 1 to 3600")
        ->check(decimal(true))->check(unnamed(CLI::Range(1.0, 3600.0)))->type_name("SECONDS")->capture_default_str()->group(group);
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
        ->check(decimal(true))->check(unnamed(CLI::Range(0.0, 100.0)))->type_name("PERCENT")->capture_default_str()->group(group);
    app.add_option("--event-command", options.eventCommand, "Run PATH on every event")
        ->check(unnamed(CLI::ExistingFile))->type_name("PATH")->group(group);
    app.add_option("--public-url", options.publicUrl,
                   "The status page's address as a browser reaches it, for links to it such as Home Assistant's "
                   "(default: from --http-listen)")
        ->check(CLI::Validator(
            [](const std::string& url) {
                bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
                return web && url.find_first_of(" \t\r\n\"<>") == std::string::npos
                           ? std::string()
                           : std::string("expected an http:// or https:// address without spaces");
            },
            ""))
        ->type_name("URL")->group("HTTP");
}

// Time left: the battery's capacity and the runtime at which it counts as low.
void addRuntimeOptions(CLI::App& app, DaemonOptions& options)
{
    const char* group = "Time left";
    app.add_option("--capacity", options.capacity,
                   "Rated capacity at 100 % in ampere-hours, up to 100000 (default: learned from the current)")
        ->check(unnamed(CLI::Range(0.001, 100000.0)))->type_name("AH")->group(group);
    app.add_option("--low-runtime", options.lowRuntime,
                   "Runtime in seconds at or below which a discharging battery is low, 0 to 1000000 (0: off)")
        ->check(unnamed(CLI::Range(0.0, 1000000.0)))->type_name("SECONDS")->capture_default_str()->group(group);
}

} // namespace

void addCoreOptions(CLI::App& app, DaemonOptions& options)
{
    app.set_config("--config", "", "Read options from FILE (TOML or INI; keys are long option names)")
        ->type_name("FILE")->check(startFile());
    // A misspelt key must not be dropped without a word.
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.set_version_flag("--version", "qavd " QAV_VERSION "\n" QAV_LICENCE_NOTICE);
    addPollOptions(app, options);
    addOutputOptions(app, options);
    addEventOptions(app, options);
    addRuntimeOptions(app, options);
}

std::string readStartFile(const std::string& path, std::size_t limit, bool secret, std::string* text)
{
    int fd = -1;
    std::string problem = openStartFile(path, secret, &fd);
    if (!problem.empty()) return problem;
    text->assign(limit + 1, '\0');
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < text->size()) {
        n = read(fd, text->data() + got, text->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    int error = errno;
    close(fd);
    text->resize(got);
    return n < 0 ? "cannot read " + path + ": " + std::strerror(error) : "";
}

CLI::Validator startFile()
{
    return {[](const std::string& path) {
                int fd = -1;
                std::string problem = openStartFile(path, false, &fd);
                if (problem.empty()) close(fd);
                return problem;
            },
            ""};
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
    if (std::any_of(address.begin(), address.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }))
        return "\"" + address + "\" holds a blank: " + usage;
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
