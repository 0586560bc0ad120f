// http: the HTTP exporter's options, and the one server for the page, its API and the metrics.
#ifndef QAVD_HTTP_H
#define QAVD_HTTP_H

#include "metrics.h"
#include "site.h"

#include <string>
#include <vector>

namespace CLI {
class App;
}
class HistoryRecorder;

/** What the HTTP exporter is told on the command line or in the config file. */
struct HttpOptions {
    std::string listen;     ///< --http-listen: "ADDR:PORT" for the page, its API and /metrics; empty while off.
    MetricsOptions metrics; ///< --metrics-listen: /metrics alone.
};

/**
 * Register --http-listen and --metrics-listen on @p app, both ADDR:PORT as
 * parseListenAddress() reads them; CLI11 rejects any other value while parsing.
 *
 * @param app     The daemon's command line.
 * @param options Where the values go; must outlive @p app's parsing.
 */
void addHttpOptions(CLI::App& app, HttpOptions& options);

/**
 * Start the HTTP exporter when either address is given and add it to
 * @p outputs: one server on that address, serving /metrics, and with
 * --http-listen the page and its API too. Both given must name the same
 * address. Prints "qavd: HTTP server listening on ADDR:PORT" with the port bound.
 * With several batteries in @p site, the page is the site's overview with a
 * page per battery, and /metrics holds every battery's series (see makePage()
 * and makeMetrics()).
 *
 * @param recorders Each battery's store and outage journal, in the site's order, whose history
 *                  and outages the page shows; null for a battery without. Each must outlive the output.
 * @return false with a message in @p problem when it cannot start.
 */
bool addHttpOutput(Outputs& outputs, const HttpOptions& options, const Site& site, std::string* problem,
                   const std::vector<HistoryRecorder*>& recorders = {});

/**
 * The page's address for links to it, from --http-listen: "http://ADDR:PORT/",
 * an IPv6 address in brackets ("http://[::1]:9788/"), and the host's name for a
 * listener on every address (":PORT", "0.0.0.0:PORT", "[::]:PORT").
 *
 * @return The address, or "" when the page is off or its port is chosen at start (0).
 */
std::string pageAddress(const HttpOptions& options);

#endif
