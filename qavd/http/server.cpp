// server: a small HTTP server for GET and HEAD that idle or slow clients cannot starve.
#include "server.h"

#include "admission.h"
#include "libmicrohttpd.h"
#include "options.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

// The server's thread and what it knows of each connection it handed to the library.
struct HttpServer::Impl {
    // A connection: its address, since when it waits for a request (or since its request
    // came, while answered), and whether it was told to close.
    struct Client {
        // Read through the map's iterators in admit(), which cppcheck does not follow.
        // cppcheck-suppress unusedStructMember
        std::string address;
        Clock::time_point since;
        bool answering = false;
        bool closing = false;
    };
    // A slow request: made by a worker while its connection waits suspended, then resumed
    // by the server's thread and answered with the response.
    struct Job {
        const HttpHandler* handler = nullptr;
        HttpRequest request;
        MHD_Connection* connection = nullptr;
        HttpResponse response; // once done
        bool done = false;     // the worker made the response (under jobMutex)
        bool suspended = true; // the connection waits aside (the server's thread alone)
    };

    const Microhttpd* api = nullptr;
    std::map<std::string, HttpHandler> routes;
    std::set<std::string> slow; // paths whose answers the workers make
    MHD_Daemon* daemon = nullptr;
    std::unique_ptr<Gate> gate; // the listener, and the wake-up the workers signal
    std::map<int, Client> clients; // by socket, until the library closes it
    std::thread thread;
    std::map<const Job*, std::unique_ptr<Job>> jobs; // until answered; of the server's thread
    std::mutex jobMutex; // the queue, the count, and each job's response and done
    std::condition_variable jobReady;
    std::deque<Job*> waiting; // slow requests for the workers, oldest first
    unsigned inFlight = 0; // slow requests queued or being made
    std::vector<std::thread> workers;

    static MHD_Result request(void* self, MHD_Connection* connection, const char* url, const char* method,
                             const char* version, const char* upload, std::size_t* uploadSize, void** state);
    static void completed(void* self, MHD_Connection* connection, void** state, MHD_RequestTerminationCode why);
    static void notified(void* self, MHD_Connection* connection, void** socketState, MHD_ConnectionNotificationCode what);
    static MHD_Result keepArgument(void* query, MHD_ValueKind kind, const char* key, const char* value);
    std::optional<HttpResponse> check(MHD_Connection* connection, const char* url, const char* method,
                                      const char* version, const HttpHandler** handler, HttpRequest* request) const;
    MHD_Result send(MHD_Connection* connection, HttpResponse response) const;
    MHD_Result defer(MHD_Connection* connection, const HttpHandler& handler, HttpRequest request, void** state);
    MHD_Result deliver(MHD_Connection* connection, void** state);
    void work();
    void resumeFinished();
    void stopWorkers();
    Client* clientOf(MHD_Connection* connection);
    void run();
    int msToNextDeadline() const;
    void admit(int fd, const sockaddr_storage& address, socklen_t size);
    void closeClient(int fd);
    void expire();
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

// The markers of a request's state before and after its answer; any other is a Job.
char headersIn, answered;

// A handler's response, or 500 when it throws.
HttpResponse handled(const HttpHandler& handler, const HttpRequest& request)
{
    try {
        return handler(request);
    } catch (const std::exception& error) {
        return plain(500, std::string("Internal error: ") + error.what() + "\n");
    }
}

// Lower the calling thread's priority below the rest of the process, so the poll loop and the
// server's thread come first; a priority that cannot be lowered leaves it as it was.
void lowerPriority()
{
    auto self = static_cast<id_t>(gettid());
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, self);
    if (errno == 0 && setpriority(PRIO_PROCESS, self, std::min(nice + 10, 19)) != 0) {
        // Harmless: the worker then runs at the process's priority.
    }
}

// Connections the library may hold beyond maxConnections: those told to close and not yet
// closed. Accepting takes at most this many at a time, and the library closes them in between.
constexpr unsigned closingRoom = 64;

} // namespace

