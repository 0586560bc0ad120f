// End-to-end tests of qavd against the simulator on loopback ports of their own.
#include "daemon_fixture.h"
#include "free_port.h"
#include "library.h"
#include "must_run.h"
#include "options.h"
#include "core_outputs.h"
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
#include <map>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <syslog.h>
#include <tuple>

namespace {


bool running(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

// Whether a process has ended (a zombie has too).
bool gone(pid_t pid)
{
    std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
}

// The descriptors a process holds, in numeric order.
std::vector<int> descriptorsOf(pid_t pid)
{
    std::vector<int> fds;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    for (dirent* entry = d != nullptr ? readdir(d) : nullptr; entry != nullptr; entry = readdir(d))
        if (entry->d_name[0] != '.') fds.push_back(std::stoi(entry->d_name));
    if (d != nullptr) closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// What a process's descriptor refers to.
std::string targetOf(pid_t pid, int fd)
{
    char target[256] = "";
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

// A data log line: eight fields as the monitor writes them.
const std::regex dataLogLine(R"(\d+,\d+\.\d\d,-?\d+\.\d\d,\d+(,( [0-9a-f]|[0-9a-f]{2,4})){4})");

// Why a test that needs its own small file system cannot have one here; "" when it has
// one at dir, private to this process and its children.
std::string mountSmallDisk(const std::string& dir, const std::string& size = "64k")
{
    if (geteuid() != 0) return "mounting a small tmpfs needs root";
    if (mkdir(dir.c_str(), 0755) != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
        return std::string("cannot mount a small tmpfs: ") + std::strerror(errno);
    return "";
}

// Write to path until the disk is full.
void fillDisk(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::string block(4096, 'x');
    for (std::size_t size = block.size(); size > 0; size /= 2)
        while (write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
        }
    close(fd);
}

// A process's children, whichever of its threads started them (each battery's poll loop starts
// its own event commands).
std::vector<pid_t> childrenOf(pid_t pid)
{
    std::vector<pid_t> children;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* listing = opendir(tasks.c_str());
    for (dirent* task = listing != nullptr ? readdir(listing) : nullptr; task != nullptr; task = readdir(listing)) {
        std::istringstream list(fileText(tasks + "/" + task->d_name + "/children"));
        children.insert(children.end(), std::istream_iterator<pid_t>(list), std::istream_iterator<pid_t>());
    }
    if (listing != nullptr) closedir(listing);
    return children;
}

// qavd against the simulator, with what its tests of events and timing read.
class Qavd : public DaemonTest {
protected:
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
};

// Skip, saying why (fail, under CI), a test that needs libfaketime where it is not installed.
#define REQUIRE_FAKETIME()                                                                       \
    do {                                                                                         \
        if (std::string(FAKETIME_LIBRARY).empty())                                               \
            SKIP_OR_FAIL_UNDER_CI("libfaketime is not installed (Debian package libfaketime)"); \
    } while (false)

// The eight data log fields of answerB after the time.
const std::string answerBLog = ",100.00,12.50,50, 0, 1, 0,8408";

TEST_F(Qavd, AcceptsAnswersSplitInTwoWithTheDecodersValues)
{
    int port = replay({answerA}, {"--split", "40"});
    startQavd(port, {"-i", "0.2", "-t", "0.15", "--datalog", dir}, noting());
    ASSERT_TRUE(waitForLines(16)) << qavd.out << qavd.err;
    // The energy discharged grows by 26.4 W for each 0.2 s between answers; the rest stays answerA's.
    std::vector<std::string> lines = linesOf(qavd.out);
    for (std::size_t i = 0; i < lines.size(); i++) {
        nlohmann::json object = nlohmann::json::parse(lines[i]);
        long long time = object["time"];
        std::string line = lines[i], energy = R"("energy_discharged_joules":)";
        std::size_t at = line.find(energy) + energy.size();
        line.replace(at, line.find(',', at) - at, "0");
        EXPECT_EQ(line, R"({"battery":"battery","time":)" + std::to_string(time) + jsonAfterTimeA);
        EXPECT_NEAR(object["energy_discharged_joules"].get<double>(), 5.28 * static_cast<double>(i), 0.2 + 0.5 * static_cast<double>(i));
    }
    std::vector<std::string> logs = dataLogs();
    ASSERT_EQ(logs.size(), 1U);
    for (const std::string& line : linesOf(fileText(dir + "/" + logs[0])))
        EXPECT_EQ(line.substr(line.find(',')), ",85.00,-1.00,45, 5, 0,12,8000");
    // Polls start a period apart, counted from start to start although each answer takes 40 ms
    // and more: some two requests three or more polls apart lie that many periods apart on
    // qavd's clock (counted from end to start, they would be 0.12 s and more off). A poll
    // that a busy machine holds up until the next was due starts the schedule again from its
    // end, so a run of four on time is looked for among sixteen.
    std::vector<double> requests = noted("request");
    ASSERT_GE(requests.size(), 16U);
    double best = 1e9;
    for (std::size_t i = 0; i < requests.size(); i++)
        for (std::size_t j = i + 3; j < requests.size(); j++)
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
    EXPECT_TRUE(until(5, [&] { return childrenOf(qavd.pid).empty(); })) << childrenOf(qavd.pid).size();
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

TEST_F(Qavd, RefusedConnectionsAreRetriedAfterOneSecondDoublingUpToFifteen)
{
    REQUIRE_FAKETIME();
    // qavd's clocks run twenty times fast; nothing ever listens on the port.
    startQavd(simPort, {"-i", "0.25", "-t", "0.1", "--output", "none"}, noting(20));
    ASSERT_TRUE(until(120, [&] { return noted("connect").size() >= 10; })) << fileText(dir + "/syscalls.txt");
    std::vector<double> attempts = noted("connect");
    // On qavd's clock an attempt is never early. It may be late by the wait for the next poll
    // (0.25 s) and by whatever a busy machine holds it up (20 s allowed, one real second).
    const double waits[] = {1, 2, 4, 8, 15, 15, 15, 15, 15};
    double closestAtTheCap = 1e9;
    for (std::size_t i = 0; i < 9; i++) {
        double gap = attempts[i + 1] - attempts[i];
        EXPECT_GE(gap, waits[i]) << "attempt " << i + 1;
        EXPECT_LT(gap, waits[i] + 0.25 + 20) << "attempt " << i + 1;
        if (waits[i] == 15) closestAtTheCap = std::min(closestAtTheCap, gap);
    }
    // The cap is --max-backoff's 15 s, not the next doubling: one of the waits there came on time.
    EXPECT_LT(closestAtTheCap, 15 + 0.25 + 1) << fileText(dir + "/syscalls.txt");
}

TEST_F(Qavd, AlertAndFaultEventsRunTheCommandOncePerChange)
{
    int port = startSim({"--volt-alert", "2", "--fault", "10", "--alarm-from", "3", "--alarm-until", "5"});
    // Each command outlives several polls; polling must go on meanwhile.
    std::string script = eventScript("echo $$ >>" + dir + "/pids; exec sleep 3");
    startQavd(port, {"-n", "b1", "-i", "0.1", "-t", "0.05", "--event-command", script});
    ASSERT_TRUE(waitForEvent("alert")) << qavd.err;
    std::size_t atAlert = linesOf(qavd.out).size();
    EXPECT_TRUE(waitForLines(atAlert + 5, 2.5)) << "polling waited for the command";
    ASSERT_TRUE(waitForEvent("faultclear")) << events();
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

// Answer i of a storm: the volt alert register raised (to a value of its own) and cleared
// in turn, and the gas gauge at 20 % (low) in one answer of twenty, at 21 % in the others:
// a step of one point, which the estimator believes (a jump to 10 % it would not).
std::string stormAnswer(int i)
{
    char fields[16];
    std::snprintf(fields, sizeof fields, "0000%04X8408", i % 2 == 0 ? i / 2 + 1 : 0);
    return (i % 20 == 10 ? "07D0" : "0834") + answerB.substr(4, 58) + fields + answerB.substr(74);
}

TEST_F(Qavd, InAnEventStormEveryProblemEventRunsItsCommandAndOthersAreMergedNotLost)
{
    std::vector<std::string> answers;
    for (int i = 0; i < 1000; i++) answers.push_back(stormAnswer(i));
    int port = replay(answers);
    // alert and alertclear commands hang, as a notifier on a dead network would; the others end.
    std::string script = dir + "/event.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$1\" \"$QAV_COUNT\" \"$QAV_DETAIL\" >>" << dir
                          << "/runs\ncase $1 in alert*) exec sleep 1000;; esac\n";
    chmod(script.c_str(), 0755);
    startQavd(port, {"-n", "b1", "-i", "0.1", "-t", "0.08", "--event-command", script});
    // 150 answers, 64 of them after every slot is taken: polling never waits on a command.
    ASSERT_TRUE(waitForLines(150, 60)) << qavd.err;
    stop(&sim, SIGTERM);
    // The events the answers raise, each kind in order: alert by its detail.
    std::map<std::string, std::vector<std::string>> raised;
    int volt = 0;
    bool low = false;
    for (const std::string& line : linesOf(qavd.out)) {
        nlohmann::json answer = nlohmann::json::parse(line);
        int now = answer["volt_alert_register"];
        if (now != volt) raised[now != 0 ? "alert" : "alertclear"].push_back(std::to_string(now));
        if ((answer["gas_gauge_percent"] <= 20.0) != low) raised[low ? "lowbatteryclear" : "lowbattery"].push_back("");
        volt = now;
        low = answer["gas_gauge_percent"] <= 20.0;
    }
    ASSERT_GE(raised["lowbattery"].size(), 7U);
    auto runs = [&](const std::string& kind) {
        std::vector<std::pair<unsigned long, std::string>> found;
        for (const std::string& line : linesOf(fileText(dir + "/runs")))
            if (line.rfind(kind + "|", 0) == 0)
                found.emplace_back(std::strtoul(line.c_str() + kind.size() + 1, nullptr, 10), line.substr(line.rfind('|') + 1));
        return found;
    };
    // Every problem event runs its command once, none merged: commlost too, for the end of answers.
    EXPECT_TRUE(until(20, [&] { return runs("commlost").size() == 1; })) << qavd.err;
    for (const char* kind : {"lowbattery", "lowbatteryclear"})
        EXPECT_TRUE(until(10, [&] { return runs(kind).size() == raised[kind].size(); })) << kind << " " << qavd.err;
    EXPECT_EQ(runs("lowbattery"), std::vector(raised["lowbattery"].size(), std::pair<unsigned long, std::string>(
                                                  1, "gas gauge 20.00%, low at or below 20%, undervoltage Good")));
    // Every command that started has written its run when each left is a hanging sleep.
    // Waiting events fill every slot a finished command frees (the last commlost's too), so all
    // 32 slots are taken again before the end.
    EXPECT_TRUE(until(10, [&] {
        std::vector<pid_t> supervisors = childrenOf(qavd.pid);
        return supervisors.size() == 32 && std::all_of(supervisors.begin(), supervisors.end(), [&](pid_t supervisor) {
            std::vector<pid_t> command = childrenOf(supervisor);
            return command.size() == 1 && fileText("/proc/" + std::to_string(command[0]) + "/comm") == "sleep\n";
        });
    }));
    ASSERT_EQ(stop(&qavd, SIGTERM), 0);
    EXPECT_TRUE(std::regex_search(qavd.err, std::regex("b1: event lowbattery ended the alert(clear)? command\\[[0-9]+\\], "
                                                       "running for [0-9]+ s, to take its slot\n"))) << qavd.err;
    // The others: each run stands for its count of events and carries the latest one's detail;
    // those still waiting at exit are counted: no event is lost.
    for (const std::string kind : {"alert", "alertclear"}) {
        std::smatch left;
        bool waited = std::regex_search(qavd.err, left, std::regex("b1: ([0-9]+) " + kind + " events? waiting for a slot at exit"));
        unsigned long total = waited ? std::stoul(left[1]) : 0;
        std::vector<std::pair<std::size_t, unsigned long>> latest; // which event, of how many
        for (const auto& [count, detail] : runs(kind)) {
            std::string value = kind == "alert" ? std::to_string(std::stoi(detail.substr(detail.size() - 4), nullptr, 16)) : "0";
            latest.emplace_back(std::find(raised[kind].begin(), raised[kind].end(), value) - raised[kind].begin(), count);
            total += count;
        }
        EXPECT_EQ(total, raised[kind].size()) << kind << "\n" << fileText(dir + "/runs") << qavd.err;
        EXPECT_TRUE(std::any_of(latest.begin(), latest.end(), [](const auto& run) { return run.second > 1; })) << kind;
        std::sort(latest.begin(), latest.end());
        for (std::size_t i = 0, sum = 0; kind == "alert" && i < latest.size(); i++)
            EXPECT_EQ(latest[i].first + 1, sum += latest[i].second) << "run " << i << "\n" << fileText(dir + "/runs");
    }
    EXPECT_NE(qavd.err.find("b1: event alert merged with the one waiting: 3 alert events to run once"), std::string::npos);
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

    // Durations take units; without a timeout the wait is half so short an interval.
    std::ofstream(dir + "/units.conf") << "address = \"tcp:127.0.0.1:" << port << "\"\ninterval = 100ms\nonce = true\n";
    qavd = spawn({QAVD_PATH, "--config", dir + "/units.conf"});
    status = waitExit(&qavd, 10);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << qavd.err;
}

// Listen addresses: numeric IPv4 or IPv6 (bracketed), localhost, or every address.
TEST_F(Qavd, ListenAddressesTakeIPv6LocalhostAndEveryAddress)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"localhost:9788", "127.0.0.1:9788"}, {"[::1]:0", "[::1]:0"}, {"[0:0::1]:80", "[::1]:80"},
        {":9788", "every address (IPv4 and IPv6), port 9788"}, {"0.0.0.0:80", "0.0.0.0:80"},
    };
    for (const auto& [text, shown] : cases) {
        HostPort where;
        EXPECT_EQ(parseListenAddress(text, &where), "") << text;
        EXPECT_EQ(listenText(where), shown) << text;
    }
    // Served: the page on every address, reached over IPv4 and IPv6; NUT on IPv6 loopback.
    startQavd(replay({answerB}), {"--http-listen", ":0", "--nut-listen", "[::1]:0"});
    std::smatch http, nut;
    ASSERT_TRUE(until(10, [&] {
        return std::regex_search(qavd.err, http, std::regex("HTTP server listening on every address \\(IPv4 and IPv6\\), port ([0-9]+)\n")) &&
               std::regex_search(qavd.err, nut, std::regex("NUT server listening on \\[::1\\]:([0-9]+)\n"));
    })) << qavd.err;
    for (const auto& [family, address, port] : {std::tuple{AF_INET, "127.0.0.1", http[1].str()},
                                                 std::tuple{AF_INET6, "::1", http[1].str()},
                                                 std::tuple{AF_INET6, "::1", nut[1].str()}}) {
        sockaddr_storage peer{};
        auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
        peer.ss_family = static_cast<sa_family_t>(family);
        (family == AF_INET ? v4->sin_port : v6->sin6_port) = htons(static_cast<std::uint16_t>(std::stoi(port)));
        inet_pton(family, address, family == AF_INET ? static_cast<void*>(&v4->sin_addr) : &v6->sin6_addr);
        int sd = socket(family, SOCK_STREAM, 0);
        EXPECT_EQ(connect(sd, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0) << address << " port " << port;
        close(sd);
    }
}

TEST_F(Qavd, BadOptionsAndConfigFilesExitTwoWithAMessage)
{
    std::ofstream(dir + "/malformed.conf") << "interval = [0.1\n";
    std::ofstream(dir + "/unknown.conf") << "colour = \"blue\"\n";
    std::ofstream(dir + "/badvalue.conf") << "stale-after = many\n";
    std::ofstream(dir + "/rack1.conf") << "# rack 1\ninterval = 5s\nadress = \"tcp:127.0.0.1:10001\"\n";
    // A site's sections: keys of the site in a battery's, and the other way round.
    std::ofstream(dir + "/section.conf") << "[qavd]\ninterval = 5\n";
    std::ofstream(dir + "/site.conf") << "interval = 1\n[r1]\naddress = \"tcp:127.0.0.1:1\"\ntimeout = 2\n";
    std::ofstream(dir + "/sitekey.conf") << "[r2]\nhttp-listen = \":0\"\n";
    std::ofstream(dir + "/top.conf") << "address = \"tcp:127.0.0.1:1\"\n\n[r1]\naddress = \"tcp:127.0.0.1:2\"\n";
    std::ofstream(dir + "/again.conf") << "[r1]\naddress = \"tcp:127.0.0.1:1\"\n[r2]\naddress = \"tcp:127.0.0.1:2\"\n[r1]\n";
    std::ofstream(dir + "/typo.conf") << "[r1]\naddress = \"tcp:127.0.0.1:1\"\nadress = \"tcp:127.0.0.1:2\"\n";
    std::ofstream many(dir + "/many.conf");
    for (int i = 0; i <= 128; i++) many << "[b" << i << "]\naddress = \"tcp:127.0.0.1:" << 1000 + i << "\"\n";
    many.close();
    std::ofstream(dir + "/unit.conf") << "name = \"rack2\"\ninterval = 5x\n";
    // A data log directory where the file for each coming second is already a directory.
    std::string blocked = dir + "/blocked";
    mkdir(blocked.c_str(), 0755);
    for (long long t = std::time(nullptr), end = t + 60; t <= end; t++)
        mkdir((blocked + "/" + std::to_string(t) + "qav.log").c_str(), 0755);
    // Files read at start: a FIFO nobody writes, and users or password files others may change.
    // The NUT server reads its users once the data log is open, in a directory of its own here.
    std::string fifo = dir + "/fifo", users = dir + "/users", hashed = dir + "/hashed", started = dir + "/started";
    mkfifo(fifo.c_str(), 0600);
    mkdir(started.c_str(), 0755);
    std::ofstream(users) << "[u]\npassword = p\n";
    chmod(users.c_str(), 0666);
    std::ofstream(hashed) << "[u]\npassword = \"a#b\"\npassword = a#b\n";
    // Writable by a group other than root's (nobody's, for root).
    std::string grouped = dir + "/grouped";
    std::ofstream(grouped) << "[u]\npassword = p\n";
    chmod(grouped.c_str(), 0620);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(grouped.c_str(), static_cast<uid_t>(-1), 65534), 0);
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--config", fifo}, fifo + " is not a regular file"},
        {{"--datalog", started, "--nut-listen", "127.0.0.1:0", "--nut-users", fifo}, fifo + " is not a regular file"},
        {{"--datalog", started, "--nut-listen", "127.0.0.1:0", "--nut-users", users}, users + " holds passwords but others may change it (mode 0666)"},
        {{"--datalog", started, "--nut-listen", "127.0.0.1:0", "--nut-users", hashed}, hashed + ":3: # inside a word"},
        {{"--datalog", started, "--nut-listen", "127.0.0.1:0", "--nut-users", grouped}, grouped + " holds passwords but others may change it (mode 0620)"},
        {{"--mqtt-broker", "127.0.0.1", "--mqtt-username", "u", "--mqtt-password-file", fifo}, fifo + " is not a regular file"},
        {{"--mqtt-broker", "127.0.0.1", "--mqtt-username", "u", "--mqtt-password-file", users}, "(mode 0666)"},
        {{"--mqtt-broker", "127.0.0.1", "--mqtt-cafile", fifo}, fifo + " is not a regular file"},
        {{"--low-battery", "nan"}, "nan is not a decimal number"},
        {{"--interval", "inf"}, "inf is not a decimal number"},
        {{"--timeout", "-inf"}, "-inf is not a decimal number"},
        {{"--stale-after", "0x10"}, "0x10 is not a whole decimal number"},
        {{"--speed", "1e3"}, "1e3 is not a whole decimal number"},
        {{"--max-backoff", "0.5"}, "0.5"},
        {{"--max-backoff", "NaN"}, "NaN is not a decimal number"},
        {{"--capacity", "inf"}, "inf is not a decimal number"},
        {{"--low-runtime", "nan"}, "nan is not a decimal number"},
        {{"--outage-min", "1e3"}, "1e3 is not a decimal number"},
        {{"--address", "tcp: 127.0.0.1:20002"}, "\"tcp: 127.0.0.1:20002\" holds a blank"},
        {{"--address", "/tmp"}, "/tmp is not a serial device"},
        {{"--address", "/dev/null"}, "/dev/null is not a serial device"},
        {{"--bogus"}, "--bogus"},
        {{"--interval", "0.05"}, "--interval"},
        {{"--interval", "1", "--timeout", "1"}, "--timeout 1 must be below --interval 1"},
        {{"--name", "a b"}, "--name"},
        {{"--name", std::string(33, 'n')}, "--name"},
        {{"--output", "xml"}, "--output"},
        {{"--parity", "mark"}, "--parity"},
        {{"--config", dir + "/missing.conf"}, "cannot read " + dir + "/missing.conf: No such file or directory\n"},
        {{"--config", "/proc/self/mem"}, "qavd: cannot read /proc/self/mem: Input/output error\n"},
        {{"--interval", "1e3s"}, "--interval: 1e3s: expected seconds, or a number with the unit ms, s, m or h"},
        {{"--timeout", "0x10s"}, "--timeout: 0x10s: expected seconds"},
        {{"--max-backoff", "+5s"}, "+5s is not a decimal number"},
        {{"--config", dir + "/malformed.conf"}, "interval"},
        {{"--config", dir + "/unknown.conf"}, "qavd: unknown.conf:1: unknown key 'colour'\n"},
        {{"--config", dir + "/badvalue.conf"}, "badvalue.conf:1: --stale-after"},
        {{"--config", dir + "/rack1.conf"}, "qavd: rack1.conf:3: unknown key 'adress' (did you mean 'address'?)\n"},
        {{"--config", dir + "/section.conf"}, "qavd: section.conf:1: [qavd]: no address: give each battery its own\n"},
        {{"--config", dir + "/site.conf"}, "qavd: site.conf:2: [r1]: --timeout 2 must be below --interval 1\n"},
        {{"--config", dir + "/sitekey.conf"}, "qavd: sitekey.conf:2: [r2]: 'http-listen' is the site's: write it above the first section\n"},
        {{"--config", dir + "/top.conf"}, "qavd: top.conf:1: 'address' belongs to a battery: with sections, give each its own\n"},
        {{"--config", dir + "/again.conf"}, "qavd: again.conf:5: [r1] again: each battery has one section (the first is at line 1)\n"},
        {{"--config", dir + "/typo.conf"}, "qavd: typo.conf:3: [r1]: unknown key 'adress' for a battery (did you mean 'address'?)\n"},
        {{"--config", dir + "/many.conf"}, "qavd: many.conf:257: [b128]: more than 128 batteries\n"},
        {{"--battery", "r1"}, "qavd: --battery r1: expected NAME=ADDRESS\n"},
        {{"--battery", "r1=tcp:127.0.0.1:1", "--battery", "r1=tcp:127.0.0.1:2"}, "--battery r1=tcp:127.0.0.1:2: a battery of that name is served already"},
        {{"--battery", "r1=tcp:127.0.0.1:0"}, "--battery r1=tcp:127.0.0.1:0: the port must be a number from 1 to 65535"},
        {{"--config", dir + "/unit.conf"}, "unit.conf:2: --interval: 5x: expected seconds, or a number with the unit"},
        {{"--interval", "2m", "--timeout", "1h"}, "--timeout 3600 must be below --interval 120"},
        {{"--address", "tcp:127.0.0.1:99999"}, "port must be a number from 1 to 65535"},
        {{"--address", "tcp:127.0.0.1:34463junk"}, "port must be a number from 1 to 65535"},
        {{"--address", "tcp:127.0.0.1:0"}, "port must be a number from 1 to 65535"},
        {{"--address", "tcp:127.0.0.1"}, "no port"},
        {{"--address", "tcp::10001"}, "no host"},
        {{"--address", "TCP:127.0.0.1:10001"}, "expected tcp:HOST:PORT or the path of a device"},
        {{"--address", dir + "/no-such-tty"}, "No such file or directory"},
        {{"--datalog", dir + "/no-such-dir"}, "--datalog"},
        {{"--datalog", blocked}, "cannot open data log \"" + blocked + "/"},
        {{"--mqtt-broker", "host:1883:1"}, "the port must be a number from 1 to 65535, with nothing after it"},
        {{"--mqtt-broker", "host:1883junk"}, "the port must be a number from 1 to 65535"},
        {{"--mqtt-broker", "host:99999"}, "the port must be a number from 1 to 65535"},
        {{"--mqtt-broker", "::1"}, "an IPv6 address goes in brackets"},
        {{"--mqtt-broker", "[::1]:1883x"}, "the port must be a number from 1 to 65535"},
        {{"--mqtt-broker", "bad host"}, "the host must be a name or an IPv4 address"},
        {{"--metrics-listen", "127.0.0.1:99999"}, "expected ADDR:PORT: a numeric address such as"},
        {{"--metrics-listen", "127.0.0.1:9788:1"}, "expected ADDR:PORT: a numeric address such as"},
        {{"--http-listen", "[127.0.0.1]:9788"}, "[::1]:9788, localhost:PORT, or :PORT for every address"},
        {{"--nut-listen", "::1:3493"}, "expected ADDR:PORT"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> argv{QAVD_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        // Every other case would write its data log to dir, had it started.
        if (args[0] != "--datalog") argv.insert(argv.end(), {"--datalog", dir});
        qavd = spawn(argv);
        int status = waitExit(&qavd, 10);
        stop(&qavd); // one that started after all
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

// The system log records of one process, one after another, read from the socket as they
// come so that no sender ever waits on it (see RecordCollector).
class RecordReader {
public:
    RecordReader(int sd, pid_t pid) : collector(sd, " qavd[" + std::to_string(pid) + "]: ") {}
    // The next record, waiting up to five seconds; "" when none came.
    std::string next() { return collector.find("", count++); }

private:
    RecordCollector collector;
    std::size_t count = 0;
};

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
    if (log.sd < 0) SKIP_OR_FAIL_UNDER_CI(log.skipReason);
    REQUIRE_FAKETIME();
    // answerB raises the temperature alert; every second answer is one byte short.
    int port = replay({answerB, answerB.substr(0, 76)});
    startQavd(port, {"-n", "b1", "-i", "0.1", "-t", "0.05", "--syslog-records", "--output", "none"});
    auto reader = std::make_unique<RecordReader>(log.sd, qavd.pid);
    std::vector<std::string> records;
    for (int i = 0; i < 7; i++) records.push_back(reader->next());
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
    reader.reset(); // it would drop the new process's records
    startQavd(port, {"-n", "b1", "-i", "1", "-t", "0.9", "--syslog-records", "--output", "none"}, noting(100));
    reader = std::make_unique<RecordReader>(log.sd, qavd.pid);
    // The records of the failed connects themselves come between, at the attempts' times.
    int refusals = 0;
    auto nextPollRecord = [&] {
        std::string record = reader->next();
        const std::string refused =
            "b1: cannot connect to tcp:127.0.0.1:" + std::to_string(port) + ": Connection refused";
        for (; recordIs(record, "<28>", refused); record = reader->next()) refusals++;
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
        record = reader->next();
        std::string whole = text + (std::string(text).ends_with("after ") ? count + " failed polls" : "");
        EXPECT_TRUE(recordIs(record, priority, whole)) << record;
    }
    stop(&qavd);
    reader.reset();
    close(log.sd);
    unlink("/dev/log");
}

TEST_F(Qavd, ClosedStandardDescriptorsAndADeletedDirectoryLeaveOnlyWholeLines)
{
    std::string logs = dir + "/logs";
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    int port = startSim({});
    // Started with standard input and error closed: no file may take their place.
    qavd = spawn({QAVD_PATH, "--address", "tcp:127.0.0.1:" + std::to_string(port), "-i", "0.1", "-t", "0.05",
                  "--datalog", logs},
                 {}, "", {0, 2});
    ASSERT_TRUE(waitForLines(3));
    // Refused connects make the port library report on standard error.
    stop(&sim, SIGTERM);
    until(1.5, [] { return false; });
    startSim({});
    ASSERT_TRUE(waitForLines(linesOf(qavd.out).size() + 3, 20));
    EXPECT_EQ(targetOf(qavd.pid, 0), "/dev/null");
    EXPECT_EQ(targetOf(qavd.pid, 2), "/dev/null");
    // Nothing qavd opened is handed to a program it runs.
    for (int fd : descriptorsOf(qavd.pid)) {
        if (fd <= 2) continue;
        std::string info = fileText("/proc/" + std::to_string(qavd.pid) + "/fdinfo/" + std::to_string(fd));
        long flags = std::stol(info.substr(info.find("flags:") + 6), nullptr, 8);
        EXPECT_NE(flags & O_CLOEXEC, 0) << "fd " << fd << " (" << targetOf(qavd.pid, fd) << ") is inherited";
    }
    std::string name = dataLogsIn(logs).at(0);
    std::vector<std::string> lines = linesOf(fileText(logs + "/" + name));

    // The directory goes; the next answer brings both back, under the same name.
    ASSERT_EQ(std::system(("rm -rf " + logs).c_str()), 0);
    std::size_t atDeletion = linesOf(qavd.out).size();
    ASSERT_TRUE(until(5, [&] { return linesOf(fileText(logs + "/" + name)).size() >= 3; }));
    stop(&qavd, SIGTERM);
    std::vector<std::string> again = linesOf(fileText(logs + "/" + name));
    // Every answer after the deletion is there, but for one that may have been under way.
    EXPECT_GE(again.size() + 1, linesOf(qavd.out).size() - atDeletion);
    lines.insert(lines.end(), again.begin(), again.end());
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, dataLogLine)) << line;
}

TEST_F(Qavd, EventCommandsSpeakThroughTheSystemLogAndNeverOutliveQavd)
{
    DevLog log = bindDevLog();
    if (log.sd < 0) SKIP_OR_FAIL_UNDER_CI(log.skipReason);
    // alert comes with the second answer, alertclear with the third.
    int port = startSim({"--volt-alert", "2", "--alarm-from", "2", "--alarm-until", "2"});
    std::string script = dir + "/event.sh";
    std::ofstream(script) << "#!/bin/sh\nif [ \"$1\" = alert ]; then\n  echo said on stdout; echo said on stderr >&2\n"
                          << "  echo $$ >" << dir << "/sleeper; exec sleep 60\nfi\n"
                          << "yes 0123456789abcdef & echo $$ $! >" << dir << "/flooder; wait\n";
    chmod(script.c_str(), 0755);
    startQavd(port, {"-n", "b1", "-i", "0.1", "-t", "0.05", "--output", "none", "--event-command", script});
    RecordCollector records(log.sd, " qavd[" + std::to_string(qavd.pid) + "]: ");
    ASSERT_NE(records.find("b1: alert command["), "");
    std::string said = records.find("]: said on stdout") + records.find("]: said on stderr");
    EXPECT_NE(said.find("b1: alert command["), std::string::npos) << said;
    EXPECT_EQ(countOf(said, "command["), 2) << said;
    ASSERT_TRUE(until(5, [&] { return linesOf(fileText(dir + "/flooder")).size() == 1; }));
    std::istringstream flooders(fileText(dir + "/flooder"));
    pid_t sleeper = std::stoi(fileText(dir + "/sleeper")), shell = 0, yes = 0;
    flooders >> shell >> yes;
    // The command (sleep by now) holds 0 to 2 only: /dev/null, and the pipe to qavd.
    ASSERT_TRUE(until(5, [&] { return targetOf(sleeper, 0) == "/dev/null"; }));
    EXPECT_EQ(descriptorsOf(sleeper), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(targetOf(sleeper, 1).rfind("pipe:", 0), 0U) << targetOf(sleeper, 1);
    EXPECT_EQ(targetOf(sleeper, 2), targetOf(sleeper, 1));

    auto floodLines = [&] {
        std::vector<std::string> all = records.all();
        return std::count_if(all.begin(), all.end(), [](const std::string& record) {
            return record.find(": b1: alertclear command[") != std::string::npos && record.ends_with("]: 0123456789abcdef");
        });
    };
    EXPECT_TRUE(until(5, [&] { return floodLines() == 240; }));

    // SIGTERM: qavd ends its commands within the second, and the flood's tail is counted.
    auto begin = std::chrono::steady_clock::now();
    int status = stop(&qavd, SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (pid_t pid : {sleeper, shell, yes}) EXPECT_TRUE(gone(pid)) << pid;
    std::string dropped = records.find(" bytes of output dropped after the first 4096");
    EXPECT_EQ(dropped.rfind("<28>", 0), 0U) << dropped;
    // 4096 bytes are 240 lines of 17 bytes and the first 16 bytes of the next.
    EXPECT_EQ(floodLines(), 241);

    // Killed without a word, qavd leaves no command behind either, nor a command's child.
    std::ofstream(script) << "#!/bin/sh\nsleep 60 & echo $$ $! >" << dir << "/orphans; wait\n";
    stop(&sim, SIGTERM);
    port = replay({answerB});
    startQavd(port, {"-i", "0.1", "-t", "0.05", "--output", "none", "--event-command", script});
    ASSERT_TRUE(until(10, [&] { return linesOf(fileText(dir + "/orphans")).size() == 1; })) << qavd.err;
    std::istringstream orphans(fileText(dir + "/orphans"));
    orphans >> shell >> sleeper;
    stop(&qavd, SIGKILL);
    EXPECT_TRUE(until(2, [&] { return gone(shell) && gone(sleeper); }));
}

TEST_F(Qavd, EventCommandsChildrenThatLeftTheGroupDieAtTheLimitAndAtExitAndSeeNoSecrets)
{
    REQUIRE_FAKETIME();
    // Each run leaves two sleeps behind, one in a session and one in a group of its own, and a
    // shell that outlives SIGTERM with, below it, one in a session that notes SIGTERM; then it
    // outlives the 30 s limit itself.
    std::string script = dir + "/event.sh", escaped = dir + "/escaped";
    std::ofstream(dir + "/holder.sh") << "#!/bin/sh\ntrap : TERM\nsetsid " << dir << "/noter.sh $1 &\nwait; wait\n";
    std::ofstream(dir + "/noter.sh") << "#!/bin/sh\ntrap 'echo $1 >>" << dir << "/termed; exit' TERM\necho $$ >>"
                                     << escaped << "\nwhile :; do sleep 3003 & wait; done\n";
    chmod((dir + "/holder.sh").c_str(), 0755);
    chmod((dir + "/noter.sh").c_str(), 0755);
    std::ofstream(script) << "#!/bin/sh\nenv >" << dir << "/env.$1\nsetsid sleep 3001 & echo $! >>" << escaped
                          << "\nperl -e 'setpgrp(0, 0); exec \"sleep\", \"3002\"' & echo $! >>" << escaped
                          << "\n" << dir << "/holder.sh $1 &\necho $$ >>" << escaped << "\nexec sleep 3000\n";
    chmod(script.c_str(), 0755);
    // qavd's clocks run ten times fast: the limit is 3 s here. Nothing listens yet: commlost.
    startQavd(simPort, {"-i", "1", "-t", "0.5", "--stale-after", "1", "--output", "none", "--event-command", script},
              {"LD_PRELOAD=" + std::string(FAKETIME_LIBRARY), "FAKETIME=+0 x10", "CREDENTIALS_DIRECTORY=" + dir,
               "NOTIFY_SOCKET=" + dir + "/notify", "WATCHDOG_USEC=1000000", "WATCHDOG_PID=1",
               "ASAN_OPTIONS=verify_asan_link_order=0"});
    auto pids = [&] {
        std::vector<pid_t> all;
        for (const std::string& line : linesOf(fileText(escaped))) all.push_back(std::stoi(line));
        return all;
    };
    auto allGone = [&](std::size_t from) {
        std::vector<pid_t> all = pids();
        return std::all_of(all.begin() + static_cast<long>(from), all.end(), gone);
    };
    ASSERT_TRUE(until(10, [&] { return pids().size() == 4; })) << qavd.err;
    auto started = std::chrono::steady_clock::now();
    for (pid_t pid : pids()) EXPECT_FALSE(gone(pid)) << pid;
    EXPECT_TRUE(until(15, [&] { return allGone(0); })) << "still running after 15 s";
    EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_TRUE(running(qavd.pid));
    std::string env = fileText(dir + "/env.commlost");
    EXPECT_NE(env.find("QAV_EVENT=commlost\n"), std::string::npos) << env;
    for (const char* secret : {"CREDENTIALS_DIRECTORY=", "NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID="})
        EXPECT_EQ(env.find(secret), std::string::npos) << secret;

    // commok runs it again; SIGTERM ends qavd within the second, and every one of them.
    startSim({});
    ASSERT_TRUE(until(10, [&] { return pids().size() == 8; })) << qavd.err;
    std::vector<pid_t> second = pids();
    for (std::size_t i = 4; i < 8; i++) EXPECT_FALSE(gone(second[i])) << second[i];
    auto begin = std::chrono::steady_clock::now();
    int status = stop(&qavd, SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(until(1, [&] { return allGone(4); }));
    // SIGTERM reached a grandchild in a session of its own, not only SIGKILL after the grace.
    EXPECT_EQ(fileText(dir + "/termed"), "commok\n");
    for (pid_t pid : pids()) kill(pid, SIGKILL);
}

TEST_F(Qavd, FullDiskKeepsDataLogLinesWholeAndTheSystemLogSaysWhen)
{
    std::string disk = dir + "/disk";
    std::string why = mountSmallDisk(disk);
    if (!why.empty()) SKIP_OR_FAIL_UNDER_CI(why);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    DevLog log = bindDevLog();
    if (log.sd < 0) SKIP_OR_FAIL_UNDER_CI(log.skipReason);
    int port = startSim({});
    startQavd(port, {"-i", "0.1", "-t", "0.05", "--output", "none", "--datalog", disk});
    ASSERT_TRUE(until(10, [&] { return dataLogsIn(disk).size() == 1; }));
    std::string path = disk + "/" + dataLogsIn(disk)[0];
    RecordCollector records(log.sd, " qavd[" + std::to_string(qavd.pid) + "]: ");
    for (int episode = 1; episode <= 2; episode++) {
        // Counted before qavd goes on, which may log before this thread runs again.
        std::size_t seen = records.all().size();
        kill(qavd.pid, SIGSTOP);
        // Whole lines fill the file's last page but for less than a line, so that the
        // next line is cut short by the full disk.
        for (struct stat file{}; stat(path.c_str(), &file) == 0 && 4096 - file.st_size % 4096 >= 30;)
            std::ofstream(path, std::ios::app) << "0,0.00,0.00,0, 0, 0, 0, 0\n";
        fillDisk(disk + "/filler");
        kill(qavd.pid, SIGCONT);
        std::string full = records.find("cannot write data log \"" + path + "\": No space left on device; its lines "
                                        "are lost until writing works again", seen);
        EXPECT_EQ(full.rfind("<28>", 0), 0U) << "episode " << episode << ": " << full;
        unlink((disk + "/filler").c_str());
        std::string again = records.find("data log \"" + path + "\" is written again; ", seen);
        EXPECT_EQ(again.rfind("<29>", 0), 0U) << "episode " << episode << ": " << again;
    }
    stop(&qavd, SIGTERM);
    std::string text = fileText(path);
    ASSERT_EQ(text.back(), '\n');
    for (const std::string& line : linesOf(text)) EXPECT_TRUE(std::regex_match(line, dataLogLine)) << line;
}

// The answers a history file holds in its finest tier; -1 when it cannot be read.
long long answersStored(const std::string& path)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    long long count = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT sum(count) FROM buckets", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        count = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
}

TEST_F(Qavd, HistoryOutlivesACorruptFileAndAFullDiskWithEveryAnswerAndRefusesASecondQavd)
{
    std::string disk = dir + "/disk";
    std::string why = mountSmallDisk(disk, "4m");
    if (!why.empty() && std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true") FAIL() << why;
    if (!why.empty()) GTEST_SKIP() << why;
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    const std::string history = disk + "/rack.db";
    const std::string garbage(8192, 'x');
    std::ofstream(history) << garbage;
    int port = startSim({});
    startQavd(port, {"-i", "0.1", "-t", "0.05", "--history", history});
    const std::string aside = "qavd: history " + history + " is corrupt: moved aside as " + history + ".corrupt-";
    ASSERT_TRUE(until(10, [&] { return qavd.err.find(aside) != std::string::npos && linesOf(qavd.out).size() >= 20; }))
        << qavd.err;
    std::size_t at = qavd.err.find(aside) + aside.size();
    EXPECT_EQ(fileText(history + ".corrupt-" + qavd.err.substr(at, qavd.err.find(';', at) - at)), garbage);

    // The lock, not a race: a second qavd on the file says whose it is.
    Child second = spawn({QAVD_PATH, "--address", "tcp:127.0.0.1:" + std::to_string(port), "--history", history});
    int status = waitExit(&second, 10);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_EQ(second.err, "qavd: history " + history + " is in use by another qavd (PID " + std::to_string(qavd.pid) + ")\n");

    // A full disk: polling goes on, answers wait in memory and are written once there is room.
    fillDisk(disk + "/filler");
    const std::string full = "qavd: history " + history + " cannot be written: database or disk is full";
    ASSERT_TRUE(until(20, [&] { return qavd.err.find(full) != std::string::npos; })) << qavd.err;
    std::size_t polled = linesOf(qavd.out).size();
    EXPECT_TRUE(waitForLines(polled + 30));
    unlink((disk + "/filler").c_str());
    const std::string again = "qavd: history " + history + " is written again; 0 answers were lost\n";
    EXPECT_TRUE(until(20, [&] { return qavd.err.find(again) != std::string::npos; })) << qavd.err;
    EXPECT_EQ(stop(&qavd, SIGTERM), 0);
    EXPECT_EQ(answersStored(history), static_cast<long long>(linesOf(qavd.out).size()));
}

} // namespace

// A library qavd loads at run time is named with the Debian package that ships it.
TEST(Library, DebianPackageFollowsTheLibrarysName)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"libmosquitto.so.1", "libmosquitto1"}, {"libmicrohttpd.so.12", "libmicrohttpd12"},
        {"libsqlite3.so.0", "libsqlite3-0"},    {"libfoo.so", ""},
        {"libfoo.so.1a", ""},                   {"foo.so.1", ""},
    };
    for (const auto& [soname, package] : cases) EXPECT_EQ(debianPackageOf(soname), package) << soname;
    std::string problem;
    EXPECT_EQ(loadLibrary("libqav-absent.so.7", "a library", &problem), nullptr);
    EXPECT_NE(problem.find("cannot load a library: libqav-absent.so.7: "), std::string::npos) << problem;
    EXPECT_NE(problem.find(" (install the Debian package libqav-absent7)"), std::string::npos) << problem;
}
