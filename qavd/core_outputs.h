// core_outputs: the daemon's own outputs: standard output, data log, system log and event command.
#ifndef QAVD_CORE_OUTPUTS_H
#define QAVD_CORE_OUTPUTS_H

#include "commands.h"
#include "options.h"
#include "output.h"
#include "writer.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

/**
 * Prints each accepted answer on standard output as JSON or the console
 * report, through a LineWriter: a reader that falls behind loses the oldest
 * lines ("stdout" in drops()), never holds the poll loop.
 */
class StdoutOutput : public Output {
public:
    /** @param chosen json or console; none prints nothing. */
    explicit StdoutOutput(StdoutForm chosen) : form(chosen), writer(STDOUT_FILENO, "standard output", queueLimit) {}
    void accepted(const Reading& reading) override;
    std::pair<const char*, std::uint64_t> drops() const override { return {"stdout", writer.dropped()}; }
    /** Write what is queued, waiting at most exitGrace. */
    void finish() override;

    /** Most bytes queued for a reader that falls behind. */
    static constexpr std::size_t queueLimit = 64 * 1024;
    /** Longest wait at exit for a slow reader. */
    static constexpr std::chrono::milliseconds exitGrace{200};

private:
    StdoutForm form;
    LineWriter writer;
};

/**
 * Appends a data log line per accepted answer to DIR/<seconds>qav.log, each
 * whole or not at all; rotate() starts a new file. A failing write draws one
 * warning with the system's reason, and writing again one notice, each
 * episode. A file deleted while in use is noticed at the next answer and
 * created again (its directory too, one level), or that failure is reported.
 */
class DataLogOutput : public Output {
public:
    /**
     * Open the first file.
     *
     * @param dir     The data log directory.
     * @param problem Receives a message when the file cannot be opened. Must not be null.
     * @param tail    What follows the seconds in each file's name.
     * @return The output, or null after a failure.
     */
    static std::unique_ptr<DataLogOutput> open(const std::string& dir, std::string* problem,
                                               const std::string& tail = "qav.log");
    ~DataLogOutput() override;
    DataLogOutput(const DataLogOutput&) = delete;
    DataLogOutput& operator=(const DataLogOutput&) = delete;

    void accepted(const Reading& reading) override;
    /** Start a file named by the current seconds; keep the old one if it cannot be opened. */
    void rotate() override;

    /** @return The path of the file written now. */
    const std::string& path() const { return current; }

private:
    DataLogOutput(std::string dirName, std::string nameTail, std::string path, int opened);
    std::string present();

    std::string dir;
    std::string tail; // what follows the seconds in the file's name
    std::string current;
    int fd;
    bool failing = false; // the last line was lost and the episode reported
    long lost = 0;        // lines lost in this episode
};

/**
 * Sends to the system log: a record per event (warning for commlost, alert, fault and
 * lowbattery, notice for the others), failed polls as failureLogged() allows, the
 * end of a run of failures, and optionally the two records of every answer.
 */
class SyslogOutput : public Output {
public:
    /**
     * @param name    The battery's name, put in front of each record.
     * @param withRecords true to send the two records per accepted answer.
     */
    SyslogOutput(std::string name, bool withRecords) : battery(std::move(name)), records(withRecords) {}
    void accepted(const Reading& reading) override;
    void event(const Event& event) override;
    void polled(PollResult result) override;
    /** Records of the daemon's dropped because the system log's reader fell behind (see log.h). */
    std::pair<const char*, std::uint64_t> drops() const override;

private:
    std::string battery;
    bool records;
    long failures = 0;
};

/** Counts the daemon's messages standard error dropped because its reader fell behind (see log.h). */
class StderrOutput : public Output {
public:
    std::pair<const char*, std::uint64_t> drops() const override;
};

/** Runs --event-command on every event through a CommandRunner. */
class EventCommandOutput : public Output {
public:
    /**
     * @param program  The program to run.
     * @param children Starts and reaps the children; must outlive this output.
     */
    EventCommandOutput(std::string program, CommandRunner& children)
        : path(std::move(program)), runner(children)
    {
    }
    void event(const Event& event) override;

private:
    std::string path;
    CommandRunner& runner;
};

/**
 * Add the site's own outputs the options ask for: standard output, then standard error's count of drops.
 *
 * @param outputs Receives the outputs.
 * @param options Parsed and checked options (the site's, at the top).
 */
void addSiteOutputs(Outputs& outputs, const DaemonOptions& options);

/**
 * Add one battery's own outputs the options ask for, in this order: data log
 * (DIR/<seconds>qav.log, or qav-NAME.log in a site of several), system log, event command.
 *
 * @param outputs Receives the outputs.
 * @param battery The battery's settings.
 * @param several Whether the site has more than this battery.
 * @param runner  Runs the battery's event commands; must outlive @p outputs.
 * @param problem Receives a message when an output cannot start. Must not be null.
 * @return false when an output cannot start.
 */
bool addBatteryOutputs(Outputs& outputs, const DaemonOptions& battery, bool several, CommandRunner& runner,
                       std::string* problem);

#endif
