// Tests of the page's API driven as an output and fetched over HTTP with curl.
#include "json.h"
#include "metrics_fixture.h"
#include "history.h"
#include "metrics.h"
#include "page.h"
#include "qav_version.h"
#include "sample_answers.h"
#include "state_feed.h"

#include <ctime>
#include <sstream>
#include <nlohmann/json.hpp>

namespace {

Reading readingOf(const std::string& answer, long long time)
{
    Reading reading{"b1", time, answer, {}};
    decodeStatus(answer.data(), answer.size(), &reading.status);
    return reading;
}

// The page's part alone on a free port, for battery b1 polled every interval seconds,
// low at or below lowPercent.
std::unique_ptr<HttpExporter> startPage(double interval, double lowPercent = 20)
{
    DaemonOptions daemon;
    daemon.name = "b1";
    daemon.interval = interval;
    daemon.lowBattery = lowPercent;
    std::vector<std::unique_ptr<HttpPart>> parts;
    parts.push_back(makePage(daemon));
    std::string problem;
    auto exporter = HttpExporter::start("127.0.0.1:0", std::move(parts), "HTTP", &problem);
    EXPECT_NE(exporter, nullptr) << problem;
    return exporter;
}

Response fetch(const HttpExporter& page, const std::string& path)
{
    return curl("http://127.0.0.1:" + std::to_string(page.port()) + path);
}

nlohmann::json getJson(const HttpExporter& page, const std::string& path)
{
    Response response = fetch(page, path);
    EXPECT_EQ(response.status, 200) << path << ": " << response.error;
    return nlohmann::json::parse(response.body, nullptr, false);
}

} // namespace

class PageApi : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_PROGRAM(CURL_PATH, "curl"); }
};

TEST_F(PageApi, StateAndEventsFollowThePollLoop)
{
    auto page = startPage(5, 85); // answerA's gauge of 85 % counts as low
    long long started = std::time(nullptr);
    StateFeed feed(*page, "b1", started);
    nlohmann::json state = getJson(*page, "/api/v1/state");
    EXPECT_EQ(state["battery"], "b1");
    EXPECT_EQ(state["fresh"], false);
    EXPECT_EQ(state["interval_seconds"], 5);
    EXPECT_EQ(state["stale_reason"], "waiting for the first answer");
    EXPECT_LE(std::abs(state["stale_since"].get<long long>() - started), 1);
    EXPECT_FALSE(state.contains("gas_gauge_percent") || state.contains("age_seconds")) << state;

    // Why polls fail, as the banner will say it, with the failures counted.
    const struct {
        bool connectOk;
        PollResult result;
        const char* reason;
    } failures[] = {{false, PollResult::disconnected, "cannot connect"},
                    {true, PollResult::disconnected, "connection lost"},
                    {true, PollResult::malformed, "rejected answers (malformed)"},
                    {true, PollResult::timeout, "timeout"}};
    int failed = 0;
    for (const auto& f : failures) {
        feed.connected(f.connectOk);
        feed.polled(f.result);
        state = getJson(*page, "/api/v1/state");
        EXPECT_EQ(state["stale_reason"], f.reason);
        EXPECT_EQ(state["failed_polls"], ++failed);
    }

    // Fresh: the answer as --output json prints it, with the page's fields.
    feed.freshness(true);
    feed.accepted(readingOf(answerA, 1796699894));
    state = getJson(*page, "/api/v1/state");
    nlohmann::json line = nlohmann::json::parse(readingJsonLine(readingOf(answerA, 1796699894)));
    for (const auto& [key, value] : line.items()) EXPECT_EQ(state[key], value) << key;
    EXPECT_EQ(state["gas_gauge_percent"], 85);
    EXPECT_EQ(state["fresh"], true);
    EXPECT_GE(state["age_seconds"], 0);
    EXPECT_LT(state["age_seconds"], 2);
    EXPECT_EQ(state["low_battery"], true);
    EXPECT_EQ(state.size(), line.size() + 4) << state;

    // Stale again: the values stay, marked stale since the last answer.
    feed.polled(PollResult::timeout);
    feed.freshness(false);
    state = getJson(*page, "/api/v1/state");
    EXPECT_EQ(state["fresh"], false);
    EXPECT_EQ(state["stale_since"], 1796699894);
    EXPECT_EQ(state["stale_reason"], "timeout");
    EXPECT_EQ(state["failed_polls"], 1);
    EXPECT_EQ(state["gas_gauge_percent"], 85);

    // The last 100 events, oldest first, their text kept as it is.
    for (int i = 0; i < 105; i++)
        feed.event({"b1", i % 2 != 0 ? "alert" : "alertclear", "<b>" + std::to_string(i), 1796699900 + i});
    nlohmann::json events = getJson(*page, "/api/v1/events")["events"];
    ASSERT_EQ(events.size(), 100U);
    EXPECT_EQ(events.front(),
              (nlohmann::json{{"event", "alert"}, {"detail", "<b>5"}, {"time", 1796699905}, {"role", "problem"}}));
    EXPECT_EQ(events.back()["role"], "clear");
    EXPECT_EQ(events.back()["detail"], "<b>104");
}

