// qavd end to end with NUT's own clients: upsc, PyNUT, a Home Assistant-like client and upsmon.
#include "daemon_fixture.h"
#include "mqtt/broker.h"
#include "must_run.h"
#include "nut_client.h"
#include "process.h"
#include "sample_answers.h"
#include "text_files.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

// A status answer: gauge in hundredths, a status register and a current, the rest as in answerA.
std::string answerWith(int gauge, int status, int current = 0x04E2)
{
    char text[80];
    std::snprintf(text, sizeof text, "%04X0CE40CE40CE40CE40CE40CE40CE40CE4%04X161718191A1B1C1D1F2D0500000000%04X5A\n",
                  gauge, current, status);
    return text;
}

// n copies of an answer.
std::vector<std::string> times(int n, const std::string& answer)
{
    return std::vector<std::string>(static_cast<std::size_t>(n), answer);
}

const std::string charging = answerWith(3000, 0x8400);
const std::string chargingLow = answerWith(1500, 0x8400);
const std::string discharging = answerWith(2500, 0x8200, 0xFC18);
const std::string dischargingLow = answerWith(1900, 0x8200, 0xFC18);

// The seconds since the epoch a program wrote with date +%s.%N, or 0 when the file is missing.
double timeIn(const std::string& path)
{
    std::string text = fileText(path);
    return text.empty() ? 0 : std::stod(text);
}

// Where text first occurs after position from, or npos.
std::size_t after(const std::string& text, const std::string& what, std::size_t from)
{
    return from == std::string::npos ? from : text.find(what, from);
}

} // namespace

// The simulator replaying answers, qavd serving NUT with two users, and upsmon runs.
class NutDaemon : public DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        chmod(dir.c_str(), 0755); // upsmon runs as nobody
        std::ofstream(dir + "/users") << "[sec]\n  password = secpass\n  upsmon secondary\n"
                                         "[pri]\n  password = pripass\n  upsmon primary\n";
        std::ofstream(dir + "/event.sh") << "#!/bin/sh\necho \"$(date +%s.%N) $1\" >>" << dir << "/events\n";
        chmod((dir + "/event.sh").c_str(), 0755);
    }
    void TearDown() override
    {
        for (auto& monitor : monitors) stop(monitor.get());
        DaemonTest::TearDown();
    }

    // Replay answers (the last one held as long as a test needs it), or run the simulator with
    // simArgs when there are none, and start qavd on it with the poll options given.
    void start(std::vector<std::string> answers, const std::string& output = "none",
               std::vector<std::string> simArgs = {},
               std::vector<std::string> options = {"-i", "0.1", "-t", "0.08", "--stale-after", "2"})
    {
        simArgs.empty() ? replay(answers) : startSim(simArgs);
        options.insert(options.begin(), {"--name", "b1", "--output", output, "--event-command", dir + "/event.sh",
                                         "--nut-listen", "127.0.0.1:0", "--nut-users", dir + "/users"});
        startQavd(simPort, options);
        port = listening("NUT");
        ASSERT_NE(port, 0);
        ups = "b1@127.0.0.1:" + std::to_string(port);
        ASSERT_TRUE(until(10, [&] { return NutClient(port).ask("GET VAR b1 ups.status").rfind("VAR ", 0) == 0; }));
    }

    // upsmon in the foreground (as nobody when the test runs as root) with a config directory
    // of its own; its SHUTDOWNCMD writes the time to DIR/NAME/shutdown.
    Child& upsmon(const std::string& name, const std::string& login)
    {
        return upsmonOf(name, "MONITOR " + ups + " 1 " + login + "\n");
    }

    // upsmon with these MONITOR lines, as upsmon() starts it.
    Child& upsmonOf(const std::string& name, const std::string& monitorLines)
    {
        std::string conf = dir + "/" + name;
        mkdir(conf.c_str(), 0777);
        chmod(conf.c_str(), 0777);
        std::ofstream(conf + "/upsmon.conf")
            << monitorLines << "MINSUPPLIES 1\n"
            << "SHUTDOWNCMD \"/bin/sh -c 'date +%s.%N >" << conf << "/shutdown'\"\n"
            << "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 3\nHOSTSYNC 2\nFINALDELAY 0\n";
        std::vector<std::string> argv = {UPSMON_PATH, "-D", "-p"};
        if (geteuid() == 0)
            argv.insert(argv.begin(), {SETPRIV_PATH, "--reuid=65534", "--regid=65534", "--clear-groups"});
        monitors.push_back(std::make_unique<Child>(spawn(argv, {"NUT_CONFPATH=" + conf, "NUT_STATEPATH=" + conf})));
        return *monitors.back();
    }

    // The body of a GET from qavd's HTTP server on port.
    std::string httpGet(int httpPort, const std::string& path)
    {
        NutClient http(httpPort);
        http.send("GET " + path + " HTTP/1.0\r\n\r\n");
        std::string reply = http.readUntil("\r\n\r\n\r\n", 10);
        return reply.substr(std::min(reply.size(), reply.find("\r\n\r\n") + 4));
    }

    // The value of one variable in upsc's listing, as a number.
    static double upscValue(const std::string& listing, const std::string& name)
    {
        std::size_t at = listing.find("\n" + name + ": ");
        return at == std::string::npos ? -1 : std::stod(listing.substr(at + name.size() + 3));
    }

    // Read every child until done() holds or seconds pass.
    bool until(double seconds, const std::function<bool()>& done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            for (auto& monitor : monitors) pump(monitor.get(), 0);
            pump(&sim, 0);
            pump(&qavd, 20);
        }
        return true;
    }

    // Run a NUT client program to its end: its exit status and what it printed on standard
    // output, or on standard error after "Init SSL without certificate database\n" when it failed.
    std::pair<int, std::string> client(const std::vector<std::string>& argv)
    {
        Child child = spawn(argv);
        until(20, [&] { return !pump(&child, 20); });
        int status = stop(&child);
        const std::string ssl = "Init SSL without certificate database\n";
        std::string err = child.err.rfind(ssl, 0) == 0 ? child.err.substr(ssl.size()) : child.err;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.out + err};
    }

    // The names of the events so far, in order, and the time of the nth (from 1; 0 when there is none).
    std::string eventNames(std::size_t n = 0, double* time = nullptr) const
    {
        std::string names;
        std::vector<std::string> lines = linesOf(fileText(dir + "/events"));
        for (const std::string& line : lines) names += (names.empty() ? "" : " ") + line.substr(line.find(' ') + 1);
        if (time != nullptr) *time = n >= 1 && n <= lines.size() ? std::stod(lines[n - 1]) : 0;
        return names;
    }

    std::vector<std::unique_ptr<Child>> monitors;
    int port = 0;
    std::string ups;
};

