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
 * command, nor any of its children, outlives it.
 */
class CommandRunner {
public:
    CommandRunner();
    /** stop(). */
    ~CommandRunner();
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    /**
     * Start @p path with argument 1 the event's name and QAV_EVENT, QAV_BATTERY,
     * QAV_DETAIL and QAV_TIME added to the environment. Returns once the
     * program has started, or has failed to.
     *
     * @param path    The program.
     * @param event   The event.
     * @param problem Receives why it could not start. Must not be null.
     * @return true when it started.
     */
    bool run(const std::string& path, const Event& event, std::string* problem);

    /** Reap the commands that ended and kill those past their limit. */
    void reap();

    /** @return When reap() must next run to kill in time; time_point::max() with none running. */
    std::chrono::steady_clock::time_point nextDeadline() const;

    /** @return Commands started and not yet reaped. */
    std::size_t running() const { return children.size(); }

    /** End every command (SIGTERM, SIGKILL after grace), reap them, and stop reading their output. */
    void stop();

    /** Longest a command may run. */
    static constexpr std::chrono::seconds limit{30};
    /** Time between SIGTERM and SIGKILL when the daemon ends. */
    static constexpr std::chrono::milliseconds grace{200};
    /** Most commands running at once; events beyond it are reported, not run. */
    static constexpr std::size_t maxRunning = 32;
    /** Most bytes of a run's output sent to the system log. */
    static constexpr std::size_t outputLimit = 4096;

private:
    struct Child {
        pid_t pid; // the supervisor's, which is also the group's
        std::chrono::steady_clock::time_point started;
        bool killed;
    };
    std::vector<Child> children;
    std::unique_ptr<CommandOutputReader> reader;
};

#endif
