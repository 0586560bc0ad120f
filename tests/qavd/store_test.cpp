// The history store on a real SQLite file, with a clock the test sets.
#include "daemon_fixture.h"
#include "metrics_fixture.h"
#include "must_run.h"
#include "recorder.h"
#include "store.h"

#include <nlohmann/json.hpp>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <set>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>
#include <tuple>
#include <vector>

namespace {

constexpr long long T0 = 1800000000; // a whole number of quarters

// time - t0, count, gauge sum, lowest and highest of each row of a tier, read from the file.
std::vector<std::vector<long long>> rowsIn(const std::string& path, const std::string& table, long long t0)
{
    std::vector<std::vector<long long>> out;
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::string sql = "SELECT time, count, gauge_sum, gauge_min, gauge_max FROM " + table + " ORDER BY time";
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (sqlite3_step(stmt) == SQLITE_ROW)
        out.push_back({sqlite3_column_int64(stmt, 0) - t0, sqlite3_column_int64(stmt, 1), sqlite3_column_int64(stmt, 2),
                       sqlite3_column_int64(stmt, 3), sqlite3_column_int64(stmt, 4)});
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

// A scratch directory and a clock that stands still until the test moves it.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/store_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/battery.db";
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0); }

    std::unique_ptr<Store> open()
    {
        std::string problem;
        auto store = Store::open(path, 5, &problem, [this] { return clock.load(); });
        EXPECT_TRUE(store) << problem;
        return store;
    }

    // An answer whose gas gauge is gauge hundredths; the other values fixed.
    static void add(Store& store, long long time, int gauge)
    {
        std::int32_t values[storeFields] = {gauge, 26000, -500, 3200, 3300, 25, 30, 40};
        store.add(time, values, false);
    }

    // time, count, gauge sum, lowest and highest of each bucket the store gives.
    static std::vector<std::vector<long long>> gauges(Store& store, long long from, long long step)
    {
        std::vector<std::vector<long long>> out;
        for (const StoreBucket& b : store.buckets(from, T0 + 10 * 365 * 86400LL, step))
            out.push_back({b.time - T0, b.count, b.sum[0], b.min[0], b.max[0]});
        return out;
    }

    std::vector<std::vector<long long>> rows(const std::string& table) const { return rowsIn(path, table, T0); }

    std::string dir, path;
    std::atomic<long long> clock{T0};
};

using Rows = std::vector<std::vector<long long>>;

TEST_F(StoreTest, RollsMinutesAndQuartersUpAndPrunesEachTierAsItAges)
{
    auto store = open();
    add(*store, T0, 5000);
    add(*store, T0 + 2, 5010);
    add(*store, T0 + 30, 4900);
    add(*store, T0 + 65, 4800);
    add(*store, T0 + 950, 4000);
    clock = T0 + 2000;
    store->flush();
    // Five-second buckets, as they came.
    EXPECT_EQ(gauges(*store, T0, 5), (Rows{{0, 2, 10010, 5000, 5010}, {30, 1, 4900, 4900, 4900},
                                           {65, 1, 4800, 4800, 4800}, {950, 1, 4000, 4000, 4000}}));
    // Merged to five minutes from the buckets.
    EXPECT_EQ(gauges(*store, T0, 300), (Rows{{0, 4, 19710, 4800, 5010}, {900, 1, 4000, 4000, 4000}}));
    const Rows minutes{{0, 3, 14910, 4900, 5010}, {60, 1, 4800, 4800, 4800}, {900, 1, 4000, 4000, 4000}};
    const Rows quarters{{0, 4, 19710, 4800, 5010}, {900, 1, 4000, 4000, 4000}};
    EXPECT_EQ(rows("minutes"), minutes);
    EXPECT_EQ(rows("quarters"), quarters);
    // A query reaching back beyond 48 h reads the minutes; beyond 90 days, the quarters.
    EXPECT_EQ(gauges(*store, T0 - 200000, 60), minutes);
    EXPECT_EQ(gauges(*store, T0 - 8000000, 900), quarters);

    // Two days on, the buckets of the first day are gone; the minutes stay.
    clock = T0 + 48 * 3600 + 1000;
    add(*store, T0 + 173800, 3000);
    store->flush();
    EXPECT_EQ(rows("buckets"), (Rows{{173800, 1, 3000, 3000, 3000}}));
    EXPECT_EQ(rows("minutes"), minutes);
    // Ninety days on, the first minutes are gone, and the last one is rolled up.
    clock = T0 + 90 * 86400 + 100;
    store->flush();
    EXPECT_EQ(rows("buckets"), Rows{});
    EXPECT_EQ(rows("minutes"), (Rows{{900, 1, 4000, 4000, 4000}, {173760, 1, 3000, 3000, 3000}}));
    EXPECT_EQ(rows("quarters"), (Rows{{0, 4, 19710, 4800, 5010}, {900, 1, 4000, 4000, 4000}, {173700, 1, 3000, 3000, 3000}}));
    // Five years on, so are the first quarters; a kept value outlives it all.
    store->setValue("capacity", "98.5");
    clock = T0 + 5 * 365 * 86400LL + 901;
    store->flush();
    EXPECT_EQ(rows("minutes"), Rows{});
    EXPECT_EQ(rows("quarters"), (Rows{{173700, 1, 3000, 3000, 3000}}));
    store.reset();
    EXPECT_EQ(open()->value("capacity"), "98.5");
}

