// options: qavd's command line and config file.
#include "options.h"
#include "health.h"
#include "qav_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// One [NAME] section of a config file: its line, and its key lines with their numbers.
struct Section {
    std::string name;
    int line = 0;
    std::string text;                 // its key lines, the header left out
    std::map<std::string, int> lines; // each key's line, by its option's name
};

// What a config file holds: the text before the first section, and the sections.
struct ConfigFile {
    std::string name;                 // the file's name without its directory, for messages
    std::string top;
    std::map<std::string, int> lines; // each key at the top's line, by its option's name
    std::vector<Section> sections;
};

// The key of a key line ("interval = 5" gives "interval").
std::string keyOf(const std::string& line, std::size_t start)
{
    std::string key = line.substr(start, line.find('=') == std::string::npos ? std::string::npos : line.find('=') - start);
    key.erase(key.find_last_not_of(" \t\r") + 1);
    return key;
}

// Check one key against the options of app: "" when it is one, else why not.
std::string checkKey(const CLI::App& app, const std::string& key, const char* where)
{
    if (key == "config" || key == "help" || key == "version")
        return "'" + key + "' is an option of the command line only";
    if (app.get_option_no_throw("--" + key) != nullptr) return "";
    std::string nearest = nearestKey(app, key);
    std::string text = "unknown key '" + key + "'" + where;
    return nearest.empty() ? text : text + " (did you mean '" + nearest + "'?)";
}

// Start a section at a header line "[NAME]": "" when its name is sound and new, else why not.
std::string startSection(ConfigFile* file, const std::string& line, std::size_t start, int number)
{
    std::size_t end = line.find(']', start);
    std::string name = line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    std::string rest = end == std::string::npos ? "" : line.substr(end + 1);
    if (end == std::string::npos || rest.find_first_not_of(" \t\r") != std::string::npos)
        return "a section's header is [NAME] alone on its line";
    if (!batteryName()(name).empty()) return "[" + name + "]: a battery's name is 1 to 32 of A-Z, a-z, 0-9, _ and -";
    auto before = std::find_if(file->sections.begin(), file->sections.end(),
                               [&](const Section& section) { return section.name == name; });
    if (before != file->sections.end())
        return "[" + name + "] again: each battery has one section (the first is at line " +
               std::to_string(before->line) + ")";
    if (file->sections.size() == maxBatteries) return "[" + name + "]: more than " + std::to_string(maxBatteries) + " batteries";
    file->sections.push_back(Section{name, number, "", {}});
    return "";
}

// Read a config file, sort its lines into the top and the sections, and check every key:
// those at the top against app, those in a section against a battery's (battery). "" when
// all is well, else what is wrong ("FILE:LINE: ..." for a line).
std::string readConfigFile(const CLI::App& app, const CLI::App& battery, const std::string& path, ConfigFile* file)
{
    std::string text;
    std::string unreadable = readStartFile(path, configLimit, false, &text);
    if (!unreadable.empty()) return unreadable;
    if (text.size() > configLimit) return path + " is larger than 64 KiB";
    std::istringstream lines(text);
    file->name = path.substr(path.rfind('/') + 1);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#' || line[start] == ';') continue;
        std::string at = file->name + ":" + std::to_string(number) + ": ";
        if (line[start] == '[') {
            if (std::string wrong = startSection(file, line, start, number); !wrong.empty()) return at + wrong;
            continue;
        }
        std::string key = keyOf(line, start);
        Section* section = file->sections.empty() ? nullptr : &file->sections.back();
        if (section == nullptr) {
            if (std::string wrong = checkKey(app, key, ""); !wrong.empty()) return at + wrong;
            file->lines[app.get_option("--" + key)->get_name()] = number;
            file->top += line + "\n";
            continue;
        }
        at += "[" + section->name + "]: ";
        if (battery.get_option_no_throw("--" + key) == nullptr && app.get_option_no_throw("--" + key) != nullptr)
            return at.append("'").append(key).append("' is the site's: write it above the first section");
        if (std::string wrong = checkKey(battery, key, " for a battery"); !wrong.empty()) return at + wrong;
        section->lines[battery.get_option("--" + key)->get_name()] = number;
        section->text += line + "\n";
    }
    if (!file->sections.empty() && file->lines.contains("--address"))
        return file->name + ":" + std::to_string(file->lines["--address"]) +
               ": 'address' belongs to a battery: with sections, give each its own";
    return "";
}

// CLI11's reader of config files, given the text readConfigFile() read, so that what is
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

// The port and its line settings.
void addPortOptions(CLI::App& app, DaemonOptions& options)
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
}

