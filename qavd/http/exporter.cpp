// exporter: one HTTP server and the outputs whose state it serves, as one output.
#include "exporter.h"

#include <utility>

std::unique_ptr<HttpExporter> HttpExporter::start(const std::string& listen, std::vector<std::unique_ptr<HttpPart>> parts,
                                                  const std::string& what, std::string* problem)
{
    std::unique_ptr<HttpExporter> exporter(new HttpExporter());
    std::map<std::string, HttpHandler> routes;
    std::set<std::string> slow;
    for (auto& part : parts) {
        part->addRoutes(routes);
        slow.merge(part->slowPaths());
    }
    exporter->parts = std::move(parts);
    exporter->server = HttpServer::start(listen, std::move(routes), what, problem, std::move(slow));
    if (!exporter->server) return nullptr;
    return exporter;
}

void HttpExporter::finish()
{
    server.reset();
    each([](Output& p) { p.finish(); });
}
