// protocol: the NUT network protocol's replies for every UPS of the site, one request line at a time.
#include "protocol.h"
#include "qav_version.h"

#include <algorithm>
#include <cctype>
#include <nettle/memops.h>
#include <nettle/sha2.h>
#include <syslog.h>
#include <utility>

namespace {

// An error reply.
std::string error(const char* token)
{
    return std::string("ERR ") + token + "\n";
}

// A word in upper case: command words are matched without regard to case.
std::string upper(std::string word)
{
    std::transform(word.begin(), word.end(), word.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return word;
}

// A list: BEGIN LIST, the lines, END LIST, each naming the query.
std::string listReply(const std::string& query, const std::string& lines)
{
    return "BEGIN LIST " + query + "\n" + lines + "END LIST " + query + "\n";
}

// Failed password checks from one address within guessWindow after which its checks are slowed.
constexpr int guessesAllowed = 5;
constexpr std::chrono::seconds guessWindow{60};
// The longest wait between two checks from an address that keeps guessing.
constexpr std::chrono::seconds longestWait{60};
// Addresses whose failures are remembered at most; the quietest are forgotten first.
constexpr std::size_t guessersKept = 1024;
// Password checks for one user name in any second at most, from all addresses together.
constexpr std::size_t checksPerSecond = 10;
// Addresses remembered per user for giving its right password; the oldest are forgotten first.
constexpr std::size_t knownKept = 256;
// Sessions one user may have logged in from one address.
constexpr std::size_t sessionsPerAddress = 8;

// A password's SHA-256 digest: comparing digests takes the same time whatever the lengths.
NutDigest digestOf(const std::string& password)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, password.size(), reinterpret_cast<const std::uint8_t*>(password.data()));
    NutDigest digest{};
    sha256_digest(&context, digest.size(), digest.data());
    return digest;
}

// The information on a variable, or null when this server has no such variable.
const NutVariableInfo* infoOf(const std::string& name)
{
    const std::vector<NutVariableInfo>& all = nutVariableInfo();
    auto at = std::find_if(all.begin(), all.end(), [&](const NutVariableInfo& info) { return info.name == name; });
    return at == all.end() ? nullptr : &*at;
}

// USERNAME or PASSWORD: once per connection.
std::string remember(const std::string& value, std::string* field, bool* given, const char* what)
{
    if (*given) return std::string("ERR ALREADY-SET-") + what + "\n";
    *field = value;
    *given = true;
    return "OK\n";
}

} // namespace

// One request: its words after the command (or subcommand), and what it may change.
struct NutProtocol::Request {
    NutSession& session;
    std::vector<std::string> args;
    const NutData& data;
    bool close = false;
    const Command* command = nullptr;
    std::size_t ups = 0; // the UPS the first argument names, for a command that takes one
};

// What answers a command.
enum class NutProtocol::Handler {
    fixed, get, list, username, password, login, logout, primary, master, fsd, numLogins, upsDesc, var, type,
    desc, listUps, listVar, listClient, listEmpty, listOfVar
};

// A command or subcommand: its word, its argument count (-1 for any), whether the first
// argument names the UPS, what answers it, and the fixed reply of Handler::fixed.
struct NutProtocol::Command {
    const char* word;
    int args;
    bool ups;
    Handler handler;
    // cppcheck-suppress unusedStructMember ; reply() reads it through Request::command
    const char* text;
};

const NutProtocol::Command NutProtocol::commands[] = {
    {"GET", -1, false, Handler::get, nullptr},
    {"LIST", -1, false, Handler::list, nullptr},
    {"USERNAME", 1, false, Handler::username, nullptr},
    {"PASSWORD", 1, false, Handler::password, nullptr},
    {"LOGIN", 1, true, Handler::login, nullptr},
    {"LOGOUT", -1, false, Handler::logout, nullptr},
    {"PRIMARY", 1, true, Handler::primary, nullptr},
    {"MASTER", 1, true, Handler::master, nullptr},
    {"FSD", 1, true, Handler::fsd, nullptr},
    {"STARTTLS", -1, false, Handler::fixed, "ERR FEATURE-NOT-CONFIGURED\n"},
    {"SET", -1, false, Handler::fixed, "ERR READONLY\n"},
    {"INSTCMD", -1, false, Handler::fixed, "ERR CMD-NOT-SUPPORTED\n"},
    {"VER", -1, false, Handler::fixed, "qavd " QAV_VERSION ", speaking the NUT network protocol 1.3\n"},
    {"NETVER", -1, false, Handler::fixed, "1.3\n"},
    {"PROTVER", -1, false, Handler::fixed, "1.3\n"},
    {"HELP", -1, false, Handler::fixed,
     "Commands: FSD GET HELP INSTCMD LIST LOGIN LOGOUT MASTER NETVER PASSWORD PRIMARY PROTVER SET STARTTLS "
     "USERNAME VER\n"},
    {nullptr, 0, false, Handler::fixed, nullptr},
};

