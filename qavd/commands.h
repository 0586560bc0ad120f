// commands: event commands run apart from the daemon, their output sent to the system log.
#ifndef QAVD_COMMANDS_H
#define QAVD_COMMANDS_H

#include "output.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class CommandOutputReader;

/**
 * Runs event commands without a shell and without waiting for them. Each runs
 * under a small supervising process of its own, in a process group of its
 * own, with descriptors 0 to 2 open and no others: standard input from
 * /dev/null, standard output and error into the system log line by line (at
 * most outputLimit bytes a run; the rest is dropped and counted). The
 * environment is the daemon's without CREDENTIALS_DIRECTORY, NOTIFY_SOCKET and
 * WATCHDOG_*. The supervisor is the subreaper of every descendant, those that
 * left the group (setsid, setpgid) too: all are killed when the command runs
 * past limit; at the daemon's exit all get SIGTERM, then SIGKILL after grace.
 * Should the daemon die without a word, the supervisor does the same, so no
 * command, nor any of its children, outlives it. At most maxRunning commands
 * run at once; run() says what becomes of the events beyond.
 */
class CommandRunner {
public:
    CommandRunner();
    /** stop(). */
    ~CommandRunner();
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    /**
     * Run @p path for @p event with argument 1 the event's name and QAV_EVENT,
     * QAV_BATTERY, QAV_DETAIL, QAV_TIME and QAV_COUNT (1) added to the
     * environment; returns once the program has started, or has failed to.
     * When maxRunning commands run, a problem event (problemEvent()) ends the
     * oldest running command of another kind and takes its slot; any other
     * event, or a problem event with no such command to end, waits for a slot.
     * Events of one kind that wait are merged into one: the latest, with
     * QAV_COUNT the number of events it stands for. Waiting events start as
     * slots come free (in reap()), problem events first. The log says what
     * waits, what was merged and what was ended.
     *
     * @param path    The program.
     * @param event   The event.
     * @param problem Receives why it could not start. Must not be null.
     * @return true when it started or waits; false when it could not start.
     */
    bool run(const std::string& path, const Event& event, std::string* problem);

    /**
     * Whether an event's command may end another's to run: lowbattery, fault,
     * commlost, their clears (lowbatteryclear, faultclear, commok) and fsd.
     */
    static bool problemEvent(const std::string& name);

    /** Reap the commands that ended, kill those past their limit, and start waiting events in the slots freed. */
    void reap();

    /** @return When reap() must next run to kill in time; time_point::max() with none running. */
    std::chrono::steady_clock::time_point nextDeadline() const;

    /** @return Commands started and not yet reaped. */
    std::size_t running() const { return children.size(); }

    /**
     * End every command (SIGTERM, SIGKILL after grace), reap them, and stop
     * reading their output; events still waiting are not run, and the log says how many of each kind.
     */
    void stop();

    /** Longest a command may run. */
    static constexpr std::chrono::seconds limit{30};
    /** Time between SIGTERM and SIGKILL when the daemon ends. */
    static constexpr std::chrono::milliseconds grace{200};
    /** Most commands running at once; events beyond it wait (see run()). */
    static constexpr std::size_t maxRunning = 32;
    /** Most bytes of a run's output sent to the system log. */
    static constexpr std::size_t outputLimit = 4096;

private:
    struct Child {
        pid_t pid; // the supervisor's, which is also the group's
        std::chrono::steady_clock::time_point started;
        bool killed;       // told to end: past the limit, or for a problem event's slot
        std::string kind;  // its event's name
    };
    // An event waiting for a slot: the latest of its kind, standing for count events.
    struct Waiting {
        std::string path;
        Event event;
        unsigned long count;
    };
    bool slotFree() const;
    bool merge(const std::string& path, const Event& event);
    void endInformational(const Event& event);
    bool start(const std::string& path, const Event& event, unsigned long count, std::string* problem);
    void startWaiting();

    std::vector<Child> children;
    std::vector<Waiting> queued; // in the order they came, one per kind
    std::unique_ptr<CommandOutputReader> reader;
};

/** Report to the system log and standard error that @p event's command could not run, and why. */
void reportUnrun(const Event& event, const std::string& problem);

#endif
