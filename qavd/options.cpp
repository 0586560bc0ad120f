// options: qavd's command line and config file.
#include "options.h"
#include "qav_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

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
}

// Links to qavd's own page from other places, such as Home Assistant's device.
void addLinkOptions(CLI::App& app, DaemonOptions& options)
{
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
    addLinkOptions(app, options);
    addRuntimeOptions(app, options);
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
