// page: the web page and its API: the latest answer, the last events and a day of history.
#ifndef QAVD_HTTP_PAGE_H
#define QAVD_HTTP_PAGE_H

#include "exporter.h"
#include "options.h"
#include "site.h"

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

class HistoryRecorder;

/** A file of the page, compiled into qavd. */
struct PageFile {
    const char* path;      ///< Where it is served: "/", "/app.js", ...
    const char* type;      ///< Its Content-Type.
    std::string_view body; ///< Its bytes.
};

/** The page, the site's overview (at "/overview.html") and the files they load (script, style, icon). */
extern const PageFile pageFiles[];
/** How many pageFiles there are. */
extern const std::size_t pageFileCount;

/**
 * The page's part of the HTTP exporter. It serves GET / and the files it loads;
 * /chart.js, the chart library, read from its installed path; and the API:
 *
 * - /api/v1/state: the latest answer as --output json prints it, plus "fresh",
 *   "age_seconds" (since it came), "interval_seconds" and, while stale,
 *   "stale_since" (the last answer's time, or qavd's start), "stale_reason"
 *   and "failed_polls"; before the first answer only "battery" and those.
 * - /api/v1/history?seconds=N&points=M: the last N seconds (default a day)
 *   in at most M points (default 1000, at most 10000), from the History ring
 *   up to a day, from the store beyond (see History::json()); gzip when the
 *   client takes it (Accept-Encoding names gzip, or *, with a weight above 0).
 * - /api/v1/events: the last 100 events, oldest first, each with its role
 *   ("problem", "clear" or "inform", from the event table).
 * - /api/v1/outages: the last ten outages, newest first.
 * - /api/v1/health: the battery's health as healthJson() makes it from the
 *   latest snapshot (gzip as the history); 503 before the first snapshot.
 *
 * The history, the outages and the health (years of capacity points) are slow
 * paths (HttpPart::slowPaths()): they are made off the server's thread, a few at a time.
 *
 * Every response carries "Content-Security-Policy: default-src 'self'".
 *
 * @param daemon   The daemon's options: the battery's name and the poll interval.
 * @param recorder The store and the outage journal; null when none is kept. Must outlive the page.
 */
std::unique_ptr<HttpPart> makePage(const DaemonOptions& daemon, HistoryRecorder* recorder = nullptr);

/**
 * The page's part for a site. With one battery it is makePage() of that
 * battery. With several, each battery's page is served at /battery/NAME/ and
 * its API at /api/v1/batteries/NAME/state, .../events, .../history,
 * .../outages and .../health, as the one battery's is above; / is the site's overview, and
 * /api/v1/batteries gives {"site":NAME,"batteries":[STATE,...]}, each STATE as
 * .../state gives it, in the site's order. Any other name is 404.
 *
 * @param site      The batteries.
 * @param recorders Each battery's store and outage journal, in the site's order; null for none.
 *                  Each must outlive the page.
 */
std::unique_ptr<HttpPart> makePage(const Site& site, const std::vector<HistoryRecorder*>& recorders);

#endif