const NutProtocol::Command NutProtocol::getCommands[] = {
    {"VAR", 2, true, Handler::var, nullptr},
    {"NUMLOGINS", 1, true, Handler::numLogins, nullptr},
    {"UPSDESC", 1, true, Handler::upsDesc, nullptr},
    {"TYPE", 2, true, Handler::type, nullptr},
    {"DESC", 2, true, Handler::desc, nullptr},
    {"CMDDESC", 2, true, Handler::fixed, "ERR CMD-NOT-SUPPORTED\n"},
    {nullptr, 0, false, Handler::fixed, nullptr},
};

const NutProtocol::Command NutProtocol::listCommands[] = {
    {"VAR", 1, true, Handler::listVar, nullptr},
    {"UPS", 0, false, Handler::listUps, nullptr},
    {"CMD", 1, true, Handler::listEmpty, nullptr},
    {"RW", 1, true, Handler::listEmpty, nullptr},
    {"CLIENT", 1, true, Handler::listClient, nullptr},
    {"ENUM", 2, true, Handler::listOfVar, nullptr},
    {"RANGE", 2, true, Handler::listOfVar, nullptr},
    {nullptr, 0, false, Handler::fixed, nullptr},
};

const std::vector<NutVariable>& NutUpsData::variables() const
{
    std::call_once(once, [this] {
        if (make) made = make();
    });
    return made;
}

NutProtocol::NutProtocol(std::vector<std::string> upsNames, std::vector<NutUser> allowed, NutLog sink, NutClock clock)
    : users(std::move(allowed)), userChecks(users.size() + 1),
      timeNow(clock ? std::move(clock) : NutClock(std::chrono::steady_clock::now)), log(std::move(sink))
{
    for (std::string& name : upsNames) {
        byName.emplace(name, upses.size());
        upses.push_back({name, "QAV battery module " + name});
    }
    for (NutUser& user : users) {
        digests.push_back(digestOf(user.password));
        user.password.clear();
    }
}

std::string NutProtocol::reply(NutSession& session, const std::string& line, const NutData& data, bool* close)
{
    std::vector<std::string> words;
    if (!splitWords(line, &words)) return error("INVALID-ARGUMENT");
    if (words.empty()) return "";
    Request request{session, {words.begin(), words.end()}, data};
    std::string text = dispatch(commands, request, "UNKNOWN-COMMAND");
    *close = request.close;
    return text;
}

// Take the first argument as the command's word, check the rest and run the handler.
std::string NutProtocol::dispatch(const Command* table, Request& r, const char* unknown)
{
    if (r.args.empty()) return error("INVALID-ARGUMENT");
    std::string word = upper(r.args.front());
    r.args.erase(r.args.begin());
    const Command* command = table;
    while (command->word != nullptr && word != command->word) command++;
    if (command->word == nullptr) return error(unknown);
    if (command->args >= 0 && r.args.size() != static_cast<std::size_t>(command->args))
        return error("INVALID-ARGUMENT");
    if (command->ups) {
        auto named = byName.find(r.args.front());
        if (named == byName.end()) return error("UNKNOWN-UPS");
        r.ups = named->second;
    }
    r.command = command;
    return reply(r);
}