// The battery's name (with sections, the site's) and the batteries given on the command line.
void addNameOptions(CLI::App& app, DaemonOptions& options)
{
    const char* group = "Polling";
    app.add_option("-n,--name", options.name,
                   "This battery's name in outputs, events, metrics and topics: 1 to 32 of A-Z, a-z, 0-9, _ and -; "
                   "with several batteries, the site's")
        ->check(unnamed(batteryName()))->type_name("NAME")->capture_default_str()->group(group);
    app.add_option("--battery", options.batteryArguments,
                   "Serve one more battery, given as NAME=ADDR, with the settings given at the top (repeatable)")
        ->type_name("BATTERY")->group(group);
}

// The poll timing.
void addTimingOptions(CLI::App& app, DaemonOptions& options)
{
    const char* group = "Polling";
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

// The data log's directory.
void addDatalogOption(CLI::App& app, DaemonOptions& options)
{
    app.add_option("--datalog", options.datalogDir,
                   "Append data log lines to DIR/<start seconds>qav.log (with several batteries, qav-NAME.log)")
        ->check(unnamed(CLI::ExistingDirectory))->type_name("DIR")->group("Standard output and files");
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
    addDatalogOption(app, options);
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

// Health: the level of health that calls for a new battery, and when this one was installed.
void addHealthOptions(CLI::App& app, DaemonOptions& options)
{
    const char* group = "Health";
    app.add_option("--replace-at", options.replaceAt,
                   "State of health in percent at or below which the battery is due for replacement, 1 to 100")
        ->check(decimal(true))->check(unnamed(CLI::Range(1.0, 100.0)))->type_name("PERCENT")->capture_default_str()->group(group);
    app.add_option("--installed", options.installed,
                   "The battery's installation date; a later one than the history holds starts a new battery")
        ->check(CLI::Validator(
            [](const std::string& text) {
                std::optional<long long> date = civilDate(text);
                if (!date) return std::string("expected a date as YYYY-MM-DD, from 1970-01-01");
                // A day's grace for the time zones east of UTC.
                if (*date > static_cast<long long>(std::time(nullptr)) + 86400) return std::string("a date after today");
                return std::string();
            },
            ""))
        ->type_name("YYYY-MM-DD")->group(group);
}

// Say what is wrong with the options; the status to exit with.
int refuse(const std::string& problem)
{
    std::fprintf(stderr, "qavd: %s\n", problem.c_str());
    return 2;
}

// Every option taking seconds takes a unit too; they all say so by their type name.
void withUnits(CLI::App& app)
{
    for (CLI::Option* option : app.get_options())
        if (option->get_type_name() == "SECONDS") option->transform(secondsWithUnit());
}

// A battery's timeout when none was given: 2 s, or half its interval when that is less.
void fitTimeout(DaemonOptions* battery, bool given)
{
    if (!given) battery->timeout = std::min(DaemonOptions{}.timeout, battery->interval / 2);
}

// Parse one battery's section over the site's defaults and add it to site: "" when all is
// well, else what is wrong, naming the file, the line and the section.
std::string parseSection(const ConfigFile& file, const Section& section, const std::string& path,
                         const DaemonOptions& defaults, bool timeoutGiven, std::vector<DaemonOptions>* site)
{
    DaemonOptions battery = defaults;
    battery.name = section.name;
    battery.batteryArguments.clear();
    CLI::App app;
    addBatteryOptions(app, battery);
    withUnits(app);
    app.set_config("--config");
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.config_formatter(std::make_shared<CheckedConfig>(section.text));
    std::string at = file.name + ":" + std::to_string(section.line) + ": [" + section.name + "]: ";
    try {
        std::vector<std::string> reversed{path, "--config"};
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        std::string text = error.what();
        for (const auto& [name, number] : section.lines)
            if (text.rfind(name + ":", 0) == 0) at = file.name + ":" + std::to_string(number) + ": [" + section.name + "]: ";
        return at + text;
    }
    if (!section.lines.contains("--address")) return at + "no address: give each battery its own";
    fitTimeout(&battery, timeoutGiven || section.lines.contains("--timeout"));
    if (std::string wrong = crossCheck(battery); !wrong.empty()) return at + wrong;
    site->push_back(std::move(battery));
    return "";
}

// Add the battery of one --battery NAME=ADDRESS with the site's defaults: "" or what is wrong.
std::string addBattery(const std::string& given, const DaemonOptions& defaults, bool timeoutGiven,
                       std::vector<DaemonOptions>* site)
{
    std::string at = "--battery " + given + ": ";
    std::size_t equals = given.find('=');
    if (equals == std::string::npos) return at + "expected NAME=ADDRESS";
    DaemonOptions battery = defaults;
    battery.batteryArguments.clear();
    battery.name = given.substr(0, equals);
    battery.address = given.substr(equals + 1);
    if (std::string wrong = batteryName()(battery.name); !wrong.empty())
        return at + "a battery's name is 1 to 32 of A-Z, a-z, 0-9, _ and -";
    if (std::string wrong = batteryAddress()(battery.address); !wrong.empty()) return at + wrong;
    if (std::any_of(site->begin(), site->end(), [&](const DaemonOptions& before) { return before.name == battery.name; }))
        return at + "a battery of that name is served already";
    if (site->size() == maxBatteries) return at + "more than " + std::to_string(maxBatteries) + " batteries";
    fitTimeout(&battery, timeoutGiven);
    if (std::string wrong = crossCheck(battery); !wrong.empty()) return at + wrong;
    site->push_back(std::move(battery));
    return "";
}

// Parse the command line and the top of the config file: -1 to go on, else the status to exit
// with (0 after --help or --version, 2 after an error, said with the file's line).
int parseTop(CLI::App& app, const ConfigFile& file, int argc, char** argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        // A value from the file is named by its line, unless the command line gave it too.
        std::string text = error.what(), at;
        for (const auto& [name, number] : file.lines)
            if (text.rfind(name + ":", 0) == 0 && std::find(argv, argv + argc, name) == argv + argc)
                at = file.name + ":" + std::to_string(number) + ": ";
        std::fprintf(stderr, "qavd: %s%s\nRun with --help for more information.\n", at.c_str(), text.c_str());
        return 2;
    }
    return -1;
}

} // namespace

