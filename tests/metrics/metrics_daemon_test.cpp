// End-to-end tests of qavd's metrics: against the simulator, under scrape load, and scraped by Prometheus.
#include "daemon_fixture.h"
#include "metrics_fixture.h"
#include "sample_answers.h"
#include "text_files.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// An answer unlike answerA in every field the checks below look at.
const std::string answerHot = "1388"
                              "0FA00FA00FA00FA00FA00FA00FA00FA0"
                              "04E2"
                              "2828282828282828"
                              "46"
                              "32"
                              "00"
                              "0001"
                              "0000"
                              "C408"
                              "00\n";


// The exit status of a wait status; -1 unless the program exited.
int exitStatus(int wait)
{
    return wait != -1 && WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
}

} // namespace

// A scratch directory, the simulator replaying answers, and qavd serving metrics.
class MetricsDaemon : public DaemonTest {
protected:
    void SetUp() override
    {
        REQUIRE_PROGRAM(CURL_PATH, "curl");
        REQUIRE_PROGRAM(PROMTOOL_PATH, "prometheus (promtool)");
        DaemonTest::SetUp();
    }

    // Start qavd polling the simulator every interval seconds, with metrics on a free port it
    // reports; sets metricsPort. Each answer may take most of the period, so that a busy machine
    // does not fail a poll.
    void startMetrics(double interval)
    {
        startQavd(simPort, {"-n", "b1", "-i", std::to_string(interval), "-t", std::to_string(interval * 0.9),
                            "--stale-after", "2", "--output", "none", "--metrics-listen", "127.0.0.1:0"});
        metricsPort = listening("HTTP");
        ASSERT_NE(metricsPort, 0);
    }

    // Scrape until done(series) holds or seconds pass, keeping both children's pipes drained.
    template <typename Done> std::map<std::string, double> scrapeUntil(double seconds, Done done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        std::map<std::string, double> series;
        while (std::chrono::steady_clock::now() < end) {
            pump(&sim, 0);
            pump(&qavd, 100);
            Response response = curl("http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics");
            if (response.status != 200) continue;
            series = seriesOf(response.body, "b1");
            if (done(series)) return series;
        }
        ADD_FAILURE() << "condition not met in " << seconds << " s; qavd: " << qavd.err;
        return series;
    }

    int metricsPort = 0;
};

TEST_F(MetricsDaemon, ValuesVanishWhileStaleAndReturnWithTheEndpoint)
{
    replay({answerA});
    startMetrics(0.2);
    auto series = scrapeUntil(30, [](auto& s) { return s["qav_up"] == 1; });
    EXPECT_DOUBLE_EQ(series["qav_state_of_charge_ratio"], 0.85);
    EXPECT_DOUBLE_EQ(series["qav_stack_voltage_volts"], 26.4);
    EXPECT_DOUBLE_EQ(series["qav_current_amperes"], -1);
    EXPECT_EQ(series["qav_temperature_celsius{sensor=\"layer1\"}"], 29);
    EXPECT_EQ(series["qav_volt_alert_register"], 18);
    EXPECT_EQ(series["qav_status_flag{flag=\"battery_enable\"}"], 1);
    EXPECT_EQ(promtoolComplaints(scrape(metricsPort)), "");

    stop(&sim, SIGTERM);
    series = scrapeUntil(30, [](auto& s) { return s["qav_up"] == 0; });
    EXPECT_FALSE(hasValueSeries(series));
    EXPECT_EQ(series["qav_events_total{event=\"commlost\"}"], 1);
    EXPECT_GE(series["qav_polls_total{result=\"accepted\"}"], 1);
    EXPECT_GT(series["qav_last_answer_timestamp_seconds"], 1.6e9);

    replay({answerHot});
    series = scrapeUntil(30, [](auto& s) { return s["qav_up"] == 1; });
    EXPECT_DOUBLE_EQ(series["qav_state_of_charge_ratio"], 0.5);
    EXPECT_DOUBLE_EQ(series["qav_stack_voltage_volts"], 32);
    EXPECT_DOUBLE_EQ(series["qav_current_amperes"], 12.5);
    EXPECT_EQ(series["qav_temperature_celsius{sensor=\"heatsink\"}"], 70);
    EXPECT_EQ(series["qav_temp_alert_register"], 1);
    EXPECT_EQ(series["qav_status_flag{flag=\"battery_hot_limit\"}"], 1);
    EXPECT_EQ(series["qav_events_total{event=\"commok\"}"], 1);
    EXPECT_GE(series["qav_connects_total{result=\"ok\"}"], 2);
    EXPECT_EQ(promtoolComplaints(scrape(metricsPort)), "");
    // A clean stop takes the HTTP server down with it (and the sanitizers find nothing left).
    EXPECT_EQ(exitStatus(stop(&qavd, SIGTERM)), 0) << qavd.err;
    EXPECT_EQ(qavd.err.find("Sanitizer"), std::string::npos) << qavd.err;
    EXPECT_NE(curl("http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics").error, "");
}

