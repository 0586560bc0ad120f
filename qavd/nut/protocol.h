// protocol: the NUT network protocol's replies for every UPS of the site, one request line at a time.
#ifndef QAVD_NUT_PROTOCOL_H
#define QAVD_NUT_PROTOCOL_H

#include "users.h"
#include "variables.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/** Where the NUT server reports what it refused or did: a syslog priority and a text. */
using NutLog = std::function<void(int priority, const std::string& message)>;

/** The clock password checks are timed by: the monotonic clock, unless a test sets another. */
using NutClock = std::function<std::chrono::steady_clock::time_point()>;

/** A password's SHA-256 digest. */
using NutDigest = std::array<std::uint8_t, 32>;

/**
 * The data of one UPS. Its variables are made from the answer by the first
 * request that reads them, on the server's thread: a poll pays nothing for
 * the variables of a UPS no client reads.
 */
class NutUpsData {
public:
    /** Stale data: before the first answer, and while stale. */
    NutUpsData() = default;
    /** Fresh data whose variables @p render makes, sorted by name, when they are first read. */
    explicit NutUpsData(std::function<std::vector<NutVariable>()> render) : make(std::move(render)) {}

    /** @return false before the first answer and while the data is stale. */
    bool fresh() const { return static_cast<bool>(make); }
    /** @return The latest answer's variables, sorted by name, made on the first call; none while stale. */
    const std::vector<NutVariable>& variables() const;

private:
    std::function<std::vector<NutVariable>()> make; // empty while stale
    mutable std::once_flag once;
    mutable std::vector<NutVariable> made;
};

/** The data replies are made from: each UPS's. */
struct NutData {
    /** One per UPS, in the order the protocol was given the names; a missing or null one is stale. */
    std::vector<std::shared_ptr<const NutUpsData>> ups;
};

/** What one connection has said about itself. */
struct NutSession {
    std::string address;      ///< The client's IP address, as LIST CLIENT shows it.
    std::string peer;         ///< "ADDR:PORT", for log lines.
    std::string username;     ///< From USERNAME.
    std::string password;     ///< From PASSWORD.
    bool hasUsername = false; ///< USERNAME was accepted.
    bool hasPassword = false; ///< PASSWORD was accepted.
    bool loggedIn = false;    ///< LOGIN was accepted; it counts in NUMLOGINS until the connection closes.
    std::size_t ups = 0;      ///< Which UPS LOGIN named (its place among the protocol's names); only while loggedIn.
};

/**
 * The replies of a NUT server that has one UPS per battery, shared by all its
 * connections. Every request that names a UPS answers ERR UNKNOWN-UPS for a
 * name it does not have. Reading needs no login; LOGIN needs a user with an
 * upsmon line, PRIMARY and FSD one with "upsmon primary". FSD is a latch of
 * the UPS it names: once set, that UPS's ups.status begins with "FSD" for the
 * life of this object, and the others' are unchanged.
 *
 * Passwords are kept and compared as SHA-256 digests, in constant time. An
 * address with 5 failed checks in a row (each within a minute of the last)
 * is slowed: its next check may come 1 s later, then 2, 4 ... up to 60 s;
 * a check that comes sooner is refused without checking. Other addresses
 * are not slowed. Checks for one user name, from all addresses together, are
 * at most 10 in any second (names no user has share one such allowance); more
 * are refused without checking, except from an address that gave that user's
 * right password before. A user is logged in at most 8 times to one UPS from
 * one address (so one upsmon may watch every UPS).
 */
class NutProtocol {
public:
    /**
     * @param upsNames Each UPS's name (its battery's), in the order LIST UPS shows them; not empty, none twice.
     * @param allowed Who may log in; with none, LOGIN, PRIMARY and FSD are refused.
     * @param sink    Where refused logins and FSD are reported.
     * @param clock   What password checks are timed by; empty for the monotonic clock.
     */
    NutProtocol(std::vector<std::string> upsNames, std::vector<NutUser> allowed, NutLog sink, NutClock clock = {});

