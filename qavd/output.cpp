// output: names of poll outcomes, and the daemon's own messages.
#include "output.h"

#include <cstdio>
#include <syslog.h>

const char* pollResultName(PollResult result)
{
    switch (result) {
    case PollResult::accepted: return "accepted";
    case PollResult::timeout: return "timeout";
    case PollResult::shortAnswer: return "short";
    case PollResult::longAnswer: return "long";
    case PollResult::malformed: return "malformed";
    case PollResult::disconnected: return "disconnected";
    }
    return "unknown";
}

void logMessage(int priority, const std::string& text)
{
    syslog(priority, "%s", text.c_str());
    std::fprintf(stderr, "qavd: %s\n", text.c_str());
}
