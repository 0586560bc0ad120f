// monitor_fixture: runs the real monitor under libfaketime against the simulator on port 10001.
#ifndef QAV_TESTS_MONITOR_FIXTURE_H
#define QAV_TESTS_MONITOR_FIXTURE_H

#include "process.h"
#include "sample_answers.h"
#include "text_files.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>

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
        writeReplayFile(dir + "/answers.txt", answers);
        args.insert(args.begin(), {"--replay", dir + "/answers.txt"});
        startSim(args);
    }

    // Start the monitor in the scratch directory, its clocks and sleeps sped up (20 times by default)
    // and its stdout line-buffered so nothing is lost when it is killed.
    void startMonitor(const std::string& in = "", const std::string& rate = "x20")
    {
        monitor = spawn({STDBUF_PATH, "-oL", QAV_TEST_PATH},
                        {std::string("LD_PRELOAD=") + FAKETIME_LIBRARY, "FAKETIME=+0 " + rate,
                         "ASAN_OPTIONS=verify_asan_link_order=0"},
                        in.empty() ? dir : in);
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

    std::string dir;
    Child sim, monitor;
    std::string counted; // what waitForOut counts, how far, and how often seen
    std::size_t countedTo = 0;
    int seen = 0;
};

// Check a data log against the console: whole eight-field lines, one per echoed answer.
// The monitor may have been stopped between an echo and its data log line.
inline void expectDataLogMatches(const std::string& out, const std::string& log)
{
    EXPECT_TRUE(log.empty() || log.back() == '\n') << "partial last line: " << log;
    static const std::regex line("[^,\n]+(,[^,\n]+){7}");
    std::vector<std::string> lines = linesOf(log);
    for (const std::string& l : lines) EXPECT_TRUE(std::regex_match(l, line)) << l;
    std::size_t lastCycle = out.rfind("calling select\n");
    int echoed = countOf(out, "response is ");
    int finished = lastCycle == std::string::npos ? 0 : countOf(out.substr(0, lastCycle), "response is ");
    EXPECT_GE(static_cast<int>(lines.size()), finished);
    EXPECT_LE(static_cast<int>(lines.size()), echoed);
}

#endif