TEST_F(NutDaemon, ReadersSeeTheAnswerAndBadClientsDisturbNothing)
{
    start({answerA}, "json");
    // upsc: every value of answerA, one line each, in name order.
    std::string cells, layers;
    for (int n = 1; n <= 8; n++) {
        cells += "experimental.qav.cell." + std::to_string(n) + ".voltage: 3.300\n";
        layers += "experimental.qav.layer." + std::to_string(n) + ".temperature: " + std::to_string(30 - n) + "\n";
    }
    EXPECT_EQ(client({UPSC_PATH, ups}),
              std::pair(0, "ambient.humidity: 45\nbattery.charge: 85.0\nbattery.charge.low: 20\n"
                           "battery.charger.status: resting\nbattery.current: -1.00\nbattery.temperature: 29\n"
                           "battery.temperature.cell.max: 29\nbattery.temperature.cell.min: 22\n"
                           "battery.voltage: 26.400\nbattery.voltage.cell.max: 3.300\nbattery.voltage.cell.min: 3.300\n"
                           "device.mfr: QAV\ndevice.model: battery module\ndevice.serial: b1\ndevice.type: battery\n"
                           "driver.name: qavd\ndriver.version: " QAVD_VERSION "\n" + cells + layers +
                           "experimental.qav.register.alert.temperature: 0000\n"
                           "experimental.qav.register.alert.voltage: 0012\nexperimental.qav.register.balance: 05\n"
                           "experimental.qav.register.status: 8000\nups.alarm: volt_alert\nups.mfr: QAV\n"
                           "ups.model: battery module\nups.status: ALARM OL\nups.temperature: 31\n"));
    EXPECT_EQ(client({UPSC_PATH, "-l", "127.0.0.1:" + std::to_string(port)}), std::pair(0, std::string("b1\n")));
    EXPECT_EQ(client({UPSC_PATH, "nosuch@127.0.0.1:" + std::to_string(port)}),
              std::pair(1, std::string("Error: Unknown UPS\n")));
    EXPECT_EQ(client({UPSC_PATH, ups, "battery.nosuch"}),
              std::pair(1, std::string("Error: Variable not supported by UPS\n")));

    // PyNUT, anonymous and logged in; then Home Assistant's sequence on one kept connection.
    const char* script = R"(
import PyNUT, socket, sys
port = int(sys.argv[1])
print(PyNUT.PyNUTClient(port=port).GetUPSList())
v = PyNUT.PyNUTClient(port=port, login="sec", password="secpass").GetUPSVars("b1")
print(len(v), v[b"battery.charge"], v[b"ups.status"], v[b"device.mfr"])
f = socket.create_connection(("127.0.0.1", port)).makefile("rwb")
for request, end in [("USERNAME hauser", "OK"), ("PASSWORD hapass", "OK"), ("LIST UPS", "END LIST UPS"),
                     ("LIST VAR b1", "END LIST VAR b1"), ("LIST CMD b1", "END LIST CMD b1"), ("LIST VAR b1", "END LIST VAR b1")]:
    f.write(request.encode() + b"\n")
    f.flush()
    lines = []
    while not lines or lines[-1] != end:
        lines.append(f.readline().decode().rstrip("\n"))
    print(request, len(lines), lines[0])
)";
    EXPECT_EQ(client({PYTHON3_PATH, "-c", script, std::to_string(port)}),
              std::pair(0, std::string("{b'b1': b'QAV battery module b1'}\n42 b'85.0' b'ALARM OL' b'QAV'\n"
                                       "USERNAME hauser 1 OK\nPASSWORD hapass 1 OK\n"
                                       "LIST UPS 3 BEGIN LIST UPS\nLIST VAR b1 44 BEGIN LIST VAR b1\n"
                                       "LIST CMD b1 2 BEGIN LIST CMD b1\nLIST VAR b1 44 BEGIN LIST VAR b1\n")));

    // Bad clients while qavd polls: binary bytes (a TLS hello), a password guesser, and 68
    // clients from four addresses that trickle and never end a line (more limits are tested in process).
    std::size_t linesBefore = linesOf(qavd.out).size();
    auto started = std::chrono::steady_clock::now();
    NutClient tls(port);
    tls.send(std::string("\x16\x03\x01\x02\x00", 5));
    EXPECT_TRUE(tls.closedByServer());
    // A user, a password and a command from an address, on a connection of their own: the reply.
    auto attempt = [&](const char* from, const std::string& user, const std::string& password, const char* command) {
        NutClient c(port, from);
        c.ask("USERNAME " + user);
        c.ask("PASSWORD " + password);
        return c.ask(command);
    };
    auto since = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    const std::string denied = "ERR ACCESS-DENIED\n";
    EXPECT_EQ(attempt("127.0.0.1", "nobody", "guess", "LOGIN b1"), denied);
    // Five failures from 127.0.0.6 (a prefix of the right password and one running past it among
    // them; FSD counts as LOGIN does): its next check waits 1 s, and even the right password is
    // refused meanwhile, while 127.0.0.7 logs in at once.
    const std::tuple<const char*, const char*, const char*> guesses[] = {{"sec", "secpas", "LOGIN b1"},
        {"sec", "secpasss", "LOGIN b1"}, {"pri", "pripas", "FSD b1"}, {"nobody", "secpass", "LOGIN b1"},
        {"sec", "Secpass", "LOGIN b1"}, {"sec", "secpass", "LOGIN b1"}};
    for (const auto& [user, password, command] : guesses)
        EXPECT_EQ(attempt("127.0.0.6", user, password, command), denied) << user << " " << password;
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(attempt("127.0.0.7", "sec", "secpass", "LOGIN b1"), "OK\n");
    EXPECT_LT(since(asked), 0.5);
    // After the wait one more failure doubles it: refused at once, accepted 2.5 s later.
    until(1.5, [] { return false; });
    EXPECT_EQ(attempt("127.0.0.6", "sec", "guess", "LOGIN b1"), denied);
    EXPECT_EQ(attempt("127.0.0.6", "sec", "secpass", "LOGIN b1"), denied);
    until(2.5, [] { return false; });
    EXPECT_EQ(attempt("127.0.0.6", "sec", "secpass", "LOGIN b1"), "OK\n");

    // A logged-in client, then 17 tricklers from each of four addresses: the five oldest make room.
    NutClient upsmon(port);
    for (const char* request : {"USERNAME sec", "PASSWORD secpass", "LOGIN b1"}) EXPECT_EQ(upsmon.ask(request), "OK\n");
    std::vector<std::unique_ptr<NutClient>> tricklers;
    for (int i = 0; i < 68; i++)
        tricklers.push_back(std::make_unique<NutClient>(port, ("127.0.0." + std::to_string(2 + i % 4)).c_str()));
    std::atomic<bool> trickling{true};
    std::thread trickle([&] {
        for (int tick = 0; trickling; tick++) {
            if (tick % 10 == 0)
                for (auto& t : tricklers) t->send("G");
            usleep(100000);
        }
    });
    for (int i = 0; i < 68; i++) EXPECT_EQ(tricklers[static_cast<std::size_t>(i)]->closedByServer(i < 5 ? 2 : 0.01), i < 5) << i;
    // upsc takes the place of the trickler idle longest and is answered within 2 s; the
    // logged-in client is never pushed out.
    asked = std::chrono::steady_clock::now();
    EXPECT_EQ(client({UPSC_PATH, ups, "ups.status"}), std::pair(0, std::string("ALARM OL\n")));
    EXPECT_LT(since(asked), 2.0);
    EXPECT_TRUE(tricklers[5]->closedByServer(1));
    EXPECT_EQ(upsmon.ask("GET VAR b1 battery.charge"), "VAR b1 battery.charge \"85.0\"\n");
    // A line must be whole 10 s after its first byte, however steadily the bytes come.
    until(12, [] { return false; });
    for (std::size_t i = 6; i < tricklers.size(); i++) EXPECT_TRUE(tricklers[i]->closedByServer(1)) << i;
    trickling = false;
    trickle.join();
    EXPECT_EQ(upsmon.ask("GET NUMLOGINS b1"), "NUMLOGINS b1 1\n");
    double seconds = since(started);
    std::size_t polls = linesOf(qavd.out).size() - linesBefore;
    EXPECT_GE(static_cast<double>(polls), seconds / 0.1 - 2) << polls << " answers in " << seconds << " s";

    // Failures are logged with the address, the wait once it applies (the server's log lets
    // 20 lines a minute through, and these come first).
    const std::pair<const char*, int> logged[] = {
        {" sent a byte outside printable ASCII: closed\n", 1},
        {"127.0.0.1:[0-9]+: LOGIN refused for user nobody: no such user\n", 1},
        {"127.0.0.6:[0-9]+: LOGIN refused for user sec: wrong password\n", 2},
        {"127.0.0.6:[0-9]+: FSD refused for user pri: wrong password\n", 1},
        {"127.0.0.6:[0-9]+: LOGIN refused for user nobody: no such user\n", 1},
        {"127.0.0.6:[0-9]+: LOGIN refused for user sec: wrong password \\(5 failures in a row from this address; "
         "its next check waits 1 s\\)\n", 1},
        {"127.0.0.6:[0-9]+: LOGIN refused for user sec: wrong password \\(6 failures in a row from this address; "
         "its next check waits 2 s; 1 refused unchecked meanwhile\\)\n", 1},
        {"127.0.0.2:[0-9]+ closed for 127.0.0.5:[0-9]+ \\(64 connections are open; this one idle longest\\)\n", 2},
        {"127.0.0.3:[0-9]+ closed for 127.0.0.1:[0-9]+ \\(64 connections are open; this one idle longest\\)\n", 1}};
    for (const auto& [pattern, n] : logged) {
        std::regex line(pattern);
        EXPECT_EQ(std::distance(std::sregex_iterator(qavd.err.begin(), qavd.err.end(), line), std::sregex_iterator()), n)
            << pattern << qavd.err;
    }
    EXPECT_GE(countOf(qavd.err, " sent no line end within 10 s of a line's first byte: closed\n"), 1) << qavd.err;
    // SIGTERM ends qavd at once, with a client connected.
    auto term = std::chrono::steady_clock::now();
    kill(qavd.pid, SIGTERM);
    int exit = waitExit(&qavd, 5);
    EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
    EXPECT_LT(std::chrono::steady_clock::now() - term, std::chrono::seconds(1));
    EXPECT_TRUE(upsmon.closedByServer(1));
}

