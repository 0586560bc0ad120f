// poller: the poll loop: connect with back-off, request, collect, check and hand on each answer.
#ifndef QAVD_POLLER_H
#define QAVD_POLLER_H

#include "options.h"
#include "output.h"

#include <atomic>
#include <string>

class CommandRunner;
class HistoryRecorder;

/**
 * Sort the bytes collected for one request.
 *
 * @param bytes Everything received between the request and the end of the wait.
 * @return accepted for exactly 77 bytes whose first 74 are hexadecimal digits;
 *         timeout for none; shortAnswer for 1 to 76; longAnswer for more than
 *         77; malformed for 77 with any other byte among the first 74.
 */
PollResult classifyAnswer(const std::string& bytes);

/** An eventfd one thread makes readable to wake another out of its poll(). */
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    /** @return false when the descriptor could not be made (errno says why). */
    bool ok() const { return descriptor >= 0; }
    /** @return The descriptor to poll for POLLIN. */
    int fd() const { return descriptor; }
    /** Make fd() readable; never blocks. */
    void wake() const;
    /** Make fd() unreadable again until the next wake(); never blocks. */
    void take() const;

private:
    int descriptor = -1;
};

/** What the main thread tells one poll loop, waking it through wake. */
struct PollControl {
    Wakeup wake;                        ///< Woken on every signal the main thread takes.
    std::atomic<bool> stop{false};      ///< SIGTERM or SIGINT came: end the loop.
    std::atomic<unsigned> rotations{0}; ///< SIGHUPs so far: reopen files at each new one.
};

/**
 * Poll one battery until told to stop (or, with --once, until the first
 * accepted answer or --stale-after failed polls), handing every outcome, answer
 * and event to @p outputs. Never ends on a lost or refused connection. Runs on
 * the battery's own thread; it waits for nothing but its own port, its own
 * children and @p control.
 *
 * @param options Parsed and checked options of the battery.
 * @param outputs The battery's outputs (the site's among them, shared), already started.
 * @param control What the main thread says; its wake must be ok().
 * @param runner  The battery's event command children to reap and time out while waiting.
 * @param recorder The battery's history: fed each answer in the event step, which raises
 *                 its outageend, and the source of a capacity learned before.
 * @return The exit status: 0, or 1 when --once saw no accepted answer.
 */
int runDaemon(const DaemonOptions& options, Outputs& outputs, const PollControl& control, CommandRunner& runner,
              HistoryRecorder& recorder);

#endif
