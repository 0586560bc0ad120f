// End-to-end tests of the qav_test monitor against the simulator on 127.0.0.1:10001.
#include "process.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

// Fields of an answer: gauge, V1-V8, current, layers 8-1, heatsink, humidity,
// balance, temperature alerts, voltage alerts, status, 3 trailing bytes.
const std::string answerA = "2134"
                            "0CE40CE40CE40CE40CE40CE40CE40CE4"
                            "FF9C"
                            "161718191A1B1C1D"
                            "1F"
                            "2D"
                            "05"
                            "0000"
                            "0012"
                            "8000"
                            "5A\n";
const std::string answerB = "2710"
                            "0FA00FA00FA00FA00FA00FA00FA00FA0"
                            "04E2"
                            "1E1E1E1E1E1E1E1E"
                            "28"
                            "32"
                            "00"
                            "0001"
                            "0000"
                            "8408"
                            "77\n";

// The report lines that follow "time: ..." for answerA.
const std::string reportA = "gasGauge : 85.000000\n"
                            "V1:3.300 V2:3.300 V3:3.300 V4:3.300\n"
                            "V5:3.300 V6:3.300 V7:3.300 V8:3.300\n"
                            "Current: -1.00\n"
                            "Stack Voltage: 26.400000\n"
                            "Temps(layer 8 to layer 1): 22 23 24 25 26 27 28 29\n"
                            "Heatsink temp: 31\n"
                            "relative Humidity: 45\n"
                            "balance register:  5\n"
                            "temp alert register:  0\n"
                            "WARNING: volt alert register: 12\n"
                            "Battery Status Register: 8000\n"
                            "Fan state: Off\n"
                            "Main Fuse: Good\n"
                            "Safe Operating Area: Good\n"
                            "Overcurrent: Good\n"
                            "Undervoltage: Good\n"
                            "Overvoltage: Good\n"
                            "Discharge Mode: Off\n"
                            "Charge Mode: Off\n"
                            "Discharge Transient: Good\n"
                            "Battery Cold Limit: Good\n"
                            "Heatsink Hot Limit: Good\n"
                            "Battery Hot Limit: Good\n"
                            "Battery Enable: On\n"
                            "\n";

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A scratch directory to run the monitor in, and the simulator it talks to.
class Monitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(FAKETIME_LIBRARY).empty()) GTEST_SKIP() << "libfaketime is not installed";
        char pattern[] = "/tmp/qav_monitor_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        stop(&monitor);
        stop(&sim, SIGTERM);
        if (!dir.empty()) {
            EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
        }
    }

    // Start the simulator on port 10001 and wait until it listens.
    void startSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), BATTERY_SIM_PATH);
        sim = spawn(args);
        ASSERT_TRUE(waitFor(&sim, 5, [](const Child& c) {
            return c.err.find("serving tcp 127.0.0.1:10001\n") != std::string::npos;
        })) << sim.err;
    }

    // Start the simulator replaying the given answers, one a line.
    void replay(const std::vector<std::string>& answers, std::vector<std::string> args = {})
    {
        std::ofstream file(dir + "/answers.txt", std::ios::binary);
        for (const std::string& answer : answers) {
            // The replay file holds one answer a line, so line feeds are escaped.
            for (char c : answer) file << (c == '\n' ? std::string("\\x0A") : std::string(1, c));
            file << '\n';
        }
        file.close();
        args.insert(args.begin(), {"--replay", dir + "/answers.txt"});
        startSim(args);
    }

    // Start the monitor in the scratch directory, its clocks and sleeps 20 times as fast
    // and its stdout line-buffered so nothing is lost when it is killed.
    void startMonitor(const std::string& in = "")
    {
        monitor = spawn({STDBUF_PATH, "-oL", QAV_TEST_PATH},
                        {std::string("LD_PRELOAD=") + FAKETIME_LIBRARY, "FAKETIME=+0 x20",
                         "ASAN_OPTIONS=verify_asan_link_order=0"},
                        in.empty() ? dir : in);
    }

    bool waitForOut(const std::string& text, int times, double seconds = 20)
    {
        return waitFor(&monitor, seconds,
                       [&](const Child& c) { return countOf(c.out, text) >= times; });
    }

    // Names of the files in the scratch directory that end in "qav.log".
    std::vector<std::string> dataLogs() const
    {
        std::vector<std::string> names;
        DIR* d = opendir(dir.c_str());
        for (dirent* entry = readdir(d); entry != nullptr; entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name.size() > 7 && name.substr(name.size() - 7) == "qav.log") names.push_back(name);
        }
        closedir(d);
        return names;
    }

    std::string onlyDataLog() const
    {
        std::vector<std::string> names = dataLogs();
        EXPECT_EQ(names.size(), 1U);
        if (names.empty()) return "";
        EXPECT_TRUE(std::regex_match(names[0], std::regex("[0-9]+qav\\.log"))) << names[0];
        return fileText(dir + "/" + names[0]);
    }

    std::string dir;
    Child sim, monitor;
};

