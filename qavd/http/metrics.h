// metrics: the Prometheus exporter, an output serving the latest answer and the counters over HTTP.
#ifndef QAVD_METRICS_H
#define QAVD_METRICS_H

#include "options.h"
#include "output.h"

#include <memory>
#include <string>

namespace CLI {
class App;
}

/** What the exporter is told on the command line or in the config file. */
struct MetricsOptions {
    std::string listen; ///< "ADDR:PORT" to serve /metrics on; empty while off.
};

/**
 * Register --metrics-listen ADDR:PORT on @p app, storing into @p options.
 * ADDR is a numeric IPv4 address; PORT is 0 to 65535 (0 takes a free port).
 * CLI11 rejects any other value while parsing.
 *
 * @param app     The daemon's command line.
 * @param options Where the value goes; must outlive @p app's parsing.
 */
void addMetricsOptions(CLI::App& app, MetricsOptions& options);

/** The exporter as an output, and where it serves. */
class MetricsExporter : public Output {
public:
    /** The TCP port /metrics is served on (the chosen one when 0 was asked for). */
    virtual int port() const = 0;
};

/**
 * Start serving GET /metrics on options.listen for battery @p battery; any
 * other path is 404. Until the first answer, qav_up is 0 and only the
 * counters are shown.
 *
 * @param options The parsed options; options.listen as addMetricsOptions() accepts it.
 * @param battery The battery's name, the battery label of every series.
 * @param problem Set to a message when the exporter cannot start. Must not be null.
 * @return The running exporter, or null when the address is malformed, cannot
 *         be bound, or the server cannot start.
 */
std::unique_ptr<MetricsExporter> startMetrics(const MetricsOptions& options, const std::string& battery,
                                              std::string* problem);

/**
 * Start the exporter when --metrics-listen was given and add it to @p outputs;
 * @p daemon gives the battery's name.
 *
 * @return false with a message in @p problem when it cannot start.
 */
bool addMetricsOutput(Outputs& outputs, const MetricsOptions& options, const DaemonOptions& daemon,
                      std::string* problem);

#endif
