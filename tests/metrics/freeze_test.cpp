// End-to-end tests that nothing outside qavd freezes it: a line that sends XOFF, a standard
// output nobody reads, idle HTTP clients, an endpoint that drops SYNs or hangs up at once or
// wedges, logs nobody reads.
#include "daemon_fixture.h"
#include "metrics_fixture.h"
#include "must_run.h"
#include "sample_answers.h"
#include "syslog_socket.h"
#include "text_files.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Send SIGTERM and expect a clean exit within a second, as systemd's stop needs.
void expectQuickStop(Child* qavd)
{
    Clock::time_point start = Clock::now();
    kill(qavd->pid, SIGTERM);
    int status = waitExit(qavd, 10);
    double seconds = secondsSince(start);
    std::cout << "exit " << seconds << " s after SIGTERM\n";
    EXPECT_LT(seconds, 1.0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << qavd->err;
}

// Scrape until wanted(series) holds, reading qavd's output meanwhile; false after seconds.
template <typename Wanted> bool metricsUntil(Child* qavd, int port, double seconds, Wanted wanted)
{
    Clock::time_point start = Clock::now();
    while (!wanted(seriesOf(scrape(port), "b1"))) {
        if (secondsSince(start) > seconds) return false;
        pump(qavd, 50);
    }
    return true;
}

// qavd scraped with curl.
class Freeze : public DaemonTest {
protected:
    void SetUp() override
    {
        REQUIRE_PROGRAM(CURL_PATH, "curl");
        DaemonTest::SetUp();
    }
};

// A loopback listener the test answers by hand; its accept queue holds one connection.
class Endpoint {
public:
    Endpoint()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd, 0), 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~Endpoint() { close(fd); }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // The next connection within seconds, or -1.
    int next(double seconds) const
    {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(seconds * 1000)) != 1) return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

    // Fill the accept queue, so the kernel drops every further SYN; the fillers are returned.
    std::vector<int> fill() const
    {
        std::vector<int> fillers;
        for (int i = 0; i < 3; i++) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        return fillers;
    }

    int fd = -1;
    int port = 0;
};

// Answer n requests on a connection with answer; false when one does not come within 5 s.
bool answerRequests(int connection, int n, const std::string& answer)
{
    std::string pending;
    while (n > 0) {
        pollfd waiting{connection, POLLIN, 0};
        char chunk[64];
        ssize_t got = poll(&waiting, 1, 5000) == 1 ? read(connection, chunk, sizeof chunk) : -1;
        if (got <= 0) return false;
        pending.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos && n > 0; n--) {
            pending.erase(0, end + 1);
            if (write(connection, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) return false;
        }
    }
    return true;
}

// Every datagram that reaches sd within seconds, one a line.
std::string recordsFor(int sd, double seconds)
{
    std::string records;
    pollfd waiting{sd, POLLIN, 0};
    char record[8192];
    for (Clock::time_point start = Clock::now(); secondsSince(start) < seconds;) {
        ssize_t n = poll(&waiting, 1, 50) == 1 ? recv(sd, record, sizeof record, 0) : 0;
        if (n > 0) records.append(record, static_cast<std::size_t>(n)) += '\n';
    }
    return records;
}

} // namespace

TEST_F(Freeze, ASerialLineThatSendsXoffNeitherHaltsPollingNorChangesTheRequest)
{
    // The second "answer" is a lone XOFF byte; a line with software flow control would stop sending.
    writeReplayFile(dir + "/answers.txt", {answerA, "\\x13", answerB});
    sim = spawn({BATTERY_SIM_PATH, "--serial", "--replay", dir + "/answers.txt"});
    ASSERT_TRUE(waitFor(&sim, 10, [](const Child& c) { return c.out.find('\n') != std::string::npos; }));
    std::string device = sim.out.substr(0, sim.out.find('\n'));
    qavd = spawn({QAVD_PATH, "-a", device, "-n", "b1", "-i", "0.1", "-t", "0.05"});
    // Answers go on after the XOFF: B, then A and B again as the replay goes round.
    ASSERT_TRUE(waitFor(&qavd, 20, [](const Child& c) { return countOf(c.out, "\n") >= 4; })) << qavd.err;
    std::vector<std::string> answers;
    for (const std::string& line : linesOf(qavd.out)) answers.push_back(nlohmann::json::parse(line)["answer"]);
    EXPECT_EQ(std::vector<std::string>(answers.begin(), answers.begin() + 4),
              std::vector<std::string>({answerA, answerB, answerA, answerB}));
    // Every request reached the device as the four bytes sent: no CR added, nothing held back.
    pump(&sim, 100);
    std::vector<std::string> requests;
    for (const std::string& line : linesOf(sim.err))
        if (line.rfind("battery_sim: request ", 0) == 0) requests.push_back(line);
    EXPECT_GE(requests.size(), 6U) << sim.err;
    for (const std::string& request : requests) EXPECT_EQ(request, "battery_sim: request @RQ\\x0A");
    expectQuickStop(&qavd);
}

