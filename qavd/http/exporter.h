// exporter: one HTTP server and the outputs whose state it serves, as one output.
#ifndef QAVD_HTTP_EXPORTER_H
#define QAVD_HTTP_EXPORTER_H

#include "output.h"
#include "server.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

/**
 * What the HTTP exporter serves: the state of the site's batteries, handed on
 * in accepted() and state() (the battery named in the reading and the snapshot).
 */
class HttpPart : public Output {
public:
    /** Add this part's handlers to @p routes; they run on the server's thread, or a worker's. */
    virtual void addRoutes(std::map<std::string, HttpHandler>& routes) = 0;
    /** @return The paths among this part's routes that read the disk, made off the server's thread. */
    virtual std::set<std::string> slowPaths() const { return {}; }
};

/**
 * The HTTP exporter: the parts (metrics, the page) and the one server that
 * serves their routes (their slow paths on the server's workers). A part
 * renders the snapshots it is handed, and the page's charts take each accepted
 * answer; those two calls reach each part in turn, and no other does.
 */
class HttpExporter final : public Output {
public:
    /**
     * Serve the routes of @p parts on @p listen.
     *
     * @param listen  "ADDR:PORT" as parseListenAddress() reads it; port 0 takes a free port.
     * @param parts   What is served; at least one.
     * @param what    What is served, for messages: "metrics".
     * @param problem Receives "cannot serve WHAT on LISTEN: REASON" when it cannot start. Must not be null.
     * @return The running exporter, or null.
     */
    static std::unique_ptr<HttpExporter> start(const std::string& listen, std::vector<std::unique_ptr<HttpPart>> parts,
                                               const std::string& what, std::string* problem);

    /** @return The TCP port served (the chosen one when 0 was asked for). */
    int port() const { return server ? server->port() : 0; }

    void accepted(const Reading& reading) override { each([&](Output& p) { p.accepted(reading); }); }
    void state(const BatterySnapshot& snapshot) override { each([&](Output& p) { p.state(snapshot); }); }
    /** Stop serving and close every connection, then finish each part. */
    void finish() override;

private:
    HttpExporter() = default;
    template <typename Call> void each(Call call)
    {
        for (const auto& part : parts) call(*part);
    }

    std::vector<std::unique_ptr<HttpPart>> parts;
    // Declared after the parts, so the server stops before they go.
    std::unique_ptr<HttpServer> server;
};

#endif
