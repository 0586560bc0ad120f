// Tests of the millisecond sleep and the hex parser.
#include "util.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <vector>

namespace {

struct HexCase {
    const char* text;
    int value;
};

TEST(Util, AhextoiReadsLeadingHexDigits)
{
    const HexCase cases[] = {
        {"1aF", 431},         {"ff", 255},           {"", 0},          {"12g4", 18},
        {"0x1A", 0},          {" 1A", 0},            {"-1", 0},        {"+1", 0},
        {"7FFFFFFF", 2147483647}, {"80000000", -2147483647 - 1}, {"FFFFFFFF", -1},
        {"123456789", 0x23456789}, {"ABCDEF", 0xABCDEF}, {"abcdef", 0xABCDEF},
        {"9\n", 9},           {"G", 0},
    };
    for (const HexCase& c : cases) EXPECT_EQ(ahextoi(c.text), c.value) << '"' << c.text << '"';
}

TEST(Util, AhextoiStopsAtHighBytes)
{
    // Bytes from 0x80 up end the scan, even where their low bits spell a digit.
    EXPECT_EQ(ahextoi("1\xB1" "2"), 1);
    EXPECT_EQ(ahextoi("\xC1" "A"), 0);
    EXPECT_EQ(ahextoi("A\xFF"), 10);
}

// Milliseconds that a call of msleep(ms) took on the steady clock.
long long timedSleep(int ms)
{
    auto start = std::chrono::steady_clock::now();
    msleep(ms);
    auto took = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
}

// Each sleep msleep asked nanosleep() for, in milliseconds, and whether it slept to the end.
struct Request {
    double ms;
    bool whole;
    bool operator==(const Request&) const = default;
};

std::vector<Request> requests;

} // namespace

// The executable is linked with --wrap=nanosleep.
extern "C" int __real_nanosleep(const timespec* length, timespec* left);

extern "C" int __wrap_nanosleep(const timespec* length, timespec* left)
{
    // Read before the call, which may write what is left over the same timespec.
    double ms = static_cast<double>(length->tv_sec) * 1000 + static_cast<double>(length->tv_nsec) / 1e6;
    int result = __real_nanosleep(length, left);
    requests.push_back({ms, result == 0});
    return result;
}

namespace {

// What msleep(ms) asked of nanosleep().
std::vector<Request> requestsOf(int ms)
{
    requests.clear();
    long long took = timedSleep(ms);
    EXPECT_GE(took, std::max(ms, 0)); // a sleep is never shorter
    return requests;
}

TEST(Util, MsleepSleepsTheGivenTime)
{
    EXPECT_EQ(requestsOf(0), std::vector<Request>{});
    EXPECT_EQ(requestsOf(-20), std::vector<Request>{});
    EXPECT_EQ(requestsOf(10), (std::vector<Request>{{10, true}}));
}

TEST(Util, MsleepOfASecondOrMoreSleepsInFull)
{
    EXPECT_EQ(requestsOf(1500), (std::vector<Request>{{1500, true}}));
}

// Does nothing, so that SIGALRM only interrupts the sleep.
void ignoreAlarm(int) {}

TEST(Util, MsleepSleepsInFullThroughSignals)
{
    struct sigaction action{};
    action.sa_handler = ignoreAlarm; // no SA_RESTART: each alarm cuts the sleep short
    struct sigaction before{};
    ASSERT_EQ(sigaction(SIGALRM, &action, &before), 0);
    itimerval every20ms{{0, 20000}, {0, 20000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every20ms, nullptr), 0);
    std::vector<Request> asked = requestsOf(300);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &before, nullptr);
    // 300 ms, then after each interruption only what it left, until one sleep ends whole.
    ASSERT_GE(asked.size(), 2U);
    EXPECT_EQ(asked.front().ms, 300);
    for (std::size_t i = 1; i < asked.size(); i++) {
        EXPECT_LT(asked[i].ms, asked[i - 1].ms) << i;
        EXPECT_EQ(asked[i - 1].whole, false) << i;
    }
    EXPECT_TRUE(asked.back().whole);
}

} // namespace