TEST_F(NutDaemon, ASecondaryShutsDownOnlyWhenLowWhileDischarging)
{
    std::vector<std::string> answers = times(20, chargingLow);
    for (auto phase : {times(20, charging), times(30, discharging), times(400, dischargingLow)})
        answers.insert(answers.end(), phase.begin(), phase.end());
    start(answers);
    Child& secondary = upsmon("secondary", "sec secpass secondary");
    ASSERT_TRUE(until(10, [&] { return secondary.err.find("Logged into UPS") != std::string::npos; }))
        << secondary.out << secondary.err;
    EXPECT_EQ(client({UPSC_PATH, "-c", ups}), std::pair(0, std::string("127.0.0.1\n")));
    EXPECT_EQ(NutClient(port).ask("GET NUMLOGINS b1"), "NUMLOGINS b1 1\n");

    // upsmon's log line may reach the pipe after the shutdown command's file: wait for both.
    ASSERT_TRUE(until(30, [&] {
        return timeIn(dir + "/secondary/shutdown") > 0 &&
               secondary.err.find("Executing automatic power-fail shutdown") != std::string::npos;
    })) << secondary.err << qavd.err;
    // It saw low battery on line power, then on battery, then low on battery, and only then shut down.
    std::size_t lowOnLine = secondary.err.find("battery is low");
    std::size_t onBattery = after(secondary.err, "on battery", lowOnLine);
    std::size_t lowOnBattery = after(secondary.err, "battery is low", onBattery);
    EXPECT_NE(after(secondary.err, "Executing automatic power-fail shutdown", lowOnBattery), std::string::npos)
        << secondary.err;
    double lowOnBatteryTime = 0;
    EXPECT_EQ(eventNames(3, &lowOnBatteryTime), "lowbattery lowbatteryclear lowbattery");
    EXPECT_GT(timeIn(dir + "/secondary/shutdown"), lowOnBatteryTime);
    // upsmon logs out by closing the connection; the login no longer counts.
    ASSERT_TRUE(until(10, [&] { return !pump(&secondary, 0); }));
    EXPECT_EQ(NutClient(port).ask("GET NUMLOGINS b1"), "NUMLOGINS b1 0\n");
}

