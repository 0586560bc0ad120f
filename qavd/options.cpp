// options: qavd's command line and config file, and the checks on their values.
#include "options.h"
#include "qav_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

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


// The battery's address: "tcp:HOST:PORT", or the path of a character device (not a
// memory device such as /dev/null).
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

// A duration in seconds, or with a unit (500ms, 5s, 2m, 1h), as the seconds CLI11 then checks.
// The number is decimal digits with at most one point, as decimal() takes it: no sign, base
// prefix or exponent.
CLI::Validator secondsWithUnit()
{
    return {[](std::string& text) {
                static const std::pair<const char*, double> units[] = {{"ms", 0.001}, {"s", 1}, {"m", 60}, {"h", 3600}};
                // A number without a unit, or what is no number at all, is left to decimal().
                std::size_t digits = text.find_first_not_of("0123456789.");
                char* end = nullptr;
                std::strtod(text.c_str(), &end);
                if (digits == std::string::npos || digits == 0 || *end == '\0') return std::string();
                std::string number = text.substr(0, digits);
                bool plain = !number.empty() && number != "." && std::count(number.begin(), number.end(), '.') <= 1;
                for (const auto& [unit, scale] : units) {
                    if (!plain || text.substr(digits) != unit) continue;
                    char seconds[32];
                    std::snprintf(seconds, sizeof seconds, "%.15g", std::strtod(number.c_str(), nullptr) * scale);
                    text = seconds;
                    return std::string();
                }
                return text + ": expected seconds, or a number with the unit ms, s, m or h (500ms, 5s, 2m, 1h)";
            },
            ""};
}

// The edits between two words: insertions, deletions and substitutions.
std::size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); j++) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); i++) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); j++) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key nearest to a misspelt one, when it is near enough to be meant: "" otherwise.
std::string nearestKey(const CLI::App& app, const std::string& key)
{
    std::string best;
    std::size_t bestDistance = std::max<std::size_t>(2, key.size() / 3) + 1;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            std::size_t distance = editDistance(key, name);
            if (distance < bestDistance) best = name, bestDistance = distance;
        }
    }
    return best;
}

// The file --config names on the command line, or "".
std::string configPath(int argc, char** argv)
{
    std::string path;
    for (int i = 1; i < argc; i++) {
        std::string argument = argv[i];
        if (argument == "--") break;
        if (argument == "--config" && i + 1 < argc) path = argv[++i];
        else if (argument.rfind("--config=", 0) == 0) path = argument.substr(9);
    }
    return path;
}

// Most bytes of a config file.
constexpr std::size_t configLimit = 65536;

// Read and check a config file's lines before CLI11 parses them: "" when it could be read
// whole and every key is known, else what is wrong ("FILE:LINE: ..." for a line). Its text
// goes to *text, the keys found to lines, with their line numbers.
std::string checkConfigFile(const CLI::App& app, const std::string& path, std::map<std::string, int>* lines,
                            std::string* text)
{
    std::string unreadable = readStartFile(path, configLimit, false, text);
    if (!unreadable.empty()) return unreadable;
    if (text->size() > configLimit) return path + " is larger than 64 KiB";
    std::istringstream file(*text);
    std::string name = path.substr(path.rfind('/') + 1), line;
    for (int number = 1; std::getline(file, line); number++) {
        std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#' || line[start] == ';') continue;
        std::string at = name + ":" + std::to_string(number) + ": ";
        if (line[start] == '[')
            return at + "sections such as " + line.substr(start, line.find(']', start) + 1 - start) +
                   " are not read: write each key at the top of the file, as in example.conf";
        std::string key = line.substr(start, line.find('=') == std::string::npos ? std::string::npos : line.find('=') - start);
        key.erase(key.find_last_not_of(" \t\r") + 1);
        if (key == "config" || key == "help" || key == "version")
            return at.append("'").append(key).append("' is an option of the command line only");
        const CLI::Option* option = app.get_option_no_throw("--" + key);
        if (option == nullptr) {
            std::string nearest = nearestKey(app, key);
            at.append("unknown key '").append(key).append("'");
            return nearest.empty() ? at : at.append(" (did you mean '").append(nearest).append("'?)");
        }
        (*lines)[option->get_name()] = number;
    }
    return "";
}

// CLI11's reader of config files, given the text checkConfigFile() read, so that what is
// parsed is what was checked, read once.
class CheckedConfig : public CLI::ConfigTOML {
public:
    explicit CheckedConfig(std::string checked) : text(std::move(checked)) {}
    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override
    {
        (void)input;
        std::istringstream checked(text);
        return CLI::ConfigTOML::from_config(checked);
    }

private:
    std::string text;
};

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
    app.add_option("-i,--interval", options.interval,
                   "Poll period, start to start: seconds, or with a unit (500ms, 5s, 2m, 1h); 0.1 s to 24 h")
        ->check(decimal(true))->check(unnamed(CLI::Range(0.1, 86400.0)))->type_name("SECONDS")->capture_default_str()->group(group);
    app.add_option("-t,--timeout", options.timeout,
                   "Wait for a whole answer, 0.05 s to 24 h and below the interval (default 2 s, or half the "
                   "interval when that is less)")
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
        ->check(decimal(true))->check(unnamed(CLI::Range(0.001, 100000.0)))->type_name("AH")->group(group);
    app.add_option("--low-runtime", options.lowRuntime,
                   "Runtime in seconds at or below which a discharging battery is low, 0 to 1000000 (0: off)")
        ->check(decimal(true))->check(unnamed(CLI::Range(0.0, 1000000.0)))->type_name("SECONDS")->capture_default_str()->group(group);
}

} // namespace

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

