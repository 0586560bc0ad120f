// End-to-end tests of qavd against the simulator on loopback ports of their own.
#include "free_port.h"
#include "process.h"
#include "sample_answers.h"
#include "syslog_socket.h"
#include "text_files.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {


bool running(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

// A scratch directory, the simulator and qavd.
class Qavd : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qavd_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        stop(&qavd);
        stop(&sim, SIGTERM);
        for (const std::string& pid : linesOf(fileText(dir + "/pids"))) kill(-std::stoi(pid), SIGKILL);
        EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    }

    // Start the simulator on simPort, held for it so that it can restart there; returns the port.
    int startSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {BATTERY_SIM_PATH, "--port", std::to_string(simPort)});
        sim = spawn(args);
        const std::string ready = "serving tcp 127.0.0.1:" + std::to_string(simPort) + "\n";
        EXPECT_TRUE(waitFor(&sim, 10, [&](const Child& c) { return c.err.find(ready) != std::string::npos; }))
            << sim.err;
        return simPort;
    }

    // Start the simulator replaying answers, one a line.
    int replay(const std::vector<std::string>& answers, std::vector<std::string> args = {})
    {
        writeReplayFile(dir + "/answers.txt", answers);
        args.insert(args.begin(), {"--replay", dir + "/answers.txt"});
        return startSim(args);
    }

    void startQavd(int port, std::vector<std::string> args, const std::vector<std::string>& env = {})
    {
        args.insert(args.begin(), {QAVD_PATH, "--address", "tcp:127.0.0.1:" + std::to_string(port)});
        qavd = spawn(args, env);
    }

    // The environment that has qavd note its connects and requests (see syscall_log.cpp),
    // with its clocks running speed times fast under libfaketime unless speed is 1.
    std::vector<std::string> noting(int speed = 1) const
    {
        std::string preload = SYSCALL_LOG_PATH;
        if (speed != 1) preload = std::string(FAKETIME_LIBRARY) + " " + preload;
        return {"LD_PRELOAD=" + preload, "QAV_SYSCALL_LOG=" + dir + "/syscalls.txt",
                "FAKETIME=+0 x" + std::to_string(speed), "ASAN_OPTIONS=verify_asan_link_order=0"};
    }

    // The times on qavd's clock at which it did what ("connect" or "request").
    std::vector<double> noted(const std::string& what) const
    {
        std::vector<double> times;
        for (const std::string& line : linesOf(fileText(dir + "/syscalls.txt")))
            if (line.rfind(what + " ", 0) == 0) times.push_back(std::stod(line.substr(what.size() + 1)));
        return times;
    }

    // Read both children until done() holds or seconds pass.
    bool until(double seconds, const std::function<bool()>& done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            if (sim.pid > 0) pump(&sim, 0);
            pump(&qavd, 20);
        }
        return true;
    }

    bool waitForLines(std::size_t count, double seconds = 10)
    {
        return until(seconds, [&] { return linesOf(qavd.out).size() >= count; });
    }

    // An event command that appends "$1|event|battery|detail|time" to events.txt.
    std::string eventScript(const std::string& after = "")
    {
        std::string path = dir + "/event.sh";
        std::ofstream script(path);
        script << "#!/bin/sh\nprintf '%s|%s|%s|%s|%s\\n' \"$1\" \"$QAV_EVENT\" \"$QAV_BATTERY\" "
                  "\"$QAV_DETAIL\" \"$QAV_TIME\" >>"
               << dir << "/events.txt\n"
               << after << "\n";
        script.close();
        chmod(path.c_str(), 0755);
        return path;
    }

    std::string events() const { return fileText(dir + "/events.txt"); }

    bool waitForEvent(const std::string& name, double seconds = 10)
    {
        return until(seconds, [&] { return events().find("|" + name + "|") != std::string::npos; });
    }

    std::vector<std::string> dataLogs() const { return dataLogsIn(dir); }

    std::string dir;
    Child sim, qavd;
    ReservedPort simReservation;
    int simPort = simReservation.port;
};

