// Tests of the battery simulator: its answers and its fault modes.
#include "battery_model.h"
#include "battery_status.h"
#include "process.h"
#include "serial.h"
#include "util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

int DEBUG_LEVEL = 0;

namespace {

// The simulator on a free port, and a client connected to it.
struct Sim {
    Child child;
    int port = 0;
    int client = -1;
};

Sim startSim(std::vector<std::string> args)
{
    Sim sim;
    args.insert(args.begin(), {BATTERY_SIM_PATH, "--port", "0"});
    sim.child = spawn(args);
    const std::string ready = "battery_sim: serving tcp 127.0.0.1:";
    EXPECT_TRUE(waitFor(&sim.child, 5, [&](const Child& c) {
        return c.err.find('\n', c.err.find(ready)) != std::string::npos &&
               c.err.find(ready) != std::string::npos;
    })) << sim.child.err;
    std::size_t at = sim.child.err.find(ready);
    if (at == std::string::npos) return sim;
    sim.port = std::stoi(sim.child.err.substr(at + ready.size()));
    sim.client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(sim.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(sim.client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return sim;
}

void stopSim(Sim* sim)
{
    close(sim->client);
    stop(&sim->child, SIGTERM);
}

// Read up to size bytes, stopping at end of stream, a reset, or a wait of waitMs for more
// (generous, so that a busy machine is waited for; a short wait for bytes that must not come).
std::string readUpTo(int fd, std::size_t size, int* lastErrno = nullptr, int waitMs = 10000)
{
    std::string data;
    char chunk[4096];
    while (data.size() < size) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, waitMs) != 1) {
            if (lastErrno != nullptr) *lastErrno = EAGAIN;
            break;
        }
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, size - data.size()));
        if (n <= 0) {
            if (lastErrno != nullptr) *lastErrno = n < 0 ? errno : 0;
            break;
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
}

// Whether nothing more arrives within half a second.
bool nothingMore(int fd)
{
    return readUpTo(fd, 1, nullptr, 500).empty();
}

std::string ask(const Sim& sim, std::size_t size)
{
    EXPECT_EQ(write(sim.client, "@RQ\n", 4), 4);
    return readUpTo(sim.client, size);
}

TEST(BatterySim, AnswersWithPlausibleStatus)
{
    Sim sim = startSim({});
    BatteryStatus status{};
    std::string previous;
    for (int i = 0; i < 3; i++) {
        std::string answer = ask(sim, 77);
        ASSERT_EQ(answer.size(), 77U);
        EXPECT_EQ(answer.find_first_not_of("0123456789ABCDEF"), 76U) << answer;
        EXPECT_EQ(answer.back(), '\n');
        EXPECT_NE(answer, previous);
        previous = answer;
        decodeStatus(answer.data(), answer.size(), &status);
        for (int voltage : status.cellVoltage) {
            EXPECT_GE(voltage, 3200);
            EXPECT_LE(voltage, 4200);
        }
        EXPECT_NE(status.statusRegister & 0x8000, 0);
        EXPECT_GE(status.humidity, 30);
        EXPECT_LE(status.humidity, 60);
    }
    stopSim(&sim);
    EXPECT_EQ(countOf(sim.child.err, ", 77 bytes\n"), 3);
}

TEST(BatterySim, AnswersOfAnyLength)
{
    for (std::size_t length : {76U, 78U, 1000U}) {
        Sim sim = startSim({"--length", std::to_string(length)});
        EXPECT_EQ(ask(sim, length).size(), length);
        EXPECT_TRUE(nothingMore(sim.client)) << length;
        stopSim(&sim);
    }
}

