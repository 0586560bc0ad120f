// protocol: the NUT network protocol's replies for one UPS, one request line at a time.
#ifndef QAVD_NUT_PROTOCOL_H
#define QAVD_NUT_PROTOCOL_H

#include "users.h"
#include "variables.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

/** Where the NUT server reports what it refused or did: a syslog priority and a text. */
using NutLog = std::function<void(int priority, const std::string& message)>;

/** The data replies are made from. */
struct NutData {
    bool fresh = false;                 ///< false before the first answer and while the data is stale.
    std::vector<NutVariable> variables; ///< The latest answer's, sorted by name; used only while fresh.
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
};

/**
 * The replies of a NUT server that has one UPS, shared by all its connections.
 * Reading needs no login; LOGIN needs a user with an upsmon line, PRIMARY and
 * FSD one with "upsmon primary". FSD is a latch: once set, ups.status begins
 * with "FSD" for the life of this object.
 */
class NutProtocol {
public:
    /**
     * @param upsName The UPS's name (the battery's name).
     * @param users   Who may log in; with none, LOGIN, PRIMARY and FSD are refused.
     * @param log     Where refused logins and FSD are reported.
     */
    NutProtocol(std::string upsName, std::vector<NutUser> users, NutLog log);

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

    /** @return true once FSD was set. */
    bool forcedShutdown() const { return fsd; }

private:
    struct Request;
    struct Command;
    static const Command commands[];
    static const Command getCommands[];
    static const Command listCommands[];
    std::string dispatch(const Command* table, Request& request, const char* unknown);
    std::string authorize(const NutSession& session, bool primary, const char* command);
    std::string setUsername(Request& request);
    std::string setPassword(Request& request);
    std::string login(Request& request);
    std::string logout(Request& request);
    std::string grantPrimary(Request& request);
    std::string grantMaster(Request& request);
    std::string setFsd(Request& request);
    std::string get(Request& request);
    std::string list(Request& request);
    std::string getNumLogins(Request& request);
    std::string getUpsDesc(Request& request);
    std::string getVar(Request& request);
    std::string getType(Request& request);
    std::string getDesc(Request& request);
    std::string listUps(Request& request);
    std::string listVar(Request& request);
    std::string listClient(Request& request);
    std::string listEmpty(Request& request);
    std::string listOfVar(Request& request);
    std::string fixedReply(Request& request);
    std::string varLine(const NutVariable& variable) const;

    std::string ups;
    std::string description;
    std::vector<NutUser> users;
    NutLog log;
    std::vector<const NutSession*> logins; // sessions that did LOGIN, in order
    bool fsd = false;
};

#endif
