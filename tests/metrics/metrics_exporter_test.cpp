// Tests of the metrics exporter driven as an output, scraped over HTTP with curl.
#include "event_table.h"
#include "http.h"
#include "metrics.h"
#include "metrics_fixture.h"
#include "page.h"
#include "qav_version.h"
#include "recorder.h"
#include "sample_answers.h"
#include "state_feed.h"
#include "store.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/socket.h>
#include <thread>

namespace {

// An answer at the far end of every field: faults and alerts everywhere, the most
// negative current, a full-scale heatsink and humidity.
const std::string answerFaults = "1F40"
                                 "0D050D060D070D080D090D0A0D0B0D0C"
                                 "8000"
                                 "0102030405060708"
                                 "FF"
                                 "64"
                                 "FF"
                                 "0102"
                                 "FFFF"
                                 "7FF8"
                                 "00\n";

Reading readingOf(const std::string& answer, long long time)
{
    Reading reading{"b1", time, answer, {}};
    decodeStatus(answer.data(), answer.size(), &reading.status);
    return reading;
}

std::unique_ptr<HttpExporter> startExporter()
{
    std::string problem;
    auto exporter = startMetrics({"127.0.0.1:0"}, "b1", &problem);
    EXPECT_NE(exporter, nullptr) << problem;
    EXPECT_EQ(problem, "");
    return exporter;
}

// A series key as seriesOf() gives it: metric{label="value"}.
std::string key(const char* metric, const char* label, const std::string& value)
{
    return std::string(metric) + "{" + label + "=\"" + value + "\"}";
}

// The counters as they are before anything happened.
std::map<std::string, double> zeroCounters()
{
    std::map<std::string, double> series;
    for (const char* r : {"accepted", "timeout", "short", "long", "malformed", "disconnected"})
        series[key("qav_polls_total", "result", r)] = 0;
    for (const char* r : {"ok", "failed"}) series[key("qav_connects_total", "result", r)] = 0;
    for (const EventKind& kind : eventKinds) series[key("qav_events_total", "event", kind.name)] = 0;
    series["qav_forced_shutdown"] = 0;
    series["qav_battery_replace"] = 0;
    for (int cell = 1; cell <= 8; cell++) series[key("qav_cell_weak", "cell", std::to_string(cell))] = 0;
    for (const char* output : {"stdout", "stderr", "syslog"}) series[key("qav_output_dropped_total", "output", output)] = 0;
    series[key("qav_build_info", "version", QAV_VERSION)] = 1;
    return series;
}

// The flags of a status register by hand: each name and whether its bit is set.
void expectFlags(std::map<std::string, double>* series, unsigned setMask)
{
    const char* names[] = {"fan", "main_fuse", "safe_operating_area", "overcurrent", "undervoltage",
                           "overvoltage", "discharge_mode", "charge_mode", "discharge_transient",
                           "battery_cold_limit", "heatsink_hot_limit", "battery_hot_limit", "battery_enable"};
    for (unsigned bit = 0; bit < 13; bit++)
        (*series)[key("qav_status_flag", "flag", names[bit])] = (setMask >> (bit + 3)) & 1;
}

} // namespace

// The tests scrape with curl and check with promtool.
class Exporter : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PROGRAM(CURL_PATH, "curl");
        REQUIRE_PROGRAM(PROMTOOL_PATH, "prometheus (promtool)");
    }
};

