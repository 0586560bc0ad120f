// monitor_fixture: runs the real monitor under libfaketime against the simulator on port 10001.
#ifndef QAV_TESTS_MONITOR_FIXTURE_H
#define QAV_TESTS_MONITOR_FIXTURE_H

#include "must_run.h"
#include "process.h"
#include "sample_answers.h"
#include "text_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <regex>
#include <sstream>
#include <sys/stat.h>

// The monitor's echo of an answer: up to its first zero byte, with ESC, DEL
// and 0x80 to 0x9f shown as \xHH.
inline std::string echoOf(const std::string& answer)
{
    std::string echo;
    for (char c : answer) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == 0) break;
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        bool control = byte == 0x1b || byte == 0x7f || (byte >= 0x80 && byte <= 0x9f);
        echo += control ? std::string(hex) : std::string(1, c);
    }
    return echo;
}

// Fields 2 to 8 of a data log line, read from a plain answer (74 hex digits) the way the
// log spells them: gauge and current in hundredths, humidity in decimal, the registers in
// lower-case hex padded to two places. "" when the answer is not plain.
inline std::string logFieldsOf(const std::string& answer)
{
    if (answer.size() < 74 || answer.find_first_not_of("0123456789abcdefABCDEF") < 74) return "";
    auto hex = [&](std::size_t at, std::size_t width) { return std::stoi(answer.substr(at, width), nullptr, 16); };
    int current = hex(36, 4) >= 0x8000 ? hex(36, 4) - 0x10000 : hex(36, 4);
    char fields[96];
    std::snprintf(fields, sizeof fields, "%d.%02d,%s%d.%02d,%d,%2x,%2x,%2x,%2x", hex(0, 4) / 100, hex(0, 4) % 100,
                  current < 0 ? "-" : "", std::abs(current) / 100, std::abs(current) % 100, hex(58, 2),
                  static_cast<unsigned>(hex(60, 2)), static_cast<unsigned>(hex(62, 4)),
                  static_cast<unsigned>(hex(66, 4)), static_cast<unsigned>(hex(70, 4)));
    return fields;
}

// The fields of the line before the first: nothing decoded yet.
inline const std::string zeroLogFields = "0.00,0.00,0, 0, 0, 0, 0";

// Check one data log line against its answer: a plain answer's own fields, or the fields
// known for the answer (a "*" field is kept from the line before).
inline void expectLogLineOf(const std::string& line, const std::string& answer, const std::string& before,
                            const std::map<std::string, std::string>& known)
{
    std::string fields = line.substr(line.find(',') + 1);
    auto found = known.find(answer);
    if (found == known.end()) {
        std::string plain = logFieldsOf(answer);
        EXPECT_NE(plain, "") << "no data log line is known for the answer " << answer;
        EXPECT_EQ(fields, plain) << line << " for " << answer;
        return;
    }
    std::vector<std::string> expected, previous;
    std::istringstream in(found->second), last(before.substr(before.find(',') + 1));
    for (std::string field; std::getline(in, field, ',');) expected.push_back(field);
    for (std::string field; std::getline(last, field, ',');) previous.push_back(field);
    std::string text;
    for (std::size_t i = 0; i < expected.size(); i++)
        text += (i > 0 ? "," : "") + (expected[i] == "*" && i < previous.size() ? previous[i] : expected[i]);
    EXPECT_EQ(fields, text) << line << " after " << before;
}