TEST_F(Freeze, AStandardOutputNobodyReadsAndIdleHttpClientsHoldNothingUp)
{
    // Standard output is a FIFO of one page that the test holds open and never reads.
    std::string fifo = dir + "/stdout";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    startSim({});
    qavd = spawn({"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + fifo, QAVD_PATH, "-a",
                  "tcp:127.0.0.1:" + std::to_string(simPort), "-n", "b1", "-i", "0.1", "-t", "0.05", "--datalog",
                  dir, "--metrics-listen", "127.0.0.1:0"});
    int port = listening("HTTP");
    // The queue of 64 KiB fills after about 70 answers; then the oldest lines go, counted.
    ASSERT_TRUE(metricsUntil(&qavd, port, 60, [](const std::map<std::string, double>& s) {
        return s.count("qav_output_dropped_total{output=\"stdout\"}") == 1 &&
               s.at("qav_output_dropped_total{output=\"stdout\"}") > 0;
    })) << qavd.err;
    auto logLines = [&] { return linesOf(fileText(dir + "/" + dataLogsIn(dir).at(0))).size(); };
    std::size_t before = logLines();
    EXPECT_GT(before, 70U);
    EXPECT_TRUE(waitFor(&qavd, 10, [&](const Child&) { return logLines() > before + 2; })) << "the data log stopped";

    // 500 idle connections, as browser tabs and stuck clients leave them, do not delay a scrape.
    std::vector<int> idle;
    for (int i = 0; i < 500; i++) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        idle.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(connect(idle.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << i;
    }
    Clock::time_point start = Clock::now();
    std::map<std::string, double> series = seriesOf(scrape(port), "b1");
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_EQ(series["qav_up"], 1);
    expectQuickStop(&qavd);
    for (int fd : idle) close(fd);
    close(reader);
}

TEST_F(Freeze, AnEndpointThatDropsSynsGoesStaleOnScheduleAndOneThatHangsUpIsBackedOff)
{
    Endpoint endpoint;
    startQavd(endpoint.port, {"-n", "b1", "-i", "0.1", "-t", "0.05", "--stale-after", "3", "--output", "none",
                              "--metrics-listen", "127.0.0.1:0"});
    int port = listening("HTTP");
    auto up = [](double value) { return [value](const std::map<std::string, double>& s) { return s.at("qav_up") == value; }; };
    int connection = endpoint.next(10);
    ASSERT_GE(connection, 0);
    ASSERT_TRUE(answerRequests(connection, 3, answerA));
    ASSERT_TRUE(metricsUntil(&qavd, port, 10, up(1)));

    // The endpoint hangs up and drops every SYN from then on: the data goes stale within a
    // few polls (each connect gives up after -t), not after the system's 2-minute connect.
    std::vector<int> fillers = endpoint.fill();
    close(connection);
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(metricsUntil(&qavd, port, 10, up(0)));
    std::cout << "stale " << secondsSince(start) << " s after the endpoint stopped answering SYNs\n";
    const std::string why = "cannot connect to tcp:127.0.0.1:" + std::to_string(endpoint.port) + ": Connection timed out";
    EXPECT_TRUE(waitFor(&qavd, 5, [&](const Child& c) { return c.err.find(why) != std::string::npos; })) << qavd.err;

    // Back: the fillers go, and answers flow again on qavd's next connection (a filler's
    // connection still queued is closed and sends no request).
    for (int fd : fillers) close(fd);
    bool answered = false;
    for (start = Clock::now(); !answered && secondsSince(start) < 20;) {
        connection = endpoint.next(1);
        if (connection >= 0 && !(answered = answerRequests(connection, 2, answerA))) close(connection);
    }
    ASSERT_TRUE(answered);
    ASSERT_TRUE(metricsUntil(&qavd, port, 10, up(1)));

    // Now it accepts and hangs up at once: attempts follow the back-off (0, 1, 3 s, ...),
    // not every poll, while the polls themselves go on.
    close(connection);
    start = Clock::now();
    int connections = 0;
    while (secondsSince(start) < 5) {
        int fd = endpoint.next(0.2);
        if (fd >= 0) connections++, close(fd);
    }
    EXPECT_GE(connections, 2);
    EXPECT_LE(connections, 4);
    std::map<std::string, double> series = seriesOf(scrape(port), "b1");
    EXPECT_GE(series["qav_polls_total{result=\"disconnected\"}"], 10);
    expectQuickStop(&qavd);

    // With a long timeout, SIGTERM during a connection attempt that the endpoint never answers.
    std::vector<int> more = endpoint.fill();
    startQavd(endpoint.port, {"-i", "20", "-t", "10"});
    pump(&qavd, 500);
    expectQuickStop(&qavd);
    for (int fd : more) close(fd);
}

TEST_F(Freeze, StandardErrorAndTheSystemLogNobodyReadsHoldNothingUpAndLoseTheOldestLines)
{
    // /dev/log is a socket nobody reads for now; standard output and error share one pipe of a page.
    DevLog devLog = bindDevLog();
    if (devLog.sd < 0) SKIP_OR_FAIL_UNDER_CI(devLog.skipReason);
    int log = devLog.sd;
    std::string fifo = dir + "/output";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    // alert, with the third answer, and alertclear, with the fourth, each run a command that
    // says 1 to 1000, a line each: more than the system log's queue holds.
    std::string script = dir + "/event.sh";
    std::ofstream(script) << "#!/bin/sh\nseq 1 1000\n";
    chmod(script.c_str(), 0755);
    const std::vector<std::string> simArgs = {"--volt-alert", "2", "--alarm-from", "3", "--alarm-until", "3"};
    startSim(simArgs);
    qavd = spawn({"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + fifo + " 2>&1", QAVD_PATH, "-a",
                  "tcp:127.0.0.1:" + std::to_string(simPort), "-n", "b1", "-i", "0.1", "-t", "0.05", "--datalog",
                  dir, "--syslog-records", "--event-command", script, "--metrics-listen", "127.0.0.1:0"});
    // The port is read while the pipe still takes lines; from then on nobody reads it.
    std::string early;
    const std::string listening = "HTTP server listening on 127.0.0.1:";
    for (Clock::time_point start = Clock::now(); early.find('\n', early.find(listening)) == std::string::npos;) {
        ASSERT_LT(secondsSince(start), 10) << early;
        char chunk[4096];
        ssize_t n = read(reader, chunk, sizeof chunk);
        if (n > 0) early.append(chunk, static_cast<std::size_t>(n));
        else usleep(10000);
    }
    int port = std::stoi(early.substr(early.find(listening) + listening.size()));
    const std::string syslogDrops = "qav_output_dropped_total{output=\"syslog\"}";
    ASSERT_TRUE(metricsUntil(&qavd, port, 20, [&](const std::map<std::string, double>& s) {
        return s.count(syslogDrops) == 1 && s.at(syslogDrops) > 200;
    })) << "the flood of the command's lines was not dropped";
    EXPECT_EQ(seriesOf(scrape(port), "b1").count("qav_output_dropped_total{output=\"stderr\"}"), 1U);

    // The endpoint goes for a second, so connect failures are written to the stuck pipe; when it
    // comes back the data log goes on.
    auto logLines = [&] { return linesOf(fileText(dir + "/" + dataLogsIn(dir).at(0))).size(); };
    stop(&sim);
    usleep(1500000);
    std::size_t before = logLines();
    startSim(simArgs);
    bool advancing = false;
    for (Clock::time_point start = Clock::now(); !advancing && secondsSince(start) < 10; usleep(50000))
        advancing = logLines() > before + 5;
    EXPECT_TRUE(advancing) << "the data log stopped";

    // Read again, the system log gets the newest of the command's lines and a notice of the drops.
    std::string all = recordsFor(log, 2);
    std::size_t newest = all.find(": b1: alertclear command[");
    ASSERT_NE(newest, std::string::npos) << all;
    EXPECT_NE(all.find("]: 1000\n", newest), std::string::npos) << "the newest line was dropped:\n" << all;
    std::size_t notice = all.find("the system log keeps up again after ");
    ASSERT_NE(notice, std::string::npos) << all;
    EXPECT_GT(std::stoi(all.substr(notice + 36)), 200);

    // Stuck once more, with the pipe still full: SIGTERM is served at once.
    usleep(1000000);
    expectQuickStop(&qavd);
    close(reader);
    close(log);
    unlink("/dev/log");
}

TEST_F(Freeze, AWedgedEndpointIsLeftAfterStaleAfterPollsAndRejoinedAfterTheBackoff)
{
    Endpoint endpoint;
    startQavd(endpoint.port, {"-n", "b1", "-i", "0.1", "-t", "0.05", "--stale-after", "3", "--output", "none",
                              "--metrics-listen", "127.0.0.1:0"});
    int port = listening("HTTP");
    auto up = [](const std::map<std::string, double>& s) { return s.at("qav_up") == 1; };
    int first = endpoint.next(10);
    ASSERT_GE(first, 0);
    Clock::time_point wedged = Clock::now();
    ASSERT_TRUE(answerRequests(first, 2, answerA));
    ASSERT_TRUE(metricsUntil(&qavd, port, 10, up));

    // It stops answering: after three silent polls qavd hangs up and, a back-off of 1 s later,
    // connects anew; silent again, it waits 2 s before the third connection.
    int second = endpoint.next(10);
    ASSERT_GE(second, 0);
    double toSecond = secondsSince(wedged);
    Clock::time_point secondAt = Clock::now();
    char chunk[64];
    pollfd hungUp{first, POLLIN, 0};
    ssize_t n = 1;
    while (n > 0 && poll(&hungUp, 1, 1000) == 1) n = read(first, chunk, sizeof chunk);
    EXPECT_EQ(n, 0) << "the wedged connection was left open";
    EXPECT_EQ(seriesOf(scrape(port), "b1")["qav_up"], 0);
    int third = endpoint.next(10);
    ASSERT_GE(third, 0);
    double toThird = secondsSince(secondAt);
    EXPECT_GE(toSecond, 1.3);
    EXPECT_LT(toSecond, 4);
    EXPECT_GE(toThird, 2.0);
    EXPECT_LT(toThird, 5);

    // It answers again: fresh data on the third connection.
    ASSERT_TRUE(answerRequests(third, 2, answerB));
    EXPECT_TRUE(metricsUntil(&qavd, port, 5, up));
    EXPECT_EQ(seriesOf(scrape(port), "b1")["qav_connects_total{result=\"ok\"}"], 3);
    expectQuickStop(&qavd);
    for (int fd : {first, second, third}) close(fd);
}

namespace {

// A blocking TCP connection to 127.0.0.1:port from the loopback address from; -1 when that fails.
int connectFrom(int port, const std::string& from)
{
    sockaddr_in self{}, server{};
    self.sin_family = server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (inet_pton(AF_INET, from.c_str(), &self.sin_addr) == 1 && bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0)
        return fd;
    close(fd);
    return -1;
}

// Whether the server closed fd (it reads the end, or a reset).
bool closedByServer(int fd)
{
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN);
}

} // namespace