TEST_F(Exporter, ServesTheDecodedValuesOfTheLatestAnswer)
{
    auto exporter = startExporter();
    StateFeed feed(*exporter);
    std::string before = scrape(exporter->port());
    std::map<std::string, double> expected = zeroCounters();
    expected["qav_up"] = 0;
    EXPECT_EQ(seriesOf(before, "b1"), expected);
    EXPECT_EQ(promtoolComplaints(before), "");

    Reading a = readingOf(answerA, 1796699894);
    a.estimate.runtime = 1234;
    a.estimate.capacity = 2.5;
    a.estimate.capacitySource = "rated";
    a.estimate.energyCharged = 10;
    a.estimate.energyDischarged = 20;
    feed.accepted(a);
    expected["qav_up"] = 1;
    // 26.4 V at -1 A; the rest as the estimate has it, and no time to full while discharging.
    expected["qav_battery_power_watts"] = -26.4;
    expected["qav_battery_runtime_seconds"] = 1234;
    expected[key("qav_battery_capacity_coulombs", "source", "rated")] = 9000;
    expected["qav_battery_energy_charged_joules_total"] = 10;
    expected["qav_battery_energy_discharged_joules_total"] = 20;
    expected["qav_state_of_charge_ratio"] = 0.85;
    for (int cell = 1; cell <= 8; cell++)
        expected[key("qav_cell_voltage_volts", "cell", std::to_string(cell))] = 3.3;
    expected["qav_stack_voltage_volts"] = 26.4;
    expected["qav_current_amperes"] = -1;
    for (int layer = 1; layer <= 8; layer++) // answerA lists layer 8 (0x16) first
        expected[key("qav_temperature_celsius", "sensor", "layer" + std::to_string(layer))] = 30 - layer;
    expected["qav_temperature_celsius{sensor=\"heatsink\"}"] = 31;
    expected["qav_relative_humidity_ratio"] = 0.45;
    expected["qav_balance_register"] = 5;
    expected["qav_temp_alert_register"] = 0;
    expected["qav_volt_alert_register"] = 18;
    expected["qav_status_register"] = 32768;
    expectFlags(&expected, 0x8000);
    expected["qav_low_battery"] = 0;
    expected["qav_last_answer_timestamp_seconds"] = 1796699894;
    std::string afterA = scrape(exporter->port());
    EXPECT_EQ(seriesOf(afterA, "b1"), expected);
    EXPECT_EQ(promtoolComplaints(afterA), "");

    feed.accepted(readingOf(answerFaults, 1796699899));
    std::map<std::string, double> series = seriesOf(scrape(exporter->port()), "b1");
    EXPECT_DOUBLE_EQ(series["qav_state_of_charge_ratio"], 0.8);
    for (int cell = 1; cell <= 8; cell++)
        EXPECT_DOUBLE_EQ(series[key("qav_cell_voltage_volts", "cell", std::to_string(cell))],
                         3.332 + cell / 1000.0);
    EXPECT_DOUBLE_EQ(series["qav_stack_voltage_volts"], 26.692);
    EXPECT_DOUBLE_EQ(series["qav_current_amperes"], -327.68);
    EXPECT_EQ(series["qav_temperature_celsius{sensor=\"layer1\"}"], 8);
    EXPECT_EQ(series["qav_temperature_celsius{sensor=\"layer8\"}"], 1);
    EXPECT_EQ(series["qav_temperature_celsius{sensor=\"heatsink\"}"], 255);
    EXPECT_EQ(series["qav_relative_humidity_ratio"], 1);
    EXPECT_EQ(series["qav_balance_register"], 255);
    EXPECT_EQ(series["qav_temp_alert_register"], 258);
    EXPECT_EQ(series["qav_volt_alert_register"], 65535);
    EXPECT_EQ(series["qav_status_register"], 32760);
    std::map<std::string, double> flags;
    expectFlags(&flags, 0x7FF8);
    for (const auto& [key, value] : flags) EXPECT_EQ(series[key], value) << key;
    EXPECT_EQ(series["qav_last_answer_timestamp_seconds"], 1796699899);
}