TEST(BatterySim, SplitAnswerArrivesInTwoPieces)
{
    Sim sim = startSim({"--split", "300"});
    // The first piece is seen alone unless this reader was held up past the pause; then it
    // asks again. The rest is never whole before the pause has passed since the request.
    bool seenAlone = false;
    for (int attempt = 0; attempt < 5 && !seenAlone; attempt++) {
        auto asked = std::chrono::steady_clock::now();
        ASSERT_EQ(write(sim.client, "@RQ\n", 4), 4);
        std::string first = readUpTo(sim.client, 38);
        int waiting = -1;
        ASSERT_EQ(ioctl(sim.client, FIONREAD, &waiting), 0);
        seenAlone = waiting == 0;
        std::string rest = readUpTo(sim.client, 39);
        auto whole = std::chrono::steady_clock::now();
        EXPECT_EQ(first.size(), 38U);
        EXPECT_EQ(rest.size(), 39U);
        EXPECT_GE(whole - asked, std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(seenAlone);
    stopSim(&sim);
}

TEST(BatterySim, ClosesOrResetsAfterNAnswers)
{
    Sim sim = startSim({"--close-after", "2"});
    EXPECT_EQ(ask(sim, 77).size(), 77U);
    EXPECT_EQ(ask(sim, 77).size(), 77U);
    int lastErrno = -1;
    EXPECT_EQ(readUpTo(sim.client, 1, &lastErrno), "");
    EXPECT_EQ(lastErrno, 0); // an orderly end
    stopSim(&sim);

    sim = startSim({"--close-after", "1", "--reset"});
    ASSERT_EQ(write(sim.client, "@RQ\n", 4), 4);
    // The answer arrives whole; the reset follows it.
    std::string answer = readUpTo(sim.client, 78, &lastErrno);
    EXPECT_EQ(answer.size(), 77U);
    EXPECT_EQ(answer.find_first_not_of("0123456789ABCDEF"), 76U) << answer;
    EXPECT_EQ(lastErrno, ECONNRESET);
    stopSim(&sim);
}

TEST(BatterySim, AlarmBitsCoverTheChosenAnswersOnly)
{
    Sim sim = startSim({"--temp-alert", "3", "--volt-alert", "100", "--fault", "4010", "--alarm-from", "2",
                        "--alarm-until", "3"});
    const int expectedTemp[] = {0, 3, 3, 0};
    for (int i = 0; i < 4; i++) {
        std::string answer = ask(sim, 77);
        ASSERT_EQ(answer.size(), 77U);
        EXPECT_EQ(answer.find_first_not_of("0123456789ABCDEF"), 76U) << answer;
        BatteryStatus status{};
        decodeStatus(answer.data(), answer.size(), &status);
        EXPECT_EQ(status.tempAlertRegister, expectedTemp[i]) << i;
        EXPECT_EQ(status.voltAlertRegister & 0x100, expectedTemp[i] != 0 ? 0x100 : 0) << i;
        EXPECT_EQ(status.statusRegister & 0x4010, expectedTemp[i] != 0 ? 0x4010 : 0) << i;
        EXPECT_NE(status.statusRegister & 0x8000, 0);
    }
    stopSim(&sim);
    Child bad = spawn({BATTERY_SIM_PATH, "--fault", "1FFFF"});
    int status = waitExit(&bad, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(bad.err, "battery_sim: --fault needs a hexadecimal number up to FFFF, not \"1FFFF\"\n");
}

TEST(BatterySim, RestartsOnThePortItServedBefore)
{
    Sim sim = startSim({});
    int port = sim.port;
    EXPECT_EQ(ask(sim, 77).size(), 77U);
    // The connection is still open when the simulator goes.
    stop(&sim.child, SIGTERM);
    Child again = spawn({BATTERY_SIM_PATH, "--port", std::to_string(port)});
    std::string ready = "serving tcp 127.0.0.1:" + std::to_string(port) + "\n";
    EXPECT_TRUE(waitFor(&again, 5, [&](const Child& c) { return c.err.find(ready) != std::string::npos; }))
        << again.err;
    close(sim.client);
    stop(&again, SIGTERM);
}

TEST(BatterySim, ReplaysAnswersFromAFile)
{
    char path[] = "/tmp/battery_sim_replay_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "first\\x00\\x80\\\\end\nsecond\n";
    Sim sim = startSim({"--replay", path});
    EXPECT_EQ(ask(sim, 11), std::string("first\0\x80\\end", 11));
    EXPECT_EQ(ask(sim, 6), "second");
    EXPECT_EQ(ask(sim, 11), std::string("first\0\x80\\end", 11));
    EXPECT_TRUE(nothingMore(sim.client));
    stopSim(&sim);
    unlink(path);
}

TEST(BatterySim, SilentModeNeverAnswers)
{
    Sim sim = startSim({"--silent"});
    ASSERT_EQ(write(sim.client, "@RQ\n", 4), 4);
    EXPECT_TRUE(nothingMore(sim.client));
    stopSim(&sim);
}

TEST(BatterySim, HelpAndBadOptions)
{
    Child help = spawn({BATTERY_SIM_PATH, "--help"});
    int status = waitExit(&help, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const char* option : {"--host", "--port", "--serial", "--replay", "--length", "--split",
                               "--silent", "--close-after", "--reset", "--seed", "--temp-alert", "--volt-alert",
                               "--fault", "--alarm-from", "--alarm-until", "--capacity", "--profile", "--profile-file",
                               "--start-charge", "--speed", "--resistance", "--weak-cell", "--weak-factor", "--fade",
                               "--cycles"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    Child bad = spawn({BATTERY_SIM_PATH, "--length", "-3"});
    status = waitExit(&bad, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(bad.err, "battery_sim: --length needs a whole number of at least 0, not \"-3\"\n");
    Child badProfile = spawn({BATTERY_SIM_PATH, "--capacity", "2", "--profile", "60:+10,0:-5"});
    status = waitExit(&badProfile, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(badProfile.err, "battery_sim: --profile: \"0:-5\" is not SECONDS:AMPERES with seconds above 0 and "
                              "amperes -300 to 300\n");
}

// Worked by hand: cells at 3.2 V plus 1 V of charge, plus milliohms times amperes; 1 / capacity cycles an Ah out.
TEST(BatteryModel, AgesAndSagsAsWorkedByHand)
{
    struct Case {
        double capacity, charge, fade, cycles, resistance; int weakCell; const char* profile; double play;
        double present, cyclesAfter; int gauge, cell1, cell3; double stack;
    } cases[] = {
        {20, 10, 0, 0, 5, 3, "3600:-25", 0, 20, 0, 5000, 3575, 3450, 45}, // 7 x 5 + 2 x 5 mOhm
        {20, 10, 0, 0, 4, 0, "3600:+10", 0, 20, 0, 5000, 3740, 3740, 32},
        // 100 rounds of 10 Ah out and back: 50 cycles at 10 % a hundred take 5 % of 20 Ah.
        {20, 20, 10, 0, 4, 0, "3600:-10, 3600:+10", 720000, 19, 50, 10000, 4160, 4160, 32},
        {10, 5, 0, 0, 4, 0, "3600:-10", 3600, 10, 0.5, 0, 3200, 3200, 32}, // the load stops at empty
        {20, 7, 20, 150, 4, 0, "60:0", 60, 14, 150, 5000, 3700, 3700, 32}, // 30 % gone
        {20, 0.1, 100, 150, 4, 0, "60:0", 60, 0.2, 150, 5000, 3700, 3700, 32}, // 1 % is left at least
    };
    for (const Case& c : cases) {
        BatteryModel model{c.capacity, c.charge, {}, 0, c.resistance, c.weakCell, 2, c.fade, c.cycles};
        ASSERT_EQ(parseProfile(c.profile, &model.profile), "");
        advanceModel(&model, c.play);
        unsigned noise = 1;
        ModelAnswer answer = modelAnswer(model, &noise);
        EXPECT_NEAR(presentCapacity(model), c.present, 1e-9) << c.profile;
        EXPECT_NEAR(model.cycles, c.cyclesAfter, 1e-9) << c.profile;
        EXPECT_NEAR(stackResistance(model), c.stack, 1e-9) << c.profile;
        EXPECT_EQ(std::vector<int>({answer.gauge, answer.cellMillivolts[0], answer.cellMillivolts[2]}),
                  std::vector<int>({c.gauge, c.cell1, c.cell3})) << c.profile;
    }
}

TEST(BatterySim, AgeingOptionsReachTheAnswers)
{
    const std::string weak = "--resistance 10 --weak-cell 3 --weak-factor 2 --profile 360000:-7";
    // 14 Ah are left of 20, so the hour's 7 A empties half of it (half of 20 would leave 15 %).
    const std::string aged = "--fade 20 --cycles 150 --profile 3600:-7,360000:0 --speed 3600";
    const std::tuple<std::string, int, int, int, int> cases[] = {{weak, 0, 5000, 3630, 3560}, {aged, 1500, 0, 3200, 3200}};
    for (const auto& [options, waitMs, gauge, cell1, cell3] : cases) {
        std::vector<std::string> args{"--capacity", "20", "--start-charge", "50"};
        std::istringstream words(options);
        for (std::string word; words >> word;) args.push_back(word);
        Sim sim = startSim(args);
        msleep(waitMs);
        std::string answer = ask(sim, 77);
        BatteryStatus status{};
        decodeStatus(answer.data(), answer.size(), &status);
        // Cells carry up to 10 mV of noise; the charge moves a little while the test runs.
        EXPECT_NEAR(status.gasGauge, gauge, 2) << answer;
        EXPECT_NEAR(status.cellVoltage[0], cell1, 11) << answer;
        EXPECT_NEAR(status.cellVoltage[2], cell3, 11) << answer;
        stopSim(&sim);
    }
}

TEST(BatterySim, RefusesBadAgeingOptions)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--resistance", "5mOhm"}, "--resistance needs a number above 0 and up to 100, not \"5mOhm\""},
        {{"--weak-cell", "9"}, "--weak-cell needs a whole number from 1 to 8, not \"9\""},
        {{"--weak-cell", "3", "--weak-factor", "0.5"}, "--weak-factor needs a number from 1 to 10, not \"0.5\""},
        {{"--cycles", "1.5"}, "--cycles needs a whole number from 0 to 100000, not \"1.5\""},
        {{"--weak-factor", "2"}, "--weak-factor needs --weak-cell"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> argv{BATTERY_SIM_PATH, "--capacity", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        Child bad = spawn(argv);
        int status = waitExit(&bad, 5);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << message;
        EXPECT_EQ(bad.err, "battery_sim: " + message + "\n");
    }
    Child bare = spawn({BATTERY_SIM_PATH, "--fade", "5"});
    waitExit(&bare, 5);
    EXPECT_EQ(bare.err, "battery_sim: --fade needs --capacity\n");
}

TEST(BatterySim, SerialModeServesAPseudoTerminal)
{
    Child child = spawn({BATTERY_SIM_PATH, "--serial"});
    ASSERT_TRUE(waitFor(&child, 5, [](const Child& c) { return c.out.find('\n') != std::string::npos; }));
    std::string path = child.out.substr(0, child.out.find('\n'));
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0U);
    int fd = 0;
    ASSERT_GT(openPort(path.c_str(), &fd, 9600, 8, 1, "none"), 0);
    EXPECT_EQ(sendStr(fd, "@RQ\n"), 0);
    char buffer[80];
    EXPECT_EQ(recvStr(fd, buffer, 80), 77);
    EXPECT_EQ(std::string(buffer).find_first_not_of("0123456789ABCDEF"), 76U);
    closePort(fd);
    stop(&child, SIGTERM);
}

} // namespace
