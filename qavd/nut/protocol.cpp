// protocol: the NUT network protocol's replies for one UPS, one request line at a time.
#include "protocol.h"

#include <algorithm>
#include <cctype>
#include <syslog.h>
#include <utility>

#ifndef QAVD_VERSION
#define QAVD_VERSION "unknown"
#endif

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

// Whether a password matches, in a time that does not depend on where they differ.
bool samePassword(const std::string& expected, const std::string& given)
{
    if (expected.size() != given.size()) return false;
    unsigned difference = 0;
    for (std::size_t i = 0; i < given.size(); i++)
        difference |= static_cast<unsigned char>(expected[i]) ^ static_cast<unsigned char>(given[i]);
    return difference == 0;
}

// The information on a variable, or null when this server has no such variable.
const NutVariableInfo* infoOf(const std::string& name)
{
    const std::vector<NutVariableInfo>& all = nutVariableInfo();
    auto at = std::find_if(all.begin(), all.end(), [&](const NutVariableInfo& info) { return info.name == name; });
    return at == all.end() ? nullptr : &*at;
}

} // namespace

// One request: its words after the command (or subcommand), and what it may change.
struct NutProtocol::Request {
    NutSession& session;
    std::vector<std::string> args;
    const NutData& data;
    bool* close;
    const Command* command = nullptr;
};

// A command or subcommand: its word, its argument count (-1 for any), whether the first
// argument names the UPS, its handler, and the handler's fixed reply if it has one.
struct NutProtocol::Command {
    const char* word;
    int args;
    bool ups;
    std::string (NutProtocol::*handler)(Request&);
    const char* text;
};

const NutProtocol::Command NutProtocol::commands[] = {
    {"GET", -1, false, &NutProtocol::get, nullptr},
    {"LIST", -1, false, &NutProtocol::list, nullptr},
    {"USERNAME", 1, false, &NutProtocol::setUsername, nullptr},
    {"PASSWORD", 1, false, &NutProtocol::setPassword, nullptr},
    {"LOGIN", 1, true, &NutProtocol::login, nullptr},
    {"LOGOUT", -1, false, &NutProtocol::logout, nullptr},
    {"PRIMARY", 1, true, &NutProtocol::grantPrimary, nullptr},
    {"MASTER", 1, true, &NutProtocol::grantMaster, nullptr},
    {"FSD", 1, true, &NutProtocol::setFsd, nullptr},
    {"STARTTLS", -1, false, &NutProtocol::fixedReply, "ERR FEATURE-NOT-CONFIGURED\n"},
    {"SET", -1, false, &NutProtocol::fixedReply, "ERR READONLY\n"},
    {"INSTCMD", -1, false, &NutProtocol::fixedReply, "ERR CMD-NOT-SUPPORTED\n"},
    {"VER", -1, false, &NutProtocol::fixedReply, "qavd " QAVD_VERSION ", speaking the NUT network protocol 1.3\n"},
    {"NETVER", -1, false, &NutProtocol::fixedReply, "1.3\n"},
    {"PROTVER", -1, false, &NutProtocol::fixedReply, "1.3\n"},
    {"HELP", -1, false, &NutProtocol::fixedReply,
     "Commands: FSD GET HELP INSTCMD LIST LOGIN LOGOUT MASTER NETVER PASSWORD PRIMARY PROTVER SET STARTTLS "
     "USERNAME VER\n"},
    {nullptr, 0, false, nullptr, nullptr},
};

const NutProtocol::Command NutProtocol::getCommands[] = {
    {"VAR", 2, true, &NutProtocol::getVar, nullptr},
    {"NUMLOGINS", 1, true, &NutProtocol::getNumLogins, nullptr},
    {"UPSDESC", 1, true, &NutProtocol::getUpsDesc, nullptr},
    {"TYPE", 2, true, &NutProtocol::getType, nullptr},
    {"DESC", 2, true, &NutProtocol::getDesc, nullptr},
    {"CMDDESC", 2, true, &NutProtocol::fixedReply, "ERR CMD-NOT-SUPPORTED\n"},
    {nullptr, 0, false, nullptr, nullptr},
};

