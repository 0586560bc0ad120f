// Device faults end to end: the real monitor against a misbehaving simulated endpoint.
#include "monitor_fixture.h"

namespace {

// How the monitor's run ends when the endpoint misbehaves.
enum class Ending {
    runsOn,     // it keeps polling
    brokenPipe, // the endpoint went, and the next request ended it by SIGPIPE
};

// One way for the endpoint to misbehave, and what the monitor must show for it.
struct Fault {
    const char* name;
    std::vector<std::string> simArgs;
    // Answers replayed (when there are any), each with the data log fields it must give;
    // a "*" field keeps the value of the line before.
    std::vector<std::pair<std::string, std::string>> answers;
    int minResponses; // "response is" lines expected
    int maxResponses;
    Ending ending;
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

// No field of these answers holds a number, so every field keeps its value: zero.
const std::string nothingRead = zeroLogFields;

const Fault faults[] = {
    {"Length0", {"--length", "0"}, {}, 0, 0, Ending::runsOn},
    {"Length1", {"--length", "1"}, {}, 0, 0, Ending::runsOn},
    {"Length76", {"--length", "76"}, {}, 0, 0, Ending::runsOn},
    {"Length78", {"--length", "78"}, {}, 0, 0, Ending::runsOn},
    {"Length80", {"--length", "80"}, {}, 0, 0, Ending::runsOn},
    {"Length1000", {"--length", "1000"}, {}, 0, 0, Ending::runsOn},
    {"Burst1MiB", {"--length", "1048576"}, {}, 0, 0, Ending::runsOn},
    // The rest of each answer comes after the read and is discarded before the next request,
    // so halves of two answers never meet in one read (every echo is of an answer sent whole;
    // see Monitor::expectOnlySentAnswers). A reader held up past the pause reads a whole answer.
    {"SplitOverTwoWrites", {"--split", "100"}, {}, 0, 6, Ending::runsOn},
    {"BinaryBytes",
     {},
     {{binaryAnswer(), nothingRead}, {std::string(77, '\0'), nothingRead}, {std::string(77, '\xff'), nothingRead}},
     4,
     99,
     Ending::runsOn},
    {"Garbage",
     {},
     {{std::string(77, ' '), nothingRead},
      {std::string(77, '@'), nothingRead},
      {"-" + std::string(76, 'x'), nothingRead}},
     4,
     99,
     Ending::runsOn},
    // "G1" stops the cursor at the humidity for good; "0x1A", "-001" and " 0FA0" are read.
    {"MalformedFields",
     {},
     {{answerA.substr(0, 58) + "G1" + answerA.substr(60), "85.00,-1.00,*,*,*,*,*"},
      {"0x1A-001 0FA" + answerA.substr(12), "0.26,-1.00,45, 5, 0,12,8000"}},
     4,
     99,
     Ending::runsOn},
    {"PeerCloses", {"--close-after", "2"}, {}, 2, 2, Ending::brokenPipe},
    {"ConnectionReset", {"--close-after", "2", "--reset"}, {}, 2, 2, Ending::brokenPipe},
};

class MonitorFault : public Monitor, public ::testing::WithParamInterface<Fault> {};

TEST_P(MonitorFault, MonitorSurvivesAndKeepsItsDataLogWhole)
{
    const Fault& fault = GetParam();
    if (fault.answers.empty()) {
        startSim(fault.simArgs);
    } else {
        std::vector<std::string> answers;
        for (const auto& [answer, fields] : fault.answers) {
            answers.push_back(answer);
            loggedAs[answer] = fields;
        }
        replay(answers, fault.simArgs);
    }
    startMonitor();
    if (fault.ending == Ending::brokenPipe) {
        int status = waitExit(&monitor, 60);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status << "\n" << monitor.err;
        EXPECT_GE(countOf(monitor.out, "calling select\n"), 3);
    } else {
        EXPECT_TRUE(waitForOut("calling select\n", 6, 60)) << monitor.err;
        int status = 0;
        EXPECT_EQ(waitpid(monitor.pid, &status, WNOHANG), 0) << "ended with status " << status << "\n" << monitor.err;
        stop(&monitor);
    }
    int responses = countOf(monitor.out, "response is ");
    EXPECT_GE(responses, fault.minResponses);
    EXPECT_LE(responses, fault.maxResponses);
    expectDataLogMatches(monitor.out, onlyDataLog());
}

INSTANTIATE_TEST_SUITE_P(Faults, MonitorFault, ::testing::ValuesIn(faults),
                         [](const ::testing::TestParamInfo<Fault>& param) { return param.param.name; });

} // namespace
