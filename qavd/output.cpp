// output: names of poll outcomes.
#include "output.h"

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

