// End-to-end tests of the qav_test monitor against the simulator on 127.0.0.1:10001.
#include "monitor_fixture.h"
#include "syslog_socket.h"

#include <ctime>

namespace {

TEST_F(Monitor, ReportsEveryAcceptedAnswer)
{
    // Every third request goes unanswered, so a cycle waits out its two seconds.
    replay({answerA, answerB, ""});
    noting = true;
    startMonitor("", "x10");
    // A sixth echo means the fifth answer's data log line has been written.
    ASSERT_TRUE(waitForOut("response is ", 6, 60)) << monitor.out << monitor.err;
    stop(&monitor);
    EXPECT_EQ(monitor.err, "");
    // Each cycle: the receive progress, the echo (with the answer's own line feed), the report.
    std::regex cycle("calling select\nselect returned 1\nresponse is " + answerA +
                     "\ntime: ([0-9]+)\n" + std::regex_replace(reportA, std::regex("[()]"), "\\$&"));
    EXPECT_TRUE(std::regex_search(monitor.out, cycle)) << monitor.out;
    EXPECT_NE(monitor.out.find("response is " + answerB + "\ntime: "), std::string::npos);
    EXPECT_NE(monitor.out.find("gasGauge : 100.000000\n"), std::string::npos);
    EXPECT_NE(monitor.out.find("Current: 12.50\n"), std::string::npos);
    EXPECT_NE(monitor.out.find("calling select\nno bytes ready\n"), std::string::npos);

    // The data log holds one line per report, with the report's time.
    std::vector<std::string> log = linesOf(onlyDataLog());
    std::vector<std::string> answers;
    std::vector<long long> times;
    std::regex report("response is ([0-9A-F]{76})\n\ntime: ([0-9]+)\n");
    for (std::sregex_iterator it(monitor.out.begin(), monitor.out.end(), report), end; it != end; ++it) {
        answers.push_back((*it)[1].str() + "\n");
        times.push_back(std::stoll((*it)[2]));
    }
    ASSERT_GE(log.size(), 5U);
    ASSERT_TRUE(log.size() == times.size() || log.size() + 1 == times.size());
    for (std::size_t i = 0; i < log.size(); i++) {
        const char* rest = answers[i] == answerA ? ",85.00,-1.00,45, 5, 0,12,8000" : ",100.00,12.50,50, 0, 1, 0,8408";
        EXPECT_EQ(log[i], std::to_string(times[i]) + rest) << i;
    }

    // The report times, in whole seconds of the monitor's (faked) clock: a report, half a
    // second, five seconds of sleep, the next report: 5 or 6 s from answerA to answerB.
    // Across the unanswered request add five seconds of sleep and the two-second wait: 12 or
    // 13 s from answerB to answerA. Never less; more only as far as a busy machine held the
    // monitor up, so the shortest of each came on time.
    long long shortestAB = 1000, shortestBA = 1000;
    for (std::size_t i = 0; i + 1 < times.size(); i++) {
        long long step = times[i + 1] - times[i];
        if (answers[i] == answerA && answers[i + 1] == answerB) {
            EXPECT_GE(step, 5) << "A to B";
            shortestAB = std::min(shortestAB, step);
        } else if (answers[i] == answerB && answers[i + 1] == answerA) {
            EXPECT_GE(step, 12) << "B to A across a silent cycle";
            shortestBA = std::min(shortestBA, step);
        }
    }
    EXPECT_LE(shortestAB, 6);
    EXPECT_LE(shortestBA, 13);

    // The same to the nanosecond, from what the monitor asked of the system (see
    // syscall_log.cpp): each cycle sleeps five seconds, sends the request and waits up to two
    // seconds; a report adds half a second. So a request follows the one before by 5.5 s
    // after a report and by 7 s after an unanswered request, never sooner.
    std::vector<std::string> syscalls = linesOf(fileText(dir + "/syscalls.txt"));
    double lastRequest = -1, shortestReported = 1e9, shortestSilent = 1e9;
    int selects = 0, sleeps = 0, pauses = 0, cycles = 0;
    for (const std::string& line : syscalls) {
        std::istringstream fields(line);
        std::string what;
        double at = 0, asked = -1;
        fields >> what >> at >> asked;
        if (what == "select") {
            selects++;
            EXPECT_EQ(asked, 2.0) << line;
        }
        if (what == "sleep") {
            sleeps += asked == 5.0;
            pauses += asked == 0.5;
        }
        if (what != "request") continue;
        if (lastRequest >= 0) {
            // One select and one five-second sleep since the last request, a pause if it was answered.
            EXPECT_EQ(selects, 1) << line;
            EXPECT_EQ(sleeps, 1) << line;
            double gap = at - lastRequest;
            double least = pauses == 1 ? 5.5 : 7.0;
            EXPECT_GE(gap, least) << line;
            double& shortest = pauses == 1 ? shortestReported : shortestSilent;
            shortest = std::min(shortest, gap);
            cycles++;
        }
        lastRequest = at;
        selects = sleeps = pauses = 0;
    }
    EXPECT_GE(cycles, 7);
    EXPECT_LT(shortestReported, 5.5 + 0.25) << fileText(dir + "/syscalls.txt");
    EXPECT_LT(shortestSilent, 7.0 + 0.25) << fileText(dir + "/syscalls.txt");
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

TEST_F(Monitor, SplitAnswersAreNeverSpliced)
{
    // Each answer comes as 38 bytes, then 39 bytes 0.3 s later: after the read
    // that takes the first piece, before the next cycle (1 s at five times speed).
    replay({answerA, answerB}, {"--split", "300"});
    startMonitor("", "x5");
    // Three reads that took only the first piece, each followed by a further cycle, in which
    // the rest must not join the next answer's first piece.
    ASSERT_TRUE(waitForOut("select returned 1\ncalling select\n", 3, 60)) << monitor.out << monitor.err;
    stop(&monitor);
    // A reader held up past the pause reads a whole answer and reports it; every echo is of
    // an answer sent whole, never of a splice (checked as the test ends).
    expectDataLogMatches(monitor.out, onlyDataLog());
}

TEST_F(Monitor, RunsStartedInTheSameSecondShareOneDataLog)
{
    // An earlier run's data log for each second this run may start in.
    long long now = std::time(nullptr);
    for (long long t = now; t <= now + 30; t++)
        std::ofstream(dir + "/" + std::to_string(t) + "qav.log") << t << ",earlier run\n";
    replay({answerA});
    startMonitor();
    ASSERT_TRUE(waitForOut("response is ", 3)) << monitor.out;
    stop(&monitor);
    int shared = 0;
    for (const std::string& name : dataLogs()) {
        std::vector<std::string> lines = linesOf(fileText(dir + "/" + name));
        if (lines.size() == 1) continue; // a second this run did not start in
        shared++;
        ASSERT_GE(lines.size(), 3U);
        EXPECT_EQ(lines[0], name.substr(0, name.size() - 7) + ",earlier run");
        EXPECT_NE(lines[1].find(",85.00,-1.00,45, 5, 0,12,8000"), std::string::npos) << lines[1];
    }
    EXPECT_EQ(shared, 1);
}

// Number of answers the simulator has sent so far.
int answersSent(const std::string& dir)
{
    return static_cast<int>(linesOf(fileText(dir + "/sent.txt")).size());
}

// Start the monitor at 20 times speed through a shell that sets up its
// standard output first.
Child startRedirected(const std::string& dir, const std::string& redirection)
{
    return spawn({"/bin/sh", "-c", "exec \"$0\" " + redirection, QAV_TEST_PATH},
                 {std::string("LD_PRELOAD=") + FAKETIME_LIBRARY, "FAKETIME=+0 x20",
                  "ASAN_OPTIONS=verify_asan_link_order=0"},
                 dir);
}

TEST_F(Monitor, ReportsInAFileAreWholeAtSigterm)
{
    // Standard output is a plain file, buffered as stdio buffers files.
    replay({answerA, answerB});
    monitor = startRedirected(dir, "> console.txt");
    // Three reports in the file: their cycles have ended.
    std::string console = dir + "/console.txt";
    ASSERT_TRUE(waitFor(&monitor, 60,
                        [&](const Child&) { return countOf(fileText(console), "Battery Enable: ") >= 3; }))
        << fileText(console);
    kill(monitor.pid, SIGTERM);
    int status = waitExit(&monitor, 10);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    std::string text = fileText(console);
    int reports = countOf(text, "response is ");
    EXPECT_GE(reports, 3) << text;
    EXPECT_EQ(countOf(text, "Battery Enable: "), reports) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n"); // the last report's empty line
    // Only the report of a cycle that SIGTERM cut short is missing.
    int sent = answersSent(dir);
    EXPECT_TRUE(sent == reports || sent == reports + 1) << sent << " answers sent, " << reports << " reported";
    expectOnlySentAnswers(text);
}

TEST_F(Monitor, ClosedStandardOutputKeepsTheDataLogClean)
{
    // Real time: libfaketime itself would take the free descriptor 1 at load.
    // Line-buffered, so any console line that reached the data log would be seen.
    replay({answerA});
    monitor = spawn({"/bin/sh", "-c", "exec \"$0\" -oL \"$1\" >&-", STDBUF_PATH, QAV_TEST_PATH},
                    {"ASAN_OPTIONS=verify_asan_link_order=0"}, dir);
    // Something in the data log: the first report's line, or the console's lines before it.
    ASSERT_TRUE(waitFor(&monitor, 60, [&](const Child&) {
        std::vector<std::string> names = dataLogs();
        return names.size() == 1 && fileText(dir + "/" + names[0]).find('\n') != std::string::npos;
    }));
    stop(&monitor);
    std::vector<std::string> log = linesOf(onlyDataLog());
    ASSERT_GE(log.size(), 1U);
    for (const std::string& line : log)
        EXPECT_TRUE(std::regex_match(line, std::regex("[0-9]+,85\\.00,-1\\.00,45, 5, 0,12,8000"))) << line;
}

TEST_F(Monitor, SendsTwoSyslogRecordsPerAnswer)
{
    DevLog log = bindDevLog();
    if (log.sd < 0) SKIP_OR_FAIL_UNDER_CI(log.skipReason);
    std::vector<std::string> records;
    {
        // Read from the start, so that no sender ever waits on a full socket.
        RecordCollector collector(log.sd, " qav_test: ");
        replay({answerA, answerB});
        startMonitor();
        // A third answer means the records of the first two have been sent.
        bool answered = waitForOut("response is ", 3);
        stop(&monitor);
        for (std::size_t i = 0; i < 4; i++) records.push_back(collector.find("", i));
        ASSERT_TRUE(answered) << monitor.out;
    }
    close(log.sd);
    unlink("/dev/log");
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