// Skip, saying why, a test that needs libfaketime where it is not installed.
#define REQUIRE_FAKETIME()                                                                  \
    do {                                                                                    \
        if (std::string(FAKETIME_LIBRARY).empty())                                          \
            GTEST_SKIP() << "libfaketime is not installed (Debian package libfaketime)";   \
    } while (false)

// The eight data log fields of answerB after the time.
const std::string answerBLog = ",100.00,12.50,50, 0, 1, 0,8408";

TEST_F(Qavd, AcceptsAnswersSplitInTwoWithTheDecodersValues)
{
    int port = replay({answerA}, {"--split", "40"});
    startQavd(port, {"-i", "0.2", "-t", "0.15", "--datalog", dir}, noting());
    ASSERT_TRUE(waitForLines(11)) << qavd.out << qavd.err;
    for (const std::string& line : linesOf(qavd.out)) {
        long long time = nlohmann::json::parse(line)["time"];
        EXPECT_EQ(line, R"({"battery":"battery","time":)" + std::to_string(time) + jsonAfterTimeA);
    }
    std::vector<std::string> logs = dataLogs();
    ASSERT_EQ(logs.size(), 1U);
    for (const std::string& line : linesOf(fileText(dir + "/" + logs[0])))
        EXPECT_EQ(line.substr(line.find(',')), ",85.00,-1.00,45, 5, 0,12,8000");
    // Polls start a period apart, counted from start to start although each answer takes 40 ms
    // and more: some two requests five or more polls apart lie that many periods apart on
    // qavd's clock. A poll held up by a busy machine moves only itself, not the schedule.
    std::vector<double> requests = noted("request");
    ASSERT_GE(requests.size(), 11U);
    double best = 1e9;
    for (std::size_t i = 0; i < requests.size(); i++)
        for (std::size_t j = i + 5; j < requests.size(); j++)
            best = std::min(best, std::fabs(requests[j] - requests[i] - 0.2 * static_cast<double>(j - i)));
    EXPECT_LT(best, 0.05) << fileText(dir + "/syscalls.txt");
}

TEST_F(Qavd, RejectedAnswersNeverReachAnOutput)
{
    std::string binary = answerB;
    binary[20] = '\0';
    binary[21] = '\xff';
    std::string malformed = answerB;
    malformed[73] = 'x';
    int port = replay({answerB.substr(0, 76), answerB.substr(0, 76) + "0\n", malformed, binary, answerB});
    startQavd(port, {"-i", "0.1", "-t", "0.08", "--datalog", dir});
    ASSERT_TRUE(waitForLines(3, 20)) << qavd.out << qavd.err;
    stop(&qavd, SIGTERM);
    std::vector<std::string> lines = linesOf(qavd.out);
    for (const std::string& line : lines) EXPECT_EQ(nlohmann::json::parse(line)["answer"], answerB);
    // The simulator answered every poll; only one in five was accepted.
    EXPECT_GE(countOf(sim.err, "bytes\n"), 5 * static_cast<int>(lines.size()) - 4);
    std::vector<std::string> log = linesOf(fileText(dir + "/" + dataLogs().at(0)));
    EXPECT_EQ(log.size(), lines.size());
    for (const std::string& line : log) EXPECT_EQ(line.substr(line.find(',')), answerBLog);
}

TEST_F(Qavd, AnswerFollowedByTheEndOfTheConnectionIsAccepted)
{
    int port = replay({answerA}, {"--close-after", "1"});
    startQavd(port, {"-i", "0.1", "-t", "0.08"});
    ASSERT_TRUE(waitForLines(3)) << qavd.err;
    EXPECT_GE(countOf(sim.err, "connection closed\n"), 2);
    for (const std::string& line : linesOf(qavd.out)) EXPECT_EQ(nlohmann::json::parse(line)["answer"], answerA);
}

