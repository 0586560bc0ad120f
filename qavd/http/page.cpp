// page: the web page and its API: the latest answer, the last events and a day of history.
#include "page.h"

#include "event_table.h"
#include "events.h"
#include "history.h"
#include "recorder.h"
#include "state.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <zlib.h>

#ifndef QAVD_CHART_LIBRARY
#define QAVD_CHART_LIBRARY "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace {

// Outages the API lists.
constexpr std::size_t outagesListed = 10;
// Points of a history answer: by default, and at most.
constexpr long long defaultPoints = 1000, mostPoints = 10000;
// The chart library is a file of a few hundred kilobytes; anything far larger is not it.
constexpr off_t chartLibraryLimit = 4 << 20;

// Seconds since the epoch, with fractions.
double secondsNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}


// A JSON response that is never cached.
HttpResponse jsonResponse(std::string body)
{
    return {200, "application/json", std::move(body), {{"Cache-Control", "no-store"}}};
}

// The chart library's file, or 404 saying where it was looked for.
HttpResponse chartLibrary()
{
    const std::string path = QAVD_CHART_LIBRARY;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat about {};
    std::string body;
    bool ok = fd >= 0 && fstat(fd, &about) == 0 && S_ISREG(about.st_mode) && about.st_size <= chartLibraryLimit;
    if (ok) {
        body.resize(static_cast<std::size_t>(about.st_size));
        ok = read(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    }
    int error = errno;
    if (fd >= 0) close(fd);
    if (!ok)
        return {404, "text/plain; charset=utf-8",
                "The chart library " + path + " cannot be read (" + std::strerror(error) +
                    "); it comes with the Debian package libjs-chart.js.\n",
                {}};
    return {200, "text/javascript; charset=utf-8", std::move(body), {{"Cache-Control", "max-age=86400"}}};
}

// A whole-number argument of a request, from 1 to most; fallback when absent; nothing when malformed.
std::optional<long long> numberAsked(const HttpRequest& request, const char* name, long long fallback, long long most)
{
    auto given = request.query.find(name);
    if (given == request.query.end()) return fallback;
    const std::string& text = given->second;
    bool digits = !text.empty() && text.size() <= 9 &&
                  std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoll(text) < 1 || std::stoll(text) > most) return std::nullopt;
    return std::stoll(text);
}

