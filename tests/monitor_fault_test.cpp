// Device faults end to end: the real monitor against a misbehaving simulated endpoint.
#include "monitor_fixture.h"

namespace {

// One way for the endpoint to misbehave, and what the monitor must show for it.
struct Fault {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<std::string> answers; // replayed when not empty
    int minResponses;                 // "response is" lines expected
    int maxResponses;
    bool mayEndByBrokenPipe;
};

// Name a fault in test output rather than dump its bytes.
void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

std::string binaryAnswer()
{
    std::string answer;
    for (int i = 0; i < 77; i++) answer += static_cast<char>(i % 5 == 0 ? 0 : 0x80 + i);
    return answer;
}

const Fault faults[] = {
    {"Length0", {"--length", "0"}, {}, 0, 0, false},
    {"Length1", {"--length", "1"}, {}, 0, 0, false},
    {"Length76", {"--length", "76"}, {}, 0, 0, false},
    {"Length78", {"--length", "78"}, {}, 0, 0, false},
    {"Length80", {"--length", "80"}, {}, 0, 0, false},
    {"Length1000", {"--length", "1000"}, {}, 0, 0, false},
    {"Burst1MiB", {"--length", "1048576"}, {}, 0, 0, false},
    // The rest of each answer comes after the read and is discarded before the
    // next request, so halves of two answers never meet in one read.
    {"SplitOverTwoWrites", {"--split", "100"}, {}, 0, 0, false},
    {"BinaryBytes", {}, {binaryAnswer(), std::string(77, '\0'), std::string(77, '\xff')}, 4, 99, false},
    {"Garbage", {}, {std::string(77, ' '), std::string(77, '@'), "-" + std::string(76, 'x')}, 4, 99, false},
    {"MalformedFields", {}, {answerA.substr(0, 58) + "G1" + answerA.substr(60), "0x1A-001 0FA" + answerA.substr(12)}, 4, 99, false},
    {"PeerCloses", {"--close-after", "2"}, {}, 2, 2, true},
    {"ConnectionReset", {"--close-after", "2", "--reset"}, {}, 2, 2, true},
};

class MonitorFault : public Monitor, public ::testing::WithParamInterface<Fault> {};

TEST_P(MonitorFault, MonitorSurvivesAndKeepsItsDataLogWhole)
{
    const Fault& fault = GetParam();
    if (fault.answers.empty()) startSim(fault.simArgs);
    else replay(fault.answers, fault.simArgs);
    startMonitor();
    // Six cycles, or the end of the process.
    waitFor(&monitor, 30, [](const Child& c) { return countOf(c.out, "calling select\n") >= 6; });
    int status = 0;
    bool ended = waitpid(monitor.pid, &status, WNOHANG) == monitor.pid;
    if (ended) monitor.pid = -1;
    stop(&monitor);
    if (fault.mayEndByBrokenPipe) {
        if (ended) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
        }
    } else {
        EXPECT_FALSE(ended) << "status " << status << "\n" << monitor.err;
    }
    EXPECT_GE(countOf(monitor.out, "calling select\n"), fault.mayEndByBrokenPipe ? 3 : 6);
    int responses = countOf(monitor.out, "response is ");
    EXPECT_GE(responses, fault.minResponses);
    EXPECT_LE(responses, fault.maxResponses);
    expectDataLogMatches(monitor.out, onlyDataLog());
}

INSTANTIATE_TEST_SUITE_P(Faults, MonitorFault, ::testing::ValuesIn(faults),
                         [](const ::testing::TestParamInfo<Fault>& param) { return param.param.name; });

} // namespace