TEST_F(Qavd, EndpointRestartGivesCommlostThenCommokInTheSameDataLog)
{
    int port = startSim({});
    startQavd(port, {"-i", "0.1", "-t", "0.05", "--stale-after", "2", "--datalog", dir,
                     "--event-command", eventScript()});
    ASSERT_TRUE(waitForLines(3)) << qavd.err;
    stop(&sim, SIGTERM);
    ASSERT_TRUE(waitForEvent("commlost")) << qavd.err;
    startSim({});
    ASSERT_TRUE(waitForEvent("commok")) << qavd.err;
    std::size_t before = linesOf(qavd.out).size();
    ASSERT_TRUE(waitForLines(before + 3));
    EXPECT_TRUE(running(qavd.pid));
    ASSERT_EQ(dataLogs().size(), 1U);
    // The data log line of an answer follows its JSON line.
    std::string log = dir + "/" + dataLogs()[0];
    EXPECT_TRUE(until(5, [&] { return linesOf(fileText(log)).size() >= before + 3; })) << fileText(log);
    EXPECT_EQ(linesOf(events()).size(), 2U) << events();
    // The event commands have ended and been reaped: qavd has no children left.
    std::string children = "/proc/" + std::to_string(qavd.pid) + "/task/" + std::to_string(qavd.pid) + "/children";
    EXPECT_TRUE(until(5, [&] { return fileText(children).empty(); })) << fileText(children);
}

TEST_F(Qavd, RefusedAtStartKeepsRetryingAndReportsAnUnrunnableCommand)
{
    int port = simPort; // nothing listens there yet
    std::string notExecutable = dir + "/not-executable";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    startQavd(port, {"-i", "0.1", "-t", "0.05", "--stale-after", "2", "--event-command", notExecutable});
    ASSERT_TRUE(until(10, [&] { return qavd.err.find("qavd: event commlost: cannot run") != std::string::npos; }))
        << qavd.err;
    EXPECT_NE(qavd.err.find("Permission denied"), std::string::npos) << qavd.err;
    EXPECT_TRUE(running(qavd.pid));
    startSim({});
    // Retries double from 1 s; the fourth comes 15 s after the first.
    ASSERT_TRUE(waitForLines(2, 20)) << qavd.err;
    EXPECT_TRUE(until(5, [&] { return qavd.err.find("qavd: event commok: cannot run") != std::string::npos; }));
}

TEST_F(Qavd, RefusedConnectionsAreRetriedAfterOneSecondDoublingUpToAMinute)
{
    REQUIRE_FAKETIME();
    // qavd's clocks run twenty times fast; nothing ever listens on the port.
    startQavd(simPort, {"-i", "0.25", "-t", "0.1", "--output", "none"}, noting(20));
    ASSERT_TRUE(until(120, [&] { return noted("connect").size() >= 10; })) << fileText(dir + "/syscalls.txt");
    std::vector<double> attempts = noted("connect");
    // On qavd's clock an attempt is never early. It may be late by the wait for the next poll
    // (0.25 s) and by whatever a busy machine holds it up (20 s allowed, one real second).
    const double waits[] = {1, 2, 4, 8, 16, 32, 60, 60, 60};
    double closestAtTheCap = 1e9;
    for (std::size_t i = 0; i < 9; i++) {
        double gap = attempts[i + 1] - attempts[i];
        EXPECT_GE(gap, waits[i]) << "attempt " << i + 1;
        EXPECT_LT(gap, waits[i] + 0.25 + 20) << "attempt " << i + 1;
        if (waits[i] == 60) closestAtTheCap = std::min(closestAtTheCap, gap);
    }
    // The cap is a minute, not the next doubling: one of the three waits there came on time.
    EXPECT_LT(closestAtTheCap, 60 + 0.25 + 1) << fileText(dir + "/syscalls.txt");
}

