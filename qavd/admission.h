// admission: how the daemon's servers let clients in: the listening socket with its accept
// back-off and its wake-up, the peer's address, the limits on open connections with the
// choice of the one to close for a newcomer, and the time poll() may wait.
#ifndef QAVD_ADMISSION_H
#define QAVD_ADMISSION_H

#include "listen.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

/** The clock of every deadline of a connection. */
using AdmissionClock = std::chrono::steady_clock;

/** The other end of an accepted connection. */
struct Peer {
    std::string address; ///< Numeric, as inet_ntop() writes it ("127.0.0.1", "::1"); "?" for another family.
    int port = 0;        ///< Its port.

    /** @return "ADDR:PORT", as log lines show a client. */
    std::string text() const;
};

/** @return The peer that accept() wrote into @p address. */
Peer peerOf(const sockaddr_storage& address);

/**
 * A listening socket, non-blocking and close-on-exec, with an eventfd that wakes the one
 * thread serving it. When the system has no descriptor to give (EMFILE, ENFILE, ENOBUFS ...),
 * accepting rests for a while instead of spinning on a listener that stays readable.
 * Stopping is asked from any thread; everything else is for the serving thread.
 */
class Gate {
public:
    /**
     * Listen on @p where and make the wake-up.
     *
     * @param where   A listen address as parseListenAddress() gives it; port 0 takes a free one.
     * @param failure The start of the problem's text, such as "cannot serve NUT on 127.0.0.1:3493: ".
     * @param problem Receives @p failure and the reason when it cannot. Must not be null.
     * @return The gate, or null.
     */
    static std::unique_ptr<Gate> open(const HostPort& where, const std::string& failure, std::string* problem);
    /** Closes the listening socket and the wake-up. */
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    /** @return The port bound (the one chosen when 0 was asked for). */
    int port() const { return boundPort; }

    /**
     * The two entries poll() watches for the gate: the wake-up, then the listener (its
     * descriptor -1 while accepting rests, so that poll() passes it by).
     */
    void watch(pollfd* wakeEntry, pollfd* listenEntry) const;

    /** What takes an accepted socket (then its own), with its peer's address as accept() wrote it. */
    using Taker = std::function<void(int fd, const sockaddr_storage& address, socklen_t size)>;

    /**
     * Accept the connections waiting, at most @p most, handing each to @p take. When the
     * system refuses one for lack of room, accepting rests for acceptRest.
     *
     * @return "" once none waits (or @p most are taken), else the system's reason for refusing.
     */
    std::string acceptSome(std::size_t most, const Taker& take);

    /** @return When accepting resumes after a rest; time_point::max() while it does not rest, so a wait may end by it. */
    AdmissionClock::time_point resumes() const
    {
        return AdmissionClock::now() < restUntil ? restUntil : AdmissionClock::time_point::max();
    }

    /** Wake the serving thread from its poll(); safe from any thread. */
    void wakeUp() const;

    /** Take the wake-ups signalled since the last call. @return Whether there was any. */
    bool takeWakeUps() const;

    /** Ask the serving thread to stop, and wake it; safe from any thread. */
    void stop();

    /** @return Whether stop() was called. */
    bool stopping() const { return stopAsked; }

    /** How long accepting rests after the system refused a descriptor. */
    static constexpr std::chrono::milliseconds acceptRest{200};

private:
    Gate(int listenFd, int wakeFd, int port);

    int listener;
    int wake;
    int boundPort;
    AdmissionClock::time_point restUntil{};
    std::atomic<bool> stopAsked{false};
};

/** What the choice of a connection to close knows of one that is open. */
struct Occupant {
    int fd;                          ///< Its socket, which names it in the answer.
    std::string_view address;        ///< Its peer's address, as Peer has it.
    AdmissionClock::time_point since; ///< Since when it waits for its client; the longest waiting is the idlest.
    bool loggedIn = false;           ///< Logged in as @c user: closed only to trim a user beyond its share.
    std::string_view user;           ///< The user it logged in as.
};

/** How many connections may be open at once. */
struct AdmissionLimits {
    std::size_t total;      ///< In all.
    std::size_t perAddress; ///< From one address.
};

/** What to do with a new connection. */
struct Admission {
    bool admit = true;  ///< false: refuse it, every candidate to close being logged in within its share.
    int evict = -1;     ///< The socket of the connection to close for it first, or -1 for none.
    std::string limit;  ///< The limit reached: "64 connections" or "16 connections from 127.0.0.1"; "" for none.
    std::string why;    ///< Why that one: "this one idle longest", or the share its user holds beyond.
};

/**
 * Decide on a connection from @p address while @p open are open. Within the limits it is
 * let in. Beyond one (that of its address first), the connection in that scope (from that
 * address, or any) idle longest that has not logged in makes room; when all have logged in,
 * the idlest of the user who holds the most, if that is more than its share (the limit
 * divided among the users logged in and the newcomer, at least one); else it is refused.
 * Ties go to the first in @p open.
 */
Admission admission(const std::vector<Occupant>& open, std::string_view address, const AdmissionLimits& limits);

/** The time a server's poll() may wait: until the earliest deadline it is told of, at most a second. */
class PollWait {
public:
    /** Starts at a second from now. */
    PollWait();

    /** Wake up by @p deadline at the latest. */
    void until(AdmissionClock::time_point deadline);

    /** @return The milliseconds from now to the earliest deadline, rounded up; 0 when it passed. */
    int ms() const;

private:
    AdmissionClock::time_point next;
};

#endif
