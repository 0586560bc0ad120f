// nut: the NUT exporter, which serves the battery to upsmon and every other NUT client.
#include "nut.h"

#include "state.h"
#include "variables.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <mutex>
#include <syslog.h>
#include <utility>

namespace {

// Who set FSD, told by the server's thread and read by the poll loop's.
struct ForcedShutdown {
    mutable std::mutex mutex;
    std::string who;
};

// The exporter: the poll loop's calls hand the server new data; the server's thread does the rest.
class NutOutput final : public NutExporter {
public:
    NutOutput(std::unique_ptr<NutServer> running, std::shared_ptr<const ForcedShutdown> fsd, std::string name,
              double lowPercent, double lowRuntimeSeconds)
        : server(std::move(running)), forced(std::move(fsd)), battery(std::move(name)), low(lowPercent),
          lowRuntime(lowRuntimeSeconds)
    {
    }

    // Who set FSD, for the core to raise fsd.
    std::string forcedShutdownBy(const std::string& ups) const override
    {
        if (ups != battery) return {};
        std::lock_guard<std::mutex> lock(forced->mutex);
        return forced->who;
    }

    int port() const override { return server->port(); }

    // Serve the variables of the core's latest answer while it is fresh, none while stale.
    void state(const BatterySnapshot& snapshot) override
    {
        std::shared_ptr<const Reading> reading = snapshot->fresh ? snapshot->reading : nullptr;
        if (reading == served) return;
        served = reading;
        auto data = std::make_shared<NutData>();
        if (reading != nullptr) {
            data->fresh = true;
            data->variables = nutVariables(reading->status, battery, low, reading->estimate, lowRuntime);
        }
        server->publish(std::move(data));
    }

    void finish() override { server->stop(); }

private:
    std::unique_ptr<NutServer> server;
    std::shared_ptr<const ForcedShutdown> forced;
    std::shared_ptr<const Reading> served; // the answer served now (kept, so no other takes its address); null while stale
    std::string battery;
    double low;
    double lowRuntime;
};

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

std::unique_ptr<NutExporter> startNut(const NutOptions& options, const DaemonOptions& daemon,
                                      std::vector<NutUser> users, NutLimits limits, const NutLog& log,
                                      std::string* problem)
{
    HostPort where;
    if (std::string wrong = parseListenAddress(options.listen, &where); !wrong.empty()) {
        *problem = "--nut-listen " + options.listen + ": " + wrong;
        return nullptr;
    }
    NutProtocol protocol(daemon.name, std::move(users), log);
    auto forced = std::make_shared<ForcedShutdown>();
    protocol.onForcedShutdown([forced](const std::string& who) {
        std::lock_guard<std::mutex> lock(forced->mutex);
        forced->who = who;
    });
    std::unique_ptr<NutServer> server = NutServer::start(where, std::move(protocol), limits, log, problem);
    if (!server) return nullptr;
    return std::make_unique<NutOutput>(std::move(server), std::move(forced), daemon.name, daemon.lowBattery,
                                       daemon.lowRuntime);
}

bool addNutOutput(Outputs& outputs, const NutOptions& options, const Site& site, std::string* problem)
{
    const DaemonOptions& daemon = site.batteries.front();
    if (options.listen.empty()) return true;
    std::vector<NutUser> users;
    if (!loadUsers(options, &users, problem)) return false;
    std::unique_ptr<NutExporter> exporter =
        startNut(options, daemon, std::move(users), NutLimits{}, throttledLog(logMessage), problem);
    if (!exporter) return false;
    HostPort bound;
    parseListenAddress(options.listen, &bound);
    bound.port = exporter->port();
    logMessage(LOG_NOTICE, "NUT server listening on " + listenText(bound));
    outputs.add(std::move(exporter));
    return true;
}