// Answer a checked request by its handler.
std::string NutProtocol::reply(Request& r)
{
    switch (r.command->handler) {
    case Handler::fixed: return r.command->text;
    case Handler::get: return dispatch(getCommands, r, "INVALID-ARGUMENT");
    case Handler::list: return dispatch(listCommands, r, "INVALID-ARGUMENT");
    case Handler::username: return remember(r.args[0], &r.session.username, &r.session.hasUsername, "USERNAME");
    case Handler::password: return remember(r.args[0], &r.session.password, &r.session.hasPassword, "PASSWORD");
    case Handler::login: return login(r.session, r.ups);
    case Handler::logout: r.close = true; return "OK Goodbye\n";
    case Handler::primary: return grant(r.session, "PRIMARY");
    case Handler::master: return grant(r.session, "MASTER");
    case Handler::fsd: return setFsd(r.session, r.ups);
    case Handler::numLogins: return "NUMLOGINS " + upses[r.ups].name + " " + std::to_string(loginsTo(r.ups)) + "\n";
    case Handler::upsDesc: return "UPSDESC " + upses[r.ups].name + " \"" + upses[r.ups].description + "\"\n";
    case Handler::var: return getVar(r.ups, r.data, r.args[1]);
    case Handler::type: return describe(r.ups, r.args[1], false);
    case Handler::desc: return describe(r.ups, r.args[1], true);
    case Handler::listUps: return listUps();
    case Handler::listVar: return listVar(r.ups, r.data);
    case Handler::listClient: return listClient(r.ups);
    case Handler::listEmpty: return listReply(std::string(r.command->word) + " " + upses[r.ups].name, "");
    case Handler::listOfVar: return listOfVar(r.command->word, r.ups, r.args[1]);
    }
    return error("UNKNOWN-COMMAND");
}

void NutProtocol::closed(const NutSession& session)
{
    logins.erase(std::remove(logins.begin(), logins.end(), &session), logins.end());
}

bool NutProtocol::forcedShutdown(const std::string& upsName) const
{
    auto named = byName.find(upsName);
    return named != byName.end() && upses[named->second].fsd;
}

// Empty when the session's user may run command (as primary when asked); else the error, logged.
// Passwords are checked slowly for an address that keeps guessing.
std::string NutProtocol::authorize(const NutSession& session, bool primary, const char* command)
{
    if (!users.empty() && !session.hasUsername) return error("USERNAME-REQUIRED");
    if (!users.empty() && !session.hasPassword) return error("PASSWORD-REQUIRED");
    if (users.empty()) return refuse(session, command, "qavd has no users (--nut-users)");
    auto now = timeNow();
    Guesser& guesser = *guesserAt(session.address, now);
    if (now < guesser.next) {
        guesser.unchecked++;
        return error("ACCESS-DENIED");
    }
    UserChecks& checks = checksFor(session.username);
    if (!mayCheck(checks, session, now)) return error("ACCESS-DENIED");
    const NutUser* user = passwordOwner(session);
    if (user != nullptr) trust(checks, session.address);
    if (user == nullptr) {
        bool known = std::any_of(users.begin(), users.end(), [&](const NutUser& u) { return u.name == session.username; });
        return refuse(session, command, (known ? "wrong password" : "no such user") + failed(guesser, now));
    }
    if (!user->upsmon) return refuse(session, command, "no upsmon line");
    if (primary && !user->primary) return refuse(session, command, "not upsmon primary");
    return "";
}

// The checks made for a user name: its user's, or those all unknown names share.
NutProtocol::UserChecks& NutProtocol::checksFor(const std::string& username)
{
    auto user = std::find_if(users.begin(), users.end(), [&](const NutUser& u) { return u.name == username; });
    return userChecks[static_cast<std::size_t>(user - users.begin())];
}

// Whether the session's password may be checked now: always from an address that gave the
// user's right password before, else while the user's checks of the last second are few.
// The first refusal of a run is logged; the next check made says how many there were.
bool NutProtocol::mayCheck(UserChecks& checks, const NutSession& session, std::chrono::steady_clock::time_point now)
{
    if (std::find(checks.known.begin(), checks.known.end(), session.address) != checks.known.end()) return true;
    while (!checks.recent.empty() && now - checks.recent.front() >= std::chrono::seconds(1)) checks.recent.pop_front();
    if (checks.recent.size() >= checksPerSecond) {
        if (checks.unchecked++ == 0)
            log(LOG_WARNING, "NUT client " + session.peer + ": password checks for user " + session.username +
                                 " held back: more than " + std::to_string(checksPerSecond) +
                                 " a second from all addresses; refusing them unchecked");
        return false;
    }
    if (checks.unchecked > 0)
        log(LOG_NOTICE, "NUT server: " + std::to_string(checks.unchecked) + " password checks for user " +
                            session.username + " were refused unchecked");
    checks.unchecked = 0;
    checks.recent.push_back(now);
    return true;
}

