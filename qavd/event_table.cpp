// event_table: every event qavd raises, one row each.
#include "event_table.h"

#include <algorithm>
#include <iterator>
#include <syslog.h>

const EventKind eventKinds[eventKindCount] = {
    {"commlost", "the poll that makes the data stale (also at start when the first polls fail).", LOG_WARNING,
     EventRole::problem, true},
    {"commok", "the first accepted answer after commlost.", LOG_NOTICE, EventRole::clear, true},
    {"alert", "the temperature or voltage alert register becomes non-zero or changes while non-zero.", LOG_WARNING,
     EventRole::problem, false},
    {"alertclear", "both alert registers are zero again.", LOG_NOTICE, EventRole::clear, false},
    {"fault", "a Fault/Good status bit becomes Fault; the detail names each newly set bit.", LOG_WARNING,
     EventRole::problem, true},
    {"faultclear", "all nine Fault/Good bits are Good again.", LOG_NOTICE, EventRole::clear, true},
    {"lowbattery",
     "the battery becomes low: the gas gauge at or below --low-battery, the undervoltage bit at Fault, or the "
     "runtime at or below --low-runtime while discharging.",
     LOG_WARNING, EventRole::problem, true},
    {"lowbatteryclear", "the battery is no longer low.", LOG_NOTICE, EventRole::clear, true},
    {"outageend", "an outage ended; the detail sums it up.", LOG_NOTICE, EventRole::inform, false},
    {"fsd",
     "a NUT primary set forced shutdown (FSD): every host the battery powers is to shut down now; the detail "
     "names who set it. It holds until qavd stops.",
     LOG_ALERT, EventRole::problem, true},
    {"replacebattery",
     "the state of health (the measured capacity over the rated one, or over the first measured) falls to "
     "--replace-at or below; the detail gives the health and the capacities.",
     LOG_WARNING, EventRole::problem, true},
    {"replacebatteryclear", "a new battery is recorded (a later --installed) after one due for replacement.",
     LOG_NOTICE, EventRole::clear, true},
    {"weakcell",
     "a cell's internal resistance stays above 1.5 times the median of the other cells' for 20 load steps; the "
     "detail names the cell, its resistance and the ratio.",
     LOG_WARNING, EventRole::problem, false},
    {"weakcellclear", "no cell is weak any more: the weak one stayed within 1.5 times the others for 20 load steps.",
     LOG_NOTICE, EventRole::clear, false},
};

const EventKind* findEventKind(std::string_view name)
{
    const EventKind* kind = std::find_if(std::begin(eventKinds), std::end(eventKinds),
                                         [name](const EventKind& row) { return name == row.name; });
    return kind != std::end(eventKinds) ? kind : nullptr;
}

const char* eventRoleName(EventRole role)
{
    switch (role) {
    case EventRole::problem: return "problem";
    case EventRole::clear: return "clear";
    case EventRole::inform: return "inform";
    }
    return "inform";
}