// Keep one query argument; a key without a value counts as empty.
MHD_Result HttpServer::Impl::keepArgument(void* query, MHD_ValueKind /*kind*/, const char* key, const char* value)
{
    if (key != nullptr) (*static_cast<std::map<std::string, std::string>*>(query))[key] = value != nullptr ? value : "";
    return MHD_YES;
}

// A refusal of one request (400, 404, 405), or nothing with its route's handler in *handler and
// the request filled in.
std::optional<HttpResponse> HttpServer::Impl::check(MHD_Connection* connection, const char* url, const char* method,
                                                    const char* version, const HttpHandler** handler,
                                                    HttpRequest* request) const
{
    if (std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0 && api->lookupValue(connection, MHD_HEADER_KIND, "Host") == nullptr)
        return plain(400, "An HTTP/1.1 request needs a Host header\n");
    auto route = routes.find(url);
    if (route == routes.end()) return plain(404, "Not found\n");
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        HttpResponse refusal = plain(405, "Only GET and HEAD\n");
        refusal.headers.emplace_back("Allow", "GET, HEAD");
        return refusal;
    }
    request->path = url;
    api->connectionValues(connection, MHD_GET_ARGUMENT_KIND, keepArgument, &request->query);
    if (const char* encoding = api->lookupValue(connection, MHD_HEADER_KIND, "Accept-Encoding"))
        request->acceptEncoding = encoding;
    *handler = &route->second;
    return std::nullopt;
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

// The library's call for each request: once its line and headers are in, then once more
// for each piece of a body and at its end. GET and HEAD are answered at the end, so that the
// connection can be kept; other methods at once (the library then closes the connection).
MHD_Result HttpServer::Impl::request(void* self, MHD_Connection* connection, const char* url, const char* method,
                                    const char* version, const char* /*upload*/, std::size_t* uploadSize,
                                    void** state)
{
    auto* impl = static_cast<Impl*>(self);
    if (*state == &answered) {
        *uploadSize = 0;
        return MHD_YES;
    }
    if (*state != nullptr && *state != &headersIn) return impl->deliver(connection, state);
    bool plainRead = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    if (*state == nullptr) {
        if (Client* client = impl->clientOf(connection); client != nullptr) {
            client->answering = true;
            client->since = Clock::now();
        }
        *state = &headersIn;
        if (plainRead) return MHD_YES;
    }
    *uploadSize = 0;
    HttpRequest request;
    const HttpHandler* handler = nullptr;
    std::optional<HttpResponse> refusal = impl->check(connection, url, method, version, &handler, &request);
    if (!refusal && impl->slow.contains(url)) return impl->defer(connection, *handler, std::move(request), state);
    *state = &answered;
    return impl->send(connection, refusal ? std::move(*refusal) : handled(*handler, request));
}

// Hand a slow request to the workers and set its connection aside meanwhile; 503 when
// slowAtOnce are being made and slowWaiting wait already.
MHD_Result HttpServer::Impl::defer(MHD_Connection* connection, const HttpHandler& handler, HttpRequest request,
                                   void** state)
{
    bool room = false;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        room = inFlight < slowAtOnce + slowWaiting;
        inFlight += room ? 1 : 0;
    }
    if (!room) {
        *state = &answered;
        HttpResponse busy = plain(503, "Too many history requests at once; try again in a second\n");
        busy.headers.emplace_back("Retry-After", "1");
        return send(connection, std::move(busy));
    }
    auto job = std::make_unique<Job>();
    Job* made = job.get();
    made->handler = &handler;
    made->request = std::move(request);
    made->connection = connection;
    jobs[made] = std::move(job);
    *state = made;
    // Suspended before a worker can see it, so that it is never resumed first.
    api->suspendConnection(connection);
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        waiting.push_back(made);
    }
    jobReady.notify_one();
    return MHD_YES;
}

