// nut: the NUT exporter, which serves every battery as a UPS to upsmon and every other NUT client.
#ifndef QAVD_NUT_H
#define QAVD_NUT_H

#include "output.h"
#include "protocol.h"
#include "server.h"
#include "site.h"
#include "users.h"

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

/** What --nut-* set. The server is off while listen is empty. */
struct NutOptions {
    std::string listen; ///< "ADDR:PORT" to serve on.
    std::string users;  ///< --nut-users FILE; empty for the credential nut-users when there is one.
};

/**
 * Register --nut-listen ADDR:PORT and --nut-users FILE on @p app, storing into
 * @p options. ADDR is a numeric IPv4 address; PORT is 0 to 65535 (0 takes a
 * free port); FILE must exist, and needs --nut-listen.
 */
void addNutOptions(CLI::App& app, NutOptions& options);

/** The exporter as an output, and where it serves. */
class NutExporter : public Output {
public:
    /** The TCP port served (the chosen one when 0 was asked for). */
    virtual int port() const = 0;
};

/**
 * Start serving each battery of @p site as a UPS of its name on
 * options.listen, LIST UPS showing them in the site's order. A battery's data
 * is stale until its first answer, and goes stale and fresh on its own.
 *
 * @param options The parsed options; options.users is not read here.
 * @param site    The batteries: each one's name, --low-battery and --low-runtime.
 * @param users   Who may log in.
 * @param limits  What each client is allowed.
 * @param log     Where refusals and FSD are reported, from the server's thread.
 * @param problem Receives why the server cannot start. Must not be null.
 * @return The running exporter, or null.
 */
std::unique_ptr<NutExporter> startNut(const NutOptions& options, const Site& site, std::vector<NutUser> users,
                                      NutLimits limits, const NutLog& log, std::string* problem);

/**
 * Read the users (--nut-users, else $CREDENTIALS_DIRECTORY/nut-users when it
 * exists), start the exporter for every battery of @p site when --nut-listen
 * was given, say where it listens, and add it to @p outputs. Each battery
 * beyond the first lets one more connection in from an address and four more
 * in all, so one upsmon can watch every battery.
 *
 * @return false with a message in @p problem when the users file is wrong or
 *         the server cannot start.
 */
bool addNutOutput(Outputs& outputs, const NutOptions& options, const Site& site, std::string* problem);

#endif
