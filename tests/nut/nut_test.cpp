// Tests of the NUT exporter in process: status words, the users file, the protocol and the limits.
#include "nut.h"
#include "must_run.h"
#include "nut_client.h"
#include "process.h"
#include "sample_answers.h"
#include "state_feed.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <syslog.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

BatteryStatus decoded(const std::string& answer)
{
    BatteryStatus status{};
    decodeStatus(answer.data(), answer.size(), &status);
    return status;
}

// The value of one variable, or "(none)".
std::string valueOf(const std::vector<NutVariable>& variables, const std::string& name)
{
    for (const NutVariable& v : variables)
        if (v.name == name) return v.value;
    return "(none)";
}

// A scratch file that is removed again.
struct TempFile {
    explicit TempFile(const std::string& content)
    {
        char name[] = "/tmp/nut_test_XXXXXX";
        close(mkstemp(name));
        path = name;
        std::ofstream(path, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

} // namespace

TEST(NutVariables, StatusChargerAndAlarmFollowTheRegistersAndTheLowMark)
{
    struct Case {
        int status, gauge, tempAlert;
        double low;
        const char *ups, *charger, *alarm;
    };
    const Case cases[] = {
        {0x8400, 5000, 0, 20, "OL CHRG", "charging", "(none)"},
        {0x8200, 5000, 0, 20, "OB DISCHRG", "discharging", "(none)"},
        {0x8600, 5000, 0, 20, "OB DISCHRG", "discharging", "(none)"},
        {0x8008, 2000, 0, 20, "OL LB", "resting", "(none)"},
        {0x8200, 2001, 0, 20, "OB DISCHRG", "discharging", "(none)"},
        {0x8200, 1250, 0, 12.5, "OB DISCHRG LB", "discharging", "(none)"},
        {0x8200, 1251, 0, 12.5, "OB DISCHRG", "discharging", "(none)"},
        {0x8280, 9000, 0, 20, "ALARM OB DISCHRG LB", "discharging", "undervoltage"},
        {0x8050, 9000, 0x0100, 20, "ALARM OL OVER", "resting", "main_fuse overcurrent temp_alert"},
        {0x0400, 9000, 0, 20, "OL CHRG OFF", "charging", "(none)"},
        {0x7FF0, 0, 1, 0, "ALARM OB DISCHRG LB OVER OFF", "discharging",
         "main_fuse safe_operating_area overcurrent undervoltage overvoltage discharge_transient "
         "battery_cold_limit heatsink_hot_limit battery_hot_limit temp_alert"},
    };
    for (const Case& c : cases) {
        BatteryStatus status{};
        status.statusRegister = c.status;
        status.gasGauge = c.gauge;
        status.tempAlertRegister = c.tempAlert;
        std::vector<NutVariable> variables = nutVariables(status, "b1", c.low);
        EXPECT_EQ(valueOf(variables, "ups.status"), c.ups) << std::hex << c.status;
        EXPECT_EQ(valueOf(variables, "battery.charger.status"), c.charger) << std::hex << c.status;
        EXPECT_EQ(valueOf(variables, "ups.alarm"), c.alarm) << std::hex << c.status;
    }
    // A positive current and a mark with a fraction.
    std::vector<NutVariable> b = nutVariables(decoded(answerB), "b2", 12.5);
    EXPECT_EQ(valueOf(b, "battery.current") + " " + valueOf(b, "battery.charge.low"), "12.50 12.5");
}

TEST(NutUsers, ReadsUpsdUsersAndRefusesAnythingElseNamingTheLine)
{
    TempFile good("# users of qavd\n[monprimary]\n\tpassword = \"two words # and \\\"quotes\\\"\"\n"
                  "\tupsmon master   # the old word\r\n\tactions = SET FSD\n\n[monsecondary]\npassword=s3cr=t\n"
                  "UPSMON slave\ninstcmds = ALL\n[reader]\npassword = r\n");
    std::vector<NutUser> users;
    std::vector<std::string> warnings;
    ASSERT_EQ(readNutUsers(good.path, &users, &warnings), "");
    ASSERT_EQ(users.size(), 3U);
    EXPECT_EQ(users[0].name + "|" + users[0].password, "monprimary|two words # and \"quotes\"");
    EXPECT_EQ(users[1].name + "|" + users[1].password, "monsecondary|s3cr=t");
    EXPECT_TRUE(users[0].upsmon && users[0].primary && users[1].upsmon && !users[1].primary);
    EXPECT_FALSE(users[2].upsmon || users[2].primary);
    EXPECT_EQ(warnings, std::vector<std::string>({good.path + ":5: actions ignored: qavd offers no commands",
                                                  good.path + ":10: instcmds ignored: qavd offers no commands"}));
    const std::pair<std::string, std::string> wrong[] = {
        {"password = x\n", ":1: password outside a [user] section"},
        {"[a]\npassword = x\nallowfrom = localhost\n", ":3: unknown setting allowfrom (expected password, upsmon, actions or instcmds)"},
        {"[a]\npassword = x\nupsmon observer\n", ":3: upsmon must be primary or secondary (or master or slave), not observer"},
        {"[a]\npassword = x\npassword = y\n", ":3: a second password for a"},
        {"[a]\npassword = x\n[a]\n", ":3: user a is given twice"},
        {"[a]\npassword = \"x\n", ":2: a quote is not closed"},
        {"[a]\npassword =\n", ":2: expected password = VALUE"},
        {"[a]\npassword = x#y\n", ":2: # inside a word: put a password that holds # in double quotes"},
        {"[a]\nupsmon primary\n[b]\npassword = y\n", ": user a has no password"},
        {"[a]\npassword = x\n" + std::string(64 * 1024, '#'), " is larger than 64 KiB"},
    };
    for (const auto& [text, problem] : wrong) {
        TempFile file(text);
        EXPECT_EQ(readNutUsers(file.path, &users, &warnings), file.path + problem);
    }
}

// The exporter in process for battery b1 (or a site of the batteries named), and what it logged.
class NutExporterTest : public ::testing::Test {
protected:
    void start(std::vector<NutUser> users, NutLimits limits = {}, const std::vector<std::string>& names = {"b1"})
    {
        Site site{"site", {}};
        for (const std::string& name : names) site.batteries.emplace_back().name = name;
        std::string problem;
        exporter = startNut({"127.0.0.1:0", ""}, site, std::move(users), limits,
                            [this](int, const std::string& line) {
                                std::lock_guard<std::mutex> lock(mutex);
                                lines += line + "\n";
                            },
                            &problem);
        ASSERT_TRUE(exporter) << problem;
        feed = std::make_unique<StateFeed>(*exporter, names.front());
    }
    void answer(const std::string& bytes)
    {
        feed->freshness(true);
        feed->accepted(Reading{"b1", 1700000000, bytes, decoded(bytes)});
    }
    std::string logged()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }

    std::mutex mutex;
    std::string lines;
    std::unique_ptr<NutExporter> exporter;
    std::unique_ptr<StateFeed> feed; // hands the exporter the core's snapshots
};

// The requests NUT's own clients seldom send, and the login rules; the clients' own
// sequences are in the end-to-end tests.
TEST_F(NutExporterTest, AnswersEveryRequestAsNutsServerDoes)
{
    start({{"sec", "secpass", true, false}, {"pri", "pripass", true, true}, {"reader", "readpass", false, false}});
    NutClient c0(exporter->port()), c1(exporter->port()), c2(exporter->port());
    NutClient* clients[] = {&c0, &c1, &c2};
    // Which client asks (-1: the test changes the data), what it asks, and the whole reply.
    const std::tuple<int, std::string, std::string> script[] = {
        {0, "LIST VAR b1", "ERR DATA-STALE\n"},
        {-1, "answerA", ""},
        {0, "get var b1 \"ups.status\"", "VAR b1 ups.status \"ALARM OL\"\n"},
        {0, "GET VAR b1", "ERR INVALID-ARGUMENT\n"},
        {0, "GET VAR b1 \"ups.status", "ERR INVALID-ARGUMENT\n"},
        {0, "GET UPSDESC b1", "UPSDESC b1 \"QAV battery module b1\"\n"},
        {0, "GET TYPE b1 battery.charge", "TYPE b1 battery.charge NUMBER\n"},
        {0, "GET DESC b1 ups.temperature", "DESC b1 ups.temperature \"Heatsink temperature (degrees C)\"\n"},
        {0, "GET CMDDESC b1 load.off", "ERR CMD-NOT-SUPPORTED\n"},
        {0, "LIST RW b1", "BEGIN LIST RW b1\nEND LIST RW b1\n"},
        {0, "LIST RANGE b1 nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {0, "LIST NOTHING b1", "ERR INVALID-ARGUMENT\n"},
        {0, "SET VAR b1 ups.status \"OB\"", "ERR READONLY\n"},
        {0, "INSTCMD b1 test.battery.start", "ERR CMD-NOT-SUPPORTED\n"},
        {0, "REQ b1 ups.status", "ERR UNKNOWN-COMMAND\n"},
        {0, "LOGIN b1", "ERR USERNAME-REQUIRED\n"},
        {0, "USERNAME sec", "OK\n"},
        {0, "USERNAME pri", "ERR ALREADY-SET-USERNAME\n"},
        {0, "LOGIN b1", "ERR PASSWORD-REQUIRED\n"},
        {0, "PASSWORD secpass", "OK\n"},
        {0, "PASSWORD pripass", "ERR ALREADY-SET-PASSWORD\n"},
        {0, "LOGIN b2", "ERR UNKNOWN-UPS\n"},
        {0, "LOGIN b1", "OK\n"},
        {0, "LOGIN b1", "ERR ALREADY-LOGGED-IN\n"},
        {0, "PRIMARY b1", "ERR ACCESS-DENIED\n"},
        {0, "FSD b1", "ERR ACCESS-DENIED\n"},
        {1, "USERNAME reader", "OK\n"},
        {1, "PASSWORD readpass", "OK\n"},
        {1, "LOGIN b1", "ERR ACCESS-DENIED\n"},
        {2, "USERNAME pri", "OK\n"},
        {2, "PASSWORD pripass", "OK\n"},
        {2, "MASTER b1", "OK MASTER-GRANTED\n"},
        {2, "FSD b1", "OK FSD-SET\n"},
        {-1, "answerB", ""},
        {1, "GET VAR b1 ups.status", "VAR b1 ups.status \"FSD ALARM OL CHRG\"\n"},
        {-1, "stale", ""},
        {1, "GET VAR b1 ups.status", "ERR DATA-STALE\n"},
    };
    for (const auto& [who, request, reply] : script) {
        if (request == "answerA" || request == "answerB") answer(request == "answerA" ? answerA : answerB);
        if (request == "stale") feed->freshness(false);
        if (who >= 0) {
            EXPECT_EQ(clients[who]->ask(request), reply) << who << ": " << request;
        }
    }
    std::string log = logged();
    for (const char* line : {": PRIMARY refused for user sec: not upsmon primary\n",
                             ": FSD refused for user sec: not upsmon primary\n",
                             ": LOGIN refused for user reader: no upsmon line\n", ": user pri set FSD on b1\n"})
        EXPECT_EQ(countOf(log, line), 1) << line << log;
}

TEST_F(NutExporterTest, ClosesWhatBreaksALimitWithALogLineAndServesTheRest)
{
    start({}, NutLimits{3, 512, std::chrono::milliseconds(400)});
    answer(answerA);
    int port = exporter->port();
    NutClient talker(port);
    // Without users, reading works and logging in does not.
    for (const char* request : {"USERNAME upsmon", "PASSWORD secret"}) EXPECT_EQ(talker.ask(request), "OK\n");
    for (const char* request : {"LOGIN b1", "PRIMARY b1"}) EXPECT_EQ(talker.ask(request), "ERR ACCESS-DENIED\n");
    // 512 bytes make a line, also with CR LF; requests may come several in one write.
    EXPECT_EQ(talker.ask(std::string(512, 'A')), "ERR UNKNOWN-COMMAND\n");
    EXPECT_EQ(talker.ask(std::string(512, 'B') + "\r"), "ERR UNKNOWN-COMMAND\n");
    ASSERT_TRUE(talker.send("GET VAR b1 battery.charge\r\nNETVER\n\n\tGET  UPSDESC\tb1\n"));
    EXPECT_EQ(talker.readUntil("\"QAV battery module b1\"\n"),
              "VAR b1 battery.charge \"85.0\"\n1.3\nUPSDESC b1 \"QAV battery module b1\"\n");
    // 513 bytes are too many, even before the line end comes; so is one byte that is not text.
    for (const std::string& bad : {std::string(513, 'A'), std::string("GET VAR b1 ups.status\x01\n"),
                                   std::string("LIST UPS\xff\n")}) {
        NutClient client(port);
        ASSERT_TRUE(client.send(bad));
        EXPECT_TRUE(client.closedByServer()) << bad;
    }
    // Three connections are open; a fourth takes the place of the one idle longest (silent1,
    // not the talker, which spoke since), and the silent ones go after 0.4 s while the talker stays.
    NutClient silent1(port);
    usleep(20000);
    NutClient silent2(port);
    EXPECT_EQ(talker.ask("NETVER"), "1.3\n");
    NutClient fourth(port);
    EXPECT_TRUE(silent1.closedByServer(1));
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(talker.ask("NETVER"), "1.3\n");
        usleep(100000);
    }
    EXPECT_TRUE(silent2.closedByServer(0.1));
    EXPECT_TRUE(fourth.closedByServer(0.1));
    EXPECT_EQ(NutClient(port).ask("GET VAR b1 battery.current"), "VAR b1 battery.current \"-1.00\"\n");

    std::string log = logged();
    EXPECT_EQ(countOf(log, ": LOGIN refused for user upsmon: qavd has no users (--nut-users)\n"), 1) << log;
    EXPECT_EQ(countOf(log, " sent a line longer than 512 bytes: closed\n"), 1) << log;
    EXPECT_EQ(countOf(log, " sent a byte outside printable ASCII: closed\n"), 2) << log;
    EXPECT_EQ(countOf(log, " (3 connections are open; this one idle longest)\n"), 1) << log;
    EXPECT_EQ(countOf(log, " sent no whole line for 0.4 s: closed\n"), 2) << log;
    // Stopping is prompt, with clients connected.
    auto before = std::chrono::steady_clock::now();
    exporter->finish();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_TRUE(talker.closedByServer(1));
}

// The server's log lets a burst through, then counts what it left out; an alert (FSD) always passes.
TEST(NutLog, ABurstPassesTheRestIsCountedAndAlertsAlwaysGoThrough)
{
    std::vector<std::pair<int, std::string>> sent;
    NutLog log = throttledLog([&](int priority, const std::string& text) { sent.emplace_back(priority, text); }, 2,
                              std::chrono::seconds(1));
    for (const char* text : {"one", "two", "three"}) log(LOG_WARNING, text);
    log(LOG_ALERT, "FSD");
    usleep(1100000);
    log(LOG_WARNING, "four");
    EXPECT_EQ(sent, (std::vector<std::pair<int, std::string>>{{LOG_WARNING, "one"}, {LOG_WARNING, "two"},
                                                              {LOG_ALERT, "FSD"},
                                                              {LOG_NOTICE, "NUT server: 1 log lines left out"},
                                                              {LOG_WARNING, "four"}}));
}

// Password checks on a clock the test sets: the whole digest is compared, an address that keeps
// guessing waits longer each time up to a minute, and one user name is checked at most 10 times a
// second from all addresses, except from an address that gave its right password before.
TEST(NutPasswords, WholeDigestsSlowGuessersAndTenChecksASecondPerUser)
{
    std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
    std::string lines;
    NutProtocol protocol({"b1"}, {{"mon", "monpass", true, true}, {"sec", "secpass", true, false}},
                         [&](int, const std::string& line) { lines += line + "\n"; }, [&] { return now; });
    // LOGIN's reply for a user and password from an address, ms milliseconds after the last.
    auto login = [&](int ms, const std::string& address, const char* user, const std::string& password) {
        now += std::chrono::milliseconds(ms);
        NutSession session;
        session.address = address;
        session.peer = address + ":1";
        bool close = false;
        protocol.reply(session, std::string("USERNAME ") + user, {}, &close);
        protocol.reply(session, "PASSWORD \"" + password + "\"", {}, &close);
        std::string reply = protocol.reply(session, "LOGIN b1", {}, &close);
        protocol.closed(session);
        return reply;
    };
    // Braces keep the order of the calls.
    using Replies = std::vector<std::string>;
    const std::string no = "ERR ACCESS-DENIED\n", ok = "OK\n";
    // "I"'s digest begins with the same byte as "monpass"'s.
    EXPECT_EQ((Replies{login(0, "10.0.0.1", "mon", ""), login(0, "10.0.0.1", "mon", "I"), login(0, "10.0.0.1", "mon", "monpass")}),
              (Replies{no, no, ok}));
    // Five failures, then one at each first moment allowed: waits of 1, 2, 4 ... 32 s, then 60 s twice.
    for (int ms : {5000, 0, 0, 0, 0, 1000, 2000, 4000, 8000, 16000, 32000, 60000})
        EXPECT_EQ(login(ms, "10.0.0.2", "mon", "x"), no) << ms;
    EXPECT_EQ((Replies{login(59999, "10.0.0.2", "mon", "monpass"), login(1, "10.0.0.2", "mon", "monpass")}), (Replies{no, ok}));
    // Ten checks for sec in a second from ten addresses, one right; the eleventh is refused unchecked, even the
    // right password, but not from an address that gave it before; a second later it is checked.
    EXPECT_EQ(login(5000, "10.0.0.3", "sec", "secpass"), ok);
    for (int i = 0; i < 9; i++) EXPECT_EQ(login(i == 8 ? 999 : 0, "10.0.1." + std::to_string(i), "sec", "x"), no);
    EXPECT_EQ((Replies{login(0, "10.0.2.0", "sec", "secpass"), login(0, "10.0.0.3", "sec", "secpass"),
                       login(0, "10.0.2.0", "mon", "monpass"), login(1, "10.0.2.0", "sec", "secpass")}),
              (Replies{no, ok, ok, ok}));
    EXPECT_EQ(countOf(lines, "10.0.2.0:1: password checks for user sec held back: more than 10 a second from all "
                             "addresses; refusing them unchecked\n"), 1) << lines;
    EXPECT_EQ(countOf(lines, "NUT server: 1 password checks for user sec were refused unchecked\n"), 1) << lines;
}

// Answers pipelined past what may wait unsent all come; the 17th connection from one address
// takes the place of the one idle longest from there.
TEST_F(NutExporterTest, AnswersEveryPipelinedLineAndLimitsEachAddress)
{
    start({});
    answer(answerA);
    NutClient reader(exporter->port());
    std::string requests;
    for (int i = 0; i < 40; i++) requests += "LIST VAR b1\n";
    ASSERT_TRUE(reader.send(requests + "NETVER\n"));
    EXPECT_EQ(countOf(reader.readUntil("END LIST VAR b1\n1.3\n", 10), "END LIST VAR b1\n"), 40);
    std::vector<std::unique_ptr<NutClient>> clients;
    for (int i = 0; i < 17; i++) clients.push_back(std::make_unique<NutClient>(exporter->port(), "127.0.0.9"));
    EXPECT_TRUE(clients[0]->closedByServer(5));
    EXPECT_EQ(clients[1]->ask("NETVER"), "1.3\n");
    EXPECT_EQ(countOf(logged(), " (16 connections from 127.0.0.9 are open; this one idle longest)\n"), 1) << logged();
}

// NUT's upsc against the exporter: its exit status and what it printed, the SSL notice left out.
std::pair<int, std::string> upsc(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {UPSC_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child = spawn(argv);
    int status = waitExit(&child, 10);
    std::string text = child.out + child.err;
    const std::string ssl = "Init SSL without certificate database\n";
    if (text.find(ssl) != std::string::npos) text.erase(text.find(ssl), ssl.size());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// A site of three batteries: each is a UPS of its own name, fresh or stale, forced down and
// logged in to on its own; NUT's upsc reads each.
TEST_F(NutExporterTest, ServesEachBatteryOfASiteAsAUpsOfItsOwn)
{
    start({{"sec", "secpass", true, false}, {"pri", "pripass", true, true}}, {}, {"rack1", "rack2", "rack3"});
    StateFeed rack2(*exporter, "rack2"), rack3(*exporter, "rack3"); // the fixture's feed is rack1's
    answer(answerA);
    rack2.freshness(true);
    rack2.accepted(Reading{"rack2", 1700000000, answerB, decoded(answerB)});
    NutClient reader(exporter->port()), primary(exporter->port());
    const std::pair<std::string, std::string> script[] = {
        {"LIST UPS", "BEGIN LIST UPS\nUPS rack1 \"QAV battery module rack1\"\nUPS rack2 \"QAV battery module rack2\"\n"
                     "UPS rack3 \"QAV battery module rack3\"\nEND LIST UPS\n"},
        {"GET VAR rack1 battery.charge", "VAR rack1 battery.charge \"85.0\"\n"},
        {"GET VAR rack2 battery.charge", "VAR rack2 battery.charge \"100.0\"\n"},
        {"GET VAR rack2 device.serial", "VAR rack2 device.serial \"rack2\"\n"},
        {"GET VAR rack3 ups.status", "ERR DATA-STALE\n"},
        {"LIST VAR rack3", "ERR DATA-STALE\n"},
        {"GET UPSDESC rack3", "UPSDESC rack3 \"QAV battery module rack3\"\n"},
        {"LIST CMD rack2", "BEGIN LIST CMD rack2\nEND LIST CMD rack2\n"},
        {"GET TYPE rack3 battery.charge", "TYPE rack3 battery.charge NUMBER\n"},
    };
    for (const auto& [request, reply] : script) EXPECT_EQ(reader.ask(request), reply) << request;
    for (const char* request : {"LIST VAR b1", "GET VAR rack4 ups.status", "LIST CMD nosuch", "GET NUMLOGINS rack",
                                "LIST CLIENT RACK1", "LOGIN nosuch", "FSD nosuch", "GET UPSDESC site"})
        EXPECT_EQ(reader.ask(request), "ERR UNKNOWN-UPS\n") << request;
    // FSD on rack2 only: rack1's status and the core's question for the others stay as they were.
    for (const char* request : {"USERNAME pri", "PASSWORD pripass"}) EXPECT_EQ(primary.ask(request), "OK\n");
    EXPECT_EQ(primary.ask("FSD rack2"), "OK FSD-SET\n");
    EXPECT_EQ(reader.ask("GET VAR rack2 ups.status"), "VAR rack2 ups.status \"FSD ALARM OL CHRG\"\n");
    EXPECT_EQ(reader.ask("GET VAR rack1 ups.status"), "VAR rack1 ups.status \"ALARM OL\"\n");
    EXPECT_EQ(exporter->forcedShutdownBy("rack2").rfind("NUT user pri from 127.0.0.1:", 0), 0U);
    EXPECT_EQ(exporter->forcedShutdownBy("rack1") + exporter->forcedShutdownBy("rack3"), "");
    // One user from one address: eight sessions of rack1, a ninth refused, and rack2's still let in.
    std::vector<std::unique_ptr<NutClient>> sessions;
    for (int i = 0; i < 10; i++) {
        sessions.push_back(std::make_unique<NutClient>(exporter->port()));
        for (const char* request : {"USERNAME sec", "PASSWORD secpass"}) sessions.back()->ask(request);
        EXPECT_EQ(sessions.back()->ask(i < 9 ? "LOGIN rack1" : "LOGIN rack2"), i == 8 ? "ERR ACCESS-DENIED\n" : "OK\n") << i;
    }
    for (std::string ups : {"rack1 8", "rack2 1", "rack3 0"})
        EXPECT_EQ(reader.ask("GET NUMLOGINS " + ups.substr(0, 5)), "NUMLOGINS " + ups + "\n");
    EXPECT_EQ(reader.ask("LIST CLIENT rack2"), "BEGIN LIST CLIENT rack2\nCLIENT rack2 127.0.0.1\nEND LIST CLIENT rack2\n");
    // rack1 goes stale while rack2 stays fresh and rack3 answers at last.
    feed->freshness(false);
    rack3.freshness(true);
    rack3.accepted(Reading{"rack3", 1700000000, answerA, decoded(answerA)});
    EXPECT_EQ(reader.ask("GET VAR rack1 battery.charge"), "ERR DATA-STALE\n");
    EXPECT_EQ(reader.ask("GET VAR rack3 battery.charge"), "VAR rack3 battery.charge \"85.0\"\n");
    if (access(UPSC_PATH, X_OK) != 0) SKIP_OR_FAIL_UNDER_CI("upsc is missing (Debian package nut-client)");
    std::string at = "@127.0.0.1:" + std::to_string(exporter->port());
    EXPECT_EQ(upsc({"-l", at.substr(1)}), std::pair(0, std::string("rack1\nrack2\nrack3\n")));
    EXPECT_EQ(upsc({"rack2" + at, "ups.status"}), std::pair(0, std::string("FSD ALARM OL CHRG\n")));
    EXPECT_EQ(upsc({"rack1" + at, "ups.status"}), std::pair(1, std::string("Error: Data stale\n")));
    EXPECT_EQ(upsc({"rack9" + at}), std::pair(1, std::string("Error: Unknown UPS\n")));
    EXPECT_EQ(countOf(logged(), ": user pri set FSD on rack2\n"), 1) << logged();
}

// A battery's health reaches the clients with the next snapshot, the answer unchanged.
TEST_F(NutExporterTest, ServesTheInstallationDateAndReplaceBatteryFromTheHealth)
{
    start({});
    answer(answerA);
    NutClient reader(exporter->port());
    EXPECT_EQ(reader.ask("GET VAR b1 battery.date"), "ERR VAR-NOT-SUPPORTED\n");
    EXPECT_EQ(reader.ask("GET TYPE b1 battery.date"), "TYPE b1 battery.date STRING:256\n");
    auto due = std::make_shared<Health>(*feed->keeper.snapshot()->health);
    due->lifetime.installed = 1700006400, due->replace = true;
    feed->keeper.health(due);
    feed->publish();
    EXPECT_EQ(reader.ask("GET VAR b1 battery.date"), "VAR b1 battery.date \"2023-11-15\"\n");
    EXPECT_EQ(reader.ask("GET VAR b1 ups.status"), "VAR b1 ups.status \"ALARM OL RB\"\n");
    BatteryStatus all{};
    all.statusRegister = 0x0240, all.gasGauge = 1500; // discharging, overcurrent, not enabled, low
    EXPECT_EQ(nutStatus(all, {}, 20, true), "ALARM OB DISCHRG LB RB OVER OFF");
    if (access(UPSC_PATH, X_OK) != 0) SKIP_OR_FAIL_UNDER_CI("upsc is missing (Debian package nut-client)");
    std::string ups = "b1@127.0.0.1:" + std::to_string(exporter->port());
    EXPECT_EQ(upsc({ups, "ups.status"}), std::pair(0, std::string("ALARM OL RB\n")));
    EXPECT_EQ(upsc({ups, "battery.date"}), std::pair(0, std::string("2023-11-15\n")));
}
