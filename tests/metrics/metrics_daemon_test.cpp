// End-to-end tests of qavd's metrics: against the simulator, under scrape load, and scraped by Prometheus.
#include "daemon_fixture.h"
#include "free_port.h"
#include "metrics_fixture.h"
#include "sample_answers.h"
#include "text_files.h"

#include <arpa/inet.h>
#include <chrono>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
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

// Start Prometheus with the configuration file config and its data in dataDir, on a free
// loopback port, and wait until it is ready; that port, or 0 (server->err says why).
int startPrometheus(Child* server, const std::string& config, const std::string& dataDir)
{
    std::unique_ptr<ReservedPort> port;
    bool up = startOnReservedPort(&port, [&](int reserved) {
        *server = spawn({PROMETHEUS_PATH, "--config.file=" + config, "--storage.tsdb.path=" + dataDir,
                         "--web.listen-address=127.0.0.1:" + std::to_string(reserved)});
        // Up, or ended (a bind that clashed after all).
        int status = 0;
        bool ended = false;
        bool ready = waitFor(server, 60, [&](const Child&) {
            ended = waitpid(server->pid, &status, WNOHANG) == server->pid;
            return ended || curl("http://127.0.0.1:" + std::to_string(reserved) + "/-/ready").status == 200;
        });
        if (ready && !ended) return true;
        stop(server);
        return false;
    });
    return up ? port->port : 0;
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
    int port = startPrometheus(&server, dir + "/prometheus.yml", dir + "/data");
    ASSERT_NE(port, 0) << server.err;
    const std::string api = "http://127.0.0.1:" + std::to_string(port) + "/api/v1/query?query=";
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

// Sites of two simulated batteries each, one qavd a site, for Prometheus to scrape.
class MetricsSites : public MetricsDaemon {
protected:
    void TearDown() override
    {
        for (Child& child : children) stop(&child, SIGTERM);
        MetricsDaemon::TearDown();
    }
    // Start child and return the loopback port it says it serves on (said matches it), or 0.
    int serving(std::vector<std::string> argv, const std::string& said)
    {
        Child& child = children.emplace_back(spawn(argv));
        std::smatch m;
        const std::regex port(said + " 127\\.0\\.0\\.1:([0-9]+)\n");
        EXPECT_TRUE(waitFor(&child, 30, [&](const Child& c) { return std::regex_search(c.err, m, port); })) << child.err;
        return m.empty() ? 0 : std::stoi(m[1]);
    }
    // Start qavd for site, its batteries rack1 and rack2 replaying one answer each and rated at ah;
    // the port of its metrics.
    int startSite(const std::string& site, const std::string& rack1, const std::string& rack2, const char* ah)
    {
        std::vector<std::string> argv = {QAVD_PATH, "--name", site, "--capacity", ah, "-i", "0.5", "-t", "0.45",
                                         "--output", "none", "--metrics-listen", "127.0.0.1:0"};
        for (const auto& [name, answer] : {std::pair{"rack1", rack1}, {"rack2", rack2}}) {
            writeReplayFile(dir + "/" + site + name, {answer});
            int at = serving({BATTERY_SIM_PATH, "--port", "0", "--replay", dir + "/" + site + name}, "serving tcp");
            argv.insert(argv.end(), {"--battery", std::string(name) + "=tcp:127.0.0.1:" + std::to_string(at)});
        }
        return serving(argv, "qavd: HTTP server listening on");
    }
    std::deque<Child> children;
};

// The value of metric{battery="<battery>"...} in an exposition; NaN when absent.
static double sample(const std::string& exposition, const std::string& metric, const std::string& battery)
{
    std::smatch m;
    const std::regex line("\n" + metric + "\\{battery=\"" + battery + "\"[^}]*\\} (\\S+)\n");
    return std::regex_search(exposition, m, line) ? std::stod(m[1]) : std::nan("");
}

TEST_F(MetricsSites, PrometheusSumsEachSiteOverItsOwnBatteriesAndNamesTheSiteInAlerts)
{
    REQUIRE_PROGRAM(PROMETHEUS_PATH, "prometheus");
    // answerA: 85 % of 26.4 V at -1 A; answerB: 100 % of 32 V at 12.5 A; answerHot: 50 % of
    // 32 V at 12.5 A with the battery hot limit set.
    const int sites[] = {startSite("site-a", answerA, answerB, "100"), startSite("site-b", answerHot, answerB, "50")};
    // The contrib files as they are, but for 1 s intervals and the targets file naming these two.
    for (const char* name : {"prometheus-sites.yml", "qav-site-rules.yml", "qav-alerts.yml", "qav-sites-targets.yml"}) {
        std::string text = std::regex_replace(fileText(CONTRIB_DIR "/" + std::string(name)), std::regex("l: 15s"), "l: 1s");
        for (int i : {0, 1})
            text = std::regex_replace(text, std::regex(std::string("site-") + "ab"[i] + "\\.example:9788"),
                                      "127.0.0.1:" + std::to_string(sites[i]));
        std::ofstream(dir + "/" + name) << text;
    }
    // Every battery fresh before the first scrape, so that no sum is of one battery only.
    std::string expositions[2];
    for (int i : {0, 1})
        EXPECT_TRUE(until(30, [&] {
            expositions[i] = scrape(sites[i]);
            return sample(expositions[i], "qav_up", "rack1") == 1 && sample(expositions[i], "qav_up", "rack2") == 1;
        })) << expositions[i];
    Child server;
    int port = startPrometheus(&server, dir + "/prometheus-sites.yml", dir + "/data");
    ASSERT_NE(port, 0) << server.err;
    // The data of an API answer, once its result names both sites (or after 30 s).
    auto ask = [&](const std::string& path) {
        nlohmann::json data;
        until(30, [&] {
            for (Child& child : children) pump(&child, 0);
            pump(&server, 0);
            data = nlohmann::json::parse(curl("http://127.0.0.1:" + std::to_string(port) + "/api/v1/" + path).body)["data"];
            return data.dump().find("site-a") != std::string::npos && data.dump().find("site-b") != std::string::npos;
        });
        return data;
    };
    // Each rule's value by site, once it has both.
    auto bySite = [&](const std::string& rule) {
        std::map<std::string, double> got;
        nlohmann::json result = ask("query?query=" + rule)["result"];
        for (const auto& series : result)
            got[series["metric"].value("site", "")] = std::stod(series["value"][1].get<std::string>());
        return got;
    };
    auto watts = bySite("site:qav_battery_power_watts:sum"), joules = bySite("site:qav_battery_stored_energy_joules:sum");
    // Every answer is the same, so Prometheus saw what these scrapes saw: the sums differ only by
    // the order of addition, within a relative 1e-9. Literally: -26.4 W + 400 W, 400 W + 400 W;
    // 0.85 x 26.4 V x 360000 C + 32 V x 360000 C, 0.5 x 32 V x 180000 C + 32 V x 180000 C.
    const double literal[2][2] = {{373.6, 19598400}, {800, 8640000}};
    for (int i : {0, 1}) {
        std::string site = std::string("site-") + "ab"[i], text = expositions[i];
        double ownWatts = 0, ownJoules = 0;
        for (const char* rack : {"rack1", "rack2"}) {
            ownWatts += sample(text, "qav_battery_power_watts", rack);
            ownJoules += sample(text, "qav_state_of_charge_ratio", rack) * sample(text, "qav_stack_voltage_volts", rack) *
                         sample(text, "qav_battery_capacity_coulombs", rack);
        }
        EXPECT_NEAR(watts[site], ownWatts, std::abs(ownWatts) * 1e-9) << site;
        EXPECT_NEAR(watts[site], literal[i][0], literal[i][0] * 1e-9) << site;
        EXPECT_NEAR(joules[site], ownJoules, ownJoules * 1e-9) << site;
        EXPECT_NEAR(joules[site], literal[i][1], literal[i][1] * 1e-9) << site;
    }
    // One battery of one site has a fault, and its alert says which.
    nlohmann::json faults;
    until(30, [&] {
        faults = nlohmann::json::array();
        nlohmann::json alerts = ask("alerts")["alerts"];
        for (const auto& alert : alerts)
            if (alert["labels"]["alertname"] == "QavFault") faults.push_back(alert);
        return !faults.empty();
    });
    ASSERT_EQ(faults.size(), 1U) << faults.dump();
    EXPECT_EQ(faults[0]["labels"]["site"], "site-b");
    EXPECT_EQ(faults[0]["labels"]["battery"], "rack1");
    EXPECT_EQ(faults[0]["annotations"]["summary"], "Battery site-b/rack1: fault battery_hot_limit");
    EXPECT_EQ(stop(&server, SIGTERM), 0) << server.err;
}