const NutProtocol::Command NutProtocol::listCommands[] = {
    {"VAR", 1, true, &NutProtocol::listVar, nullptr},
    {"UPS", 0, false, &NutProtocol::listUps, nullptr},
    {"CMD", 1, true, &NutProtocol::listEmpty, nullptr},
    {"RW", 1, true, &NutProtocol::listEmpty, nullptr},
    {"CLIENT", 1, true, &NutProtocol::listClient, nullptr},
    {"ENUM", 2, true, &NutProtocol::listOfVar, nullptr},
    {"RANGE", 2, true, &NutProtocol::listOfVar, nullptr},
    {nullptr, 0, false, nullptr, nullptr},
};

NutProtocol::NutProtocol(std::string upsName, std::vector<NutUser> allowed, NutLog sink)
    : ups(std::move(upsName)), description("QAV battery module " + ups), users(std::move(allowed)),
      log(std::move(sink))
{
}

std::string NutProtocol::reply(NutSession& session, const std::string& line, const NutData& data, bool* close)
{
    std::vector<std::string> words;
    if (!splitWords(line, &words)) return error("INVALID-ARGUMENT");
    if (words.empty()) return "";
    Request request{session, {words.begin(), words.end()}, data, close};
    return dispatch(commands, request, "UNKNOWN-COMMAND");
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
    if (command->ups && r.args.front() != ups) return error("UNKNOWN-UPS");
    r.command = command;
    return (this->*command->handler)(r);
}

void NutProtocol::closed(const NutSession& session)
{
    logins.erase(std::remove(logins.begin(), logins.end(), &session), logins.end());
}

// Empty when the session's user may run command (as primary when asked); else the error, logged.
std::string NutProtocol::authorize(const NutSession& session, bool primary, const char* command)
{
    if (!users.empty() && !session.hasUsername) return error("USERNAME-REQUIRED");
    if (!users.empty() && !session.hasPassword) return error("PASSWORD-REQUIRED");
    auto user = std::find_if(users.begin(), users.end(), [&](const NutUser& u) { return u.name == session.username; });
    const char* why = users.empty()                                  ? "qavd has no users (--nut-users)"
                      : user == users.end()                            ? "no such user"
                      : !samePassword(user->password, session.password) ? "wrong password"
                      : !user->upsmon                                 ? "no upsmon line"
                      : primary && !user->primary                     ? "not upsmon primary"
                                                                      : nullptr;
    if (why == nullptr) return "";
    log(LOG_WARNING, "NUT client " + session.peer + ": " + command + " refused for user " + session.username +
                         ": " + why);
    return error("ACCESS-DENIED");
}

// USERNAME: once per connection.
std::string NutProtocol::setUsername(Request& r)
{
    if (r.session.hasUsername) return error("ALREADY-SET-USERNAME");
    r.session.username = r.args[0];
    r.session.hasUsername = true;
    return "OK\n";
}

// PASSWORD: once per connection.
std::string NutProtocol::setPassword(Request& r)
{
    if (r.session.hasPassword) return error("ALREADY-SET-PASSWORD");
    r.session.password = r.args[0];
    r.session.hasPassword = true;
    return "OK\n";
}

// LOGIN: count this connection among those the UPS feeds.
std::string NutProtocol::login(Request& r)
{
    if (r.session.loggedIn) return error("ALREADY-LOGGED-IN");
    if (std::string refused = authorize(r.session, false, "LOGIN"); !refused.empty()) return refused;
    r.session.loggedIn = true;
    logins.push_back(&r.session);
    return "OK\n";
}

// LOGOUT: say goodbye, then close.
std::string NutProtocol::logout(Request& r)
{
    *r.close = true;
    return "OK Goodbye\n";
}

// PRIMARY: only grants what authorize() checks again for FSD.
std::string NutProtocol::grantPrimary(Request& r)
{
    std::string refused = authorize(r.session, true, "PRIMARY");
    return refused.empty() ? "OK PRIMARY-GRANTED\n" : refused;
}

// MASTER: the old word for PRIMARY.
std::string NutProtocol::grantMaster(Request& r)
{
    std::string refused = authorize(r.session, true, "MASTER");
    return refused.empty() ? "OK MASTER-GRANTED\n" : refused;
}