TEST_F(NutDaemon, APrimarySetsFsdTheSecondarySeesItAndBothShutDown)
{
    std::vector<std::string> answers = times(20, charging);
    std::vector<std::string> low = times(400, dischargingLow);
    answers.insert(answers.end(), low.begin(), low.end());
    start(answers, "none", {}, {"-i", "0.1", "-t", "0.08", "--stale-after", "2", "--http-listen", "127.0.0.1:0"});
    Child& primary = upsmon("primary", "pri pripass primary");
    Child& secondary = upsmon("secondary", "sec secpass secondary");
    ASSERT_TRUE(until(30, [&] {
        return timeIn(dir + "/primary/shutdown") > 0 &&
               secondary.err.find("forced shutdown in progress") != std::string::npos;
    })) << primary.err << secondary.err << qavd.err;
    EXPECT_GT(timeIn(dir + "/secondary/shutdown"), 0);
    // The primary waits for the secondary to log out first.
    EXPECT_LE(timeIn(dir + "/secondary/shutdown"), timeIn(dir + "/primary/shutdown"));
    EXPECT_TRUE(std::regex_search(qavd.err, std::regex("qavd: NUT client 127.0.0.1:[0-9]+: user pri set FSD on b1\n")))
        << qavd.err;
    // FSD holds until qavd restarts, and the core raised fsd once, which every output shows.
    EXPECT_EQ(client({UPSC_PATH, ups, "ups.status"}), std::pair(0, std::string("FSD OB DISCHRG LB\n")));
    int httpPort = listening("HTTP");
    ASSERT_TRUE(until(10, [&] { return eventNames().find("fsd") != std::string::npos; })) << eventNames();
    EXPECT_EQ(eventNames(), "lowbattery fsd");
    EXPECT_EQ(nlohmann::json::parse(httpGet(httpPort, "/api/v1/state"))["forced_shutdown"], true);
    EXPECT_NE(httpGet(httpPort, "/metrics").find("\nqav_forced_shutdown{battery=\"b1\"} 1\n"), std::string::npos);
    nlohmann::json events = nlohmann::json::parse(httpGet(httpPort, "/api/v1/events"))["events"];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "fsd");
    EXPECT_EQ(events.back()["role"], "problem");
    EXPECT_TRUE(std::regex_match(events.back()["detail"].get<std::string>(),
                                 std::regex("forced shutdown set by NUT user pri from 127.0.0.1:[0-9]+")))
        << events.back();
}

TEST_F(NutDaemon, StaleDataWhileDischargingShutsDownAfterDeadtime)
{
    std::vector<std::string> answers = times(20, charging);
    std::vector<std::string> onBattery = times(400, discharging);
    answers.insert(answers.end(), onBattery.begin(), onBattery.end());
    start(answers);
    Child& secondary = upsmon("secondary", "sec secpass secondary");
    ASSERT_TRUE(until(15, [&] { return secondary.err.find("on battery") != std::string::npos; })) << secondary.err;
    kill(sim.pid, SIGSTOP);
    auto stopped = std::chrono::system_clock::now();
    ASSERT_TRUE(until(30, [&] { return timeIn(dir + "/secondary/shutdown") > 0; })) << secondary.err << qavd.err;
    EXPECT_EQ(client({UPSC_PATH, ups, "ups.status"}), std::pair(1, std::string("Error: Data stale\n")));
    double waited = timeIn(dir + "/secondary/shutdown") -
                    std::chrono::duration<double>(stopped.time_since_epoch()).count();
    // DEADTIME is 3 s; upsmon polls each second.
    EXPECT_GE(waited, 3) << secondary.err;
    EXPECT_LT(waited, 10) << secondary.err;
    EXPECT_EQ(eventNames(), "commlost");
    kill(sim.pid, SIGCONT);
}

