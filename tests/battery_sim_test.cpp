// Tests of the battery simulator: its answers and its fault modes.
#include "battery_status.h"
#include "process.h"
#include "serial.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
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
    // Loopback answers come at once; waiting longer only proves that no more come.
    timeval timeout{0, 500000};
    setsockopt(sim.client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return sim;
}

void stopSim(Sim* sim)
{
    close(sim->client);
    stop(&sim->child, SIGTERM);
}

// Read up to size bytes, stopping at end of stream, a reset or the 0.5 s timeout.
std::string readUpTo(int fd, std::size_t size, int* lastErrno = nullptr)
{
    std::string data;
    char chunk[4096];
    while (data.size() < size) {
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, size - data.size()));
        if (n <= 0) {
            if (lastErrno != nullptr) *lastErrno = n < 0 ? errno : 0;
            break;
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
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
        std::string answer = ask(sim, length + 1);
        EXPECT_EQ(answer.size(), length);
        stopSim(&sim);
    }
}

TEST(BatterySim, SplitAnswerArrivesInTwoPieces)
{
    Sim sim = startSim({"--split", "300"});
    ASSERT_EQ(write(sim.client, "@RQ\n", 4), 4);
    std::string first = readUpTo(sim.client, 38);
    auto start = std::chrono::steady_clock::now();
    std::string rest = readUpTo(sim.client, 39);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(first.size(), 38U);
    EXPECT_EQ(rest.size(), 39U);
    EXPECT_GE(waited, std::chrono::milliseconds(200));
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
    std::string answer = readUpTo(sim.client, 78, &lastErrno);
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
    std::string path = ::testing::TempDir() + "battery_sim_replay.txt";
    std::ofstream(path) << "first\\x00\\x80\\\\end\nsecond\n";
    Sim sim = startSim({"--replay", path});
    EXPECT_EQ(ask(sim, 12), std::string("first\0\x80\\end", 11));
    EXPECT_EQ(ask(sim, 7), "second");
    EXPECT_EQ(ask(sim, 12), std::string("first\0\x80\\end", 11));
    stopSim(&sim);
}

TEST(BatterySim, SilentModeNeverAnswers)
{
    Sim sim = startSim({"--silent"});
    EXPECT_EQ(ask(sim, 1), "");
    stopSim(&sim);
}

TEST(BatterySim, HelpAndBadOptions)
{
    Child help = spawn({BATTERY_SIM_PATH, "--help"});
    int status = waitExit(&help, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const char* option : {"--host", "--port", "--serial", "--replay", "--length", "--split",
                               "--silent", "--close-after", "--reset", "--seed", "--temp-alert", "--volt-alert",
                               "--fault", "--alarm-from", "--alarm-until"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    Child bad = spawn({BATTERY_SIM_PATH, "--length", "-3"});
    status = waitExit(&bad, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(bad.err, "battery_sim: --length needs a whole number of at least 0, not \"-3\"\n");
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