void addOutageOption(CLI::App& app, DaemonOptions& options)
{
    app.add_option("--outage-min", options.outageMin, "Seconds of discharging that make an outage, 0 to 86400")
        ->check(decimal(true))->check(CLI::Range(0.0, 86400.0).description(""))->type_name("SECONDS")
        ->capture_default_str()->group("History");
}

void addBatteryOptions(CLI::App& app, DaemonOptions& options)
{
    addPortOptions(app, options);
    addTimingOptions(app, options);
    addDatalogOption(app, options);
    addEventOptions(app, options);
    addRuntimeOptions(app, options);
    addOutageOption(app, options);
    addHealthOptions(app, options);
}

void addCoreOptions(CLI::App& app, DaemonOptions& options)
{
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_config("--config", "", "Read options from FILE (TOML or INI; keys are long option names)")
        ->type_name("FILE")->check(startFile());
    // A misspelt key must not be dropped without a word.
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.set_version_flag("--version", "qavd " QAV_VERSION "\n" QAV_LICENCE_NOTICE);
    addPortOptions(app, options);
    addNameOptions(app, options);
    addTimingOptions(app, options);
    addOutputOptions(app, options);
    addEventOptions(app, options);
    addLinkOptions(app, options);
    addRuntimeOptions(app, options);
    addHealthOptions(app, options);
}






std::string crossCheck(const DaemonOptions& options)
{
    if (options.timeout < options.interval) return "";
    char text[128];
    std::snprintf(text, sizeof text, "--timeout %g must be below --interval %g", options.timeout,
                  options.interval);
    return text;
}

int parseCommandLine(CLI::App& app, DaemonOptions& options, int argc, char** argv, std::vector<DaemonOptions>* batteries)
{
    withUnits(app);
    std::string config = configPath(argc, argv);
    ConfigFile file;
    DaemonOptions scratch;
    CLI::App keys;
    addBatteryOptions(keys, scratch);
    std::string problem = config.empty() ? "" : readConfigFile(app, keys, config, &file);
    if (!problem.empty()) return refuse(problem);
    if (!config.empty()) app.config_formatter(std::make_shared<CheckedConfig>(file.top));
    if (int status = parseTop(app, file, argc, argv); status >= 0) return status;
    bool timeoutGiven = app.get_option("--timeout")->count() != 0;
    DaemonOptions defaults = options;
    // Without --timeout, the wait fits any interval: 2 s, or half the interval when that is less.
    if (!timeoutGiven) options.timeout = std::min(options.timeout, options.interval / 2);
    if (file.sections.empty() && options.batteryArguments.empty()) {
        if (problem = crossCheck(options); !problem.empty()) return refuse(problem);
        if (batteries != nullptr) *batteries = {options};
        return -1;
    }
    if (app.get_option("--address")->count() != 0)
        return refuse("--address belongs to a battery: with sections or --battery, give each its own");
    std::vector<DaemonOptions> site;
    for (const Section& section : file.sections)
        if (problem = parseSection(file, section, config, defaults, timeoutGiven, &site); !problem.empty())
            return refuse(problem);
    for (const std::string& given : options.batteryArguments)
        if (problem = addBattery(given, defaults, timeoutGiven, &site); !problem.empty()) return refuse(problem);
    if (batteries != nullptr) *batteries = std::move(site);
    return -1;
}