TEST_F(NutDaemon, AnOutageShowsTheTimeLeftInEveryOutput)
{
    Broker broker{dir, "allow_anonymous true"};
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    // 1 Ah, full, mains on for 3 s, then 18 A for 25 s: 0.5 % a second, so 2 s of runtime per
    // percent of charge; then mains again.
    start({}, "none", {"--capacity", "1", "--start-charge", "100", "--profile", "3:+5, 25:-18, 1000:+5"},
          {"-i", "0.2", "-t", "0.15", "--stale-after", "5", "--http-listen", "127.0.0.1:0", "--outage-min", "1",
           "--mqtt-broker=127.0.0.1:" + std::to_string(broker.port)});
    // Before 2 % of charge has gone, the capacity is unknown and so is the runtime.
    EXPECT_EQ(NutClient(port).ask("GET VAR b1 battery.runtime"), "ERR VAR-NOT-SUPPORTED\n");
    ASSERT_TRUE(until(30, [&] { return NutClient(port).ask("GET VAR b1 battery.runtime").rfind("VAR ", 0) == 0; }))
        << qavd.err;
    auto [status, listing] = client({UPSC_PATH, ups});
    EXPECT_NE(listing.find("\nups.status: OB DISCHRG\n"), std::string::npos) << listing;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers slow qavd down several times, and the capacity first learned, after 2 % of
    // charge, has come out 3 % low under ThreadSanitizer.
    const double capacityTolerance = 0.05;
#else
    const double capacityTolerance = 0.03;
#endif
    EXPECT_NEAR(upscValue(listing, "battery.capacity"), 1, capacityTolerance) << listing;
    double charge = upscValue(listing, "battery.charge");
    EXPECT_LT(charge, 98.1);
    EXPECT_NEAR(upscValue(listing, "battery.runtime"), 2 * charge, 0.05 * 2 * charge) << listing;

    int httpPort = listening("HTTP");
    nlohmann::json state = nlohmann::json::parse(httpGet(httpPort, "/api/v1/state"));
    EXPECT_NEAR(state["runtime_seconds"].get<double>(), 2 * state["gas_gauge_percent"].get<double>(), 0.05 * 200);
    EXPECT_EQ(state["time_to_full_seconds"], nullptr);
    EXPECT_EQ(state["capacity_source"], "learned");
    EXPECT_NEAR(state["capacity_ah"].get<double>(), 1, 0.03);
    EXPECT_NEAR(state["power_watts"].get<double>(),
                state["stack_voltage_volts"].get<double>() * state["current_amperes"].get<double>(), 0.01);
    EXPECT_EQ(state["low_battery"], false);
    std::string metrics = httpGet(httpPort, "/metrics");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(metrics, m, std::regex("\nqav_battery_runtime_seconds\\{battery=\"b1\"\\} ([0-9.]+)\n")))
        << metrics;
    EXPECT_TRUE(std::regex_search(
        metrics, std::regex("\nqav_battery_capacity_coulombs\\{battery=\"b1\",source=\"learned\"\\} 3[56][0-9][0-9]")));
    EXPECT_TRUE(std::regex_search(metrics, std::regex("\nqav_battery_power_watts\\{battery=\"b1\"\\} -[0-9]{3}")));
    EXPECT_TRUE(std::regex_search(metrics, std::regex("\nqav_battery_energy_discharged_joules_total\\{battery=\"b1\"\\} [1-9]")));
    EXPECT_EQ(metrics.find("qav_battery_time_to_full_seconds"), std::string::npos);

    // Home Assistant: a duration sensor for the runtime, energy sensors its Energy dashboard takes.
    nlohmann::json runtime = nlohmann::json::parse(sub.waitAny("homeassistant/sensor/qav_b1/runtime/config").payload);
    EXPECT_EQ(runtime["device_class"], "duration");
    EXPECT_EQ(runtime["unit_of_measurement"], "s");
    nlohmann::json energy = nlohmann::json::parse(sub.waitAny("homeassistant/sensor/qav_b1/energy_discharged/config").payload);
    EXPECT_EQ(energy["state_class"], "total_increasing");
    EXPECT_EQ(energy["unit_of_measurement"], "kWh");
    ASSERT_TRUE(until(10, [&] {
        std::vector<Message> states = sub.on("qav/b1/state");
        return !states.empty() && nlohmann::json::parse(states.back().payload)["runtime_seconds"].is_number();
    }));

    // The outage's end, raised by the core, reaches the event command, MQTT, the API and the
    // metrics alike.
    ASSERT_TRUE(until(40, [&] { return eventNames().find("outageend") != std::string::npos; })) << qavd.err;
    ASSERT_TRUE(until(10, [&] {
        std::vector<Message> events = sub.on("qav/b1/event");
        return !events.empty() && nlohmann::json::parse(events.back().payload)["event"] == "outageend";
    }));
    nlohmann::json events = nlohmann::json::parse(httpGet(httpPort, "/api/v1/events"))["events"];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "outageend");
    EXPECT_EQ(events.back()["role"], "inform");
    EXPECT_NE(httpGet(httpPort, "/metrics").find("\nqav_events_total{battery=\"b1\",event=\"outageend\"} 1\n"),
              std::string::npos);

    // The endpoint gone: every output says stale after the same poll, none shows a value as live.
    stop(&sim, SIGTERM);
    ASSERT_TRUE(until(20, [&] { return eventNames().find("commlost") != std::string::npos; })) << qavd.err;
    // The event's command may start while that poll still hands its state to the outputs one
    // by one; once it has, each says stale.
    std::string scraped, nut;
    EXPECT_TRUE(until(5, [&] {
        scraped = httpGet(httpPort, "/metrics");
        nut = NutClient(port).ask("GET VAR b1 battery.charge");
        return scraped.find("\nqav_up{battery=\"b1\"} 0\n") != std::string::npos && nut == "ERR DATA-STALE\n";
    })) << nut << scraped;
    EXPECT_EQ(nlohmann::json::parse(httpGet(httpPort, "/api/v1/state"))["fresh"], false);
    ASSERT_TRUE(until(10, [&] {
        std::vector<Message> availability = sub.on("qav/b1/availability");
        return !availability.empty() && availability.back().payload == "offline";
    }));
}

TEST_F(NutDaemon, ASecondaryShutsDownWhenTheRuntimeIsLow)
{
    // 1 Ah at 56 % under 18 A: 112 s left, 100 s about 12 s later, while the gauge stays far above 20 %.
    start({}, "none", {"--capacity", "1", "--start-charge", "56", "--profile", "1000:-18"},
          {"-i", "0.1", "-t", "0.08", "--stale-after", "2", "--capacity", "1", "--low-runtime", "100"});
    Child& secondary = upsmon("secondary", "sec secpass secondary");
    EXPECT_EQ(NutClient(port).ask("GET VAR b1 battery.runtime.low"), "VAR b1 battery.runtime.low \"100\"\n");
    ASSERT_TRUE(until(60, [&] {
        return timeIn(dir + "/secondary/shutdown") > 0 &&
               secondary.err.find("Executing automatic power-fail shutdown") != std::string::npos;
    })) << secondary.err << qavd.err;
    EXPECT_NE(secondary.err.find("battery is low"), std::string::npos);
    auto [status, listing] = client({UPSC_PATH, ups});
    EXPECT_NE(listing.find("\nups.status: OB DISCHRG LB\n"), std::string::npos) << listing;
    EXPECT_LE(upscValue(listing, "battery.runtime"), 100);
    EXPECT_GT(upscValue(listing, "battery.charge"), 40);
    EXPECT_EQ(eventNames(), "lowbattery");
}