// FSD: set the latch, and say so in the log the first time.
std::string NutProtocol::setFsd(Request& r)
{
    if (std::string refused = authorize(r.session, true, "FSD"); !refused.empty()) return refused;
    if (!fsd) log(LOG_WARNING, "NUT client " + r.session.peer + ": user " + r.session.username + " set FSD on " + ups);
    fsd = true;
    return "OK FSD-SET\n";
}

// GET: dispatched on its subcommand.
std::string NutProtocol::get(Request& r)
{
    return dispatch(getCommands, r, "INVALID-ARGUMENT");
}

// LIST: dispatched on its subcommand.
std::string NutProtocol::list(Request& r)
{
    return dispatch(listCommands, r, "INVALID-ARGUMENT");
}

// GET NUMLOGINS: the connections logged in now.
std::string NutProtocol::getNumLogins(Request&)
{
    return "NUMLOGINS " + ups + " " + std::to_string(logins.size()) + "\n";
}

// GET UPSDESC: "QAV battery module <name>".
std::string NutProtocol::getUpsDesc(Request&)
{
    return "UPSDESC " + ups + " \"" + description + "\"\n";
}

// A variable's VAR line, with FSD in front of ups.status once set.
std::string NutProtocol::varLine(const NutVariable& v) const
{
    std::string prefix = fsd && v.name == "ups.status" ? "FSD " : "";
    return "VAR " + ups + " " + v.name + " \"" + prefix + v.value + "\"\n";
}

// GET VAR: one value of the latest answer.
std::string NutProtocol::getVar(Request& r)
{
    if (!r.data.fresh) return error("DATA-STALE");
    const std::string& name = r.args[1];
    auto at = std::lower_bound(r.data.variables.begin(), r.data.variables.end(), name,
                               [](const NutVariable& v, const std::string& n) { return v.name < n; });
    if (at == r.data.variables.end() || at->name != name) return error("VAR-NOT-SUPPORTED");
    return varLine(*at);
}

// GET TYPE: NUMBER or STRING, never RW.
std::string NutProtocol::getType(Request& r)
{
    const NutVariableInfo* info = infoOf(r.args[1]);
    if (info == nullptr) return error("VAR-NOT-SUPPORTED");
    return "TYPE " + ups + " " + info->name + (info->number ? " NUMBER\n" : " STRING:256\n");
}

// GET DESC: the variable's one-line description.
std::string NutProtocol::getDesc(Request& r)
{
    const NutVariableInfo* info = infoOf(r.args[1]);
    if (info == nullptr) return error("VAR-NOT-SUPPORTED");
    return "DESC " + ups + " " + info->name + " \"" + info->description + "\"\n";
}

// LIST UPS: the one UPS.
std::string NutProtocol::listUps(Request&)
{
    return listReply("UPS", "UPS " + ups + " \"" + description + "\"\n");
}

// LIST VAR: every variable of the latest answer.
std::string NutProtocol::listVar(Request& r)
{
    if (!r.data.fresh) return error("DATA-STALE");
    std::string lines;
    for (const NutVariable& v : r.data.variables) lines += varLine(v);
    return listReply("VAR " + ups, lines);
}

// LIST CLIENT: the address of each connection logged in.
std::string NutProtocol::listClient(Request&)
{
    std::string lines;
    for (const NutSession* session : logins) lines += "CLIENT " + ups + " " + session->address + "\n";
    return listReply("CLIENT " + ups, lines);
}

// LIST CMD and LIST RW: there are no commands and no writable variables.
std::string NutProtocol::listEmpty(Request& r)
{
    return listReply(std::string(r.command->word) + " " + ups, "");
}

// LIST ENUM and LIST RANGE: empty for a variable this server has, since none is writable.
std::string NutProtocol::listOfVar(Request& r)
{
    if (infoOf(r.args[1]) == nullptr) return error("VAR-NOT-SUPPORTED");
    return listReply(std::string(r.command->word) + " " + ups + " " + r.args[1], "");
}

// The commands whose reply never changes.
std::string NutProtocol::fixedReply(Request& r)
{
    return r.command->text;
}
