// server: the NUT server's sockets, served by a thread of its own so the poll loop never waits.
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Replies waiting to be sent beyond which a connection's requests wait.
constexpr std::size_t maxPending = std::size_t{64} * 1024;

// A duration in seconds for log lines: "0.4", "60".
std::string seconds(std::chrono::milliseconds duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(duration.count()) / 1000);
    return text;
}

// Whether every byte is printable ASCII, a tab or a line end.
bool printable(const char* bytes, std::size_t size)
{
    return std::all_of(bytes, bytes + size, [](char c) {
        return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\r' || c == '\n';
    });
}

} // namespace

// One client: what it said, what it has not yet sent a line end for, and what waits to go out.
struct NutServer::Connection {
    int fd;
    NutSession session;
    std::string in;
    std::string out;
    Clock::time_point heard;                    // its last whole line, or its connecting
    std::optional<Clock::time_point> lineBegan; // the first byte of the line not yet whole
    bool closing = false; // after LOGOUT: close once out is sent
    bool closed = false;  // to be removed from the list
};

std::unique_ptr<NutServer> NutServer::start(const HostPort& where, NutProtocol protocol, const NutLimits& limits,
                                            NutLog log, std::string* problem)
{
    std::unique_ptr<Gate> gate = Gate::open(where, "cannot serve NUT on " + listenText(where) + ": ", problem);
    if (gate == nullptr) return nullptr;
    std::unique_ptr<NutServer> server(new NutServer(std::move(gate), std::move(protocol), limits, std::move(log)));
    server->thread = std::thread([s = server.get()] { s->run(); });
    return server;
}

NutServer::NutServer(std::unique_ptr<Gate> entry, NutProtocol replies, const NutLimits& allowed, NutLog sink)
    : gate(std::move(entry)), protocol(std::move(replies)), limits(allowed),
      log(std::move(sink)), latest(std::make_shared<NutData>())
{
}

NutServer::~NutServer()
{
    stop();
}

void NutServer::stop()
{
    if (!thread.joinable()) return;
    gate->stop();
    thread.join();
    for (auto& connection : connections) close(connection->fd);
    connections.clear();
}

void NutServer::publish(std::shared_ptr<const NutData> data)
{
    std::lock_guard<std::mutex> lock(mutex);
    latest = std::move(data);
}

// The data to answer from, taken under the lock.
std::shared_ptr<const NutData> NutServer::snapshot()
{
    std::lock_guard<std::mutex> lock(mutex);
    return latest;
}

// Serve until stop(): wait for the sockets, then accept, read, answer, write and expire.
void NutServer::run()
{
    std::vector<pollfd> fds;
    while (!gate->stopping()) {
        watch(&fds);
        if (poll(fds.data(), fds.size(), msToNextDeadline()) < 0 && errno != EINTR) {
            log(LOG_ERR, std::string("NUT server: poll: ") + std::strerror(errno));
            return;
        }
        for (std::size_t i = 2; i < fds.size(); i++)
            if (fds[i].revents != 0) serve(*connections[i - 2], fds[i].revents);
        if ((fds[1].revents & POLLIN) != 0) acceptAll();
        expireSilent();
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const std::unique_ptr<Connection>& c) { return c->closed; }),
                          connections.end());
    }
}

// What to wait for: the wake-up, the listener (unless resting after the system refused a
// descriptor), and every connection.
void NutServer::watch(std::vector<pollfd>* fds)
{
    fds->resize(2);
    gate->watch(fds->data(), fds->data() + 1);
    for (const auto& c : connections) {
        int events = (c->out.size() < maxPending && !c->closing ? POLLIN : 0) | (c->out.empty() ? 0 : POLLOUT);
        fds->push_back({c->fd, static_cast<short>(events), 0});
    }
}

// Milliseconds until the next connection falls silent too long or is too slow with a line,
// or accepting resumes.
int NutServer::msToNextDeadline() const
{
    PollWait wait;
    wait.until(gate->resumes());
    for (const auto& c : connections) {
        wait.until(c->heard + limits.idle);
        if (c->lineBegan) wait.until(*c->lineBegan + limits.lineTime);
    }
    return wait.ms();
}

// Accept every waiting connection; when the system has no descriptor to give, say so (the gate rests).
void NutServer::acceptAll()
{
    auto take = [this](int fd, const sockaddr_storage& address, socklen_t /*size*/) { admit(fd, peerOf(address)); };
    std::string refused = gate->acceptSome(std::numeric_limits<std::size_t>::max(), take);
    if (!refused.empty()) log(LOG_WARNING, "NUT server cannot accept a connection: " + refused);
}