TEST_F(NutDaemon, APrimaryGetsInWhileASecondaryUserHoldsEverySlot)
{
    std::vector<std::string> answers = times(150, charging);
    std::vector<std::string> low = times(400, dischargingLow);
    answers.insert(answers.end(), low.begin(), low.end());
    start(answers);
    // 64 sessions of the secondary user, 8 from each of 8 addresses: a ninth from one address is refused.
    std::vector<std::unique_ptr<NutClient>> held;
    for (int i = 0; i < 65; i++) {
        int address = i <= 8 ? 2 : 2 + (i - 1) / 8;
        held.push_back(std::make_unique<NutClient>(port, ("127.0.0." + std::to_string(address)).c_str()));
        for (const char* request : {"USERNAME sec", "PASSWORD secpass"}) EXPECT_EQ(held.back()->ask(request), "OK\n");
        EXPECT_EQ(held.back()->ask("LOGIN b1"), i == 8 ? "ERR ACCESS-DENIED\n" : "OK\n") << i;
        if (i == 8) held.pop_back();
    }
    // The primary logs in at once, taking the place of one of them; so do upsmon and upsc.
    auto connecting = std::chrono::steady_clock::now();
    NutClient primary(port);
    for (const char* request : {"USERNAME pri", "PASSWORD pripass", "LOGIN b1"}) EXPECT_EQ(primary.ask(request), "OK\n");
    std::printf("the primary logged in %.1f ms after connecting, with 64 sessions held\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - connecting).count());
    EXPECT_EQ(primary.ask("GET VAR b1 ups.status"), "VAR b1 ups.status \"OL CHRG\"\n");
    Child& monitor = upsmon("primary", "pri pripass primary");
    ASSERT_TRUE(until(10, [&] { return monitor.err.find("Logged into UPS") != std::string::npos; })) << monitor.err;
    EXPECT_EQ(client({UPSC_PATH, ups, "ups.status"}), std::pair(0, std::string("OL CHRG\n")));
    // Every session but the three that made room holds on (upsc has left); upsmon is served
    // until it sets FSD and shuts down.
    EXPECT_EQ(primary.ask("GET NUMLOGINS b1"), "NUMLOGINS b1 63\n");
    int closed = 0;
    for (auto& session : held) closed += session->ask("GET VAR b1 ups.status").rfind("VAR b1 ", 0) == 0 ? 0 : 1;
    EXPECT_EQ(closed, 3);
    ASSERT_TRUE(until(40, [&] { return timeIn(dir + "/primary/shutdown") > 0; })) << monitor.err << qavd.err;
    EXPECT_EQ(primary.ask("GET VAR b1 ups.status"), "VAR b1 ups.status \"FSD OB DISCHRG LB\"\n");
    EXPECT_EQ(countOf(qavd.err, ": LOGIN refused for user sec: 8 sessions from this address are logged in\n"), 1);
    for (const char* share : {"64, more than its share of 32", "63, more than its share of 21", "62, more than its share of 21"})
        EXPECT_TRUE(std::regex_search(qavd.err, std::regex("127.0.0.2:[0-9]+ closed for 127.0.0.1:[0-9]+ \\(64 connections "
                                      "are open; user sec holds " + std::string(share) + "; this one idle longest\\)\n")))
            << share << qavd.err;
}

// A site of three batteries on one qavd. Every output serves each battery's own values; an
// endpoint that drops every packet leaves the other two on period, fresh and answered, while
// its own goes stale; upsmon with a MONITOR line per battery shuts its host down when the
// battery feeding it is low; SIGTERM ends it all within 1 s.
TEST_F(NutDaemon, ASiteServesEachBatteryOnItsOwnWhileOneEndpointDropsEveryPacket)
{
    Broker broker{dir, "allow_anonymous true"};
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    const char* names[] = {"rack1", "rack2", "rack3"};
    std::vector<std::string> rack2 = times(150, discharging);
    for (const std::string& low : times(3000, dischargingLow)) rack2.push_back(low);
    const std::vector<std::string> plays[] = {{charging}, rack2, {answerA}};
    ReservedPort ports[3];
    std::vector<Child> sims;
    std::ofstream conf(dir + "/site.conf");
    conf << "interval = 0.2\ntimeout = 0.15\nstale-after = 2\noutput = \"json\"\nevent-command = \"" << dir
         << "/site-event.sh\"\nhttp-listen = \"127.0.0.1:0\"\nnut-listen = \"127.0.0.1:0\"\nnut-users = \"" << dir
         << "/users\"\nmqtt-broker = \"127.0.0.1:" << broker.port << "\"\n";
    for (int i = 0; i < 3; i++) {
        std::string play = dir + "/" + names[i] + ".txt", simAt = std::to_string(ports[i].port);
        writeReplayFile(play, plays[i]);
        sims.push_back(spawn({BATTERY_SIM_PATH, "--port", simAt, "--replay", play}));
        EXPECT_TRUE(waitFor(&sims.back(), 10, [&](const Child& c) { return c.err.find("serving tcp") != std::string::npos; }));
        conf << "[" << names[i] << "]\naddress = \"tcp:127.0.0.1:" << simAt << "\"\n";
    }
    conf.close();
    std::ofstream(dir + "/site-event.sh") << "#!/bin/sh\necho \"$QAV_BATTERY $1\" >>" << dir << "/site-events\n";
    chmod((dir + "/site-event.sh").c_str(), 0755);
    qavd = spawn({QAVD_PATH, "--config", dir + "/site.conf", "--name", "site"});
    port = listening("NUT");
    int httpPort = listening("HTTP");
    std::string nut = "@127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(until(20, [&] { return NutClient(port).ask("GET VAR rack3 ups.status").rfind("VAR ", 0) == 0; }));
    // The host is fed by rack2 alone and watches the others.
    std::string lines;
    for (const char* name : names)
        lines += std::string("MONITOR ") + name + nut + (name == names[1] ? " 1" : " 0") + " sec secpass secondary\n";
    Child& secondary = upsmonOf("secondary", lines);

    EXPECT_EQ(client({UPSC_PATH, "-l", nut.substr(1)}).second, "rack1\nrack2\nrack3\n");
    const struct {
        const char* charge;
        double percent;
    } values[] = {{"30.0", 30}, {"25.0", 25}, {"85.0", 85}};
    std::string metrics = httpGet(httpPort, "/metrics");
    for (int i = 0; i < 3; i++) {
        std::string name = names[i];
        EXPECT_EQ(client({UPSC_PATH, name + nut, "battery.charge"}).second, std::string(values[i].charge) + "\n");
        nlohmann::json state = nlohmann::json::parse(httpGet(httpPort, "/api/v1/batteries/" + name + "/state"));
        EXPECT_EQ(state["gas_gauge_percent"], values[i].percent) << name;
        EXPECT_EQ(state["fresh"], true) << name;
        char sample[96];
        std::snprintf(sample, sizeof sample, "\nqav_state_of_charge_ratio{battery=\"%s\"} %g\n", names[i], values[i].percent / 100);
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample << metrics;
        EXPECT_EQ(nlohmann::json::parse(sub.waitAny("qav/" + name + "/state").payload)["gas_gauge_percent"], values[i].percent);
    }

    // rack3's endpoint drops every packet, both ways, in this test's own network namespace:
    // its port's packets go to a queue that holds none.
    if (geteuid() != 0 || getenv("QAV_ISOLATED") == nullptr) SKIP_OR_FAIL_UNDER_CI("dropping packets needs root in a namespace of the test's own");
    std::string port3 = std::to_string(ports[2].port);
    for (const std::string& rule : {std::string("qdisc add dev lo root handle 1: htb default 20"),
                                    std::string("class add dev lo parent 1: classid 1:10 htb rate 1mbit quantum 1514"),
                                    std::string("class add dev lo parent 1: classid 1:20 htb rate 10gbit quantum 65536"),
                                    std::string("qdisc add dev lo parent 1:10 handle 10: pfifo limit 0"),
                                    "filter add dev lo parent 1: protocol ip prio 1 u32 match ip dport " + port3 + " 0xffff flowid 1:10",
                                    "filter add dev lo parent 1: protocol ip prio 1 u32 match ip sport " + port3 + " 0xffff flowid 1:10"})
        ASSERT_EQ(std::system((std::string(TC_PATH) + " " + rule).c_str()), 0) << rule;
    auto answersOf = [&](const std::string& name) {
        std::size_t n = 0;
        for (std::size_t at = qavd.out.find("{\"battery\":\"" + name + "\""); at != std::string::npos; n++)
            at = qavd.out.find("{\"battery\":\"" + name + "\"", at + 1);
        return n;
    };
    std::size_t before1 = answersOf("rack1"), before2 = answersOf("rack2");
    auto dropped = std::chrono::steady_clock::now();
    // CPU time of qavd, in clock ticks, from /proc.
    auto cpuTicks = [&] {
        std::string stat = fileText("/proc/" + std::to_string(qavd.pid) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; i++)
            if (i >= 14) ticks += std::stoll(field);
        return ticks;
    };
    long long cpuBefore = cpuTicks();
    ASSERT_TRUE(until(10, [&] { return fileText(dir + "/site-events").find("rack3 commlost\n") != std::string::npos; }));
    until(3 - std::chrono::duration<double>(std::chrono::steady_clock::now() - dropped).count(), [] { return false; });
    // Three batteries at 0.2 s with every output take under 1 % of a core (0.02 s in these 3 s);
    // a server thread that spun would take a whole one.
    EXPECT_LT(static_cast<double>(cpuTicks() - cpuBefore) / static_cast<double>(sysconf(_SC_CLK_TCK)), 0.6);
    // 15 polls in 3 s at 0.2 s: the others lose none to rack3's wedge.
    EXPECT_GE(answersOf("rack1") - before1, 14U);
    EXPECT_GE(answersOf("rack2") - before2, 14U);
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(client({UPSC_PATH, "rack1" + nut, "battery.charge"}).second, "30.0\n");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count(), 2);
    EXPECT_EQ(client({UPSC_PATH, "rack3" + nut, "battery.charge"}).second, "Error: Data stale\n");
    EXPECT_EQ(nlohmann::json::parse(httpGet(httpPort, "/api/v1/batteries/rack1/state"))["fresh"], true);
    EXPECT_EQ(nlohmann::json::parse(httpGet(httpPort, "/api/v1/batteries/rack3/state"))["fresh"], false);
    EXPECT_TRUE(sub.waitLatest("qav/rack3/availability", "offline"));
    EXPECT_EQ(sub.on("qav/rack1/availability").back().payload, "online");

    // rack2 runs low: the host it feeds shuts down; only rack2 raised lowbattery.
    ASSERT_TRUE(until(60, [&] { return timeIn(dir + "/secondary/shutdown") > 0; })) << secondary.err;
    std::string events = fileText(dir + "/site-events");
    EXPECT_NE(events.find("rack2 lowbattery\n"), std::string::npos) << events;
    EXPECT_EQ(events.find("rack1 "), std::string::npos) << events;

    // SIGTERM while rack3 still swallows every connection attempt.
    auto told = std::chrono::steady_clock::now();
    kill(qavd.pid, SIGTERM);
    int status = waitExit(&qavd, 10);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - told).count(), 1);
    for (Child& child : sims) stop(&child, SIGTERM);
}