TEST_F(MetricsDaemon, ListenProblemsStopTheStartWithStatus2)
{
    replay({answerA});
    startMetrics(0.2);
    scrapeUntil(30, [](auto& s) { return s.count("qav_up") == 1; });
    // A second qavd on the same metrics port.
    std::string listen = "127.0.0.1:" + std::to_string(metricsPort);
    Child second = spawn({QAVD_PATH, "-a", "tcp:127.0.0.1:" + std::to_string(simPort),
                          "--metrics-listen", listen});
    EXPECT_EQ(exitStatus(waitExit(&second, 30)), 2);
    const std::string message = "cannot serve metrics on " + listen + ": Address already in use";
    EXPECT_NE(second.err.find(message), std::string::npos) << second.err;
    // A value that is no address, on the command line and in a config file.
    std::ofstream(dir + "/bad.conf") << "metrics-listen = \"localhost\"\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--metrics-listen", "[127.0.0.1]:9788"}, {"--config", dir + "/bad.conf"}}) {
        std::vector<std::string> argv = {QAVD_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        Child bad = spawn(argv);
        EXPECT_EQ(exitStatus(waitExit(&bad, 30)), 2);
        EXPECT_NE(bad.err.find("--metrics-listen"), std::string::npos) << bad.err;
    }
}

TEST_F(MetricsDaemon, ScrapesUnderLoadNeverDisturbPolling)
{
    replay({answerA});
    // The scrape rate itself is measured in bench/metrics_bench.sh.
    startMetrics(0.25);
    auto before = scrapeUntil(30, [](auto& s) { return s["qav_up"] == 1; });
    auto started = std::chrono::steady_clock::now();
    Child load = spawn({SCRAPE_LOAD_PATH, std::to_string(metricsPort), "200", "10"});
    while (pump(&load, 100)) {
        pump(&sim, 0);
        pump(&qavd, 0);
    }
    EXPECT_EQ(exitStatus(stop(&load)), 0) << load.out << load.err;
    auto after = seriesOf(scrape(metricsPort), "b1");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    long scrapes = 0, failed = -1;
    std::sscanf(load.out.c_str(), "scrapes %ld failed %ld", &scrapes, &failed);
    EXPECT_EQ(scrapes, 2000) << load.out;
    EXPECT_EQ(failed, 0) << load.out;
    // Polls went on throughout the load, and not one failed.
    const std::string acceptedKey = "qav_polls_total{result=\"accepted\"}";
    double accepted = after[acceptedKey] - before[acceptedKey];
    EXPECT_GE(accepted, seconds / 0.25 / 2) << "over " << seconds << " s";
    for (const char* result : {"timeout", "short", "long", "malformed", "disconnected"}) {
        std::string key = std::string("qav_polls_total{result=\"") + result + "\"}";
        EXPECT_EQ(after[key], before[key]) << key;
    }
}

TEST_F(MetricsDaemon, APrometheusServerScrapesIt)
{
    REQUIRE_PROGRAM(PROMETHEUS_PATH, "prometheus");
    replay({answerA});
    startMetrics(0.5);
    std::ofstream(dir + "/prometheus.yml") << "global:\n  scrape_interval: 1s\n"
                                              "scrape_configs:\n  - job_name: qavd\n    static_configs:\n"
                                              "      - targets: ['127.0.0.1:" << metricsPort << "']\n";
    Child server;
    std::unique_ptr<ReservedPort> port;
    ASSERT_TRUE(startOnReservedPort(&port, [&](int reserved) {
        server = spawn({PROMETHEUS_PATH, "--config.file=" + dir + "/prometheus.yml",
                        "--storage.tsdb.path=" + dir + "/data",
                         "--web.listen-address=127.0.0.1:" + std::to_string(reserved)});
        // Up, or ended (a bind that clashed after all).
        int status = 0;
        bool ended = false;
        bool ready = waitFor(&server, 60, [&](const Child&) {
            ended = waitpid(server.pid, &status, WNOHANG) == server.pid;
            return ended || curl("http://127.0.0.1:" + std::to_string(reserved) + "/-/ready").status == 200;
        });
        if (ready && !ended) return true;
        stop(&server);
        return false;
    })) << server.err;
    const std::string api = "http://127.0.0.1:" + std::to_string(port->port) + "/api/v1/query?query=";
    auto query = [&](const std::string& expression) {
        for (Child* child : {&server, &sim, &qavd}) pump(child, 0);
        return curl(api + expression).body;
    };
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string up;
    while (std::chrono::steady_clock::now() < end &&
           (up = query("qav_up==1")).find(R"("battery":"b1")") == std::string::npos)
        usleep(200000);
    const std::string labels = R"("metric":{"__name__":"qav_up","battery":"b1","instance":"127.0.0.1:)";
    EXPECT_NE(up.find(labels), std::string::npos) << up << server.err;
    EXPECT_NE(up.find(R"(,"1"]})"), std::string::npos) << up;
    std::string stack = query("qav_stack_voltage_volts");
    EXPECT_NE(stack.find(R"("battery":"b1")"), std::string::npos) << stack;
    EXPECT_NE(stack.find(R"(,"26.4"]})"), std::string::npos) << stack;
    EXPECT_EQ(stop(&server, SIGTERM), 0) << server.err;
}