TEST_F(Qavd, AlertAndFaultEventsRunTheCommandOncePerChange)
{
    int port = startSim({"--volt-alert", "2", "--fault", "10", "--alarm-from", "3", "--alarm-until", "5"});
    // Each command outlives several polls; polling must go on meanwhile.
    std::string script = eventScript("echo printed by the command; echo $$ >>" + dir + "/pids; exec sleep 3");
    startQavd(port, {"-n", "b1", "-i", "0.1", "-t", "0.05", "--event-command", script});
    ASSERT_TRUE(waitForEvent("alert")) << qavd.err;
    std::size_t atAlert = linesOf(qavd.out).size();
    EXPECT_TRUE(waitForLines(atAlert + 5, 2.5)) << "polling waited for the command";
    ASSERT_TRUE(waitForEvent("faultclear")) << events();
    ASSERT_TRUE(until(5, [&] { return qavd.err.find("printed by the command") != std::string::npos; }));
    std::vector<std::string> records = linesOf(events());
    ASSERT_EQ(records.size(), 4U) << events();
    long long now = static_cast<long long>(std::time(nullptr));
    // Commands started by one poll run side by side, so their records may come in either order.
    std::sort(records.begin(), records.end());
    std::vector<std::string> expected = {"alert|alert|b1|temp alert register 0000, volt alert register 0002|",
                                         "alertclear|alertclear|b1|both alert registers are zero|",
                                         "fault|fault|b1|main_fuse|", "faultclear|faultclear|b1|all fault bits are good|"};
    std::sort(expected.begin(), expected.end());
    for (std::size_t i = 0; i < 4; i++) {
        EXPECT_EQ(records[i].rfind(expected[i], 0), 0U) << records[i];
        long long time = std::stoll(records[i].substr(records[i].rfind('|') + 1));
        EXPECT_LE(std::llabs(now - time), 30) << records[i];
    }
    for (const std::string& line : linesOf(qavd.out)) EXPECT_TRUE(nlohmann::json::accept(line)) << line;
}

TEST_F(Qavd, OncePrintsOneAnswerOrExitsOneWhenNoneCame)
{
    int port = replay({answerA});
    startQavd(port, {"--once", "-i", "0.1", "-t", "0.05", "--output", "console"});
    int status = waitExit(&qavd, 10);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << qavd.err;
    ASSERT_EQ(qavd.out.rfind("time: ", 0), 0U) << qavd.out;
    EXPECT_EQ(qavd.out.substr(qavd.out.find('\n') + 1), reportA);
    stop(&sim, SIGTERM);

    port = startSim({"--silent"});
    startQavd(port, {"--once", "-i", "0.1", "-t", "0.05", "--stale-after", "2"});
    status = waitExit(&qavd, 10);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(qavd.out, "");
    EXPECT_NE(qavd.err.find("no answer accepted in 2 polls"), std::string::npos) << qavd.err;
}

TEST_F(Qavd, ConfigFileKeysAreLongOptionNames)
{
    int port = replay({answerB});
    std::ofstream(dir + "/good.conf") << "# a battery\naddress = \"tcp:127.0.0.1:" << port
                                      << "\"\nname = \"cfg-1\"\ninterval = 0.1\ntimeout = 0.05\nonce = true\n";
    qavd = spawn({QAVD_PATH, "--config", dir + "/good.conf"});
    int status = waitExit(&qavd, 10);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << qavd.err;
    nlohmann::json object = nlohmann::json::parse(qavd.out);
    EXPECT_EQ(object["battery"], "cfg-1");
    EXPECT_EQ(object["answer"], answerB);

    // The command line wins over the file, as the unit's --name %i relies on.
    qavd = spawn({QAVD_PATH, "--config", dir + "/good.conf", "--name", "cli-1"});
    status = waitExit(&qavd, 10);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << qavd.err;
    EXPECT_EQ(nlohmann::json::parse(qavd.out)["battery"], "cli-1");
}

