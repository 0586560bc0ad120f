// nut: the NUT exporter, which serves every battery as a UPS to upsmon and every other NUT client.
#include "nut.h"

#include "state.h"
#include "variables.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <syslog.h>
#include <utility>

namespace {

// Who set FSD on each UPS, told by the server's thread and read by the poll loops'.
struct ForcedShutdown {
    mutable std::mutex mutex;
    std::map<std::string, std::string, std::less<>> who; // by UPS name
};

// One battery as the exporter serves it: its name and low marks, and the answer and health
// served now (kept, so no other takes their addresses); a null answer while stale.
struct ServedBattery {
    std::string name;
    double low;
    double lowRuntime;
    std::shared_ptr<const Reading> reading;
    std::shared_ptr<const Health> health;
};

// The exporter: the poll loops' calls hand the server new data; the server's thread does the rest.
// The core calls state() for one battery at a time, so what it changes here needs no lock.
class NutOutput final : public NutExporter {
public:
    NutOutput(std::unique_ptr<NutServer> running, std::shared_ptr<const ForcedShutdown> fsd, const Site& site)
        : server(std::move(running)), forced(std::move(fsd))
    {
        for (const DaemonOptions& battery : site.batteries) {
            byName.emplace(battery.name, batteries.size());
            batteries.push_back({battery.name, battery.lowBattery, battery.lowRuntime, nullptr, nullptr});
        }
        served.ups.resize(batteries.size());
    }

    // Who set FSD on that battery's UPS, for the core to raise its fsd.
    std::string forcedShutdownBy(const std::string& ups) const override
    {
        std::lock_guard<std::mutex> lock(forced->mutex);
        auto found = forced->who.find(ups);
        return found == forced->who.end() ? std::string() : found->second;
    }

    int port() const override { return server->port(); }

    // Serve the battery's latest answer and health while it is fresh, none while stale; the other
    // batteries' data is handed on as it was. The variables are made when a client reads them.
    void state(const BatterySnapshot& snapshot) override
    {
        auto named = byName.find(snapshot->battery);
        if (named == byName.end()) return;
        ServedBattery& battery = batteries[named->second];
        std::shared_ptr<const Reading> reading = snapshot->fresh ? snapshot->reading : nullptr;
        if (reading == battery.reading && snapshot->health == battery.health) return;
        battery.reading = reading;
        battery.health = snapshot->health;
        std::shared_ptr<const NutUpsData> ups;
        if (reading != nullptr)
            ups = std::make_shared<const NutUpsData>(
                [reading, health = battery.health, name = battery.name, low = battery.low,
                 lowRuntime = battery.lowRuntime] {
                    return nutVariables(reading->status, name, low, reading->estimate, lowRuntime, health.get());
                });
        served.ups[named->second] = std::move(ups);
        server->publish(std::make_shared<const NutData>(served));
    }

    void finish() override { server->stop(); }

private:
    std::unique_ptr<NutServer> server;
    std::shared_ptr<const ForcedShutdown> forced;
    std::vector<ServedBattery> batteries;                  // in the site's order, as the protocol has them
    std::map<std::string, std::size_t, std::less<>> byName; // each battery's place in batteries
    NutData served;                                         // what the server was handed last
};

// What the server allows with the site's batteries: each one beyond the first lets one more
// connection in from an address (upsmon keeps one per UPS) and four more in all.
NutLimits limitsFor(const Site& site)
{
    NutLimits limits;
    std::size_t more = site.batteries.size() - 1;
    limits.perAddress += more;
    limits.connections += 4 * more;
    return limits;
}

// Read the users file the options name, if any; false with problem set when it is wrong.
bool loadUsers(const NutOptions& options, std::vector<NutUser>* users, std::string* problem)
{
    std::string path = options.users.empty() ? credentialPath("nut-users") : options.users;
    if (path.empty()) return true;
    std::vector<std::string> warnings;
    if (std::string warning = exposedSecret(path); !warning.empty()) warnings.push_back(warning);
    std::string wrong = readNutUsers(path, users, &warnings);
    if (!wrong.empty()) {
        *problem = "--nut-users: " + wrong;
        return false;
    }
    for (const std::string& warning : warnings) logMessage(LOG_WARNING, warning);
    return true;
}

} // namespace

void addNutOptions(CLI::App& app, NutOptions& options)
{
    CLI::Option* listen =
        app.add_option("--nut-listen", options.listen, "Serve the NUT network protocol at ADDR:PORT (off by default)")
            ->type_name("ADDR:PORT")
            ->group("NUT")
            ->check(CLI::Validator(
                [](const std::string& value) {
                    HostPort where;
                    return parseListenAddress(value, &where);
                },
                ""));
    app.add_option("--nut-users", options.users, "Users who may log in to the NUT server, as in upsd.users (default: "
                   "$CREDENTIALS_DIRECTORY/nut-users when it exists)")
        ->type_name("FILE")
        ->group("NUT")
        ->check(unnamed(CLI::ExistingFile))
        ->needs(listen);
}

std::unique_ptr<NutExporter> startNut(const NutOptions& options, const Site& site, std::vector<NutUser> users,
                                      NutLimits limits, const NutLog& log, std::string* problem)
{
    HostPort where;
    if (std::string wrong = parseListenAddress(options.listen, &where); !wrong.empty()) {
        *problem = "--nut-listen " + options.listen + ": " + wrong;
        return nullptr;
    }
    std::vector<std::string> names(site.batteries.size());
    std::transform(site.batteries.begin(), site.batteries.end(), names.begin(),
                   [](const DaemonOptions& battery) { return battery.name; });
    NutProtocol protocol(std::move(names), std::move(users), log);
    auto forced = std::make_shared<ForcedShutdown>();
    protocol.onForcedShutdown([forced](const std::string& ups, const std::string& who) {
        std::lock_guard<std::mutex> lock(forced->mutex);
        forced->who[ups] = who;
    });
    std::unique_ptr<NutServer> server = NutServer::start(where, std::move(protocol), limits, log, problem);
    if (!server) return nullptr;
    return std::make_unique<NutOutput>(std::move(server), std::move(forced), site);
}

bool addNutOutput(Outputs& outputs, const NutOptions& options, const Site& site, std::string* problem)
{
    if (options.listen.empty()) return true;
    std::vector<NutUser> users;
    if (!loadUsers(options, &users, problem)) return false;
    std::unique_ptr<NutExporter> exporter =
        startNut(options, site, std::move(users), limitsFor(site), throttledLog(logMessage), problem);
    if (!exporter) return false;
    HostPort bound;
    parseListenAddress(options.listen, &bound);
    bound.port = exporter->port();
    logMessage(LOG_NOTICE, "NUT server listening on " + listenText(bound));
    outputs.add(std::move(exporter));
    return true;
}
