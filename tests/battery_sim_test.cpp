// Tests of the battery simulator: its answers and its fault modes.
#include "battery_status.h"
#include "process.h"
#include "serial.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fstream>
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
                               "--start-charge", "--speed"})
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
