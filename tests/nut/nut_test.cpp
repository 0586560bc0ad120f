// Tests of the NUT exporter in process: its variables, the users file, the protocol and the limits.
#include "nut.h"
#include "nut_client.h"
#include "process.h"
#include "sample_answers.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

BatteryStatus decoded(const std::string& answer)
{
    BatteryStatus status{};
    decodeStatus(answer.data(), answer.size(), &status);
    return status;
}

// The variables as "name value" lines.
std::string listed(const std::vector<NutVariable>& variables)
{
    std::string text;
    for (const NutVariable& v : variables) text += v.name + " " + v.value + "\n";
    return text;
}

// The value of one variable, or "(none)".
std::string valueOf(const std::vector<NutVariable>& variables, const std::string& name)
{
    for (const NutVariable& v : variables)
        if (v.name == name) return v.value;
    return "(none)";
}

// What the exporter logged, from its thread.
class Log {
public:
    NutLog sink()
    {
        return [this](int, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            text += line + "\n";
        };
    }
    std::string all()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return text;
    }

private:
    std::mutex mutex;
    std::string text;
};

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

TEST(NutVariables, EveryVariableOfAnAnswerInNameOrder)
{
    std::string cells, layers;
    for (int n = 1; n <= 8; n++) {
        cells += "experimental.qav.cell." + std::to_string(n) + ".voltage 3.300\n";
        layers += "experimental.qav.layer." + std::to_string(n) + ".temperature " + std::to_string(30 - n) + "\n";
    }
    EXPECT_EQ(listed(nutVariables(decoded(answerA), "b1", 20)),
              "ambient.humidity 45\nbattery.charge 85.0\nbattery.charge.low 20\nbattery.charger.status resting\n"
              "battery.current -1.00\nbattery.temperature 29\nbattery.temperature.cell.max 29\n"
              "battery.temperature.cell.min 22\nbattery.voltage 26.400\nbattery.voltage.cell.max 3.300\n"
              "battery.voltage.cell.min 3.300\ndevice.mfr QAV\ndevice.model battery module\ndevice.serial b1\n"
              "device.type battery\ndriver.name qavd\ndriver.version " QAVD_VERSION "\n" +
                  cells + layers +
                  "experimental.qav.register.alert.temperature 0000\nexperimental.qav.register.alert.voltage 0012\n"
                  "experimental.qav.register.balance 05\nexperimental.qav.register.status 8000\n"
                  "ups.alarm volt_alert\nups.mfr QAV\nups.model battery module\nups.status ALARM OL\n"
                  "ups.temperature 31\n");
    // answerB: full, charging, the fan on (no alarm), a temperature alert, +12.50 A.
    std::vector<NutVariable> b = nutVariables(decoded(answerB), "b2", 12.5);
    EXPECT_EQ(valueOf(b, "battery.charge"), "100.0");
    EXPECT_EQ(valueOf(b, "battery.charge.low"), "12.5");
    EXPECT_EQ(valueOf(b, "battery.current"), "12.50");
    EXPECT_EQ(valueOf(b, "battery.voltage"), "32.000");
    EXPECT_EQ(valueOf(b, "ups.status"), "ALARM OL CHRG");
    EXPECT_EQ(valueOf(b, "ups.alarm"), "temp_alert");
    EXPECT_EQ(valueOf(b, "experimental.qav.register.alert.temperature"), "0001");
    EXPECT_EQ(b.size(), nutVariableInfo().size());
}

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
        EXPECT_EQ(nutStatus(status, c.low), c.ups) << std::hex << c.status;
        EXPECT_EQ(valueOf(variables, "battery.charger.status"), c.charger) << std::hex << c.status;
        EXPECT_EQ(valueOf(variables, "ups.alarm"), c.alarm) << std::hex << c.status;
    }
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
    EXPECT_EQ(users[0].name, "monprimary");
    EXPECT_EQ(users[0].password, "two words # and \"quotes\"");
    EXPECT_TRUE(users[0].upsmon && users[0].primary);
    EXPECT_EQ(users[1].password, "s3cr=t");
    EXPECT_TRUE(users[1].upsmon && !users[1].primary);
    EXPECT_FALSE(users[2].upsmon || users[2].primary);
    ASSERT_EQ(warnings.size(), 2U);
    EXPECT_EQ(warnings[0], good.path + ":5: actions ignored: qavd offers no commands");
    EXPECT_EQ(warnings[1], good.path + ":10: instcmds ignored: qavd offers no commands");

    const std::pair<std::string, std::string> wrong[] = {
        {"password = x\n", ":1: password outside a [user] section"},
        {"[a]\npassword = x\nallowfrom = localhost\n", ":3: unknown setting allowfrom (expected password, upsmon, actions or instcmds)"},
        {"[a]\npassword = x\nupsmon observer\n", ":3: upsmon must be primary or secondary (or master or slave), not observer"},
        {"[a]\npassword = x\nupsmon primary\nupsmon secondary\n", ":4: a second upsmon line for a"},
        {"[a]\npassword = x\npassword = y\n", ":3: a second password for a"},
        {"[a]\npassword = x\n[a]\n", ":3: user a is given twice"},
        {"[a]\npassword = \"x\n", ":2: a quote is not closed"},
        {"[a]\npassword =\n", ":2: expected password = VALUE"},
        {"[a]\nupsmon primary\n[b]\npassword = y\n", ": user a has no password"},
        {"[a]\npassword = x\n" + std::string(64 * 1024, '#'), " is larger than 64 KiB"},
    };
    for (const auto& [text, problem] : wrong) {
        TempFile file(text);
        EXPECT_EQ(readNutUsers(file.path, &users, &warnings), file.path + problem);
    }
    EXPECT_EQ(readNutUsers("/nonexistent/users", &users, &warnings), "cannot read /nonexistent/users");
}