// A scratch directory to run the monitor in, and the simulator it talks to.
class Monitor : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(FAKETIME_LIBRARY).empty())
            SKIP_OR_FAIL_UNDER_CI("libfaketime is not installed (Debian package libfaketime)");
        char pattern[] = "/tmp/qav_monitor_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        stop(&monitor);
        stop(&sim, SIGTERM);
        if (!dir.empty() && !HasFatalFailure()) expectOnlySentAnswers(monitor.out);
        if (!dir.empty()) {
            EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
        }
    }

    // Start the simulator on port 10001 and wait until it listens.
    void startSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {BATTERY_SIM_PATH, "--record", dir + "/sent.txt"});
        sim = spawn(args);
        ASSERT_TRUE(waitFor(&sim, 5, [](const Child& c) {
            return c.err.find("serving tcp 127.0.0.1:10001\n") != std::string::npos;
        })) << sim.err;
    }

    // Start the simulator replaying the given answers, one a line.
    void replay(const std::vector<std::string>& answers, std::vector<std::string> args = {})
    {
        writeReplayFile(dir + "/answers.txt", answers);
        args.insert(args.begin(), {"--replay", dir + "/answers.txt"});
        startSim(args);
    }

    // Start the monitor in the scratch directory, its clocks and sleeps sped up (20 times by default)
    // and its stdout line-buffered so nothing is lost when it is killed. Unless lineBuffered,
    // stdout keeps the monitor's own buffering: one write a cycle, for long runs.
    void startMonitor(const std::string& in = "", const std::string& rate = "x20", bool lineBuffered = true)
    {
        std::vector<std::string> command{STDBUF_PATH, "-oL", QAV_TEST_PATH};
        if (!lineBuffered) command = {QAV_TEST_PATH};
        // The syscall log goes ahead of libfaketime, so that it notes the sleeps asked for.
        std::string preload = noting ? std::string(SYSCALL_LOG_PATH) + " " + FAKETIME_LIBRARY : FAKETIME_LIBRARY;
        monitor = spawn(command,
                        {"LD_PRELOAD=" + preload, "FAKETIME=+0 " + rate, "QAV_SYSCALL_LOG=" + dir + "/syscalls.txt",
                         "ASAN_OPTIONS=verify_asan_link_order=0"},
                        in.empty() ? dir : in);
        runs++;
        counted.clear();
    }

    // Wait until the monitor's stdout holds text at least times times. Only new output is
    // searched, so a long run is not slowed by its own history (a slow reader would stall
    // the monitor on a full pipe and upset its timing).
    bool waitForOut(const std::string& text, int times, double seconds = 20)
    {
        if (text != counted) {
            counted = text;
            countedTo = 0;
            seen = 0;
        }
        return waitFor(&monitor, seconds, [&](const Child& c) {
            // The simulator reports every answer; an unread pipe would stop it.
            if (sim.pid > 0) pump(&sim, 0);
            for (std::size_t at = c.out.find(text, countedTo); at != std::string::npos;
                 at = c.out.find(text, countedTo)) {
                seen++;
                countedTo = at + text.size();
            }
            return seen >= times;
        });
    }

    // Names of the files in the scratch directory that end in "qav.log".
    std::vector<std::string> dataLogs() const { return dataLogsIn(dir); }

    std::string onlyDataLog() const
    {
        std::vector<std::string> names = dataLogs();
        EXPECT_EQ(names.size(), 1U);
        if (names.empty()) return "";
        EXPECT_TRUE(std::regex_match(names[0], std::regex("[0-9]+qav\\.log"))) << names[0];
        return fileText(dir + "/" + names[0]);
    }

    // Every answer the monitor accepted (its echo, and the data log line it
    // wrote) is one the simulator really sent: never a splice of two, never
    // bytes left over from an earlier cycle.
    void expectOnlySentAnswers(const std::string& out) const
    {
        // Each distinct echo (with its line end) and the first answer sent that gives it.
        std::map<std::string, std::string> sentBy;
        std::set<std::size_t> lengths;
        for (const std::string& answer : sentAnswers()) {
            std::string echo = echoOf(answer) + "\n";
            sentBy.emplace(echo, answer);
            lengths.insert(echo.size());
        }
        std::vector<std::string> accepted;
        for (std::size_t at = out.find("response is "); at != std::string::npos;
             at = out.find("response is ", at + 1)) {
            std::size_t start = at + std::string("response is ").size();
            auto known = sentBy.end();
            for (auto length = lengths.begin(); length != lengths.end() && known == sentBy.end(); ++length)
                known = sentBy.find(out.substr(start, *length));
            // The monitor may have been stopped in the middle of the last echo.
            std::string rest = out.substr(start);
            bool cut = std::any_of(sentBy.begin(), sentBy.end(), [&](const auto& entry) {
                return rest.size() < entry.first.size() && entry.first.compare(0, rest.size(), rest) == 0;
            });
            EXPECT_TRUE(known != sentBy.end() || cut) << "echo of an answer never sent: " << out.substr(start, 80);
            if (known != sentBy.end()) accepted.push_back(known->second);
        }
        // Line by line only where one run wrote one data log and the whole console.
        if (dataLogs().size() != 1 || runs > 1) return;
        std::vector<std::string> logged = linesOf(onlyDataLog());
        for (std::size_t i = 0; i < logged.size() && i < accepted.size(); i++)
            expectLogLineOf(logged[i], accepted[i], i == 0 ? "," + zeroLogFields : logged[i - 1], loggedAs);
    }

    // The answers the simulator recorded, unescaped.
    std::vector<std::string> sentAnswers() const
    {
        std::vector<std::string> answers;
        for (const std::string& line : linesOf(fileText(dir + "/sent.txt"))) {
            std::string bytes;
            for (std::size_t i = 0; i < line.size(); i++) {
                if (line[i] == '\\' && line[i + 1] == 'x') {
                    bytes += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
                    i += 3;
                } else if (line[i] == '\\') bytes += line[++i];
                else bytes += line[i];
            }
            answers.push_back(bytes);
        }
        return answers;
    }

    std::string dir;
    Child sim, monitor;
    std::map<std::string, std::string> loggedAs; // data log fields of answers that are not plain
    bool noting = false; // whether startMonitor() has the monitor note its sleeps in syscalls.txt
    int runs = 0; // monitors started by startMonitor()
    std::string counted; // what waitForOut counts, how far, and how often seen
    std::size_t countedTo = 0;
    int seen = 0;
};

// Check a data log against the console: whole eight-field lines, one per echoed answer.
// The monitor may have been stopped between an echo and its data log line, or, when its
// output was buffered (unflushed 1), after a data log line whose echo it had not yet written.
inline void expectDataLogMatches(const std::string& out, const std::string& log, int unflushed = 0)
{
    EXPECT_TRUE(log.empty() || log.back() == '\n') << "partial last line: " << log;
    static const std::regex line("[^,\n]+(,[^,\n]+){7}");
    std::vector<std::string> lines = linesOf(log);
    for (const std::string& l : lines) EXPECT_TRUE(std::regex_match(l, line)) << l;
    std::size_t lastCycle = out.rfind("calling select\n");
    int echoed = countOf(out, "response is ");
    int finished = lastCycle == std::string::npos ? 0 : countOf(out.substr(0, lastCycle), "response is ");
    EXPECT_GE(static_cast<int>(lines.size()), finished);
    EXPECT_LE(static_cast<int>(lines.size()), echoed + unflushed);
}

#endif