// The history file a single battery's qavd wrote is read as that battery's once a site
// holds it: the site's qavd keeps each battery's store beside the --history it is given.
TEST_F(NutDaemon, ASingleBatterysHistoryFileIsThatBatterysInASite)
{
    int sim1 = startSim({});
    startQavd(sim1, {"--name", "rack1", "-i", "0.1", "-t", "0.08", "--output", "none", "--history", dir + "/rack1.db",
                     "--http-listen", "127.0.0.1:0"});
    int httpPort = listening("HTTP");
    ASSERT_TRUE(until(20, [&] {
        return nlohmann::json::parse(httpGet(httpPort, "/api/v1/history?seconds=3600"))["points"].size() >= 3;
    }));
    stop(&qavd, SIGTERM);
    struct stat before {};
    ASSERT_EQ(stat((dir + "/rack1.db").c_str(), &before), 0);
    sleep(1);

    ReservedPort second;
    Child sim2 = spawn({BATTERY_SIM_PATH, "--port", std::to_string(second.port)});
    std::ofstream(dir + "/site.conf") << "interval = 0.1\ntimeout = 0.08\noutput = \"none\"\nhttp-listen = \"127.0.0.1:0\"\n"
                                      << "[rack1]\naddress = \"tcp:127.0.0.1:" << sim1 << "\"\n[rack2]\naddress = \"tcp:127.0.0.1:"
                                      << second.port << "\"\n";
    qavd = spawn({QAVD_PATH, "--config", dir + "/site.conf", "--name", "site", "--history", dir + "/site.db"});
    httpPort = listening("HTTP");
    // rack1's points from before the restart come first, before the gap of the restart.
    nlohmann::json rack1 = nlohmann::json::parse(httpGet(httpPort, "/api/v1/batteries/rack1/history?seconds=3600"));
    ASSERT_GE(rack1["points"].size(), 3U) << rack1.dump();
    // A bucket of 5 s that began before the last one of the first run can hold no new answer.
    EXPECT_LT(rack1["points"][0][0].get<long long>(), static_cast<long long>(before.st_mtime) - 5) << rack1.dump();
    nlohmann::json rack2 = nlohmann::json::parse(httpGet(httpPort, "/api/v1/batteries/rack2/history?seconds=3600"));
    for (const nlohmann::json& point : rack2["points"])
        EXPECT_GE(point[0].get<long long>(), static_cast<long long>(before.st_mtime) - 5);
    struct stat after {};
    ASSERT_EQ(stat((dir + "/rack1.db").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(access((dir + "/rack2.db").c_str(), F_OK), 0);
    stop(&sim2, SIGTERM);
}

// An aged battery end to end: a 1 Ah battery faded to 76 % plays discharges and charges of
// 11.7 points, 0.3 points a poll (load steps count while the charge moves under half a point); qavd measures its capacity from them and every output says it wants replacing;
// its lifetime figures outlive a SIGKILL.
TEST_F(NutDaemon, AnAgedBatteryIsDueForReplacementInEveryOutputAndItsFiguresOutliveSigkill)
{
    Broker broker{dir, "allow_anonymous true"};
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port);
    // 1 Ah less 30 % per 100 cycles over 80 cycles: 0.76 Ah; 8 s at 40 A is 0.089 Ah.
    const std::vector<std::string> options = {
        "--name", "b1", "--output", "none", "-i", "0.2", "-t", "0.15", "--capacity", "1", "--installed", "2025-01-01",
        "--history", dir + "/b1.db", "--http-listen", "127.0.0.1:0", "--nut-listen", "127.0.0.1:0",
        "--mqtt-broker=127.0.0.1:" + std::to_string(broker.port)};
    startSim({"--capacity", "1", "--fade", "30", "--cycles", "80", "--resistance", "5", "--start-charge", "90",
              "--profile", "8:-40, 8:+40"});
    startQavd(simPort, options);
    int httpPort = listening("HTTP");
    port = listening("NUT");
    nlohmann::json health;
    ASSERT_TRUE(until(90, [&] {
        // 503 until the first poll's snapshot.
        health = nlohmann::json::parse(httpGet(httpPort, "/api/v1/health"), nullptr, false);
        return health.is_object() && health["capacity_points"].size() >= 3 && health["health_ratio"].is_number() &&
               health["resistance"]["stack_ohms"].is_number();
    })) << health.dump() << qavd.err;
    EXPECT_NEAR(health["health_ratio"].get<double>(), 0.76, 0.03) << health.dump();
    EXPECT_EQ(health["health_reference"], "rated");
    EXPECT_EQ(health["installed"], "2025-01-01");
    EXPECT_EQ(health["replace"], true);
    EXPECT_NEAR(health["capacity_points"].back()["capacity_ah"].get<double>(), 0.76, 0.03);
    EXPECT_NEAR(health["resistance"]["stack_ohms"].get<double>(), 0.040, 0.006) << health.dump();
    EXPECT_NE(NutClient(port).ask("GET VAR b1 ups.status").find(" RB"), std::string::npos);
    EXPECT_EQ(NutClient(port).ask("GET VAR b1 battery.date"), "VAR b1 battery.date \"2025-01-01\"\n");
    std::string metrics = httpGet(httpPort, "/metrics");
    EXPECT_NE(metrics.find("\nqav_battery_replace{battery=\"b1\"} 1\n"), std::string::npos) << metrics;
    EXPECT_TRUE(std::regex_search(metrics, std::regex("\nqav_battery_health_ratio\\{battery=\"b1\",reference=\"rated\"\\} 0\\.7[3-9]")))
        << metrics;
    nlohmann::json replace = nlohmann::json::parse(sub.waitAny("homeassistant/binary_sensor/qav_b1/replace_battery/config").payload);
    EXPECT_EQ(replace["device_class"], "problem");
    EXPECT_EQ(nlohmann::json::parse(sub.waitAny("qav/b1/health").payload)["replace"], true);

    // SIGKILL, then a new run on the same file: the figures go on from where they were.
    double discharged = health["lifetime"]["discharged_ampere_hours"].get<double>();
    ASSERT_GT(discharged, 0.15);
    sleep(11); // the store writes the lifetime figures every 10 s
    kill(qavd.pid, SIGKILL);
    waitExit(&qavd, 10);
    startQavd(simPort, options);
    httpPort = listening("HTTP");
    nlohmann::json after;
    ASSERT_TRUE(until(10, [&] {
        after = nlohmann::json::parse(httpGet(httpPort, "/api/v1/health"), nullptr, false);
        return after.is_object();
    }));
    EXPECT_GE(after["lifetime"]["discharged_ampere_hours"].get<double>(), discharged) << after.dump();
    EXPECT_GE(after["capacity_points"].size(), health["capacity_points"].size());
    EXPECT_EQ(after["replace"], true);
}