TEST_F(Exporter, StaleDataHidesTheValuesAndKeepsTheCounters)
{
    auto exporter = startExporter();
    StateFeed feed(*exporter);
    for (PollResult r : {PollResult::accepted, PollResult::timeout, PollResult::timeout,
                         PollResult::shortAnswer, PollResult::longAnswer, PollResult::malformed,
                         PollResult::disconnected})
        feed.polled(r);
    feed.connected(true);
    feed.connected(false);
    feed.connected(false);
    for (const char* name : {"commlost", "commok", "fault", "fault", "alertclear", "lowbattery", "no-such-event"})
        feed.event({"b1", name, "", 1796699894});
    feed.dropped("stdout", 4);
    feed.dropped("mqtt_events", 3);
    feed.freshness(true);
    feed.accepted(readingOf(answerA, 1796699894));
    EXPECT_TRUE(hasValueSeries(seriesOf(scrape(exporter->port()), "b1")));

    feed.freshness(false);
    std::string stale = scrape(exporter->port());
    std::map<std::string, double> expected = zeroCounters();
    expected["qav_up"] = 0;
    expected["qav_last_answer_timestamp_seconds"] = 1796699894;
    for (const char* r : {"accepted", "short", "long", "malformed", "disconnected"})
        expected[key("qav_polls_total", "result", r)] = 1;
    expected[key("qav_polls_total", "result", "timeout")] = 2;
    expected[key("qav_connects_total", "result", "ok")] = 1;
    expected[key("qav_connects_total", "result", "failed")] = 2;
    for (const char* e : {"commlost", "commok", "alertclear", "lowbattery"})
        expected[key("qav_events_total", "event", e)] = 1;
    expected[key("qav_events_total", "event", "fault")] = 2;
    expected[key("qav_output_dropped_total", "output", "stdout")] = 4;
    expected["qav_mqtt_events_dropped_total"] = 3;
    EXPECT_EQ(seriesOf(stale, "b1"), expected);
    EXPECT_EQ(promtoolComplaints(stale), "");

    // The poll loop says fresh just before it hands over the new answer: no old values meanwhile.
    feed.freshness(true);
    EXPECT_EQ(seriesOf(scrape(exporter->port()), "b1"), expected);
    feed.accepted(readingOf(answerFaults, 1796699904));
    std::map<std::string, double> back = seriesOf(scrape(exporter->port()), "b1");
    EXPECT_EQ(back["qav_up"], 1);
    EXPECT_EQ(back["qav_volt_alert_register"], 65535);
    EXPECT_EQ(back["qav_polls_total{result=\"timeout\"}"], 2);
    // Low from lowbattery until lowbatteryclear.
    EXPECT_EQ(back["qav_low_battery"], 1);
    feed.event({"b1", "lowbatteryclear", "", 1796699905});
    EXPECT_EQ(seriesOf(scrape(exporter->port()), "b1")["qav_low_battery"], 0);
}