// The library's call for a slow request once resumed: queue the response its worker made.
MHD_Result HttpServer::Impl::deliver(MHD_Connection* connection, void** state)
{
    auto found = jobs.find(static_cast<const Job*>(*state));
    *state = &answered;
    if (found == jobs.end()) return MHD_NO;
    HttpResponse response;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        response = std::move(found->second->response);
    }
    jobs.erase(found);
    return send(connection, std::move(response));
}

// A worker: make the queued slow responses one after another until stopped, waking the
// server's thread after each.
void HttpServer::Impl::work()
{
    lowerPriority();
    std::unique_lock<std::mutex> lock(jobMutex);
    while (true) {
        jobReady.wait(lock, [this] { return gate->stopping() || !waiting.empty(); });
        if (gate->stopping()) return;
        Job* job = waiting.front();
        waiting.pop_front();
        lock.unlock();
        HttpResponse response = handled(*job->handler, job->request);
        lock.lock();
        job->response = std::move(response);
        job->done = true;
        inFlight--;
        gate->wakeUp();
    }
}

// Resume the connections whose responses are made; the next run of the library answers them.
void HttpServer::Impl::resumeFinished()
{
    if (!gate->takeWakeUps()) return;
    std::lock_guard<std::mutex> lock(jobMutex);
    for (auto& [key, job] : jobs)
        if (job->done && job->suspended) {
            job->suspended = false;
            api->resumeConnection(job->connection);
        }
}

// Stop the workers once their current response is made, and resume every connection still
// set aside, as the library must have them before it stops.
void HttpServer::Impl::stopWorkers()
{
    {
        std::lock_guard<std::mutex> lock(jobMutex); // so no worker misses the news
    }
    jobReady.notify_all();
    for (std::thread& worker : workers) worker.join();
    for (auto& [key, job] : jobs)
        if (job->suspended) api->resumeConnection(job->connection);
}

// The library's call when a request is done: the connection waits for the next one from now.
// A slow request's job goes with it when it was never answered (at stop).
void HttpServer::Impl::completed(void* self, MHD_Connection* connection, void** state,
                                 MHD_RequestTerminationCode /*why*/)
{
    auto* impl = static_cast<Impl*>(self);
    if (*state != nullptr && *state != &headersIn && *state != &answered) impl->jobs.erase(static_cast<const Job*>(*state));
    if (Client* client = impl->clientOf(connection); client != nullptr) {
        client->answering = false;
        client->since = Clock::now();
    }
}