// Remember that address gave the user's right password, forgetting the oldest beyond the limit.
void NutProtocol::trust(UserChecks& checks, const std::string& address)
{
    if (std::find(checks.known.begin(), checks.known.end(), address) != checks.known.end()) return;
    if (checks.known.size() >= knownKept) checks.known.pop_front();
    checks.known.push_back(address);
}

// The user the session named when its password is right, else null. The digests are
// compared in constant time, and an unknown name costs as much: no digest is all zeros.
const NutUser* NutProtocol::passwordOwner(const NutSession& session) const
{
    auto user = std::find_if(users.begin(), users.end(), [&](const NutUser& u) { return u.name == session.username; });
    NutDigest expected = user == users.end() ? NutDigest{} : digests[static_cast<std::size_t>(user - users.begin())];
    bool right = memeql_sec(expected.data(), digestOf(session.password).data(), expected.size()) != 0;
    return right && user != users.end() ? &*user : nullptr;
}

// Log why the session's command is refused, and refuse it.
std::string NutProtocol::refuse(const NutSession& session, const char* command, const std::string& why)
{
    log(LOG_WARNING, "NUT client " + session.peer + ": " + command + " refused for user " + session.username + ": " + why);
    return error("ACCESS-DENIED");
}

// The failures remembered for an address, forgetting those quiet for a window, and the
// quietest address when too many are remembered.
NutProtocol::Guesser* NutProtocol::guesserAt(const std::string& address, std::chrono::steady_clock::time_point now)
{
    auto quiet = [&](const Guesser& g) { return now >= std::max(g.last, g.next) + guessWindow; };
    auto found = guessers.find(address);
    if (found != guessers.end() && quiet(found->second)) found->second = Guesser{};
    if (found != guessers.end()) return &found->second;
    if (guessers.size() >= guessersKept) {
        std::erase_if(guessers, [&](const auto& entry) { return quiet(entry.second); });
        auto quietest = std::min_element(guessers.begin(), guessers.end(), [](const auto& a, const auto& b) {
            return std::max(a.second.last, a.second.next) < std::max(b.second.last, b.second.next);
        });
        if (guessers.size() >= guessersKept) guessers.erase(quietest);
    }
    return &guessers[address];
}

// Count a failed check; past the allowance, the address's next check waits 1 s, then twice
// as long each time, up to a minute. What the log line adds: the wait and the checks refused.
std::string NutProtocol::failed(Guesser& g, std::chrono::steady_clock::time_point now)
{
    g.last = now;
    if (++g.failures < guessesAllowed) return "";
    g.wait = std::min<std::chrono::seconds>(g.failures == guessesAllowed ? std::chrono::seconds(1) : 2 * g.wait, longestWait);
    g.next = now + g.wait;
    std::string text = " (" + std::to_string(g.failures) + " failures in a row from this address; its next check waits " +
                       std::to_string(g.wait.count()) + " s";
    if (g.unchecked > 0) text += "; " + std::to_string(g.unchecked) + " refused unchecked meanwhile";
    g.unchecked = 0;
    return text + ")";
}

// LOGIN: count this connection among those the UPS feeds.
std::string NutProtocol::login(NutSession& session, std::size_t ups)
{
    if (session.loggedIn) return error("ALREADY-LOGGED-IN");
    if (std::string refused = authorize(session, false, "LOGIN"); !refused.empty()) return refused;
    auto same = std::count_if(logins.begin(), logins.end(), [&](const NutSession* s) {
        return s->username == session.username && s->address == session.address && s->ups == ups;
    });
    if (static_cast<std::size_t>(same) >= sessionsPerAddress)
        return refuse(session, "LOGIN", std::to_string(sessionsPerAddress) + " sessions from this address are logged in");
    session.loggedIn = true;
    session.ups = ups;
    logins.push_back(&session);
    return "OK\n";
}

// The connections logged in to a UPS, for NUMLOGINS.
std::size_t NutProtocol::loginsTo(std::size_t ups) const
{
    return static_cast<std::size_t>(
        std::count_if(logins.begin(), logins.end(), [ups](const NutSession* s) { return s->ups == ups; }));
}