// Health is no reading: its series stay while the data is stale, each in base units, a figure
// not known yet left out.
TEST_F(Exporter, ServesHealthAndLifetimeFiguresInBaseUnits)
{
    auto exporter = startExporter();
    StateFeed feed(*exporter);
    auto h = std::make_shared<Health>(*feed.keeper.snapshot()->health);
    LifetimeFigures& f = h->lifetime;
    f.installed = 1700006400, f.since = 1700000000, f.lastFull = 1700003600, f.lowestChargeAt = 1700001000;
    f.ahCharged = 12.5, f.ahDischarged = 10, f.whCharged = 330, f.whDischarged = 300, f.cycles = 0.5;
    f.lowestCharge = 18.5, f.depths = {30, 50}, f.depthCount = 2, f.discharges = 3, f.deepDischarges = 1;
    f.secondsOnBattery = 7200, f.faults[2] = 4, f.alerts = {1, 2}, f.balanceSeconds[2] = 60;
    h->health = 0.84, h->reference = "rated", h->replaceDate = 1730000000, h->replace = true;
    h->stackResistance = 0.045, h->cellResistance = {0.005, 0.005, 0.005, 0.005, 0.005, 0.01, 0.005, std::nullopt};
    h->weakCell = 6;
    feed.keeper.health(h);
    feed.publish();
    std::map<std::string, double> expected = zeroCounters();
    const std::map<std::string, double> health = {
        {"qav_up", 0}, {"qav_battery_replace", 1}, {"qav_cell_weak{cell=\"6\"}", 1},
        {"qav_battery_installed_timestamp_seconds", 1700006400}, {"qav_battery_health_ratio{reference=\"rated\"}", 0.84},
        {"qav_battery_replace_timestamp_seconds", 1730000000}, {"qav_stack_resistance_ohms", 0.045},
        {"qav_battery_equivalent_cycles", 0.5}, {"qav_battery_lifetime_charged_coulombs_total", 45000},
        {"qav_battery_lifetime_discharged_coulombs_total", 36000}, {"qav_battery_lifetime_charged_joules_total", 1188000},
        {"qav_battery_lifetime_discharged_joules_total", 1080000}, {"qav_battery_on_battery_seconds_total", 7200},
        {"qav_battery_discharges_total", 3}, {"qav_battery_deep_discharges_total", 1},
        {"qav_battery_lifetime_alerts_total{register=\"temperature\"}", 1},
        {"qav_battery_lifetime_alerts_total{register=\"voltage\"}", 2},
        {"qav_battery_last_full_charge_timestamp_seconds", 1700003600}, {"qav_battery_lowest_charge_ratio", 0.185},
        {"qav_battery_discharge_depth_ratio", 0.4}};
    for (const auto& [series, value] : health) expected[series] = value;
    for (int cell = 1; cell <= 8; cell++) {
        if (cell < 8) // cell 8 has no load steps yet
            expected[key("qav_cell_resistance_ohms", "cell", std::to_string(cell))] = cell == 6 ? 0.01 : 0.005;
        expected[key("qav_cell_balance_seconds_total", "cell", std::to_string(cell))] = cell == 3 ? 60 : 0;
    }
    for (const char* flag : {"main_fuse", "safe_operating_area", "overcurrent", "undervoltage", "overvoltage",
                             "discharge_transient", "battery_cold_limit", "heatsink_hot_limit", "battery_hot_limit"})
        expected[key("qav_battery_lifetime_faults_total", "flag", flag)] = std::string(flag) == "overcurrent" ? 4 : 0;
    std::string text = scrape(exporter->port());
    EXPECT_EQ(seriesOf(text, "b1"), expected);
    EXPECT_EQ(promtoolComplaints(text), "");
    EXPECT_NE(text.find("# TYPE qav_battery_on_battery_seconds_total counter\n"), std::string::npos);
}

TEST_F(Exporter, OnlyGetAndHeadOfMetricsAreServed)
{
    auto exporter = startExporter();
    const std::string base = "http://127.0.0.1:" + std::to_string(exporter->port());
    Response get = curl(base + "/metrics?x=1");
    EXPECT_EQ(get.status, 200) << get.error;
    const std::string type = "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
    EXPECT_NE(get.headers.find(type), std::string::npos) << get.headers;
    Response head = curl(base + "/metrics", {"--head"});
    EXPECT_EQ(head.status, 200) << head.error;
    EXPECT_EQ(head.body, "");
    for (const char* path : {"/", "/metrics/", "/metrics/x", "/metricsx", "/index.html"})
        EXPECT_EQ(curl(base + path, {"--path-as-is"}).status, 404) << path;
    Response post = curl(base + "/metrics", {"-d", "x"});
    EXPECT_EQ(post.status, 405);
    EXPECT_NE(post.headers.find("Allow: GET, HEAD\r\n"), std::string::npos) << post.headers;
}

TEST_F(Exporter, AddressesInUseOrMalformedAreReported)
{
    auto first = startExporter();
    std::string listen = "127.0.0.1:" + std::to_string(first->port());
    std::string problem;
    EXPECT_EQ(startMetrics({listen}, "b1", &problem), nullptr);
    EXPECT_EQ(problem, "cannot serve metrics on " + listen + ": Address already in use");
    EXPECT_EQ(curl("http://" + listen + "/metrics").status, 200);
    EXPECT_EQ(startMetrics({"127.0.0.1:80,127.0.0.1:81"}, "b1", &problem), nullptr);
    EXPECT_EQ(problem.rfind("--metrics-listen 127.0.0.1:80,127.0.0.1:81: expected ADDR:PORT", 0), 0U) << problem;
}