// The value of a kept name in the file itself ("" when it has none), and its bucket rows.
std::pair<std::string, std::size_t> keptIn(const std::string& path, const char* name)
{
    std::string value;
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_prepare_v2(db, "SELECT value FROM kept WHERE name = ?1", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC);
    if (sqlite3_step(stmt) == SQLITE_ROW) value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return {value, rowsIn(path, "buckets", T0).size()};
}

// Values made on writing (a battery's lifetime figures) are written at most every 10 s of the
// monotonic clock, and at a flush: the newest one given.
TEST_F(StoreTest, AValueMadeOnWritingIsWrittenEveryTenSecondsAndAtAFlush)
{
    std::atomic<long long> steady{1000};
    std::atomic<int> made{0};
    std::string problem;
    auto store = Store::open(path, 5, &problem, [this] { return clock.load(); }, [&] { return steady.load(); });
    ASSERT_TRUE(store) << problem;
    auto later = [&](const char* text) { store->setValueLater("life", [&made, text] { made++; return std::string(text); }); };
    // Each step: the value given, the answer's time and the monotonic clock; then the file's value once
    // the answer is written.
    const std::tuple<const char*, long long, long long, const char*> steps[] = {
        {"a", 0, 1000, "a"}, {"b", 5, 1005, "a"}, {"c", 10, 1009, "a"}, {"d", 15, 1010, "d"}, {"e", 20, 1015, "d"}};
    std::size_t answers = 0;
    for (const auto& [given, time, ticks, inFile] : steps) {
        steady = ticks;
        later(given);
        add(*store, T0 + time, 5000);
        answers++;
        for (int i = 0; i < 100 && keptIn(path, "life").second < answers; i++) usleep(50000);
        EXPECT_EQ(keptIn(path, "life"), std::make_pair(std::string(inFile), answers)) << given;
        EXPECT_EQ(store->value("life"), given);
    }
    store->flush();
    EXPECT_EQ(keptIn(path, "life").first, "e");
    // Written: "a", "d" and "e"; read back while they waited: "b", "c" and "e".
    EXPECT_EQ(made.load(), 6);
}

// Whether the file's schema version is version and it holds no tables of ours.
void expectUntouched(const std::string& path, int version)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT (SELECT user_version FROM pragma_user_version), (SELECT count(*) FROM sqlite_master)",
                       -1, &stmt, nullptr);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), version);
    EXPECT_EQ(sqlite3_column_int(stmt, 1), 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(StoreTest, ANewerSchemaIsLeftAloneAndAnswersWaitInMemoryUntilTheFileIsReplaced)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 2", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    auto store = open();
    add(*store, T0, 5000);
    store->flush();
    expectUntouched(path, 2);
    EXPECT_TRUE(store->buckets(T0, T0 + 10, 5).empty());
    // The operator moves it away; the next try writes what waited.
    ASSERT_EQ(std::rename(path.c_str(), (path + ".new").c_str()), 0);
    add(*store, T0 + 5, 5100);
    store->flush();
    EXPECT_EQ(gauges(*store, T0, 5), (Rows{{0, 1, 5000, 5000, 5000}, {5, 1, 5100, 5100, 5100}}));
}