TEST_F(Freeze, TricklingHttpClientsFillNoSlotForLongAndScrapesAreServedMeanwhile)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GE(files.rlim_cur, 2048U);
    startQavd(startSim({}), {"-n", "b1", "-i", "0.1", "-t", "0.05", "--output", "none", "--http-listen", "127.0.0.1:0"});
    int port = listening("HTTP");
    ASSERT_TRUE(metricsUntil(&qavd, port, 10, [](const std::map<std::string, double>& s) { return s.at("qav_up") == 1; }));

    // 520 clients from 127.0.0.2: the 8 oldest are closed at once (well before the 10 s for a
    // head), as 512 is the most one address holds; the others stay.
    std::vector<int> slow;
    for (int i = 0; i < 520; i++) slow.push_back(connectFrom(port, "127.0.0.2"));
    ASSERT_EQ(std::count(slow.begin(), slow.end(), -1), 0);
    EXPECT_TRUE(waitFor(&qavd, 5, [&](const Child&) { return std::all_of(slow.begin(), slow.begin() + 8, closedByServer); }));
    EXPECT_EQ(std::count_if(slow.begin() + 8, slow.end(), closedByServer), 0);
    // Those 512 and 256 from 127.0.0.3 send a request's head a byte every 3 s.
    for (int i = 0; i < 256; i++) slow.push_back(connectFrom(port, "127.0.0.3"));
    ASSERT_EQ(std::count(slow.begin(), slow.end(), -1), 0);
    Clock::time_point start = Clock::now();
    std::atomic<bool> trickling{true};
    std::thread trickle([&] {
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
        for (std::size_t tick = 0; trickling; tick++, usleep(100000))
            for (int fd : slow)
                if (tick % 30 == 0) send(fd, &head[tick / 30], 1, MSG_NOSIGNAL);
    });
    // Scrapes from 127.0.0.1 are served within 2 s each while the slow ones fill every slot,
    // until the slow ones are cut off, 10 s after they began.
    while (secondsSince(start) < 12) {
        Clock::time_point asked = Clock::now();
        EXPECT_EQ(seriesOf(scrape(port), "b1")["qav_up"], 1);
        EXPECT_LT(secondsSince(asked), 2.0);
        pump(&qavd, 500);
    }
    trickling = false;
    trickle.join();
    EXPECT_TRUE(waitFor(&qavd, 5, [&](const Child&) { return std::count_if(slow.begin(), slow.end(), closedByServer) == 776; }));

    // Two requests on one connection, and a request without Host, which HTTP/1.1 requires.
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    Response both = curl(url + "/metrics", {"-v", url + "/"});
    EXPECT_EQ(both.status, 200);
    EXPECT_EQ(countOf(both.body, "\r\n\r\n"), 1) << "a second response follows";
    EXPECT_EQ(countOf(both.error, "Re-using existing connection"), 1) << both.error;
    EXPECT_EQ(curl(url + "/metrics", {"-H", "Host:"}).status, 400);
    for (int fd : slow) close(fd);
    expectQuickStop(&qavd);
}
