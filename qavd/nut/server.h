// server: the NUT server's sockets, served by a thread of its own so the poll loop never waits.
#ifndef QAVD_NUT_SERVER_H
#define QAVD_NUT_SERVER_H

#include "admission.h"
#include "options.h"
#include "protocol.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

/** What the server allows each client, and how many. */
struct NutLimits {
    std::size_t connections = 64;              ///< Open connections at most.
    std::size_t line = 512;                    ///< Longest request, in bytes without its line end.
    std::chrono::milliseconds idle{60000};     ///< A connection that sends no whole line this long is closed.
    std::size_t perAddress = 16;               ///< Open connections from one address at most.
    std::chrono::milliseconds lineTime{10000}; ///< A line must be whole this long after its first byte.
};

/**
 * Serves the NUT protocol on one TCP address. A thread of its own accepts,
 * reads and writes with non-blocking sockets and poll(); a connection that
 * breaks a limit (a line too long or too slow, a byte outside printable ASCII,
 * no whole line for the idle time) is closed with a log line. A new
 * connection beyond a limit (in all, or from its address) takes the place of
 * the one idle longest that has not logged in (in all, or from that address);
 * when every one has logged in, of the one idle longest of the user who holds
 * the most, if that is more than its share (the limit divided among the users
 * logged in and the newcomer); only when no user holds more is it refused,
 * with a log line. So no number of clients, nor of one user's sessions, keeps
 * a new upsmon or upsc out. Every line read is answered; while a connection's
 * unsent replies pass 64 KiB it is not read from. Every descriptor is
 * close-on-exec.
 */
class NutServer {
public:
    /**
     * Bind @p where and start serving.
     *
     * @param where    A numeric IPv4 address and a port (0 takes a free one).
     * @param protocol The replies; the server's thread is the only one that uses it from now on.
     * @param limits   What each client is allowed.
     * @param log      Where refusals and closed connections are reported; called on the server's thread.
     * @param problem  Receives why the server cannot start. Must not be null.
     * @return The running server, or null.
     */
    static std::unique_ptr<NutServer> start(const HostPort& where, NutProtocol protocol, const NutLimits& limits,
                                            NutLog log, std::string* problem);
    /** Stops serving, as stop() does. */
    ~NutServer();
    NutServer(const NutServer&) = delete;
    NutServer& operator=(const NutServer&) = delete;

    /** @return The port bound (the one chosen when 0 was asked for). */
    int port() const { return gate->port(); }

    /** Serve @p data from the next request on; holds a lock only to swap a pointer. */
    void publish(std::shared_ptr<const NutData> data);

    /** End the thread at once and close every socket; later calls do nothing. */
    void stop();

private:
    struct Connection;
    NutServer(std::unique_ptr<Gate> entry, NutProtocol replies, const NutLimits& allowed, NutLog sink);
    void run();
    void watch(std::vector<pollfd>* fds);
    int msToNextDeadline() const;
    void acceptAll();
    void admit(int fd, const Peer& peer);
    void serve(Connection& connection, short revents);
    void receive(Connection& connection);
    void respond(Connection& connection);
    void respondLines(Connection& connection);
    void flush(Connection& connection);
    void drop(Connection& connection, const std::string& why);
    void expireSilent();
    std::shared_ptr<const NutData> snapshot();

    std::unique_ptr<Gate> gate;
    NutProtocol protocol;
    NutLimits limits;
    NutLog log;
    std::vector<std::unique_ptr<Connection>> connections;
    std::mutex mutex; // guards latest
    std::shared_ptr<const NutData> latest;
    std::thread thread;
};

/**
 * @p sink with at most @p burst messages per @p window, alerts aside; the first
 * message after a window that left some out says how many.
 *
 * @return A log for one thread.
 */
NutLog throttledLog(NutLog sink, int burst = 20, std::chrono::seconds window = std::chrono::seconds(60));

#endif
