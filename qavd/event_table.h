// event_table: every event qavd raises, one row each: its name, what it means, how it is logged, its role.
#ifndef QAVD_EVENT_TABLE_H
#define QAVD_EVENT_TABLE_H

#include <cstddef>
#include <string_view>

/** What an event does to the battery's problems. */
enum class EventRole {
    problem, ///< Starts a problem (the system log says warning or worse).
    clear,   ///< Ends the problem its pair started.
    inform,  ///< Tells something that is no problem.
};

/** One row of the event table. */
struct EventKind {
    const char* name;    ///< The event's name in every output: "commlost", "commok", ...
    const char* meaning; ///< When it is raised, as the manual says it.
    int priority;        ///< Its system-log priority (LOG_WARNING, LOG_NOTICE, ...).
    EventRole role;      ///< Whether it starts a problem, clears one or informs.
    bool commandKept;    ///< Its event command always runs: it waits for a slot, and may end one not kept.
};

/** Number of events qavd raises. */
constexpr std::size_t eventKindCount = 14;

/**
 * Every event qavd raises, in the order outputs list them. Home Assistant's
 * event_types, the labels of qav_events_total, the system log's priorities,
 * the event command's slots, the page's colours and the manual read it.
 */
extern const EventKind eventKinds[eventKindCount];

/**
 * Look an event up by name.
 *
 * @param name An event's name.
 * @return Its row, or null for a name outside the table.
 */
const EventKind* findEventKind(std::string_view name);

/**
 * @param role A role.
 * @return "problem", "clear" or "inform", as JSON and the page name it.
 */
const char* eventRoleName(EventRole role);

#endif