TEST_F(Exporter, ListenAddressesAreCheckedWhileParsing)
{
    for (const char* good : {"127.0.0.1:9788", "0.0.0.0:0", "127.0.0.1:65535", "localhost:9788", "[::1]:9788", ":9788"}) {
        CLI::App app;
        MetricsOptions options;
        addMetricsOptions(app, options);
        EXPECT_NO_THROW(app.parse(std::string("--metrics-listen ") + good, false)) << good;
        EXPECT_EQ(options.listen, good);
    }
    // Bad forms, and forms the HTTP server would read as more than one port or as TLS.
    for (const char* bad : {"127.0.0.1", "localhost", "127.0.0.1:65536", "127.0.0.1:-1", "127.1:9788",
                            "::1:9788", "[127.0.0.1]:9788", "127.0.0.1:9788s", "127.0.0.1:80,127.0.0.1:81", "9788"}) {
        CLI::App app;
        MetricsOptions options;
        addMetricsOptions(app, options);
        EXPECT_THROW(app.parse(std::string("--metrics-listen ") + bad, false), CLI::ValidationError) << bad;
    }
}

// Every string under a key named key, anywhere in a JSON document.
static void collectStrings(const nlohmann::json& node, const std::string& name,
                           std::vector<std::string>* found)
{
    if (node.is_object()) {
        for (const auto& [field, value] : node.items()) {
            if (field == name && value.is_string()) found->push_back(value.get<std::string>());
            collectStrings(value, name, found);
        }
    } else if (node.is_array()) {
        for (const auto& item : node) collectStrings(item, name, found);
    }
}

TEST_F(Exporter, ContribFilesAreValidAndUseOnlyExportedMetrics)
{
    for (const std::vector<std::string>& check :
         {std::vector<std::string>{PROMTOOL_PATH, "check", "rules", CONTRIB_DIR "/qav-alerts.yml"},
          {PROMTOOL_PATH, "check", "config", CONTRIB_DIR "/prometheus.yml"},
          {PROMTOOL_PATH, "test", "rules", METRICS_TEST_DIR "/qav-alerts.test.yml"},
          {PROMTOOL_PATH, "check", "rules", CONTRIB_DIR "/qav-site-rules.yml"},
          {PROMTOOL_PATH, "check", "config", CONTRIB_DIR "/prometheus-sites.yml"},
          {PROMTOOL_PATH, "test", "rules", METRICS_TEST_DIR "/qav-site-rules.test.yml"}}) {
        Ran result = run(check);
        EXPECT_EQ(result.status, 0) << check[1] << " " << check[3] << ": " << result.out << result.err;
    }
    auto exporter = startExporter();
    StateFeed feed(*exporter);
    feed.accepted(readingOf(answerA, 1796699894));
    std::set<std::string> exported;
    static const std::regex typeLine("# TYPE (\\S+) .*");
    std::istringstream lines(scrape(exporter->port()));
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_match(line, m, typeLine)) exported.insert(m[1]);

    std::ifstream file(CONTRIB_DIR "/grafana-dashboard.json");
    nlohmann::json dashboard = nlohmann::json::parse(file);
    std::vector<std::string> expressions;
    collectStrings(dashboard, "expr", &expressions);
    std::set<std::string> used;
    static const std::regex metricName("qav_[a-z_]+");
    for (const std::string& expression : expressions)
        for (std::sregex_iterator m(expression.begin(), expression.end(), metricName), end; m != end; ++m)
            used.insert(m->str());
    // The runtime, which is exported only while known (not in the scrape above).
    const std::set<std::string> estimate = {"qav_battery_runtime_seconds"};
    for (const std::string& name : used)
        EXPECT_EQ(exported.count(name) + estimate.count(name), 1U) << name << " is not exported";
    for (const char* name : {"qav_up", "qav_state_of_charge_ratio", "qav_current_amperes", "qav_stack_voltage_volts",
                             "qav_cell_voltage_volts", "qav_temperature_celsius", "qav_relative_humidity_ratio",
                             "qav_status_flag", "qav_low_battery", "qav_battery_runtime_seconds",
                             "qav_battery_power_watts"})
        EXPECT_EQ(used.count(name), 1U) << name << " has no panel";
    bool flagTimeline = false;
    for (const auto& panel : dashboard["panels"]) {
        bool flags = panel.dump().find("qav_status_flag") != std::string::npos;
        flagTimeline |= panel["type"] == "state-timeline" && flags;
    }
    EXPECT_TRUE(flagTimeline) << "the status flags are not shown as a state timeline";
    // Several batteries at once: every query takes the variable as a regular expression.
    EXPECT_EQ(dashboard["templating"]["list"][0]["multi"], true);
    for (const std::string& expression : expressions)
        EXPECT_NE(expression.find("battery=~\"$battery\""), std::string::npos) << expression;
}