    /**
     * The reply to one request.
     *
     * @param session The connection's state; USERNAME, PASSWORD and LOGIN change it.
     *                Stays where it is until closed() is called for it.
     * @param line    The request without its line end.
     * @param data    The latest data.
     * @param close   Set to true when the connection must close after the reply (LOGOUT). Must not be null.
     * @return Whole reply lines, each ending in a line feed; "" for an empty request.
     */
    std::string reply(NutSession& session, const std::string& line, const NutData& data, bool* close);

    /** Forget a connection that closed: its LOGIN no longer counts. */
    void closed(const NutSession& session);

    /** @return true once FSD was set on the UPS named @p upsName; false for a name it does not have. */
    bool forcedShutdown(const std::string& upsName) const;

    /**
     * Call @p tell, on the server's thread, with the UPS's name and who set FSD on it
     * ("NUT user U from PEER") when it is first set on that UPS.
     */
    void onForcedShutdown(std::function<void(const std::string& ups, const std::string& who)> tell)
    {
        fsdSet = std::move(tell);
    }

private:
    struct Request;
    enum class Handler;
    struct Command;
    static const Command commands[];
    static const Command getCommands[];
    static const Command listCommands[];
    std::string dispatch(const Command* table, Request& request, const char* unknown);
    std::string reply(Request& request);
    struct Guesser {
        int failures = 0;                                  // in a row, each within a window of the last
        std::chrono::seconds wait{0};                      // the current wait between checks
        std::chrono::steady_clock::time_point last{}, next{}; // the last failure; the next check allowed
        long unchecked = 0;                                // refused without checking since the last failure
    };
    struct UserChecks {
        std::deque<std::chrono::steady_clock::time_point> recent; // the latest checks, at most the allowance
        std::deque<std::string> known;                          // addresses that gave the right password
        long unchecked = 0;                                     // refused without checking since the last check
    };
    std::string authorize(const NutSession& session, bool primary, const char* command);
    UserChecks& checksFor(const std::string& username);
    bool mayCheck(UserChecks& checks, const NutSession& session, std::chrono::steady_clock::time_point now);
    static void trust(UserChecks& checks, const std::string& address);
    const NutUser* passwordOwner(const NutSession& session) const;
    std::string refuse(const NutSession& session, const char* command, const std::string& why);
    Guesser* guesserAt(const std::string& address, std::chrono::steady_clock::time_point now);
    static std::string failed(Guesser& guesser, std::chrono::steady_clock::time_point now);
    struct Ups {
        std::string name;
        std::string description;
        bool fsd = false;
    };
    std::string login(NutSession& session, std::size_t ups);
    std::size_t loginsTo(std::size_t ups) const;
    std::string grant(const NutSession& session, const char* word);
    std::string setFsd(const NutSession& session, std::size_t ups);
    static std::string varLine(const Ups& ups, const NutVariable& variable);
    static const NutUpsData& dataOf(const NutData& data, std::size_t ups);
    std::string getVar(std::size_t ups, const NutData& data, const std::string& name) const;
    std::string describe(std::size_t ups, const std::string& name, bool wantDescription) const;
    std::string listUps() const;
    std::string listVar(std::size_t ups, const NutData& data) const;
    std::string listClient(std::size_t ups) const;
    std::string listOfVar(const char* what, std::size_t ups, const std::string& name) const;

    std::vector<Ups> upses;                              // in the order LIST UPS shows them
    std::map<std::string, std::size_t, std::less<>> byName; // each UPS's place in upses
    std::vector<NutUser> users;            // passwords cleared: only digests are kept
    std::vector<NutDigest> digests;        // one per user
    std::map<std::string, Guesser> guessers; // failed checks by address
    std::vector<UserChecks> userChecks;      // one per user, and one for every name no user has
    NutClock timeNow;
    NutLog log;
    std::vector<const NutSession*> logins; // sessions that did LOGIN, in order
    std::function<void(const std::string&, const std::string&)> fsdSet; // told who set FSD on which UPS; may be empty
};

#endif
