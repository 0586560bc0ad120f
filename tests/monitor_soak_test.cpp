// Long runs of the real monitor: a soak, kills at random moments, and a run under valgrind.
#include "monitor_fixture.h"

#include <random>

namespace {

// Resident memory in KiB and open descriptors of a running process.
struct Usage {
    long rssKiB = -1;
    int fds = -1;
};

Usage usageOf(pid_t pid)
{
    Usage usage;
    std::istringstream status(fileText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) usage.rssKiB = std::stol(line.substr(6));
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return usage;
    usage.fds = 0;
    for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir))
        usage.fds += entry->d_name[0] != '.';
    closedir(dir);
    return usage;
}

using MonitorSoak = Monitor;

TEST_F(MonitorSoak, FiveThousandCyclesKeepMemoryAndDescriptorsFlat)
{
    startSim({});
    startMonitor("", "x300", false);
    // Start-up allocations (stdio buffers, the system log socket) are done after a warm-up.
    // The deadlines only bound a monitor that stopped; a busy machine just takes longer.
    ASSERT_TRUE(waitForOut("calling select\n", 100, 120)) << monitor.err;
    Usage start = usageOf(monitor.pid);
    ASSERT_TRUE(waitForOut("calling select\n", 5000, 500)) << countOf(monitor.out, "calling select\n");
    Usage end = usageOf(monitor.pid);
    stop(&monitor);
    int cycles = countOf(monitor.out, "calling select\n");
    int reports = countOf(monitor.out, "response is ");
    std::printf("soak: %d cycles, %d reports; VmRSS %ld KiB -> %ld KiB; descriptors %d -> %d\n",
                cycles, reports, start.rssKiB, end.rssKiB, start.fds, end.fds);
    EXPECT_EQ(end.fds, start.fds);
#ifndef QAV_SANITIZED
    // Under AddressSanitizer freed memory waits in quarantine, so resident size says nothing.
    EXPECT_LE(end.rssKiB, start.rssKiB);
#endif
    // At 300 times speed the two-second wait is 7 ms, so an answer from a simulator that a busy
    // machine held up comes too late and is dropped; how many do depends on the machine. What
    // does not: the monitor goes on accepting answers to the end, some in every 500 cycles.
    std::size_t at = 0;
    for (int block = 0; block < 10; block++) {
        std::size_t from = at;
        for (int i = 0; i < 500 && at != std::string::npos; i++) at = monitor.out.find("calling select\n", at + 1);
        std::string cyclesOfBlock = monitor.out.substr(from, at == std::string::npos ? std::string::npos : at - from);
        EXPECT_GE(countOf(cyclesOfBlock, "response is "), 1) << "no report in cycles " << block * 500 << " to "
                                                             << block * 500 + 499;
    }
    expectDataLogMatches(monitor.out, onlyDataLog(), 1);
}

TEST_F(MonitorSoak, KilledAtRandomMomentsLeavesOnlyWholeLines)
{
    startSim({});
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> lifetimeMs(0, 400);
    for (int run = 0; run < 40; run++) {
        startMonitor("", "x200");
        // A second echo: the first cycle's data log line is whole. Then a random moment later.
        EXPECT_TRUE(waitForOut("response is ", 2, 60)) << monitor.err;
        waitFor(&monitor, lifetimeMs(random) / 1000.0, [](const Child&) { return false; });
        stop(&monitor, SIGKILL);
    }
    int lines = 0;
    for (const std::string& name : dataLogs()) {
        std::string log = fileText(dir + "/" + name);
        EXPECT_TRUE(log.empty() || log.back() == '\n') << name << " ends in a partial line";
        for (const std::string& line : linesOf(log)) {
            EXPECT_TRUE(std::regex_match(line, std::regex("[0-9]+,[0-9.]+,-?[0-9.]+,[0-9]+(, *[0-9a-f]+){4}")))
                << name << ": " << line;
            lines++;
        }
    }
    std::printf("durability: 40 kills, %zu data logs, %d whole lines\n", dataLogs().size(), lines);
    EXPECT_GE(lines, 40);
}

TEST_F(MonitorSoak, RunsCleanUnderValgrind)
{
#ifdef QAV_SANITIZED
    GTEST_SKIP() << "a sanitizer build cannot run under valgrind";
#endif
    if (std::string(VALGRIND_PATH).empty()) GTEST_SKIP() << "valgrind is not installed (Debian package valgrind)";
    replay({answerA, answerB}, {"--close-after", "3"});
    std::string log = dir + "/valgrind.log";
    // Five times speed leaves the slowed monitor 0.4 s to take each answer.
    monitor = spawn({STDBUF_PATH, "-oL", VALGRIND_PATH, "--leak-check=full",
                     "--suppressions=" VALGRIND_SUPPRESSIONS, "--log-file=" + log, QAV_TEST_PATH},
                    {std::string("LD_PRELOAD=") + FAKETIME_LIBRARY, "FAKETIME=+0 x5"}, dir);
    // The endpoint closes after three answers and the next request ends the monitor.
    int status = waitExit(&monitor, 120);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status << monitor.err;
    std::string report = fileText(log);
    EXPECT_EQ(countOf(monitor.out, "response is "), 3);
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    EXPECT_FALSE(std::regex_search(report, std::regex("definitely lost: [1-9]"))) << report;
}

} // namespace