// PRIMARY or MASTER (the old word): only grants what authorize() checks again for FSD.
std::string NutProtocol::grant(const NutSession& session, const char* word)
{
    std::string refused = authorize(session, true, word);
    return refused.empty() ? std::string("OK ") + word + "-GRANTED\n" : refused;
}

// FSD: set the UPS's latch, and say so in the log the first time.
std::string NutProtocol::setFsd(const NutSession& session, std::size_t ups)
{
    if (std::string refused = authorize(session, true, "FSD"); !refused.empty()) return refused;
    Ups& set = upses[ups];
    // At alert: hosts are about to shut down, and no flood of other lines may hide it.
    if (!set.fsd) {
        log(LOG_ALERT, "NUT client " + session.peer + ": user " + session.username + " set FSD on " + set.name);
        if (fsdSet) fsdSet(set.name, "NUT user " + session.username + " from " + session.peer);
    }
    set.fsd = true;
    return "OK FSD-SET\n";
}

// A variable's VAR line, with FSD in front of ups.status once set on that UPS.
std::string NutProtocol::varLine(const Ups& ups, const NutVariable& v)
{
    std::string prefix = ups.fsd && v.name == "ups.status" ? "FSD " : "";
    return "VAR " + ups.name + " " + v.name + " \"" + prefix + v.value + "\"\n";
}

// A UPS's data, stale when the server was handed none for it.
const NutUpsData& NutProtocol::dataOf(const NutData& data, std::size_t ups)
{
    static const NutUpsData stale;
    return ups < data.ups.size() && data.ups[ups] != nullptr ? *data.ups[ups] : stale;
}

// GET VAR: one value of the UPS's latest answer.
std::string NutProtocol::getVar(std::size_t ups, const NutData& data, const std::string& name) const
{
    const NutUpsData& own = dataOf(data, ups);
    if (!own.fresh()) return error("DATA-STALE");
    const std::vector<NutVariable>& variables = own.variables();
    auto at = std::lower_bound(variables.begin(), variables.end(), name,
                               [](const NutVariable& v, const std::string& n) { return v.name < n; });
    if (at == variables.end() || at->name != name) return error("VAR-NOT-SUPPORTED");
    return varLine(upses[ups], *at);
}

// GET TYPE (NUMBER or STRING, never RW) or GET DESC (the one-line description).
std::string NutProtocol::describe(std::size_t ups, const std::string& name, bool wantDescription) const
{
    const NutVariableInfo* info = infoOf(name);
    if (info == nullptr) return error("VAR-NOT-SUPPORTED");
    const std::string& upsName = upses[ups].name;
    if (wantDescription) return "DESC " + upsName + " " + name + " \"" + info->description + "\"\n";
    return "TYPE " + upsName + " " + name + (info->number ? " NUMBER\n" : " STRING:256\n");
}

// LIST UPS: each UPS with its description, in the site's order.
std::string NutProtocol::listUps() const
{
    std::string lines;
    for (const Ups& ups : upses) lines += "UPS " + ups.name + " \"" + ups.description + "\"\n";
    return listReply("UPS", lines);
}

// LIST VAR: every variable of the UPS's latest answer.
std::string NutProtocol::listVar(std::size_t ups, const NutData& data) const
{
    const NutUpsData& own = dataOf(data, ups);
    if (!own.fresh()) return error("DATA-STALE");
    std::string lines;
    for (const NutVariable& v : own.variables()) lines += varLine(upses[ups], v);
    return listReply("VAR " + upses[ups].name, lines);
}

// LIST CLIENT: the address of each connection logged in to the UPS.
std::string NutProtocol::listClient(std::size_t ups) const
{
    const std::string& name = upses[ups].name;
    std::string lines;
    for (const NutSession* session : logins)
        if (session->ups == ups) lines += "CLIENT " + name + " " + session->address + "\n";
    return listReply("CLIENT " + name, lines);
}

// LIST ENUM and LIST RANGE: empty for a variable this server has, since none is writable.
std::string NutProtocol::listOfVar(const char* what, std::size_t ups, const std::string& name) const
{
    if (infoOf(name) == nullptr) return error("VAR-NOT-SUPPORTED");
    return listReply(std::string(what) + " " + upses[ups].name + " " + name, "");
}