// An element of a header's list without the blanks around it.
std::string trimmed(const std::string& text)
{
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The weight of a list element from its parameters ("q=0.5"), 0 to 1; 0 when it is malformed
// (a weight is 0 or 1 with at most three decimals, and 1 has only zeros).
double weightOf(const std::string& parameters)
{
    std::string q = trimmed(parameters);
    if (q.size() < 3 || (q[0] != 'q' && q[0] != 'Q') || q[1] != '=') return 0;
    std::string value = q.substr(2);
    bool digits = value.size() == 1 || (value[1] == '.' && value.size() <= 5);
    for (std::size_t i = 2; digits && i < value.size(); i++) digits = value[i] >= '0' && value[i] <= (value[0] == '1' ? '0' : '9');
    if (!digits || (value[0] != '0' && value[0] != '1')) return 0;
    return std::strtod(value.c_str(), nullptr);
}

// Whether an Accept-Encoding header takes gzip: its "gzip" (or "x-gzip") element, else its "*",
// with a weight above 0. Codings compare without regard to case.
bool takesGzip(const std::string& accepted)
{
    double gzip = -1, any = -1;
    for (std::size_t at = 0; at < accepted.size();) {
        std::size_t end = std::min(accepted.find(',', at), accepted.size());
        std::string element = accepted.substr(at, end - at);
        at = end + 1;
        std::size_t semicolon = element.find(';');
        std::string coding = trimmed(element.substr(0, semicolon));
        std::transform(coding.begin(), coding.end(), coding.begin(), [](unsigned char c) { return std::tolower(c); });
        double weight = semicolon == std::string::npos ? 1 : weightOf(element.substr(semicolon + 1));
        if (coding == "gzip" || coding == "x-gzip") gzip = weight;
        if (coding == "*") any = weight;
    }
    return (gzip >= 0 ? gzip : any) > 0;
}

// A JSON response, compressed with gzip when the client takes it and it is worth it.
HttpResponse compressedJson(std::string body, const HttpRequest& request)
{
    HttpResponse response{200, "application/json", std::move(body), {{"Cache-Control", "no-store"}, {"Vary", "Accept-Encoding"}}};
    if (response.body.size() < 1024 || !takesGzip(request.acceptEncoding)) return response;
    z_stream zs{};
    // 15 + 16: a gzip header and trailer. The fastest level: a day's JSON shrinks to a quarter.
    if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return response;
    std::string packed(deflateBound(&zs, response.body.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(response.body.data());
    zs.avail_in = static_cast<uInt>(response.body.size());
    zs.next_out = reinterpret_cast<Bytef*>(packed.data());
    zs.avail_out = static_cast<uInt>(packed.size());
    int done = deflate(&zs, Z_FINISH);
    packed.resize(zs.total_out);
    deflateEnd(&zs);
    if (done != Z_STREAM_END) return response;
    response.body = std::move(packed);
    response.headers.emplace_back("Content-Encoding", "gzip");
    return response;
}

// One outage as the API lists it; percentages and amperes from hundredths.
nlohmann::ordered_json outageJson(const OutageRecord& r)
{
    nlohmann::ordered_json o;
    o["start"] = r.start;
    o["end"] = r.end != 0 ? nlohmann::ordered_json(r.end) : nlohmann::ordered_json(nullptr);
    o["ongoing"] = r.end == 0;
    o["duration_seconds"] = (r.end != 0 ? r.end : r.last) - r.start;
    o["charge_start_percent"] = r.chargeStart / 100.0;
    o["charge_lowest_percent"] = r.chargeLowest / 100.0;
    o["charge_end_percent"] = r.chargeEnd / 100.0;
    o["energy_wh"] = std::round(r.energyWh * 10) / 10;
    o["peak_discharge_amperes"] = r.peakCurrent / 100.0;
    o["low_battery"] = r.lowBattery;
    o["qavd_stopped"] = r.interrupted;
    return o;
}

// One battery's share of the page: its latest snapshot, its day of charts and its store.
class BatteryView {
public:
    BatteryView(const DaemonOptions& daemon, HistoryRecorder* recorder, long long startedAt, std::size_t batteries)
        : options(daemon), started(startedAt), history(daemon.interval, batteries), recorded(recorder)
    {
        Store* store = recorded != nullptr ? recorded->store() : nullptr;
        if (store == nullptr) return;
        // The charts of a restart go on where the last run's ended, after a gap.
        store->scan(started - History::span, started, history.bucketSeconds(),
                    [this](const StoreBucket& bucket) { history.restore(bucket); });
        history.breakLine();
    }

    // The day's charts are the page's own: each answer goes into them.
    void add(const Reading& reading) { history.add(reading.status, reading.time); }

    // Show the state of the latest poll; while it is stale the charts' line breaks.
    void show(const BatterySnapshot& snapshot)
    {
        if (!snapshot->fresh) history.breakLine();
        std::lock_guard<std::mutex> lock(mutex);
        latest = snapshot;
    }

    const std::string& name() const { return options.name; }
    std::string stateJson() const;
    HttpResponse events() const;
    HttpResponse historyOf(const HttpRequest& request) const;
    HttpResponse outages() const;
    HttpResponse health(const HttpRequest& request) const;

private:
    BatterySnapshot shown() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return latest;
    }

    const DaemonOptions options;
    const long long started;
    History history;
    HistoryRecorder* recorded; // null when nothing is recorded
    mutable std::mutex mutex;
    BatterySnapshot latest; // the core's state after the latest poll
};

// The latest answer's JSON line with the page's fields added.
std::string BatteryView::stateJson() const
{
    BatterySnapshot s = shown();
    const Reading* reading = s ? s->reading.get() : nullptr;
    nlohmann::ordered_json extra;
    extra["fresh"] = reading != nullptr && s->fresh;
    if (reading != nullptr) {
        extra["age_seconds"] = std::round(std::max(0.0, secondsNow() - s->readingAt) * 10) / 10;
        extra["low_battery"] = batteryLow(reading->status, reading->estimate, options.lowBattery);
    }
    if (s && s->forcedShutdown) extra["forced_shutdown"] = true;
    extra["interval_seconds"] = options.interval;
    if (!extra["fresh"].get<bool>()) {
        extra["stale_since"] = s ? s->staleSince() : started;
        extra["stale_reason"] = s ? s->staleReason() : "waiting for the first answer";
        extra["failed_polls"] = s ? s->failedPolls : 0;
    }
    std::string body = reading != nullptr ? reading->json() : nlohmann::json{{"battery", options.name}}.dump();
    body.back() = ',';
    body += extra.dump().substr(1);
    return body;
}

// The last events, oldest first, as {"events":[{"event":...,"detail":...,"time":...,"role":...},...]}.
HttpResponse BatteryView::events() const
{
    BatterySnapshot s = shown();
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    if (s)
        std::transform(s->events->begin(), s->events->end(), std::back_inserter(list), [](const Event& e) {
            const EventKind* kind = findEventKind(e.name);
            return nlohmann::ordered_json{{"event", e.name},
                                          {"detail", e.detail},
                                          {"time", e.time},
                                          {"role", eventRoleName(kind != nullptr ? kind->role : EventRole::inform)}};
        });
    nlohmann::ordered_json body{{"events", std::move(list)}};
    return jsonResponse(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// The history of the last seconds in at most points points: a day or less from the ring,
// more from the store when there is one.
HttpResponse BatteryView::historyOf(const HttpRequest& request) const
{
    std::optional<long long> seconds = numberAsked(request, "seconds", History::span, 999999999);
    std::optional<long long> points = numberAsked(request, "points", defaultPoints, mostPoints);
    if (!seconds || !points)
        return HttpResponse{400, "text/plain; charset=utf-8",
                            "seconds must be a whole number of at least 1, points one from 1 to 10000\n", {}};
    auto now = static_cast<long long>(std::time(nullptr));
    Store* store = recorded != nullptr ? recorded->store() : nullptr;
    if (*seconds <= History::span || store == nullptr)
        return compressedJson(history.json(*seconds, now, *points), request);
    long long wanted = (*seconds + *points - 1) / *points;
    long long tier = store->widthFor(*seconds, wanted);
    long long step = std::max(tier, (wanted + tier - 1) / tier * tier);
    return compressedJson(History::storeJson(*store, now - *seconds, now, step, step > history.bucketSeconds()), request);
}

// The last ten outages, newest first, as {"outages":[...]}.
HttpResponse BatteryView::outages() const
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    if (recorded != nullptr) {
        std::vector<OutageRecord> records = recorded->outages(outagesListed);
        std::transform(records.begin(), records.end(), std::back_inserter(list), outageJson);
    }
    return jsonResponse(nlohmann::ordered_json{{"outages", std::move(list)}}.dump());
}

// The battery's health as the latest snapshot holds it (see healthJson()); 503 before the first.
HttpResponse BatteryView::health(const HttpRequest& request) const
{
    BatterySnapshot s = shown();
    if (!s) return {503, "text/plain; charset=utf-8", "No state of the battery yet; try again in a second.\n", {{"Retry-After", "1"}}};
    auto now = static_cast<long long>(std::time(nullptr));
    return compressedJson(healthJson(*s->health, now).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), request);
}

// A file of the page, served as it was compiled in.
HttpHandler fileHandler(const PageFile& file)
{
    return [&file](const HttpRequest&) {
        return HttpResponse{200, file.type, std::string(file.body), {{"Cache-Control", "no-cache"}}};
    };
}

// The page's part: each battery's view, and the routes that serve them. One battery is
// served at / and /api/v1/...; several at /battery/NAME/ and /api/v1/batteries/NAME/...,
// with the site's overview at /.
class Page final : public HttpPart {
public:
    Page(const Site& site, const std::vector<HistoryRecorder*>& recorders) : siteName(site.name)
    {
        auto started = static_cast<long long>(std::time(nullptr));
        for (std::size_t i = 0; i < site.batteries.size(); i++) {
            views.push_back(std::make_unique<BatteryView>(site.batteries[i], i < recorders.size() ? recorders[i] : nullptr,
                                                          started, site.batteries.size()));
            byName.emplace(site.batteries[i].name, views.back().get());
        }
    }

    void addRoutes(std::map<std::string, HttpHandler>& routes) override;
    std::set<std::string> slowPaths() const override
    {
        std::set<std::string> slow;
        // The health holds every capacity point of the battery's years: a long answer too.
        for (const auto& view : views)
            slow.insert({apiOf(*view) + "/history", apiOf(*view) + "/outages", apiOf(*view) + "/health"});
        return slow;
    }

    void accepted(const Reading& reading) override
    {
        if (BatteryView* view = find(reading.battery)) view->add(reading);
    }
    void state(const BatterySnapshot& snapshot) override
    {
        if (BatteryView* view = find(snapshot->battery)) view->show(snapshot);
    }

private:
    // The view of the battery named so (the only one when there is one); null for none.
    BatteryView* find(const std::string& battery) const
    {
        if (views.size() == 1) return views.front().get();
        auto found = byName.find(battery);
        return found == byName.end() ? nullptr : found->second;
    }
    // Where a battery's API is served.
    std::string apiOf(const BatteryView& view) const
    {
        return views.size() == 1 ? "/api/v1" : "/api/v1/batteries/" + view.name();
    }
    // Every battery's state as {"site":NAME,"batteries":[STATE,...]}, in the site's order.
    HttpResponse batteries() const
    {
        std::string body = "{\"site\":" + nlohmann::json(siteName).dump() + ",\"batteries\":[";
        for (const auto& view : views) body.append(view->stateJson()).append(",");
        body.back() = ']';
        return jsonResponse(body + "}");
    }
    void addFiles(std::map<std::string, HttpHandler>& own) const;

    const std::string siteName;
    std::vector<std::unique_ptr<BatteryView>> views;
    std::map<std::string, BatteryView*, std::less<>> byName; // each of views by its battery's name
};

// The page's files: with several batteries the overview at / and the battery page at each /battery/NAME/.
void Page::addFiles(std::map<std::string, HttpHandler>& own) const
{
    bool several = views.size() > 1;
    for (std::size_t i = 0; i < pageFileCount; i++) {
        const PageFile& file = pageFiles[i];
        std::string path = file.path;
        if (path == "/overview.html") {
            if (several) own["/"] = fileHandler(file);
        } else if (path == "/" && several) {
            for (const auto& view : views) own["/battery/" + view->name() + "/"] = fileHandler(file);
        } else {
            own[path] = fileHandler(file);
        }
    }
    own["/chart.js"] = [](const HttpRequest&) { return chartLibrary(); };
}

void Page::addRoutes(std::map<std::string, HttpHandler>& routes)
{
    std::map<std::string, HttpHandler> own;
    addFiles(own);
    if (views.size() > 1) own["/api/v1/batteries"] = [this](const HttpRequest&) { return batteries(); };
    for (const auto& each : views) {
        const BatteryView* view = each.get();
        const std::string api = apiOf(*view);
        own[api + "/state"] = [view](const HttpRequest&) { return jsonResponse(view->stateJson()); };
        own[api + "/events"] = [view](const HttpRequest&) { return view->events(); };
        own[api + "/history"] = [view](const HttpRequest& request) { return view->historyOf(request); };
        own[api + "/outages"] = [view](const HttpRequest&) { return view->outages(); };
        own[api + "/health"] = [view](const HttpRequest& request) { return view->health(request); };
    }
    // The page loads only what it is served from here.
    for (auto& [path, handler] : own)
        routes[path] = [serve = std::move(handler)](const HttpRequest& request) {
            HttpResponse response = serve(request);
            response.headers.emplace_back("Content-Security-Policy", "default-src 'self'");
            return response;
        };
}

} // namespace

std::unique_ptr<HttpPart> makePage(const DaemonOptions& daemon, HistoryRecorder* recorder)
{
    Site site;
    site.name = daemon.name;
    site.batteries.push_back(daemon);
    return makePage(site, {recorder});
}

std::unique_ptr<HttpPart> makePage(const Site& site, const std::vector<HistoryRecorder*>& recorders)
{
    return std::make_unique<Page>(site, recorders);
}