// Add a new connection; beyond a limit it takes the place of the connection idle longest
// that has not logged in, else of one of a user holding more than its share, and is
// refused when there is neither.
void NutServer::admit(int fd, const Peer& peer)
{
    std::vector<Occupant> open;
    for (const auto& c : connections)
        if (!c->closed) open.push_back({c->fd, c->session.address, c->heard, c->session.loggedIn, c->session.username});
    Admission verdict = admission(open, peer.address, {limits.connections, limits.perAddress});
    if (!verdict.admit) {
        log(LOG_WARNING, "NUT client " + peer.text() + " refused: " + verdict.limit + " are open and logged in");
        close(fd);
        return;
    }
    // A closed connection's descriptor may be another's by now: only the open ones count.
    auto victim = std::find_if(connections.begin(), connections.end(),
                               [&](const auto& c) { return !c->closed && c->fd == verdict.evict; });
    if (victim != connections.end())
        drop(**victim, "closed for " + peer.text() + " (" + verdict.limit + " are open; " + verdict.why + ")");
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->session.address = peer.address;
    connection->session.peer = peer.text();
    connection->heard = Clock::now();
    connections.push_back(std::move(connection));
}

// Act on what poll() reported for a connection.
void NutServer::serve(Connection& c, short revents)
{
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        drop(c, "");
        return;
    }
    if ((revents & POLLIN) != 0) receive(c);
    if (!c.closed) respond(c);
}

// Read what the client sent; close on its end, on an error, or on a byte that is not text.
void NutServer::receive(Connection& c)
{
    char chunk[4096];
    ssize_t n = recv(c.fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        drop(c, n < 0 ? std::string("read failed: ") + std::strerror(errno) : "");
        return;
    }
    if (!printable(chunk, static_cast<std::size_t>(n))) {
        drop(c, "sent a byte outside printable ASCII");
        return;
    }
    c.in.append(chunk, static_cast<std::size_t>(n));
    if (!c.lineBegan) c.lineBegan = Clock::now();
}

// Answer the whole lines received and send the replies, as long as the socket takes them:
// a connection whose replies wait beyond a limit is read from and answered again once they
// are sent, so every whole line is answered and memory stays bounded.
void NutServer::respond(Connection& c)
{
    do {
        respondLines(c);
        if (!c.closed) flush(c);
    } while (!c.closed && !c.closing && c.out.size() < maxPending && c.in.find('\n') != std::string::npos);
}

// Answer the whole lines received while few replies wait.
void NutServer::respondLines(Connection& c)
{
    while (!c.closing && c.out.size() < maxPending) {
        std::size_t end = c.in.find('\n');
        std::size_t length = end == std::string::npos ? c.in.size() : end;
        if (length > 0 && c.in[length - 1] == '\r') length--;
        if (length > limits.line) {
            drop(c, "sent a line longer than " + std::to_string(limits.line) + " bytes");
            return;
        }
        if (end == std::string::npos) break;
        std::string line = c.in.substr(0, length);
        c.in.erase(0, end + 1);
        // What is left began with the read that finished this line.
        c.heard = Clock::now();
        c.lineBegan = c.in.empty() ? std::nullopt : std::optional(c.heard);
        bool close = false;
        c.out += protocol.reply(c.session, line, *snapshot(), &close);
        c.closing = close;
    }
}

// Send what waits, as far as the socket takes it; close after LOGOUT once all is sent.
void NutServer::flush(Connection& c)
{
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0) {
            drop(c, "");
            return;
        }
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    if (c.closing) drop(c, "");
}

// Close a connection, saying why in the log unless it ended the usual way.
void NutServer::drop(Connection& c, const std::string& why)
{
    if (c.closed) return;
    if (!why.empty()) log(LOG_WARNING, "NUT client " + c.session.peer + " " + why + (why.rfind("closed", 0) == 0 ? "" : ": closed"));
    protocol.closed(c.session);
    close(c.fd);
    c.closed = true;
}

// Close the connections that sent no whole line for too long, or took too long over one.
void NutServer::expireSilent()
{
    Clock::time_point now = Clock::now();
    for (const auto& c : connections) {
        if (c->closed) continue;
        if (now - c->heard >= limits.idle) drop(*c, "sent no whole line for " + seconds(limits.idle) + " s");
        else if (c->lineBegan && c->in.find('\n') == std::string::npos && now - *c->lineBegan >= limits.lineTime)
            drop(*c, "sent no line end within " + seconds(limits.lineTime) + " s of a line's first byte");
    }
}

NutLog throttledLog(NutLog sink, int burst, std::chrono::seconds window)
{
    struct State {
        Clock::time_point start{};
        int sent = 0;
        long left = 0;
    };
    auto state = std::make_shared<State>();
    return [sink = std::move(sink), burst, window, state](int priority, const std::string& message) {
        Clock::time_point now = Clock::now();
        if (now - state->start >= window) {
            if (state->left > 0)
                sink(LOG_NOTICE, "NUT server: " + std::to_string(state->left) + " log lines left out");
            *state = State{now, 0, 0};
        }
        // Alerts (FSD, set once) always go through.
        if (priority <= LOG_ALERT || state->sent++ < burst) sink(priority, message);
        else state->left++;
    };
}
