// server: a small HTTP server for GET and HEAD that idle or slow clients cannot starve.
#ifndef QAVD_HTTP_SERVER_H
#define QAVD_HTTP_SERVER_H

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

/** One request as a handler sees it. */
struct HttpRequest {
    std::string path;                         ///< The path, without the query.
    std::map<std::string, std::string> query; ///< The query's arguments, decoded.
    std::string acceptEncoding;               ///< The Accept-Encoding header; empty when absent.
};

/** What a handler answers. */
struct HttpResponse {
    int status = 200;                                         ///< The HTTP status.
    std::string type = "text/plain; charset=utf-8";           ///< Content-Type.
    std::string body;                                         ///< Sent on GET, left out on HEAD.
    std::vector<std::pair<std::string, std::string>> headers; ///< Further headers.
};

/**
 * A handler for one path. It runs on the server's thread and must answer at once, or, for
 * a path the server is told is slow, on one of its workers.
 */
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

/**
 * Serves GET and HEAD on a few exact paths from one thread of its own, which
 * accepts connections itself and hands them to libmicrohttpd, run event
 * driven (epoll) on the same thread, so a request is answered while any
 * number of other clients sit idle or trickle. A request's line and headers
 * must be whole within headSeconds of the connection's start or of the
 * previous answer on it (so within that time of their first byte), else the
 * connection is closed. When maxConnections are open, or maxPerAddress from
 * the new one's address, the one that has waited longest for its request (from
 * there) is closed to make room. Connections are kept alive between requests
 * as HTTP/1.1 has it; an HTTP/1.1 request without Host is 400. Other paths
 * are 404, other methods 405; every response the server makes carries
 * "X-Content-Type-Options: nosniff". A request's line and headers must fit in
 * requestBytes (else 414 or 431); an answer that stalls for idleSeconds is
 * given up. Stopping closes every connection at once.
 *
 * The answers of slow paths (those that read the history on disk) are made by
 * workers, at most `slowAtOnce` at a time and at a lower priority, while their
 * connections wait aside, so the server's thread goes on serving the others
 * (/metrics, the state) meanwhile. Up to `slowWaiting` more wait their turn (a
 * page's own few requests at once never see a refusal); a slow request beyond
 * those is answered 503 with "Retry-After: 1".
 */
class HttpServer {
public:
    /**
     * Listen on @p listen and serve @p routes until destroyed.
     *
     * @param listen  "ADDR:PORT" as parseListenAddress() reads it; port 0 takes a free port.
     * @param routes  Handlers by exact path, such as "/metrics".
     * @param what    What is served, for messages: "metrics".
     * @param problem Receives "cannot serve WHAT on LISTEN: REASON" when it cannot start. Must not be null.
     * @param slow    The paths of @p routes whose handlers run on the workers.
     * @return The running server, or null.
     */
    static std::unique_ptr<HttpServer> start(const std::string& listen, std::map<std::string, HttpHandler> routes,
                                             const std::string& what, std::string* problem,
                                             std::set<std::string> slow = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /** @return The TCP port served (the chosen one when 0 was asked for). */
    int port() const { return boundPort; }

    /// Connections open at once; with the rest of qavd's descriptors this stays below
    /// 1024, where select(), which some libraries use, would overflow.
    static constexpr unsigned maxConnections = 768;
    static constexpr unsigned maxPerAddress = 512;   ///< Connections from one client address.
    static constexpr unsigned idleSeconds = 15;      ///< An answer the client takes nothing of this long is given up.
    static constexpr unsigned headSeconds = 10;      ///< The time for a request's line and headers.
    static constexpr unsigned requestBytes = 16384;  ///< Room for a request's line and headers.
    static constexpr unsigned slowAtOnce = 2;        ///< Slow requests answered at once.
    static constexpr unsigned slowWaiting = 8;       ///< Slow requests waiting for a worker; more get 503.

private:
    struct Impl;
    explicit HttpServer(std::unique_ptr<Impl> state);
    std::unique_ptr<Impl> impl;
    int boundPort = 0;
};

#endif