TEST_F(Exporter, PageAddressesBracketIpv6AndNameTheHostForEveryAddress)
{
    char name[256] = "";
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    const std::string host = name;
    const struct {
        const char* listen;
        std::string page;
    } rows[] = {{":9788", "http://" + host + ":9788/"},        {"0.0.0.0:9788", "http://" + host + ":9788/"},
                {"[::]:9788", "http://" + host + ":9788/"},    {"[::1]:9788", "http://[::1]:9788/"},
                {"[fd00::7]:80", "http://[fd00::7]:80/"},      {"127.0.0.1:9788", "http://127.0.0.1:9788/"},
                {"localhost:9788", "http://127.0.0.1:9788/"}, {"127.0.0.1:0", ""},
                {"", ""}};
    for (const auto& row : rows) EXPECT_EQ(pageAddress(HttpOptions{row.listen, {}}), row.page) << row.listen;
}

namespace {

// One GET on a new connection to 127.0.0.1:port, closed after the answer; its status (0 when
// none came within 60 s) and the whole response in *text.
int get(int port, const std::string& path, std::string* text = nullptr, const std::string& headers = "")
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval patience{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n";
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char chunk[65536];
        for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) got.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    int status = 0;
    std::sscanf(got.c_str(), "HTTP/1.1 %d", &status);
    if (text != nullptr) *text = std::move(got);
    return status;
}

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST_F(Exporter, ThirtyTwoClientsOfFiveYearsOfHistoryLeaveTheScrapeAndTheStateFirst)
{
    // A history file holding five years, an answer a quarter of an hour, written on a clock
    // that runs through them to now, so that every quarter of the view has its row.
    char dir[] = "/tmp/qav_history_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/b1.db";
    const long long now = std::time(nullptr) / 900 * 900, first = now - Store::quartersKept + 86400;
    {
        std::atomic<long long> clock{first};
        std::string problem;
        auto store = Store::open(path, 5, &problem, [&clock] { return clock.load(); });
        ASSERT_NE(store, nullptr) << problem;
        const std::int32_t values[storeFields] = {5000, 26000, -100, 3300, 3300, 25, 30, 40};
        for (long long t = first; t < now; t += 900) {
            store->add(t, values, false);
            if ((t - first) / 900 % 3000 == 0 || t + 900 >= now) {
                clock = t + 900;
                store->flush();
            }
        }
    }
    DaemonOptions daemon;
    daemon.name = "b1";
    std::string problem;
    auto recorder = HistoryRecorder::start({path}, daemon, &problem);
    ASSERT_NE(recorder, nullptr) << problem;
    std::vector<std::unique_ptr<HttpPart>> parts;
    parts.push_back(makeMetrics("b1"));
    parts.push_back(makePage(daemon, recorder.get()));
    auto exporter = HttpExporter::start("127.0.0.1:0", std::move(parts), "HTTP", &problem);
    ASSERT_NE(exporter, nullptr) << problem;
    const int port = exporter->port();
    StateFeed(*exporter).accepted(readingOf(answerA, std::time(nullptr)));

    // Five years in 10,000 points or fewer: quarters merged by 18 (16,200 s), the first day empty.
    const std::string fiveYears = "/api/v1/history?seconds=157680000&points=10000";
    std::string text;
    ASSERT_EQ(get(port, fiveYears, &text), 200) << text;
    nlohmann::json history = nlohmann::json::parse(text.substr(text.find("\r\n\r\n") + 4));
    EXPECT_EQ(history["bucket_seconds"], 16200);
    EXPECT_GE(history["points"].size(), 9728U);
    EXPECT_LE(history["points"].size(), 9729U);
    const nlohmann::json means{50, 26, -1, 3.3, 3.3, 25, 30, 40};
    nlohmann::json steady{history["points"][5][0]};
    for (int part = 0; part < 3; part++) steady.insert(steady.end(), means.begin(), means.end());
    EXPECT_EQ(history["points"][5], steady);

    // gzip when Accept-Encoding takes it, by its codings and weights.
    const struct {
        const char* accepted;
        bool gzip;
    } encodings[] = {{"gzip", true},           {"identity, nogzip", false}, {"GZIP;q=0.5", true},
                     {"gzip;q=0", false},      {"gzip ; q=0.000", false},   {"*", true},
                     {"*;q=0", false},         {"gzip;q=0, *", false},      {"deflate, x-gzip", true},
                     {"gzip;q=2", false},      {"gzip;q=abc", false},       {"br, gzip;q=0.001", true},
                     {"gzipx, br", false},     {"identity", false}};
    for (const auto& row : encodings) {
        get(port, "/api/v1/history?seconds=604800&points=200", &text, std::string("Accept-Encoding: ") + row.accepted + "\r\n");
        EXPECT_EQ(text.find("\r\nContent-Encoding: gzip\r\n") < text.find("\r\n\r\n"), row.gzip) << row.accepted;
    }

    // 32 clients ask for the five years over and over, a new connection each time, again 50 ms
    // after a refusal; meanwhile scrapes and the state are timed.
    std::atomic<bool> loading{true};
    std::atomic<int> answered{0}, refused{0}, wrong{0};
    std::mutex mutex;
    std::vector<double> historyMs;
    std::vector<std::thread> clients;
    for (int c = 0; c < 32; c++)
        clients.emplace_back([&] {
            while (loading) {
                auto asked = std::chrono::steady_clock::now();
                std::string answer;
                int status = get(port, fiveYears, &answer);
                double ms = msSince(asked);
                bool busy = status == 503 && answer.find("\r\nRetry-After: 1\r\n") != std::string::npos;
                std::lock_guard<std::mutex> lock(mutex);
                if (status == 200) historyMs.push_back(ms), answered++;
                else if (busy) refused++;
                else wrong++;
                if (busy) usleep(50000);
            }
        });
    for (auto start = std::chrono::steady_clock::now(); msSince(start) < 60000 && answered < 4;) usleep(10000);
    std::vector<double> scrapeMs, stateMs;
    for (int i = 0; i < 20; i++) {
        auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(get(port, "/metrics", &text), 200);
        scrapeMs.push_back(msSince(asked));
        EXPECT_NE(text.find("\nqav_up{battery=\"b1\"} 1\n"), std::string::npos);
        asked = std::chrono::steady_clock::now();
        EXPECT_EQ(get(port, "/api/v1/state"), 200);
        stateMs.push_back(msSince(asked));
        usleep(100000);
    }
    loading = false;
    for (std::thread& client : clients) client.join();

    // Each scrape and state came faster than a history answer does: none waited behind one.
    auto sorted = [](std::vector<double> v) { return std::sort(v.begin(), v.end()), v; };
    scrapeMs = sorted(scrapeMs), stateMs = sorted(stateMs), historyMs = sorted(historyMs);
    ASSERT_GE(historyMs.size(), 4U);
    std::printf("ms, median and worst: scrape %.1f %.1f, state %.1f %.1f, history %.1f %.1f (%zu answered, %d refused)\n",
                scrapeMs[10], scrapeMs.back(), stateMs[10], stateMs.back(), historyMs[historyMs.size() / 2],
                historyMs.back(), historyMs.size(), refused.load());
    EXPECT_LT(scrapeMs.back(), historyMs[historyMs.size() / 2]);
    EXPECT_LT(stateMs.back(), historyMs[historyMs.size() / 2]);
    EXPECT_GT(refused, 0) << "more than ten at a time were taken";
    EXPECT_EQ(wrong, 0);
    exporter.reset();
    recorder.reset();
    for (const char* suffix : {"", "-wal", "-shm", ".lock"}) std::remove((path + suffix).c_str());
    rmdir(dir);
}
