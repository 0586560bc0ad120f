// batteries: each battery of a site with what is its own, each polled on a thread of its own.
#ifndef QAVD_BATTERIES_H
#define QAVD_BATTERIES_H

#include "commands.h"
#include "output.h"
#include "poller.h"
#include "recorder.h"
#include "site.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Signals;

/** One battery and what is its own: its history, its event commands, its outputs, its poll loop's control. */
struct BatteryRun {
    DaemonOptions options;                     ///< Its settings.
    std::unique_ptr<HistoryRecorder> recorder; ///< Its history and outage journal.
    CommandRunner runner;                      ///< Its event commands.
    Outputs outputs;                           ///< Its own outputs, then the site's, shared.
    PollControl control;                       ///< What the main thread tells its poll loop.
};

/**
 * Open each battery's history (see historyFileOf()) and make its entry.
 *
 * @param problem Receives why one cannot start. Must not be null.
 * @return One entry per battery of @p site, in its order; empty after a failure.
 */
std::vector<std::unique_ptr<BatteryRun>> openBatteries(const Site& site, const HistoryOptions& history,
                                                    std::string* problem);

/** @return Each battery's recorder, in the site's order, for the outputs that serve history. */
std::vector<HistoryRecorder*> recordersOf(const std::vector<std::unique_ptr<BatteryRun>>& batteries);

/**
 * Give each battery its own outputs (addBatteryOutputs()) and then the site's,
 * reached through @p lock (Outputs::shareWith()).
 *
 * @return false with @p problem set when an output cannot start.
 */
bool addOutputs(std::vector<std::unique_ptr<BatteryRun>>& batteries, const Outputs& site, std::mutex& lock,
                std::string* problem);

/**
 * Poll every battery on a thread of its own (runDaemon()) while this thread
 * takes the signals: SIGTERM or SIGINT stop every loop, SIGHUP reopens files,
 * SIGCHLD wakes the loops to reap. Returns when every loop has ended, after the
 * site's outputs have finished.
 *
 * @return The exit status: the highest of the loops' (1 when a --once run saw no answer).
 */
int runSite(std::vector<std::unique_ptr<BatteryRun>>& batteries, Outputs& site, std::mutex& lock, Signals& signals);

#endif