TEST_F(Qavd, BadOptionsAndConfigFilesExitTwoWithAMessage)
{
    std::ofstream(dir + "/malformed.conf") << "interval = [0.1\n";
    std::ofstream(dir + "/unknown.conf") << "colour = \"blue\"\n";
    std::ofstream(dir + "/badvalue.conf") << "stale-after = many\n";
    // A data log directory where the file for each coming second is already a directory.
    std::string blocked = dir + "/blocked";
    mkdir(blocked.c_str(), 0755);
    for (long long t = std::time(nullptr), end = t + 60; t <= end; t++)
        mkdir((blocked + "/" + std::to_string(t) + "qav.log").c_str(), 0755);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "--bogus"},
        {{"--interval", "0.05"}, "--interval"},
        {{"--interval", "1", "--timeout", "1"}, "--timeout 1 must be below --interval 1"},
        {{"--name", "a b"}, "--name"},
        {{"--name", std::string(33, 'n')}, "--name"},
        {{"--output", "xml"}, "--output"},
        {{"--parity", "mark"}, "--parity"},
        {{"--config", dir + "/missing.conf"}, "missing.conf"},
        {{"--config", dir + "/malformed.conf"}, "interval"},
        {{"--config", dir + "/unknown.conf"}, "colour"},
        {{"--config", dir + "/badvalue.conf"}, "stale-after"},
        {{"--address", "tcp:127.0.0.1:99999"}, "port must be a number from 1 to 65535"},
        {{"--address", "tcp:127.0.0.1:34463junk"}, "port must be a number from 1 to 65535"},
        {{"--address", "tcp:127.0.0.1:0"}, "port must be a number from 1 to 65535"},
        {{"--address", "tcp:127.0.0.1"}, "no port"},
        {{"--address", "tcp::10001"}, "no host"},
        {{"--address", "TCP:127.0.0.1:10001"}, "expected tcp:HOST:PORT or the path of a device"},
        {{"--address", dir + "/no-such-tty"}, "No such file or directory"},
        {{"--datalog", dir + "/no-such-dir"}, "--datalog"},
        {{"--datalog", blocked}, "cannot open data log \"" + blocked + "/"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> argv{QAVD_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        // Every other case would write its data log to dir, had it started.
        if (args[0] != "--datalog") argv.insert(argv.end(), {"--datalog", dir});
        qavd = spawn(argv);
        int status = waitExit(&qavd, 10);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0] << " " << status;
        EXPECT_NE(qavd.err.find(message), std::string::npos) << qavd.err;
    }
    EXPECT_TRUE(dataLogs().empty());
}

TEST_F(Qavd, SigtermExitsZeroWithEveryAnswerInEveryOutput)
{
    // SIGINT ends qavd as SIGTERM does.
    for (int signal : {SIGTERM, SIGINT}) {
        std::string logDir = dir + "/" + strsignal(signal);
        ASSERT_EQ(mkdir(logDir.c_str(), 0755), 0);
        int port = replay({answerA, answerB});
        startQavd(port, {"-i", "0.1", "-t", "0.05", "--datalog", logDir});
        ASSERT_TRUE(waitForLines(5));
        kill(qavd.pid, signal);
        int status = waitExit(&qavd, 10);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << strsignal(signal) << " " << status;
        stop(&sim, SIGTERM);
        ASSERT_EQ(qavd.out.back(), '\n');
        // Each answer's line in the data log, in the order of the JSON lines, with its time.
        std::vector<std::string> lines = linesOf(qavd.out);
        std::vector<std::string> log = linesOf(fileText(logDir + "/" + dataLogsIn(logDir).at(0)));
        ASSERT_EQ(log.size(), lines.size()) << strsignal(signal);
        for (std::size_t i = 0; i < lines.size(); i++) {
            nlohmann::json object = nlohmann::json::parse(lines[i]);
            bool isA = object["answer"] == answerA;
            EXPECT_TRUE(isA || object["answer"] == answerB) << lines[i];
            std::string time = std::to_string(object["time"].get<long long>());
            EXPECT_EQ(log[i], time + (isA ? ",85.00,-1.00,45, 5, 0,12,8000" : answerBLog)) << lines[i];
        }
    }
}