TEST_F(Monitor, ReportsEveryAcceptedAnswer)
{
    replay({answerA, answerB});
    startMonitor();
    ASSERT_TRUE(waitForOut("response is ", 4)) << monitor.out << monitor.err;
    stop(&monitor);
    EXPECT_EQ(monitor.err, "");
    // Each cycle: the receive progress, the echo (with the answer's own line feed), the report.
    std::regex cycle("calling select\nselect returned 1\nresponse is " + answerA +
                     "\ntime: ([0-9]+)\n" + std::regex_replace(reportA, std::regex("[()]"), "\\$&"));
    EXPECT_TRUE(std::regex_search(monitor.out, cycle)) << monitor.out;
    EXPECT_NE(monitor.out.find("response is " + answerB + "\ntime: "), std::string::npos);
    EXPECT_NE(monitor.out.find("gasGauge : 100.000000\n"), std::string::npos);
    EXPECT_NE(monitor.out.find("Current: 12.50\n"), std::string::npos);

    // The data log holds one line per report, with the report's time.
    std::vector<std::string> log = linesOf(onlyDataLog());
    std::vector<std::string> times;
    std::regex timeLine("time: ([0-9]+)\n");
    for (std::sregex_iterator it(monitor.out.begin(), monitor.out.end(), timeLine), end; it != end; ++it)
        times.push_back((*it)[1]);
    ASSERT_GE(log.size(), 4U);
    ASSERT_TRUE(log.size() == times.size() || log.size() + 1 == times.size());
    for (std::size_t i = 0; i < log.size(); i++) {
        const char* rest = i % 2 == 0 ? ",85.00,-1.00,45, 5, 0,12,8000" : ",100.00,12.50,50, 0, 1, 0,8408";
        EXPECT_EQ(log[i], times[i] + rest) << i;
    }
}

TEST_F(Monitor, AnswersOfWrongLengthAreDropped)
{
    for (const char* length : {"76", "78"}) {
        startSim({"--length", length});
        startMonitor();
        ASSERT_TRUE(waitForOut("select returned 1\n", 3)) << monitor.out << monitor.err;
        stop(&monitor);
        stop(&sim, SIGTERM);
        EXPECT_EQ(monitor.out.find("response is"), std::string::npos) << length;
        EXPECT_EQ(monitor.out.find("time:"), std::string::npos) << length;
        EXPECT_EQ(countOf(monitor.out, "calling select\nselect returned 1\n"),
                  countOf(monitor.out, "calling select\n"));
        EXPECT_EQ(onlyDataLog(), "");
        EXPECT_EQ(std::system(("rm -f " + dir + "/*qav.log").c_str()), 0);
    }
}

TEST_F(Monitor, RefusedConnectionEndsWith255)
{
    startMonitor();
    int status = waitExit(&monitor, 20);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_TRUE(std::regex_match(
        monitor.err,
        std::regex("serial\\.cpp:[0-9]+:open of protocol 'tcp' on server '127\\.0\\.0\\.1' on port "
                   "'10001' failed\nunable to open connection to battery:: Connection refused\n")))
        << monitor.err;
    EXPECT_EQ(monitor.out, "");
    EXPECT_EQ(onlyDataLog(), "");
}