TEST_F(PageApi, AnIntervalOfSevenAndAHalfSecondsGivesBucketsOfEight)
{
    auto page = startPage(7.5);
    const long long base = std::time(nullptr) / 40 * 40 - 80; // a multiple of 8 (and of 5)
    // 7 s buckets would part base + 6 and base + 7; 8 s buckets keep them together.
    for (long long t : {base, base + 6, base + 7, base + 8, base + 15, base + 16})
        page->accepted(readingOf(answerA, t));
    nlohmann::json history = getJson(*page, "/api/v1/history?seconds=300");
    EXPECT_EQ(history["bucket_seconds"], 8);
    nlohmann::json times;
    for (const auto& point : history["points"]) times.push_back(point[0]);
    EXPECT_EQ(times, (nlohmann::json{base, base + 8, base + 16}));
}

TEST_F(PageApi, AFullDayKeepsItsSizeWithMeansAndGaps)
{
    auto page = startPage(1); // buckets of 5 s: 17,280 in a day
    const long long last = std::time(nullptr) / 5 * 5;
    const long long gapStart = last - 7200;
    // A day and 100 buckets more, an answer a bucket, but none for the stale minute at gapStart.
    StateFeed feed(*page);
    page->freshness(true);
    for (long long t = last - 5 * 17380; t < last; t += 5) {
        if (t == gapStart) feed.freshness(false); // the snapshot of the poll that goes stale breaks the line
        if (t >= gapStart && t < gapStart + 60) continue;
        if (t == gapStart + 60) page->freshness(true);
        page->accepted(readingOf(answerA, t));
    }
    // The current bucket holds two answers, so it shows their mean.
    page->accepted(readingOf(answerA, last));
    page->accepted(readingOf(answerB, last + 1));

    // Half a day at full resolution: 8,640 buckets, the window ending with the bucket current
    // when it was made, which its first point tells (the clock may move on during the request).
    nlohmann::json day = getJson(*page, "/api/v1/history?seconds=43200&points=8640");
    nlohmann::json merged = getJson(*page, "/api/v1/history");
    ASSERT_FALSE(day["points"].empty());
    const long long current = day["points"][0][0].get<long long>() / 5 + 8639;
    long long shift = current - last / 5; // buckets begun since the answers
    EXPECT_EQ(day["bucket_seconds"], 5);
    EXPECT_EQ(day["fields"], (nlohmann::json{"time", "gas_gauge_percent", "stack_voltage_volts", "current_amperes",
                                             "lowest_cell_volts", "highest_cell_volts", "hottest_layer_celsius",
                                             "heatsink_temperature_celsius", "relative_humidity_percent"}));
    const nlohmann::json& points = day["points"];
    // 8,640 buckets less the 12 of the stale minute, and one point of nulls for the gap.
    ASSERT_EQ(points.size(), static_cast<std::size_t>(8629 - shift));
    EXPECT_EQ(points.front()[0], (current - 8639) * 5);
    EXPECT_EQ(points[1], (nlohmann::json{points[1][0], 85, 26.4, -1, 3.3, 3.3, 29, 31, 45}));
    if (shift == 0) {
        EXPECT_EQ(points.back(), (nlohmann::json{last, 92.5, 29.2, 5.75, 3.65, 3.65, 29.5, 35.5, 47.5}));
    }
    int gaps = 0;
    for (std::size_t i = 0; i < points.size(); i++) {
        ASSERT_EQ(points[i].size(), 9U);
        if (!points[i][1].is_null()) continue;
        gaps++;
        EXPECT_EQ(points[i], (nlohmann::json{gapStart, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}));
        EXPECT_EQ(points[i + 1][0], gapStart + 60);
    }
    EXPECT_EQ(gaps, 1);

    // An hour: 720 buckets less those begun since the answers, as its first point tells.
    nlohmann::json hour = getJson(*page, "/api/v1/history?seconds=3600")["points"];
    ASSERT_FALSE(hour.empty());
    EXPECT_EQ(hour.size(), static_cast<std::size_t>(720 - (hour[0][0].get<long long>() / 5 + 719 - last / 5)));
    EXPECT_GE(hour[0][0], (current - 719) * 5);
    for (const char* bad : {"seconds=abc", "seconds=0", "seconds=-5", "seconds=1e3", "seconds=", "seconds=12345678901",
                            "points=0", "points=10001", "points=x"}) {
        Response refused = fetch(*page, std::string("/api/v1/history?") + bad);
        EXPECT_EQ(refused.status, 400) << bad;
        EXPECT_EQ(refused.body, "seconds must be a whole number of at least 1, points one from 1 to 10000\n");
    }

    // The whole day by default: 18 buckets (90 s) a point, the stale minute lost in its
    // point's mean; each point the means, then the lowest and highest bucket means.
    EXPECT_EQ(merged["bucket_seconds"], 90);
    ASSERT_EQ(merged["fields"].size(), 25U);
    EXPECT_EQ(merged["fields"][9], "gas_gauge_percent_min");
    EXPECT_EQ(merged["fields"][24], "relative_humidity_percent_max");
    const nlohmann::json& coarse = merged["points"];
    EXPECT_GE(coarse.size(), 960U);
    EXPECT_LE(coarse.size(), 961U);
    const nlohmann::json a{85, 26.4, -1, 3.3, 3.3, 29, 31, 45};
    nlohmann::json steady{coarse[5][0]};
    for (int part = 0; part < 3; part++) steady.insert(steady.end(), a.begin(), a.end());
    EXPECT_EQ(coarse[5], steady);
    EXPECT_EQ(coarse[5][0].get<long long>() % 90, 0);
    // The last point holds answer B's bucket: its highest gauge is their mean.
    EXPECT_EQ(coarse.back()[17], 92.5);
    // Its lowest is an A bucket's 85, unless B's bucket opens a point of its own (as the clock falls).
    EXPECT_TRUE(coarse.back()[9] == 85 || coarse.back()[9] == 92.5) << coarse.back();
    // Compressed when the client takes gzip, and then far below 100 kB.
    std::string url = "http://127.0.0.1:" + std::to_string(page->port()) + "/api/v1/history";
    Response packed = curl(url, {"-H", "Accept-Encoding: gzip"});
    EXPECT_NE(packed.headers.find("Content-Encoding: gzip"), std::string::npos) << packed.headers;
    EXPECT_LT(packed.body.size(), 60000U);
    EXPECT_EQ(nlohmann::json::parse(curl(url, {"--compressed"}).body)["points"].size(), coarse.size());
}