// The library's call when it closes a connection: forget it.
void HttpServer::Impl::notified(void* self, MHD_Connection* connection, void** /*socketState*/,
                                MHD_ConnectionNotificationCode what)
{
    auto* impl = static_cast<Impl*>(self);
    const MHD_ConnectionInfo* info = impl->api->connectionInfo(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (what == MHD_CONNECTION_NOTIFY_CLOSED && info != nullptr) impl->clients.erase(info->connect_fd);
}

// What the server knows of a connection, or null.
HttpServer::Impl::Client* HttpServer::Impl::clientOf(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info = api->connectionInfo(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto found = info == nullptr ? clients.end() : clients.find(info->connect_fd);
    return found == clients.end() ? nullptr : &found->second;
}

// Serve until stopped: wait for a connection, the library's sockets or a deadline; accept,
// let the library read, answer and write, and close the connections too slow with a request.
void HttpServer::Impl::run()
{
    const MHD_DaemonInfo* info = api->daemonInfo(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    int events = info != nullptr ? info->epoll_fd : -1;
    auto take = [this](int fd, const sockaddr_storage& address, socklen_t size) { admit(fd, address, size); };
    while (!gate->stopping()) {
        int ms = msToNextDeadline();
        MHD_UNSIGNED_LONG_LONG libraryMs = 0;
        if (api->timeout(daemon, &libraryMs) == MHD_YES) ms = static_cast<int>(std::min(libraryMs, static_cast<MHD_UNSIGNED_LONG_LONG>(ms)));
        pollfd fds[3] = {{}, {}, {events, POLLIN, 0}};
        gate->watch(&fds[0], &fds[1]);
        if (poll(fds, 3, ms) < 0 && errno != EINTR) return;
        if ((fds[0].revents & POLLIN) != 0) resumeFinished();
        // Up to closingRoom at a time, so that the library closes those told to in between.
        if ((fds[1].revents & POLLIN) != 0) gate->acceptSome(closingRoom, take);
        api->run(daemon);
        expire();
    }
}

// Milliseconds until the connection that waits longest for its request runs out of time
// (at most a second), or accepting resumes.
int HttpServer::Impl::msToNextDeadline() const
{
    PollWait wait;
    wait.until(gate->resumes());
    for (const auto& [fd, client] : clients)
        if (!client.answering && !client.closing) wait.until(client.since + std::chrono::seconds(headSeconds));
    return wait.ms();
}

// Hand a new connection to the library, closing the one that has waited longest for its
// request (from the same address when that one's are at their limit) when there is no room.
void HttpServer::Impl::admit(int fd, const sockaddr_storage& address, socklen_t size)
{
    Peer peer = peerOf(address);
    std::vector<Occupant> open;
    for (const auto& [socket, client] : clients)
        if (!client.closing) open.push_back({socket, client.address, client.since, false, {}});
    Admission verdict = admission(open, peer.address, {maxConnections, maxPerAddress});
    if (verdict.evict >= 0) closeClient(verdict.evict);
    clients[fd] = Client{peer.address, Clock::now()};
    if (api->addConnection(daemon, fd, reinterpret_cast<const sockaddr*>(&address), size) != MHD_YES)
        clients.erase(fd); // the library closed it
}

// Have the library close a connection: it sees the end of both directions and lets go.
void HttpServer::Impl::closeClient(int fd)
{
    shutdown(fd, SHUT_RDWR);
    clients[fd].closing = true;
}

// Close the connections whose request did not come whole in time.
void HttpServer::Impl::expire()
{
    Clock::time_point late = Clock::now() - std::chrono::seconds(headSeconds);
    for (auto& [fd, client] : clients)
        if (!client.answering && !client.closing && client.since <= late) closeClient(fd);
}

HttpServer::HttpServer(std::unique_ptr<Impl> state) : impl(std::move(state)) {}

HttpServer::~HttpServer()
{
    // Closes every connection, then (with the gate) the listening socket; requests in
    // progress are abandoned.
    impl->gate->stop();
    impl->thread.join();
    impl->stopWorkers();
    impl->api->stopDaemon(impl->daemon);
}

std::unique_ptr<HttpServer> HttpServer::start(const std::string& listen, std::map<std::string, HttpHandler> routes,
                                              const std::string& what, std::string* problem,
                                              std::set<std::string> slow)
{
    const std::string failure = "cannot serve " + what + " on " + listen + ": ";
    HostPort where;
    if (std::string why = parseListenAddress(listen, &where); !why.empty()) {
        *problem = failure + why;
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->routes = std::move(routes);
    impl->slow = std::move(slow);
    std::string why;
    impl->api = loadMicrohttpd(&why);
    if (impl->api == nullptr) {
        *problem = failure + why;
        return nullptr;
    }
    impl->gate = Gate::open(where, failure, problem);
    if (impl->gate == nullptr) return nullptr;
    // The library gets no listening socket: the server's thread accepts, and runs the library.
    impl->daemon = impl->api->startDaemon(
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, &Impl::request, impl.get(),
        MHD_OPTION_CONNECTION_LIMIT, maxConnections + closingRoom, MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(requestBytes), MHD_OPTION_NOTIFY_COMPLETED,
        &Impl::completed, impl.get(), MHD_OPTION_NOTIFY_CONNECTION, &Impl::notified, impl.get(), MHD_OPTION_END);
    if (impl->daemon == nullptr) {
        *problem = failure + "the HTTP server library did not start";
        return nullptr; // the gate closes the sockets
    }
    Impl* state = impl.get();
    impl->thread = std::thread([state] { state->run(); });
    for (unsigned n = 0; n < slowAtOnce; n++) impl->workers.emplace_back([state] { state->work(); });
    auto server = std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
    server->boundPort = state->gate->port();
    return server;
}