TEST_F(Qavd, SighupStartsADataLogNamedByTheCurrentSeconds)
{
    int port = startSim({});
    startQavd(port, {"-i", "0.1", "-t", "0.05", "--datalog", dir});
    ASSERT_TRUE(waitForLines(1));
    std::string first = dataLogs().at(0);
    long long started = std::stoll(first);
    ASSERT_TRUE(until(3, [&] { return static_cast<long long>(std::time(nullptr)) > started; }));
    kill(qavd.pid, SIGHUP);
    ASSERT_TRUE(until(5, [&] { return dataLogs().size() == 2; })) << qavd.err;
    std::string second = dataLogs()[1];
    ASSERT_TRUE(until(5, [&] { return !fileText(dir + "/" + second).empty(); }));

    // When the next file cannot be opened, qavd says so and goes on writing the one it has.
    long long secondAt = std::stoll(second);
    ASSERT_TRUE(until(3, [&] { return static_cast<long long>(std::time(nullptr)) > secondAt; }));
    for (long long t = std::time(nullptr), end = t + 60; t <= end; t++)
        ASSERT_EQ(mkdir((dir + "/" + std::to_string(t) + "qav.log").c_str(), 0755), 0);
    std::size_t before = linesOf(fileText(dir + "/" + second)).size();
    kill(qavd.pid, SIGHUP);
    const std::string fallback = ": Is a directory; still writing \"" + dir + "/" + second + "\"\n";
    ASSERT_TRUE(until(5, [&] { return qavd.err.find(fallback) != std::string::npos; })) << qavd.err;
    EXPECT_NE(qavd.err.find("qavd: cannot open data log \"" + dir + "/"), std::string::npos) << qavd.err;
    EXPECT_TRUE(until(5, [&] { return linesOf(fileText(dir + "/" + second)).size() >= before + 3; }));
    kill(qavd.pid, SIGTERM);
    waitExit(&qavd, 10);
    EXPECT_GT(std::stoll(second), started);
    std::size_t logged = linesOf(fileText(dir + "/" + first)).size() + linesOf(fileText(dir + "/" + second)).size();
    EXPECT_EQ(logged, linesOf(qavd.out).size());
}

// Whether a system log record has the priority and ends in the text.
bool recordIs(const std::string& record, const std::string& priority, const std::string& text)
{
    std::string end = ": " + text;
    return record.rfind(priority, 0) == 0 && record.size() >= end.size() &&
           record.compare(record.size() - end.size(), end.size(), end) == 0;
}