// A directory that appears after the start: the lock is taken before the first write, so a
// second qavd is still refused.
TEST_F(StoreTest, ALockNotMadeAtStartIsTakenBeforeTheFileIsWritten)
{
    path = dir + "/later/battery.db";
    auto store = open();
    add(*store, T0, 5000);
    ASSERT_EQ(mkdir((dir + "/later").c_str(), 0700), 0);
    store->flush();
    EXPECT_EQ(gauges(*store, T0, 5), (Rows{{0, 1, 5000, 5000, 5000}}));
    // Another process, as the lock is the process's own.
    pid_t other = fork();
    if (other == 0) {
        std::string problem;
        _exit(Store::open(path, 5, &problem) == nullptr && problem.find(" is in use by another qavd (PID ") != std::string::npos ? 0 : 1);
    }
    int status = -1;
    waitpid(other, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// What reaches a running store's file by another name is refused like the same path; a file
// deleted under it is noticed and started anew with what it held, and what came after.
TEST_F(StoreTest, TheFileIsOneStoresByAnyNameAndOutlivesItsDeletion)
{
    auto store = open();
    add(*store, T0, 5000);
    store->flush();
    // The same path, a symlink, a hard link.
    ASSERT_EQ(symlink(path.c_str(), (dir + "/sym.db").c_str()) | link(path.c_str(), (dir + "/hard.db").c_str()), 0);
    for (const std::string& other : {path, dir + "/sym.db", dir + "/hard.db"}) {
        std::string problem;
        EXPECT_EQ(Store::open(other, 5, &problem), nullptr) << other;
        EXPECT_EQ(problem, "history " + other + " is in use by another qavd (PID " + std::to_string(getpid()) + ")");
    }
    unlink((dir + "/hard.db").c_str());
    // Deleted with its journal: the next check copies it from the descriptor still open.
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
    add(*store, T0 + 5, 5100);
    store->flush();
    EXPECT_EQ(rows("buckets"), (Rows{{0, 1, 5000, 5000, 5000}, {5, 1, 5100, 5100, 5100}}));
    // The new file is locked in its turn.
    std::string problem;
    EXPECT_EQ(Store::open(path, 5, &problem), nullptr);
    EXPECT_NE(problem.find(" is in use by another qavd"), std::string::npos) << problem;
}

} // namespace

// A capacity learned in one run is where the next one starts; a rated capacity, or a
// learned one resting on less of the gauge than the one kept, does not replace it.
TEST_F(StoreTest, TheRecorderKeepsTheLearnedCapacityForTheNextRun)
{
    HistoryOptions history{path};
    DaemonOptions daemon;
    std::string problem;
    {
        auto recorder = HistoryRecorder::start(history, daemon, &problem);
        ASSERT_TRUE(recorder) << problem;
        EXPECT_EQ(recorder->learned().ampereHours, 0);
        Reading reading;
        reading.time = T0;
        for (auto [capacity, source, weight] : {std::tuple{20.5, "learned", 4.0}, std::tuple{99.0, "rated", 6.0},
                                                std::tuple{30.0, "learned", 3.0}}) {
            reading.estimate.capacity = capacity;
            reading.estimate.capacitySource = source;
            reading.estimate.learnedWeight = weight;
            recorder->accepted(reading);
        }
    }
    auto recorder = HistoryRecorder::start(history, daemon, &problem);
    ASSERT_TRUE(recorder) << problem;
    LearnedCapacity kept = recorder->learned();
    EXPECT_DOUBLE_EQ(kept.ampereHours, 20.5);
    EXPECT_DOUBLE_EQ(kept.weight, 4);
}

// qavd under libfaketime, its wall clock stepped back an hour, on a year and back to the right
// time while the monotonic clock runs as it is: every answer of the stretches with the right
// time is in the file and the API, none of the year ahead is shown, and each step is logged.
class ClockSteps : public DaemonTest {};

TEST_F(ClockSteps, EveryAnswerOfTheRightTimeIsKept)
{
    if (std::string(FAKETIME_LIBRARY).empty()) SKIP_OR_FAIL_UNDER_CI("libfaketime is not installed (Debian package libfaketime)");
    REQUIRE_PROGRAM(CURL_PATH, "curl");
    const std::string offset = dir + "/offset", history = dir + "/history.db";
    auto step = [&](const char* to) {
        std::ofstream(offset + ".new") << to << "\n";
        ASSERT_EQ(std::rename((offset + ".new").c_str(), offset.c_str()), 0);
    };
    step("+0");
    // libfaketime reads its timestamp file into a buffer of its own on every call, from every
    // thread: under ThreadSanitizer that race is the library's, not qavd's, and is left out.
    std::ofstream(dir + "/tsan.supp") << "called_from_lib:libfaketime.so.1\nrace:libfaketime.so.1\n";
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string tsanOptions =
        "TSAN_OPTIONS=" + std::string(tsan != nullptr ? tsan : "") + " suppressions=" + dir + "/tsan.supp";
    const long long started = std::time(nullptr);
    // An outage all along, across every step.
    startQavd(startSim({"--capacity", "20", "--profile", "3600:-20"}),
              {"-i", "0.5", "-t", "0.4", "--history", history, "--http-listen", "127.0.0.1:0", "--outage-min", "1"},
              {"LD_PRELOAD=" + std::string(FAKETIME_LIBRARY), "FAKETIME_TIMESTAMP_FILE=" + offset, "FAKETIME_NO_CACHE=1",
               "FAKETIME_DONT_FAKE_MONOTONIC=1", "ASAN_OPTIONS=verify_asan_link_order=0", tsanOptions});
    const int port = listening("HTTP");
    for (const char* to : {"-3600", "+31532400", "+0", ""}) {
        std::size_t seen = linesOf(qavd.out).size();
        ASSERT_TRUE(until(30, [&] { return linesOf(qavd.out).size() >= seen + 8; })) << qavd.err;
        if (*to != '\0') step(to);
    }
    const long long asked = std::time(nullptr);
    auto get = [&](const std::string& query) {
        return nlohmann::json::parse(curl("http://127.0.0.1:" + std::to_string(port) + query).body, nullptr, false);
    };
    // The outage lasted as long as the monotonic clock says.
    const nlohmann::json outage = get("/api/v1/outages")["outages"][0];
    EXPECT_LE(std::abs(outage["start"].get<long long>() - started), 2) << outage;
    EXPECT_LE(std::abs(outage["duration_seconds"].get<long long>() - (asked - started)), 3) << outage;
    auto points = [&](const std::string& query) {
        std::set<long long> times;
        auto view = get(query);
        for (const auto& point : view["points"]) times.insert(point[0].get<long long>());
        return times;
    };
    // A day and a second from the store's buckets in 10 s points, a week from its minutes in
    // 2 min points, and the last ten minutes from the page's ring.
    const std::set<long long> stored = points("/api/v1/history?seconds=86401&points=10000"),
                              week = points("/api/v1/history?seconds=604800&points=10000"),
                              ring = points("/api/v1/history?seconds=600");
    auto inHour = [&](long long time) { return time >= started - 3605 && time <= asked - 3595; }; // an hour back
    EXPECT_EQ(stop(&qavd, SIGTERM), 0);
    const long long ended = std::time(nullptr);
    ASSERT_FALSE(stored.empty() || week.empty() || ring.empty());
    EXPECT_LE(std::max({*stored.rbegin(), *week.rbegin(), *ring.rbegin()}), asked);
    long long right = 0, ahead = 0, behind = 0;
    for (const std::string& line : linesOf(qavd.out)) {
        long long time = nlohmann::json::parse(line)["time"];
        ahead += time > ended + 86400;
        behind += inHour(time);
        if (time < started || time > ended) continue;
        right++;
        // The store is written once a second.
        EXPECT_TRUE(time >= asked - 2 || (stored.count(time / 10 * 10) == 1 && week.count(time / 120 * 120) == 1)) << time;
        EXPECT_TRUE(time > asked || ring.count(time / 5 * 5) == 1) << time;
    }
    EXPECT_GE(right, 16);
    // Roll-ups went on after the step back: what came an hour back reached the minutes.
    long long kept = 0, aside = 0, rolled = 0;
    for (const auto& row : rowsIn(history, "buckets", 0)) kept += row[0] >= started / 5 * 5 && row[0] <= ended ? row[1] : 0;
    for (const auto& row : rowsIn(history, "aside_buckets", 0)) aside += row[1];
    for (const auto& row : rowsIn(history, "minutes", 0)) rolled += inHour(std::clamp(started - 3605, row[0], row[0] + 59)) ? row[1] : 0;
    EXPECT_EQ(kept, right);
    EXPECT_EQ(aside, ahead);
    EXPECT_GE(behind, 8);
    EXPECT_EQ(rolled, behind);
    for (const char* said : {"back by 3600 s", "forward by 31536000 s", "back by 31532400 s"})
        EXPECT_EQ(countOf(qavd.err, std::string("qavd: the wall clock stepped ") + said + ";"), 1) << qavd.err;
}
