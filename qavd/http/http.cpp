// http: the HTTP exporter's options, and the one server for the page, its API and the metrics.
#include "http.h"

#include "page.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <syslog.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Whether two well-formed listen addresses name the same address and port.
bool sameAddress(const std::string& one, const std::string& other)
{
    HostPort a, b;
    return parseListenAddress(one, &a).empty() && parseListenAddress(other, &b).empty() && a.port == b.port &&
           a.host == b.host;
}

} // namespace

void addHttpOptions(CLI::App& app, HttpOptions& options)
{
    app.add_option("--http-listen", options.listen,
                   "Serve the status page, its API and /metrics at ADDR:PORT (off by default)")
        ->type_name("ADDR:PORT")
        ->group("HTTP")
        ->check(CLI::Validator(
            [](const std::string& value) {
                HostPort where;
                return parseListenAddress(value, &where);
            },
            ""));
    addMetricsOptions(app, options.metrics);
}

std::string pageAddress(const HttpOptions& options)
{
    HostPort where;
    if (options.listen.empty() || !parseListenAddress(options.listen, &where).empty() || where.port == 0) return "";
    in6_addr v6{};
    in_addr v4{};
    bool everywhere = where.host.empty() || (inet_pton(AF_INET, where.host.c_str(), &v4) == 1 && v4.s_addr == INADDR_ANY) ||
                      (inet_pton(AF_INET6, where.host.c_str(), &v6) == 1 && IN6_IS_ADDR_UNSPECIFIED(&v6));
    if (everywhere) {
        char host[256] = "";
        where.host = gethostname(host, sizeof host - 1) == 0 && host[0] != '\0' ? host : "localhost";
    }
    // An IPv6 address goes in brackets, as URLs have it.
    if (where.host.find(':') != std::string::npos) where.host = "[" + where.host + "]";
    return "http://" + where.host + ":" + std::to_string(where.port) + "/";
}

bool addHttpOutput(Outputs& outputs, const HttpOptions& options, const Site& site, std::string* problem,
                   const std::vector<HistoryRecorder*>& recorders)
{
    const std::string& page = options.listen;
    const std::string& metrics = options.metrics.listen;
    if (page.empty() && metrics.empty()) return true;
    if (!page.empty() && !metrics.empty() && !sameAddress(page, metrics)) {
        *problem = "--http-listen " + page + " and --metrics-listen " + metrics +
                   " differ: one server serves the page and /metrics; give only --http-listen";
        return false;
    }
    std::unique_ptr<HttpExporter> exporter;
    if (page.empty()) {
        exporter = startMetrics(options.metrics, site, problem);
    } else {
        std::vector<std::unique_ptr<HttpPart>> parts;
        parts.push_back(makeMetrics(site));
        parts.push_back(makePage(site, recorders));
        exporter = HttpExporter::start(page, std::move(parts), "HTTP", problem);
    }
    if (!exporter) return false;
    // The port actually bound, which differs from the one asked for when that was 0.
    const std::string& listen = page.empty() ? metrics : page;
    HostPort where;
    parseListenAddress(listen, &where);
    where.port = exporter->port();
    logMessage(LOG_NOTICE, "HTTP server listening on " + listenText(where));
    outputs.add(std::move(exporter));
    return true;
}