void addCoreOptions(CLI::App& app, DaemonOptions& options)
{
    app.formatter(std::make_shared<HelpFormatter>());
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
    int port = colon == std::string::npos ? -1 : portNumber(text.substr(colon + 1), 0);
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    if (host == "localhost" && !bracketed) host = "127.0.0.1";
    in6_addr address{};
    int family = bracketed ? AF_INET6 : AF_INET;
    char canonical[INET6_ADDRSTRLEN] = "";
    if (port < 0 || (!host.empty() && (inet_pton(family, host.c_str(), &address) != 1 ||
                                       inet_ntop(family, &address, canonical, sizeof canonical) == nullptr)))
        return "expected ADDR:PORT: a numeric address such as 127.0.0.1:9788 or [::1]:9788, localhost:PORT, "
               "or :PORT for every address";
    *out = {canonical, port};
    return "";
}

std::string listenText(const HostPort& where)
{
    std::string port = std::to_string(where.port);
    if (where.host.empty()) return "every address (IPv4 and IPv6), port " + port;
    return where.host.find(':') != std::string::npos ? "[" + where.host + "]:" + port : where.host + ":" + port;
}

int listenSocket(const HostPort& where, int flags)
{
    // Every address is IPv6's wildcard, which takes IPv4 as well, or IPv4's where IPv6 is off.
    bool everywhere = where.host.empty();
    int family = everywhere || where.host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    int fd = socket(family, SOCK_STREAM | flags, 0);
    if (fd < 0 && everywhere && errno == EAFNOSUPPORT) fd = socket(family = AF_INET, SOCK_STREAM | flags, 0);
    if (fd < 0) return -1;
    sockaddr_storage address{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    auto port = htons(static_cast<std::uint16_t>(where.port));
    if (family == AF_INET6) v6->sin6_port = port;
    else v4->sin_port = port;
    address.ss_family = static_cast<sa_family_t>(family);
    void* numbers = family == AF_INET6 ? static_cast<void*>(&v6->sin6_addr) : static_cast<void*>(&v4->sin_addr);
    bool known = everywhere || inet_pton(family, where.host.c_str(), numbers) == 1;
    int yes = 1, no = 0;
    if (!known) errno = EINVAL;
    if (!known || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        (everywhere && family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0) ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), family == AF_INET6 ? sizeof *v6 : sizeof *v4) != 0 ||
        listen(fd, SOMAXCONN) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int boundPort(int fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

std::string crossCheck(const DaemonOptions& options)
{
    if (options.timeout < options.interval) return "";
    char text[128];
    std::snprintf(text, sizeof text, "--timeout %g must be below --interval %g", options.timeout,
                  options.interval);
    return text;
}

int parseCommandLine(CLI::App& app, DaemonOptions& options, int argc, char** argv)
{
    // Every option taking seconds takes a unit too; they all say so by their type name.
    for (CLI::Option* option : app.get_options())
        if (option->get_type_name() == "SECONDS") option->transform(secondsWithUnit());
    std::string config = configPath(argc, argv);
    std::map<std::string, int> lines;
    std::string configText;
    std::string problem = config.empty() ? "" : checkConfigFile(app, config, &lines, &configText);
    if (!problem.empty()) {
        std::fprintf(stderr, "qavd: %s\n", problem.c_str());
        return 2;
    }
    if (!config.empty()) app.config_formatter(std::make_shared<CheckedConfig>(std::move(configText)));
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        // A value from the file is named by its line, unless the command line gave it too.
        std::string text = error.what(), at;
        for (const auto& [name, number] : lines)
            if (text.rfind(name + ":", 0) == 0 && std::find(argv, argv + argc, name) == argv + argc)
                at = config.substr(config.rfind('/') + 1) + ":" + std::to_string(number) + ": ";
        std::fprintf(stderr, "qavd: %s%s\nRun with --help for more information.\n", at.c_str(), text.c_str());
        return 2;
    }
    // Without --timeout, the wait fits any interval: 2 s, or half the interval when that is less.
    if (app.get_option("--timeout")->count() == 0) options.timeout = std::min(options.timeout, options.interval / 2);
    problem = crossCheck(options);
    if (!problem.empty()) {
        std::fprintf(stderr, "qavd: %s\n", problem.c_str());
        return 2;
    }
    return -1;
}
