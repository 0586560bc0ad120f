// metrics: Prometheus metrics, the HTTP exporter's part that shows the latest answer and the counters.
#ifndef QAVD_METRICS_H
#define QAVD_METRICS_H

#include "exporter.h"
#include "site.h"

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

/**
 * The exporter's part: the latest answer and the counters as an output, and
 * GET /metrics. Until the first answer, qav_up is 0 and only the counters are
 * shown.
 *
 * @param battery The battery's name, the battery label of every series.
 */
std::unique_ptr<HttpPart> makeMetrics(const std::string& battery);

/**
 * The exporter's part for a site: every battery's series, each labelled with
 * its battery, and with several batteries qav_build_info once, labelled with
 * the version only. Each battery's snapshot replaces that battery's last.
 *
 * @param site The batteries, in the order their series are shown.
 */
std::unique_ptr<HttpPart> makeMetrics(const Site& site);

/**
 * Start serving GET /metrics alone on options.listen for battery @p battery;
 * any other path is 404.
 *
 * @param options The parsed options; options.listen as addMetricsOptions() accepts it.
 * @param battery The battery's name, the battery label of every series.
 * @param problem Set to a message when the exporter cannot start. Must not be null.
 * @return The running exporter, or null when the address is malformed, cannot
 *         be bound, or the server cannot start.
 */
std::unique_ptr<HttpExporter> startMetrics(const MetricsOptions& options, const std::string& battery,
                                           std::string* problem);

/** startMetrics() for every battery of @p site (see makeMetrics(const Site&)). */
std::unique_ptr<HttpExporter> startMetrics(const MetricsOptions& options, const Site& site, std::string* problem);

#endif