// The exporter in process with three users, battery b1 and --low-battery 20.
class NutExporterTest : public ::testing::Test {
protected:
    void start(std::vector<NutUser> users, NutLimits limits = {})
    {
        NutOptions options{"127.0.0.1:0", ""};
        DaemonOptions daemon;
        daemon.name = "b1";
        std::string problem;
        exporter = startNut(options, daemon, std::move(users), limits, log.sink(), &problem);
        ASSERT_TRUE(exporter) << problem;
    }
    void answer(const std::string& bytes)
    {
        Reading reading{"b1", 1700000000, bytes, decoded(bytes)};
        exporter->freshness(true);
        exporter->answer(reading);
    }
    static std::vector<NutUser> threeUsers()
    {
        return {{"sec", "secpass", true, false}, {"pri", "pripass", true, true}, {"reader", "readpass", false, false}};
    }

    Log log;
    std::unique_ptr<NutExporter> exporter;
};

TEST_F(NutExporterTest, AnswersEveryRequestAsNutsServerDoes)
{
    start(threeUsers());
    NutClient c0(exporter->port()), c1(exporter->port()), c2(exporter->port()), c3(exporter->port());
    NutClient* clients[] = {&c0, &c1, &c2, &c3};
    const std::string list = "BEGIN LIST VAR b1\nVAR b1 ambient.humidity \"45\"\n";
    // Which client asks, what it asks, and the reply: the whole reply, or its start when it ends in "...".
    const std::tuple<int, std::string, std::string> script[] = {
        {0, "STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
        {0, "GET VAR b1 ups.status", "ERR DATA-STALE\n"},
        {0, "LIST VAR b1", "ERR DATA-STALE\n"},
        {0, "GET TYPE b1 battery.charge", "TYPE b1 battery.charge NUMBER\n"},
        {-1, "answerA", ""},
        {0, "GET VAR b1 battery.charge", "VAR b1 battery.charge \"85.0\"\n"},
        {0, "get var b1 \"ups.status\"", "VAR b1 ups.status \"ALARM OL\"\n"},
        {0, "GET VAR nosuch battery.charge", "ERR UNKNOWN-UPS\n"},
        {0, "GET VAR b1 battery.nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {0, "GET VAR b1", "ERR INVALID-ARGUMENT\n"},
        {0, "GET VAR b1 \"ups.status", "ERR INVALID-ARGUMENT\n"},
        {0, "GET TRACKING", "ERR INVALID-ARGUMENT\n"},
        {0, "GET UPSDESC b1", "UPSDESC b1 \"QAV battery module b1\"\n"},
        {0, "GET TYPE b1 ups.alarm", "TYPE b1 ups.alarm STRING:256\n"},
        {0, "GET DESC b1 ups.temperature", "DESC b1 ups.temperature \"Heatsink temperature (degrees C)\"\n"},
        {0, "GET DESC b1 nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {0, "GET CMDDESC b1 load.off", "ERR CMD-NOT-SUPPORTED\n"},
        {0, "LIST UPS", "BEGIN LIST UPS\nUPS b1 \"QAV battery module b1\"\nEND LIST UPS\n"},
        {0, "LIST VAR b1", list + "..."},
        {0, "LIST VAR b2", "ERR UNKNOWN-UPS\n"},
        {0, "LIST CMD b1", "BEGIN LIST CMD b1\nEND LIST CMD b1\n"},
        {0, "LIST RW b1", "BEGIN LIST RW b1\nEND LIST RW b1\n"},
        {0, "LIST ENUM b1 ups.status", "BEGIN LIST ENUM b1 ups.status\nEND LIST ENUM b1 ups.status\n"},
        {0, "LIST RANGE b1 nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {0, "LIST NOTHING b1", "ERR INVALID-ARGUMENT\n"},
        {0, "SET VAR b1 ups.status \"OB\"", "ERR READONLY\n"},
        {0, "INSTCMD b1 test.battery.start", "ERR CMD-NOT-SUPPORTED\n"},
        {0, "NETVER", "1.3\n"},
        {0, "PROTVER", "1.3\n"},
        {0, "VER", "qavd " QAVD_VERSION ", speaking the NUT network protocol 1.3\n"},
        {0, "HELP", "Commands: FSD GET HELP INSTCMD LIST LOGIN LOGOUT MASTER NETVER PASSWORD PRIMARY PROTVER SET "
                    "STARTTLS USERNAME VER\n"},
        {0, "REQ b1 ups.status", "ERR UNKNOWN-COMMAND\n"},
        // Logins: who may do what.
        {0, "LOGIN b1", "ERR USERNAME-REQUIRED\n"},
        {0, "USERNAME sec", "OK\n"},
        {0, "USERNAME pri", "ERR ALREADY-SET-USERNAME\n"},
        {0, "LOGIN b1", "ERR PASSWORD-REQUIRED\n"},
        {0, "PASSWORD wrong", "OK\n"},
        {0, "LOGIN b1", "ERR ACCESS-DENIED\n"},
        {0, "PASSWORD secpass", "ERR ALREADY-SET-PASSWORD\n"},
        {1, "USERNAME sec", "OK\n"},
        {1, "PASSWORD secpass", "OK\n"},
        {1, "LOGIN b2", "ERR UNKNOWN-UPS\n"},
        {1, "LOGIN b1", "OK\n"},
        {1, "LOGIN b1", "ERR ALREADY-LOGGED-IN\n"},
        {1, "PRIMARY b1", "ERR ACCESS-DENIED\n"},
        {1, "FSD b1", "ERR ACCESS-DENIED\n"},
        {3, "USERNAME reader", "OK\n"},
        {3, "PASSWORD readpass", "OK\n"},
        {3, "LOGIN b1", "ERR ACCESS-DENIED\n"},
        {2, "USERNAME pri", "OK\n"},
        {2, "PASSWORD pripass", "OK\n"},
        {2, "LOGIN b1", "OK\n"},
        {2, "GET NUMLOGINS b1", "NUMLOGINS b1 2\n"},
        {2, "LIST CLIENT b1", "BEGIN LIST CLIENT b1\nCLIENT b1 127.0.0.1\nCLIENT b1 127.0.0.1\nEND LIST CLIENT b1\n"},
        {2, "PRIMARY b1", "OK PRIMARY-GRANTED\n"},
        {2, "MASTER b1", "OK MASTER-GRANTED\n"},
        {0, "GET VAR b1 ups.status", "VAR b1 ups.status \"ALARM OL\"\n"},
        {2, "FSD b1", "OK FSD-SET\n"},
        {0, "GET VAR b1 ups.status", "VAR b1 ups.status \"FSD ALARM OL\"\n"},
        {-1, "answerB", ""},
        {0, "GET VAR b1 ups.status", "VAR b1 ups.status \"FSD ALARM OL CHRG\"\n"},
        {-1, "stale", ""},
        {0, "GET VAR b1 ups.status", "ERR DATA-STALE\n"},
        {-1, "answerB", ""},
        {-1, "hang up 1", ""},
        {2, "GET NUMLOGINS b1", "NUMLOGINS b1 1\n"},
        {2, "LOGOUT", "OK Goodbye\n"},
    };
    for (const auto& [who, request, reply] : script) {
        if (request == "answerA" || request == "answerB") answer(request == "answerA" ? answerA : answerB);
        if (request == "stale") exporter->freshness(false);
        if (request == "hang up 1") c1.hangUp();
        if (who < 0) continue;
        std::string got = clients[who]->ask(request);
        if (reply.size() > 3 && reply.substr(reply.size() - 3) == "...")
            EXPECT_EQ(got.substr(0, reply.size() - 3), reply.substr(0, reply.size() - 3)) << request;
        else
            EXPECT_EQ(got, reply) << who << ": " << request;
    }
    EXPECT_TRUE(c2.closedByServer());
    std::string listing = c0.ask("LIST VAR b1");
    EXPECT_EQ(countOf(listing, "\n"), 2 + nutVariableInfo().size());
    EXPECT_EQ(countOf(listing, "VAR b1 ups.status \"FSD ALARM OL CHRG\"\n"), 1) << listing;
    std::string all = log.all();
    EXPECT_NE(all.find("NUT client 127.0.0.1:"), std::string::npos) << all;
    for (const char* line : {": LOGIN refused for user sec: wrong password\n", ": PRIMARY refused for user sec: not upsmon primary\n",
                             ": FSD refused for user sec: not upsmon primary\n", ": LOGIN refused for user reader: no upsmon line\n",
                             ": user pri set FSD on b1\n"})
        EXPECT_EQ(countOf(all, line), 1) << line << all;
}

TEST_F(NutExporterTest, WithoutUsersReadingWorksAndLoginIsRefused)
{
    start({});
    answer(answerB);
    NutClient client(exporter->port());
    for (const char* request : {"USERNAME upsmon", "PASSWORD secret"}) EXPECT_EQ(client.ask(request), "OK\n");
    for (const char* request : {"LOGIN b1", "PRIMARY b1", "FSD b1"}) EXPECT_EQ(client.ask(request), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(client.ask("GET VAR b1 ups.status"), "VAR b1 ups.status \"ALARM OL CHRG\"\n");
}

TEST_F(NutExporterTest, ClosesWhatBreaksALimitWithALogLineAndServesTheRest)
{
    start({}, NutLimits{3, 512, std::chrono::milliseconds(400)});
    answer(answerA);
    int port = exporter->port();
    NutClient talker(port);
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
    // Three connections are open; a fourth is closed at once, and the two silent ones go
    // after 0.4 s while the one that talks stays.
    NutClient silent1(port), silent2(port), fourth(port);
    EXPECT_TRUE(fourth.closedByServer(1));
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(talker.ask("NETVER"), "1.3\n");
        usleep(100000);
    }
    EXPECT_TRUE(silent1.closedByServer(0.1));
    EXPECT_TRUE(silent2.closedByServer(0.1));
    NutClient later(port);
    EXPECT_EQ(later.ask("GET VAR b1 battery.current"), "VAR b1 battery.current \"-1.00\"\n");

    std::string all = log.all();
    EXPECT_EQ(countOf(all, " sent a line longer than 512 bytes: closed\n"), 1) << all;
    EXPECT_EQ(countOf(all, " sent a byte outside printable ASCII: closed\n"), 2) << all;
    EXPECT_EQ(countOf(all, " refused: 3 connections are open\n"), 1) << all;
    EXPECT_EQ(countOf(all, " sent nothing for 0.4 s: closed\n"), 2) << all;
    // Stopping is prompt, with clients connected.
    auto before = std::chrono::steady_clock::now();
    exporter->finish();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_TRUE(talker.closedByServer(1));
}
