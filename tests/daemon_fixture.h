// daemon_fixture: a scratch directory, the simulator and qavd, for qavd's end-to-end tests.
#ifndef QAV_TESTS_DAEMON_FIXTURE_H
#define QAV_TESTS_DAEMON_FIXTURE_H

#include "free_port.h"
#include "process.h"
#include "text_files.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

// Each test gets its own directory, removed at the end with every child the test started,
// and the simulator's port reserved, so that it can restart there.
class DaemonTest : public ::testing::Test {
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
        // Process groups that event commands left behind write their numbers here.
        for (const std::string& pid : linesOf(fileText(dir + "/pids"))) kill(-std::stoi(pid), SIGKILL);
        EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    }

    // Start the simulator with args on simPort and wait until it serves; returns the port.
    int startSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {BATTERY_SIM_PATH, "--port", std::to_string(simPort)});
        sim = spawn(args);
        const std::string ready = "serving tcp 127.0.0.1:" + std::to_string(simPort) + "\n";
        EXPECT_TRUE(waitFor(&sim, 10, [&](const Child& c) { return c.err.find(ready) != std::string::npos; }))
            << sim.err;
        return simPort;
    }

    // Start the simulator replaying answers, one a line; returns its port.
    int replay(const std::vector<std::string>& answers, std::vector<std::string> args = {})
    {
        writeReplayFile(dir + "/answers.txt", answers);
        args.insert(args.begin(), {"--replay", dir + "/answers.txt"});
        return startSim(args);
    }

    // Start qavd polling the endpoint on port with args.
    void startQavd(int port, std::vector<std::string> args, const std::vector<std::string>& env = {})
    {
        args.insert(args.begin(), {QAVD_PATH, "--address", "tcp:127.0.0.1:" + std::to_string(port)});
        qavd = spawn(args, env);
    }

    // The loopback port qavd's server ("HTTP", "NUT") says it listens on; 0 after 30 s without.
    int listening(const std::string& server)
    {
        std::smatch m;
        const std::regex said("qavd: " + server + " server listening on 127\\.0\\.0\\.1:([0-9]+)\n");
        bool seen = waitFor(&qavd, 30, [&](const Child& c) { return std::regex_search(c.err, m, said); });
        EXPECT_TRUE(seen) << qavd.err;
        return seen ? std::stoi(m[1]) : 0;
    }

    // Read the simulator and qavd until done() holds or seconds pass.
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

    std::string dir;
    Child sim, qavd;
    ReservedPort simReservation;
    int simPort = simReservation.port;
};

#endif