TEST_F(Monitor, SilentEndpointGivesEmptyCycles)
{
    startSim({"--silent"});
    startMonitor();
    ASSERT_TRUE(waitForOut("no bytes ready\n", 3)) << monitor.out;
    stop(&monitor);
    std::string out = monitor.out;
    EXPECT_TRUE(std::regex_match(out, std::regex("(calling select\nno bytes ready\n)+(calling select\n)?")))
        << out;
    EXPECT_EQ(monitor.err, "");
    EXPECT_EQ(onlyDataLog(), "");
}

TEST_F(Monitor, UncreatableDataLogStopsBeforeConnecting)
{
    startSim({});
    std::string gone = dir + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    // The monitor starts in a directory that no longer exists, so no file can be made there.
    monitor = spawn({"/bin/sh", "-c", std::string("cd ") + gone + " && rmdir " + gone + " && exec " + QAV_TEST_PATH});
    int status = waitExit(&monitor, 20);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(std::regex_match(
        monitor.err, std::regex("qav_test: cannot create data log \"[0-9]+qav\\.log\": No such file "
                                "or directory\n")))
        << monitor.err;
    pump(&sim, 200);
    EXPECT_EQ(sim.err.find("connection opened"), std::string::npos);
}

TEST_F(Monitor, PeerCloseEndsTheMonitorThroughBrokenPipe)
{
    replay({answerA}, {"--close-after", "2"});
    startMonitor();
    int status = waitExit(&monitor, 30);
    ASSERT_TRUE(WIFSIGNALED(status)) << status << monitor.out;
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    EXPECT_EQ(countOf(monitor.out, "response is"), 2);
    EXPECT_NE(monitor.out.find("calling select\nselect returned 1\n", monitor.out.rfind("time:")), std::string::npos);
    EXPECT_TRUE(std::regex_search(monitor.err, std::regex("serial\\.cpp:[0-9]+:err: recvStr failed with no bytes\n")))
        << monitor.err;
    EXPECT_EQ(linesOf(onlyDataLog()).size(), 2U);
}

// A datagram socket bound at /dev/log for the length of one test.
struct DevLog {
    int sd = -1;
    std::string skipReason;
};

DevLog bindDevLog()
{
    DevLog log;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    int probe = socket(AF_UNIX, SOCK_DGRAM, 0);
    bool owned = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(probe);
    if (owned) {
        log.skipReason = "a syslog daemon owns /dev/log, so the records cannot be read here";
        return log;
    }
    unlink("/dev/log"); // a socket left by a daemon that is gone
    log.sd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (bind(log.sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        log.skipReason = std::string("cannot bind /dev/log: ") + std::strerror(errno);
        close(log.sd);
        log.sd = -1;
    }
    return log;
}

// The next datagram on sd, or "" after a few seconds of silence.
std::string nextRecord(int sd)
{
    pollfd waiting{sd, POLLIN, 0};
    if (poll(&waiting, 1, 5000) != 1) return "";
    char record[2048];
    ssize_t n = recv(sd, record, sizeof record, 0);
    return n > 0 ? std::string(record, static_cast<std::size_t>(n)) : "";
}

TEST_F(Monitor, SendsTwoSyslogRecordsPerAnswer)
{
    DevLog log = bindDevLog();
    if (log.sd < 0) GTEST_SKIP() << log.skipReason;
    replay({answerA, answerB});
    startMonitor();
    bool answered = waitForOut("response is ", 2);
    stop(&monitor);
    std::vector<std::string> records;
    for (int i = 0; i < 4; i++) records.push_back(nextRecord(log.sd));
    close(log.sd);
    unlink("/dev/log");
    ASSERT_TRUE(answered) << monitor.out;
    // Priority LOG_ERR of the default facility LOG_USER: <11>; the text ends the record.
    const char* expected[] = {"QAV Battery Current & Gas Gauge: -1.00 85.00", "QAV Battery RH: 45",
                              "QAV Battery Current & Gas Gauge: 12.50 100.00", "QAV Battery RH: 50"};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(records[static_cast<std::size_t>(i)].rfind("<11>", 0), 0U) << records[static_cast<std::size_t>(i)];
        std::string text = expected[i];
        const std::string& record = records[static_cast<std::size_t>(i)];
        EXPECT_TRUE(record.size() >= text.size() && record.compare(record.size() - text.size(), text.size(), text) == 0)
            << record;
    }
}

} // namespace
