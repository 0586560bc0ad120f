// End-to-end tests of the qav_test monitor against the simulator on 127.0.0.1:10001.
#include "monitor_fixture.h"
#include "syslog_socket.h"

namespace {

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

TEST_F(Monitor, SendsTwoSyslogRecordsPerAnswer)
{
    DevLog log = bindDevLog();
    if (log.sd < 0) GTEST_SKIP() << log.skipReason;
    replay({answerA, answerB});
    startMonitor();
    // A third answer means the records of the first two have been sent.
    bool answered = waitForOut("response is ", 3);
    stop(&monitor);
    std::vector<std::string> records;
    for (int i = 0; i < 4; i++) records.push_back(nextRecord(log.sd, " qav_test: "));
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
