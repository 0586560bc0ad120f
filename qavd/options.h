// options: qavd's command line and config file. The checks on their values, listen
// addresses and files read at start are modules of their own, which this header brings in.
#ifndef QAVD_OPTIONS_H
#define QAVD_OPTIONS_H

#include "listen.h"
#include "secrets.h"
#include "values.h"

#include <cstddef>
#include <string>
#include <vector>

namespace CLI {
class App;
class Validator;
}

/** What qavd prints on standard output per accepted answer. */
enum class StdoutForm { json, console, none };

/** The daemon's own settings; exporters keep theirs in their own structs. */
struct DaemonOptions {
    std::string address = "tcp:127.0.0.1:10001"; ///< Port-library address.
    int speed = 9600;                            ///< Line speed of a device path.
    int dataBits = 8;                            ///< 5 to 8.
    int stopBits = 1;                            ///< 1 or 2.
    std::string parity = "none";                 ///< "none", "even" or "odd".
    std::string name = "battery";                ///< The battery's name in every output.
    double interval = 5;                         ///< Poll period in seconds, start to start.
    double timeout = 2;                          ///< Wait for a whole answer, in seconds.
    int staleAfter = 3;                          ///< Failed polls after which data is stale.
    double maxBackoff = 15;                      ///< Longest wait in seconds between attempts to connect.
    StdoutForm output = StdoutForm::json;        ///< Standard output form.
    std::string datalogDir;                      ///< Data log directory; empty for none.
    bool syslogRecords = false;                  ///< Send two system log records per answer.
    std::string eventCommand;                    ///< Program run on every event; empty for none.
    double lowBattery = 20;                      ///< Gas gauge percent at or below which the battery is low.
    std::string publicUrl;                       ///< The page's address as a browser reaches it; "" for none.
    bool once = false;                           ///< Print the first accepted answer and exit.
    double capacity = 0;                         ///< Rated capacity in ampere-hours; 0 to learn it.
    double lowRuntime = 0;                       ///< Runtime in seconds at or below which the battery is low; 0 for off.
    double outageMin = 10;                       ///< Seconds of discharging that make an outage.
    double replaceAt = 80;                       ///< State of health in percent at or below which the battery is due for replacement.
    std::string installed;                       ///< The battery's installation date, YYYY-MM-DD; "" when not given.
    std::vector<std::string> batteryArguments;   ///< --battery NAME=ADDRESS, as given.
};

/**
 * Add the daemon's options, --config, --help and --version to @p app.
 * Values parsed later land in @p options, which must outlive @p app's parsing.
 *
 * @param app     The command line. Exporters add their options to it afterwards.
 * @param options Receives the parsed values; starts at the defaults.
 */
void addCoreOptions(CLI::App& app, DaemonOptions& options);

/**
 * Add the keys a battery's [NAME] section may hold to @p app: the port and its line,
 * the poll timing, the data log, the low-battery threshold, the event command, the
 * time left's settings, --outage-min, and the health's --replace-at and --installed.
 */
void addBatteryOptions(CLI::App& app, DaemonOptions& options);

/** Add --outage-min to @p app (the history's options show it). */
void addOutageOption(CLI::App& app, DaemonOptions& options);

/**
 * Parse the command line and the config file it names, then check the values
 * that depend on each other. Messages go to standard error (help and version
 * to standard output); one about the config file names its line. Options whose
 * type name is SECONDS take a unit too (500ms, 5s, 2m, 1h). Without --timeout,
 * the timeout is 2 s or half the interval, whichever is less.
 *
 * @param app     The command line with every option added. 
 * @param options The values addCoreOptions() bound to @p app; the timeout may be set here.
 * @param argc    Argument count, as main() has it.
 * A config file may hold a [NAME] section per battery, with the keys of
 * addBatteryOptions(); keys before the first section are the site's and each
 * battery's defaults. --battery NAME=ADDRESS adds a battery with those defaults.
 * Errors about a section name the file, the line and the section.
 *
 * @param argv    Arguments, as main() has them. Must not be null.
 * @param batteries When not null, receives each battery's settings: one, @p options
 *                itself, without sections and --battery; else one per section, then
 *                per --battery, at most maxBatteries.
 * @return -1 to go on; 0 after --help or --version; 2 after any error.
 */
int parseCommandLine(CLI::App& app, DaemonOptions& options, int argc, char** argv,
                     std::vector<DaemonOptions>* batteries = nullptr);

/** Most batteries one qavd serves. */
constexpr std::size_t maxBatteries = 128;

/**
 * Check the values that no single option's check can see.
 *
 * @param options Parsed values.
 * @return An empty text when they fit together, or a message saying what does not.
 */
std::string crossCheck(const DaemonOptions& options);

#endif