TEST_F(Qavd, SystemLogHasRecordsEventsAndThrottledFailures)
{
    DevLog log = bindDevLog();
    if (log.sd < 0) GTEST_SKIP() << log.skipReason;
    REQUIRE_FAKETIME();
    // answerB raises the temperature alert; every second answer is one byte short.
    int port = replay({answerB, answerB.substr(0, 76)});
    startQavd(port, {"-n", "b1", "-i", "0.1", "-t", "0.05", "--syslog-records", "--output", "none"});
    std::vector<std::string> records;
    std::string tag = " qavd[" + std::to_string(qavd.pid) + "]: ";
    for (int i = 0; i < 7; i++) records.push_back(nextRecord(log.sd, tag));
    stop(&qavd);
    // Facility daemon: <27> error, <28> warning, <29> notice.
    const char* expected[][2] = {{"<27>", "QAV Battery Current & Gas Gauge: 12.50 100.00"},
                                 {"<27>", "QAV Battery RH: 50"},
                                 {"<28>", "b1: alert: temp alert register 0001, volt alert register 0000"},
                                 {"<28>", "b1: poll failed (short), 1 in a row"},
                                 {"<29>", "b1: communication restored after 1 failed polls"},
                                 {"<27>", "QAV Battery Current & Gas Gauge: 12.50 100.00"},
                                 {"<27>", "QAV Battery RH: 50"}};
    for (std::size_t i = 0; i < 7; i++) EXPECT_TRUE(recordIs(records[i], expected[i][0], expected[i][1])) << records[i];

    // A long outage, qavd's clocks running a hundred times fast: the first ten failures in a
    // row are reported each, then one in a hundred, then the end of the run with its length.
    stop(&sim, SIGTERM);
    startQavd(port, {"-n", "b1", "-i", "1", "-t", "0.9", "--syslog-records", "--output", "none"}, noting(100));
    tag = " qavd[" + std::to_string(qavd.pid) + "]: ";
    // The records of the failed connects themselves come between, at the attempts' times.
    int refusals = 0;
    auto nextPollRecord = [&] {
        std::string record = nextRecord(log.sd, tag);
        const std::string refused =
            "b1: cannot connect to tcp:127.0.0.1:" + std::to_string(port) + ": Connection refused";
        for (; recordIs(record, "<28>", refused); record = nextRecord(log.sd, tag)) refusals++;
        return record;
    };
    for (int k = 1; k <= 10; k++) {
        std::string record = nextPollRecord();
        EXPECT_TRUE(recordIs(record, "<28>", "b1: poll failed (disconnected), " + std::to_string(k) + " in a row"))
            << record;
        if (k == 3) {
            record = nextPollRecord();
            EXPECT_TRUE(recordIs(record, "<28>", "b1: commlost: no accepted answer in 3 polls, the last disconnected"))
                << record;
        }
    }
    for (const char* text :
         {"b1: poll failed (disconnected), 100 in a row", "b1: poll failed (disconnected), 200 in a row"}) {
        std::string record = nextPollRecord();
        EXPECT_TRUE(recordIs(record, "<28>", text)) << record;
    }
    // Each failed attempt said why: those after 0, 1, 3, 7, 15, 31, 63, 123 and 183 seconds at least.
    EXPECT_GE(refusals, 9);
    // The endpoint comes back; qavd finds it at its next attempt, within a minute of its time.
    replay({answerB});
    std::string record = nextPollRecord();
    long failed = 200;
    while (record.find(" in a row") != std::string::npos) {
        failed += 100;
        EXPECT_TRUE(recordIs(record, "<28>", "b1: poll failed (disconnected), " + std::to_string(failed) + " in a row"))
            << record;
        record = nextPollRecord();
    }
    std::smatch restored;
    const std::regex restoredText("^<29>.*: b1: communication restored after ([0-9]+) failed polls$");
    ASSERT_TRUE(std::regex_search(record, restored, restoredText))
        << record;
    std::string count = restored[1];
    EXPECT_GE(std::stol(count), failed) << record;
    EXPECT_LT(std::stol(count), failed + 100) << record;
    const char* after[][2] = {{"<27>", "QAV Battery Current & Gas Gauge: 12.50 100.00"},
                              {"<27>", "QAV Battery RH: 50"},
                              {"<29>", "b1: commok: answer accepted after "},
                              {"<28>", "b1: alert: temp alert register 0001, volt alert register 0000"}};
    for (const auto& [priority, text] : after) {
        record = nextRecord(log.sd, tag);
        std::string whole = text + (std::string(text).ends_with("after ") ? count + " failed polls" : "");
        EXPECT_TRUE(recordIs(record, priority, whole)) << record;
    }
    stop(&qavd);
    close(log.sd);
    unlink("/dev/log");
}

} // namespace
