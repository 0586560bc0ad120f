// server: a small HTTP server for GET and HEAD that idle or slow clients cannot starve.
#include "server.h"

#include "libmicrohttpd.h"
#include "options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

struct HttpServer::Impl {
    const Microhttpd* api = nullptr;
    std::map<std::string, HttpHandler> routes;
    MHD_Daemon* daemon = nullptr;

    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                             const char* version, const char* upload, std::size_t* uploadSize, void** state);
    static MHD_Result keepArgument(void* query, MHD_ValueKind kind, const char* key, const char* value);
    HttpResponse respond(MHD_Connection* connection, const char* url, const char* method) const;
    MHD_Result send(MHD_Connection* connection, HttpResponse response) const;
};

namespace {

// The plain-text answer for a status, such as 404.
HttpResponse plain(int status, std::string text)
{
    HttpResponse response;
    response.status = status;
    response.body = std::move(text);
    return response;
}

} // namespace

// Keep one query argument; a key without a value counts as empty.
MHD_Result HttpServer::Impl::keepArgument(void* query, MHD_ValueKind /*kind*/, const char* key, const char* value)
{
    if (key != nullptr) (*static_cast<std::map<std::string, std::string>*>(query))[key] = value != nullptr ? value : "";
    return MHD_YES;
}

// The response to one request: the route's own, or 404, 405 or 500.
HttpResponse HttpServer::Impl::respond(MHD_Connection* connection, const char* url, const char* method) const
{
    auto route = routes.find(url);
    if (route == routes.end()) return plain(404, "Not found\n");
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        HttpResponse refusal = plain(405, "Only GET and HEAD\n");
        refusal.headers.emplace_back("Allow", "GET, HEAD");
        return refusal;
    }
    HttpRequest request{url, {}};
    api->connectionValues(connection, MHD_GET_ARGUMENT_KIND, keepArgument, &request.query);
    try {
        return route->second(request);
    } catch (const std::exception& error) {
        return plain(500, std::string("Internal error: ") + error.what() + "\n");
    }
}

// Queue a response on the connection.
MHD_Result HttpServer::Impl::send(MHD_Connection* connection, HttpResponse response) const
{
    // The body moves to the heap and the library frees it once sent, so a large one
    // (a day of history) is never copied.
    auto* body = new std::string(std::move(response.body));
    MHD_Response* out = api->createResponse(
        body->size(), body->data(), [](void* owned) { delete static_cast<std::string*>(owned); }, body);
    if (out == nullptr) {
        delete body;
        return MHD_NO;
    }
    api->addHeader(out, "Content-Type", response.type.c_str());
    api->addHeader(out, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : response.headers) api->addHeader(out, name.c_str(), value.c_str());
    MHD_Result queued = api->queueResponse(connection, static_cast<unsigned>(response.status), out);
    api->destroyResponse(out);
    return queued;
}

// The library's call for each request: answer as soon as the headers are in; a body is never read.
MHD_Result HttpServer::Impl::answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                                    const char* /*version*/, const char* /*upload*/, std::size_t* uploadSize,
                                    void** state)
{
    // A request with a body comes back for each piece of it; the response is already queued.
    if (*state != nullptr) {
        *uploadSize = 0;
        return MHD_YES;
    }
    *state = self;
    const auto* impl = static_cast<const Impl*>(self);
    return impl->send(connection, impl->respond(connection, url, method));
}

HttpServer::HttpServer(std::unique_ptr<Impl> state) : impl(std::move(state)) {}

HttpServer::~HttpServer()
{
    // Closes the listening socket and every connection; requests in progress are abandoned.
    if (impl->daemon != nullptr) impl->api->stopDaemon(impl->daemon);
}

std::unique_ptr<HttpServer> HttpServer::start(const std::string& listen, std::map<std::string, HttpHandler> routes,
                                              const std::string& what, std::string* problem)
{
    const std::string failure = "cannot serve " + what + " on " + listen + ": ";
    HostPort where;
    if (std::string why = parseListenAddress(listen, &where); !why.empty()) {
        *problem = failure + why;
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->routes = std::move(routes);
    std::string why;
    impl->api = loadMicrohttpd(&why);
    if (impl->api == nullptr) {
        *problem = failure + why;
        return nullptr;
    }
    int fd = listenSocket(where, SOCK_CLOEXEC);
    if (fd < 0) {
        *problem = failure + std::strerror(errno);
        return nullptr;
    }
    int bound = ::boundPort(fd);
    impl->daemon = impl->api->startDaemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr, &Impl::answer, impl.get(), MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, maxPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<std::size_t>(requestBytes), MHD_OPTION_END);
    if (impl->daemon == nullptr) {
        close(fd);
        *problem = failure + "the HTTP server library did not start";
        return nullptr;
    }
    auto server = std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
    server->boundPort = bound;
    return server;
}