// A site of three on one server: each battery's own page and API, all of them at once, and
// every battery's series in one /metrics.
TEST_F(PageApi, ASiteServesEachBatteryApartAndAllInOneExposition)
{
    Site site;
    site.name = "rack";
    for (const char* name : {"b1", "b2", "b3"}) site.batteries.emplace_back().name = name;
    site.batteries[2].interval = 5;
    std::vector<std::unique_ptr<HttpPart>> parts;
    parts.push_back(makeMetrics(site));
    parts.push_back(makePage(site, {}));
    std::string problem;
    auto page = HttpExporter::start("127.0.0.1:0", std::move(parts), "HTTP", &problem);
    ASSERT_NE(page, nullptr) << problem;
    // b1 answers A; b2 answers B and raises an alert; b3 cannot connect.
    StateFeed b1(*page, "b1"), b2(*page, "b2"), b3(*page, "b3");
    const long long now = std::time(nullptr);
    b1.accepted(readingOf(answerA, now));
    Reading b = readingOf(answerB, now);
    b.battery = "b2";
    b2.accepted(b);
    b2.event({"b2", "alert", "temperature alert", now});
    b3.connected(false);
    b3.polled(PollResult::disconnected);

    nlohmann::json all = getJson(*page, "/api/v1/batteries");
    EXPECT_EQ(all["site"], "rack");
    ASSERT_EQ(all["batteries"].size(), 3U);
    const std::string names[] = {"b1", "b2", "b3"};
    const nlohmann::json gauges[] = {85, 100, nullptr}, stacks[] = {26.4, 32, nullptr}, firstEvent[] = {nullptr, "alert", nullptr};
    for (int i = 0; i < 3; i++) {
        const std::string api = "/api/v1/batteries/" + names[i];
        nlohmann::json one = all["batteries"][i], own = getJson(*page, api + "/state");
        for (nlohmann::json* state : {&one, &own}) state->erase("age_seconds");
        EXPECT_EQ(own, one) << names[i];
        EXPECT_EQ(one["battery"], names[i]);
        EXPECT_EQ(one.value("gas_gauge_percent", nlohmann::json()), gauges[i]) << names[i];
        EXPECT_EQ(one.value("stack_voltage_volts", nlohmann::json()), stacks[i]) << names[i];
        nlohmann::json events = getJson(*page, api + "/events")["events"];
        EXPECT_EQ(events.empty() ? nlohmann::json() : events[0]["event"], firstEvent[i]) << names[i];
        nlohmann::json points = getJson(*page, api + "/history?seconds=60")["points"];
        EXPECT_EQ(points.empty() ? nlohmann::json() : points.back()[1], gauges[i]) << names[i];
        EXPECT_EQ(getJson(*page, api + "/outages"), (nlohmann::json{{"outages", nlohmann::json::array()}}));
    }
    EXPECT_EQ(all["batteries"][2]["stale_reason"], "cannot connect");
    EXPECT_EQ(all["batteries"][2]["interval_seconds"], 5);
    EXPECT_NE(fetch(*page, "/").body.find("data-view=\"overview\""), std::string::npos);
    EXPECT_NE(fetch(*page, "/battery/b2/").body.find("<h1 id=\"name\">"), std::string::npos);
    for (const char* unknown : {"/api/v1/batteries/b4/state", "/api/v1/batteries/b4/history", "/battery/b4/",
                                "/battery/b1", "/api/v1/state", "/api/v1/history", "/overview.html"})
        EXPECT_EQ(fetch(*page, unknown).status, 404) << unknown;

    // One family each, every battery's series in it under its label, the build once.
    std::string text = fetch(*page, "/metrics").body;
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    };
    EXPECT_EQ(count("# TYPE qav_up gauge\n"), 1U);
    EXPECT_EQ(count("qav_build_info"), 3U) << text; // its HELP, its TYPE and one sample
    EXPECT_EQ(count("\nqav_build_info{version=\"" QAV_VERSION "\"} 1\n"), 1U);
    std::map<std::string, std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);)
        for (const std::string& name : names)
            if (line.find("{battery=\"" + name + "\"") != std::string::npos) lines[name] += line + "\n";
    std::map<std::string, double> series[] = {seriesOf(lines["b1"], "b1"), seriesOf(lines["b2"], "b2"),
                                              seriesOf(lines["b3"], "b3")};
    EXPECT_EQ(series[0]["qav_state_of_charge_ratio"], 0.85);
    EXPECT_EQ(series[1]["qav_state_of_charge_ratio"], 1);
    EXPECT_EQ(series[1]["qav_current_amperes"], 12.5);
    EXPECT_EQ(series[1]["qav_events_total{event=\"alert\"}"], 1);
    EXPECT_EQ(series[0]["qav_events_total{event=\"alert\"}"], 0);
    EXPECT_EQ((std::vector<double>{series[0]["qav_up"], series[1]["qav_up"], series[2]["qav_up"]}),
              (std::vector<double>{1, 1, 0}));
    EXPECT_EQ(series[2]["qav_connects_total{result=\"failed\"}"], 1);
    EXPECT_FALSE(hasValueSeries(series[2]));
}

// A view from the store shows a gap of a single point as a gap, as it does a longer one.
TEST(StoreView, AGapOfOnePointIsShown)
{
    char dir[] = "/tmp/store_view_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const long long t0 = 1800000000;
    {
        std::string problem;
        auto store = Store::open(std::string(dir) + "/h.db", 5, &problem, [] { return t0 + 3600; });
        ASSERT_TRUE(store) << problem;
        const std::int32_t values[storeFields] = {5000, 26000, -500, 3200, 3300, 25, 30, 40};
        for (long long t : {0, 10, 30, 60}) store->add(t0 + t, values, false);
        store->flush();
        nlohmann::json view = nlohmann::json::parse(History::storeJson(*store, t0, t0 + 60, 10, false));
        nlohmann::json shown;
        for (const auto& point : view["points"]) shown.push_back({point[0].get<long long>() - t0, !point[1].is_null()});
        EXPECT_EQ(shown, (nlohmann::json{{0, true}, {10, true}, {20, false}, {30, true}, {40, false}, {60, true}}));
    }
    EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}
