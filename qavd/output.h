// output: what qavd hands its outputs, and the one place that hands it to all of them.
#ifndef QAVD_OUTPUT_H
#define QAVD_OUTPUT_H

#include "battery_status.h"
#include "runtime.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

/** Outcome of one poll, counted by kind. */
enum class PollResult { accepted, timeout, shortAnswer, longAnswer, malformed, disconnected };

/**
 * Name of a poll outcome as metrics label it.
 *
 * @return "accepted", "timeout", "short", "long", "malformed" or "disconnected".
 */
const char* pollResultName(PollResult result);

/**
 * Report a text of the daemon's own: to the system log at @p priority, and
 * after "qavd: " to standard error; neither waits for its reader (see log.h).
 */
void logMessage(int priority, const std::string& text);

struct BatteryState;
/** The state of one battery after a poll, as the core hands it to every output (see state.h). */
using BatterySnapshot = std::shared_ptr<const BatteryState>;

/** One accepted answer. */
struct Reading {
    std::string battery;  ///< The battery's name (--name).
    long long time = 0;   ///< Seconds since the epoch when the answer was accepted.
    std::string answer;   ///< The 77 bytes as received.
    BatteryStatus status{}; ///< decodeStatus() of the answer.
    Estimate estimate{};    ///< Time left, capacity and energy after this answer.

    /** Its JSON line (readingJsonLine(), no line end), made on the first call and kept for the others. */
    const std::string& json() const;
    mutable std::string jsonCache{}; ///< What json() made; empty before its first call.
};

/**
 * One event: "commlost", "commok", "alert", "alertclear", "fault", "faultclear",
 * "lowbattery" or "lowbatteryclear".
 */
struct Event {
    std::string battery; ///< The battery's name (--name).
    std::string name;    ///< The event's name.
    std::string detail;  ///< A short human-readable text.
    long long time = 0;  ///< Seconds since the epoch.
};

/**
 * One output of the daemon. Every method has an empty default, so an output
 * overrides only what it uses. Methods are called from the poll loop's thread
 * and must never block on anything outside the process (a broker, a scraper).
 */
class Output {
public:
    virtual ~Output() = default;
    /** An accepted answer. */
    virtual void accepted(const Reading& reading) { (void)reading; }
    /** An event, after the state it reports has changed. */
    virtual void event(const Event& event) { (void)event; }
    /** The outcome of every poll. */
    virtual void polled(PollResult result) { (void)result; }
    /** The outcome of every attempt to open the port. */
    virtual void connected(bool ok) { (void)ok; }
    /**
     * The data became fresh or stale; called on each change only. Every output
     * starts stale; freshness(true) comes with an accepted answer, before its
     * accepted(), and freshness(false) with the poll that raises commlost, before
     * its event().
     */
    virtual void freshness(bool fresh) { (void)fresh; }
    /**
     * What another output dropped so far because its reader (or broker) fell
     * behind; called after the first poll and after any poll that changed the count.
     *
     * @param output The dropping output's name, such as "stdout".
     * @param total  Its drops since the start.
     */
    virtual void dropped(const char* output, std::uint64_t total) { (void)output, (void)total; }
    /**
     * @param battery The battery's name.
     * @return Who set forced shutdown on @p battery through this output, such as "NUT user
     *         upsmon from 127.0.0.1", once a client did; empty before. The core asks after
     *         every poll of that battery and raises its fsd the first time.
     */
    virtual std::string forcedShutdownBy(const std::string& battery) const { (void)battery; return {}; }
    /** @return This output's name and what it dropped so far; a null name for one that never drops. */
    virtual std::pair<const char*, std::uint64_t> drops() const { return {nullptr, 0}; }
    /**
     * The battery's state after a poll, the same snapshot for every output; called
     * after the poll's other calls. An output that serves other threads keeps the
     * snapshot and renders it, never a copy of its own.
     */
    virtual void state(const BatterySnapshot& snapshot) { (void)snapshot; }
    /** SIGHUP: reopen files for log rotation. */
    virtual void rotate() {}
    /** A clean exit: flush and say goodbye. */
    virtual void finish() {}
};

/** All outputs of the daemon; each call reaches every output in the order added. */
class Outputs {
public:
    void add(std::unique_ptr<Output> output)
    {
        all.push_back(std::move(output));
        // Unlike any count, so that the first poll hands on each dropping output's count, zero too.
        dropsSeen.push_back(UINT64_MAX);
    }
    void accepted(const Reading& reading) { for (auto& o : all) o->accepted(reading); }
    void event(const Event& event) { for (auto& o : all) o->event(event); }
    /** The poll's outcome, then any output's new count of dropped lines. */
    void polled(PollResult result)
    {
        for (auto& o : all) o->polled(result);
        for (std::size_t i = 0; i < all.size(); i++) {
            auto [name, total] = all[i]->drops();
            if (name == nullptr || total == dropsSeen[i]) continue;
            dropsSeen[i] = total;
            for (auto& o : all) o->dropped(name, total);
        }
    }
    void connected(bool ok) { for (auto& o : all) o->connected(ok); }
    void freshness(bool fresh) { for (auto& o : all) o->freshness(fresh); }
    void state(const BatterySnapshot& snapshot) { for (auto& o : all) o->state(snapshot); }
    /** @return The first output's forcedShutdownBy(@p battery) that is not empty; empty when none is. */
    std::string forcedShutdownBy(const std::string& battery) const
    {
        for (const auto& o : all)
            if (std::string who = o->forcedShutdownBy(battery); !who.empty()) return who;
        return {};
    }
    /** Call @p take with each dropping output's name and count so far. */
    template <typename Take> void eachDrop(Take take) const
    {
        for (const auto& o : all)
            if (auto [name, total] = o->drops(); name != nullptr) take(name, total);
    }
    void rotate() { for (auto& o : all) o->rotate(); }
    void finish() { for (auto& o : all) o->finish(); }
    /**
     * Add to @p battery's outputs each of these, reached through @p lock: so a site's
     * outputs are called for one battery at a time. Their rotate() and finish() stay
     * with these Outputs.
     */
    void shareWith(Outputs& battery, std::mutex& lock) const;

private:
    std::vector<std::unique_ptr<Output>> all;
    std::vector<std::uint64_t> dropsSeen; // of each output, as last handed on
};

#endif
